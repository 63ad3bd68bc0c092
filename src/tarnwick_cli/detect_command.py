"""`tarnwick detect`: line segments of many image files, on local threads or a Dask cluster."""

import argparse
import os
from concurrent.futures import Future, ThreadPoolExecutor

from tarnwick_cli.analysis import analyse
from tarnwick_cli.inputs import ImageInput, expand, overlay_file
from tarnwick_cli.ordered import in_input_order
from tarnwick_cli.problems import InputProblem, error_line, one_line
from tarnwick_cli.progress import Progress
from tarnwick_cli.results import ResultWriter, result_stream

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it


class _Batch:
    """Turns finished work into records, error lines and progress, in input order."""

    def __init__(self, args: argparse.Namespace, writer: ResultWriter, progress: Progress):
        self._args = args
        self._writer = writer
        self._progress = progress
        self._last_taken = -1

    def task(self, image: ImageInput) -> tuple:
        """What the worker gets: absolute paths, since a Dask worker has its own directory."""
        overlay = None
        if self._args.overlay is not None:
            overlay = os.path.join(os.path.abspath(self._args.overlay), overlay_file(image))
        return os.path.abspath(image.path), self._args.scale, overlay

    def take(self, index: int, image: ImageInput, future) -> None:
        if index <= self._last_taken:
            return
        try:
            analysis = future.result()
        except Exception as exc:  # the worker itself failed (a Dask worker that died, for one)
            # A Ctrl-C that lands while this thread takes the future's lock back can come out of
            # the wait as a RuntimeError about that lock, with the interrupt as its context: it
            # still stops the run, and the image is not counted as failed.
            if isinstance(exc.__context__, KeyboardInterrupt):
                raise exc.__context__ from None
            analysis = {"error": one_line(exc)}
        self._last_taken = index
        if "segments" in analysis:
            self._writer.write(image.path, self._args.scale, analysis)
        if "error" in analysis:
            self._progress.error(error_line(image.path, analysis["error"]))
        self._progress.done(len(analysis.get("segments", ())), "error" in analysis)


def _known_failure(problem: str) -> Future:
    future: Future = Future()
    future.set_result({"error": problem})
    return future


def _run_on_threads(images: list[ImageInput], batch: _Batch, jobs: int) -> None:
    with ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="tarnwick-detect") as pool:
        def submit(image: ImageInput):
            if image.problem is not None:
                return _known_failure(image.problem)
            return pool.submit(analyse, *batch.task(image))

        def cancel(futures: list) -> None:
            for future in futures:
                future.cancel()

        in_input_order(images, submit, cancel, 2 * jobs, batch.take)


def _run_on_dask(images: list[ImageInput], batch: _Batch, address: str) -> None:
    try:
        from distributed import Client
    except ModuleNotFoundError:
        raise InputProblem("--dask needs Dask: pip install 'tarnwick[dask]'") from None
    try:
        client = Client(address)
    except (OSError, TimeoutError, ValueError) as exc:
        raise InputProblem(
            f"cannot reach the Dask scheduler at {address}: {one_line(exc)}") from None
    with client:
        def submit(image: ImageInput):
            if image.problem is not None:
                return _known_failure(image.problem)
            # pure=False: a file may have changed since an identical task ran.
            return client.submit(analyse, *batch.task(image), pure=False)

        def cancel(futures: list) -> None:
            client.cancel([f for f in futures if not isinstance(f, Future)])

        in_input_order(images, submit, cancel, None, batch.take)


def run(args: argparse.Namespace) -> int:
    images = expand(args.paths, args.overlay)
    csv_format = args.format == "csv" or (args.format is None and args.out is not None
                                          and args.out.lower().endswith(".csv"))
    progress = Progress(len(images), args.quiet)
    interrupted, problem = False, None
    try:
        with result_stream(args.out) as stream:
            writer = ResultWriter(stream, csv_format)
            batch = _Batch(args, writer, progress)
            try:
                if args.dask is not None:
                    _run_on_dask(images, batch, args.dask)
                else:
                    _run_on_threads(images, batch, args.jobs)
            except KeyboardInterrupt:
                interrupted = True  # what was finished is written; the file is kept
            writer.cut_partial()
    except BrokenPipeError:
        raise
    except InputProblem as exc:
        problem = f"tarnwick: {exc}"
    except OSError as exc:
        problem = error_line(args.out or "standard output",
                             f"cannot write the results: {one_line(exc)}")
    if problem is not None:
        progress.error(problem)
    progress.close(interrupted)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if progress.failed or problem is not None else 0
