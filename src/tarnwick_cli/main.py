"""The `tarnwick` command line: option parsing and dispatch to the detect and warp commands."""

import argparse
import importlib.metadata
import os
import sys

from tarnwick_cli.values import number_list, positive_count, positive_number, size

_DESCRIPTION = """\
Line segments of image files, and perspective-rectified views of them, with the tarnwick module.
Exit status: 0 when everything worked, 1 when any file failed, 2 for a usage error, 130 after
Ctrl-C."""

_DETECT_DESCRIPTION = """\
Find the straight line segments of every image. Each image is read with Pillow and converted to
gray the same way: 16-bit grayscale files stay 16-bit, everything else becomes 8-bit luminance
(Pillow's "L"). Coordinates are in pixels of the image as stored (x = column, y = row, pixel
centres at whole numbers). A file that cannot be processed gives one error line on standard error
naming it; the others are still processed and written."""

_DETECT_EPILOG = """\
JSON Lines output holds one record per image: {"path", "width", "height", "scale", "seconds",
"segments": [{"x1", "y1", "x2", "y2", "width", "precision", "log_nfa"}, ...]}, where seconds is
the time spent in detection. CSV output holds one row per segment with the columns path,
image_width, image_height, scale, seconds, x1, y1, x2, y2, width, precision, log_nfa; an image
without segments gives one row with empty segment columns. Records follow the input order
(arguments in the order given, folders walked in sorted order) whatever --jobs is."""

_WARP_DESCRIPTION = """\
Resample an image through an inverse homography, which maps each output pixel (x, y) to the
source position it takes, bilinearly: (U, V, W) = H . (x / scale + X, y / scale + Y, 1), position
(U/W, V/W); positions outside the source give black. 8-bit files give 8-bit results; 16-bit PNG
and TIFF files (and other 16-bit grayscale files) give 16-bit results, which are written as PNG or
TIFF. Coordinates put pixel centres at whole numbers, (0, 0) being the centre of the top-left
pixel."""

_WARP_EPILOG = """\
Give numbers that start with a minus sign as --corners=-5,3,... so that they are not taken for
an option."""


def _version() -> str:
    try:
        return importlib.metadata.version("tarnwick")
    except importlib.metadata.PackageNotFoundError:
        return "unknown (not installed)"


def _cpu_count() -> int:
    """CPUs this process may use (its affinity set where Python can tell)."""
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return count or 1


def _add_detect(commands) -> None:
    parser = commands.add_parser(
        "detect", help="find line segments in image files and folders",
        description=_DETECT_DESCRIPTION, epilog=_DETECT_EPILOG)
    parser.add_argument(
        "paths", nargs="+", metavar="PATH",
        help="an image file, or a folder whose image files (.jpg, .jpeg, .png, .tif, .tiff, .bmp, "
             ".gif, .webp, .pgm, .ppm, .pbm, .pnm, .jpe) are all processed, recursively")
    parser.add_argument(
        "--scale", type=positive_number, default=0.8, metavar="S",
        help="detection scale: below 1 the image is first shrunk by this factor with a Gaussian "
             "filter (coordinates still refer to the full image) (default: 0.8)")
    parser.add_argument(
        "--out", metavar="FILE",
        help="write the results to FILE (replaced only once the run ends, so an interrupted run "
             "never leaves half a file) instead of standard output ('-')")
    parser.add_argument(
        "--format", choices=("jsonl", "csv"),
        help="jsonl: one JSON record per image; csv: one row per segment (default: csv when FILE "
             "ends in .csv, jsonl otherwise)")
    parser.add_argument(
        "--overlay", metavar="DIR",
        help="also write a PNG per image into DIR, the segments drawn over the dimmed image; the "
             "folders given are mirrored below DIR, a file named directly goes to DIR itself")
    parser.add_argument(
        "--jobs", type=positive_count, default=_cpu_count(), metavar="N",
        help="images processed at the same time, on threads (they run in parallel on a "
             "free-threaded Python) (default: the CPU count, %(default)s here)")
    parser.add_argument(
        "--dask", metavar="ADDRESS",
        help="send one task per image to the Dask scheduler at ADDRESS (for example "
             "tcp://10.0.0.5:8786) instead of local threads; --jobs then plays no part. The "
             "workers read the images and write the overlays, so paths must be valid there too "
             "(needs 'pip install tarnwick[dask]')")
    parser.add_argument(
        "--quiet", "-q", action="store_true",
        help="no progress bar and no summary line; error lines are still printed (the bar is "
             "shown only when standard error is a terminal and there are at least 4 images)")


def _add_warp(commands) -> None:
    parser = commands.add_parser(
        "warp", help="rectify or resample one image through a homography",
        description=_WARP_DESCRIPTION, epilog=_WARP_EPILOG)
    parser.set_defaults(warp_parser=parser)  # for usage errors found after parsing
    parser.add_argument("input", metavar="IN", help="the image to resample")
    parser.add_argument(
        "output", metavar="OUT",
        help="the result; its suffix picks the format (.png, .jpg, .tif, ...; 16-bit results: "
             ".png, .tif, .tiff). Written under a temporary name and renamed when complete")
    transform = parser.add_mutually_exclusive_group(required=True)
    transform.add_argument(
        "--matrix", type=number_list(9), metavar="a,b,c,d,e,f,g,h,i",
        help="the inverse homography H, row by row; the output has the size of IN")
    transform.add_argument(
        "--corners", type=number_list(8), metavar="x1,y1,x2,y2,x3,y3,x4,y4",
        help="four corners of a quadrilateral in IN, in the order top-left, top-right, "
             "bottom-right, bottom-left of the result (clockwise from top-left for an upright "
             "page); H is solved so that the centres of the result's corner pixels take exactly "
             "these positions. Needs --size")
    parser.add_argument(
        "--size", type=size, metavar="WxH",
        help="the size of the result with --corners, for example 850x1100")
    parser.add_argument(
        "--scale", type=positive_number, default=1.0, metavar="S",
        help="output pixels per unit of the output frame: 2 shows the frame enlarged twice "
             "(default: 1)")
    parser.add_argument(
        "--offset", type=number_list(2), default=(0.0, 0.0), metavar="X,Y",
        help="output-frame position of the top-left output pixel (default: 0,0)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tarnwick", description=_DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"tarnwick {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_detect(commands)
    _add_warp(commands)
    return parser


def _warp_inverse(args: argparse.Namespace) -> list[float]:
    """--matrix as given, or the inverse homography that rectifies --corners onto --size."""
    from tarnwick_cli.homography import rectifying_inverse
    from tarnwick_cli.pillow_images import check_pixel_count
    from tarnwick_cli.problems import InputProblem

    parser = args.warp_parser
    if args.matrix is not None:
        if args.size is not None:
            parser.error("--size goes with --corners; with --matrix the result has IN's size")
        return list(args.matrix)
    if args.size is None:
        parser.error("--corners needs --size")
    corners = [args.corners[i:i + 2] for i in range(0, 8, 2)]
    try:
        check_pixel_count(*args.size)
        return rectifying_inverse(corners, *args.size)
    except InputProblem as exc:
        parser.error(f"--corners/--size: {exc}")


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        from tarnwick_cli import detect_command, warp_command
    except ModuleNotFoundError as exc:
        print(f"tarnwick: the command needs the Python package {exc.name!r}: "
              "pip install 'tarnwick[cli]'", file=sys.stderr)
        return 2
    try:
        if args.command == "detect":
            return detect_command.run(args)
        return warp_command.run(args, _warp_inverse(args))
    except KeyboardInterrupt:
        print("tarnwick: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output has gone (as with `| head`): stop quietly, and keep the
        # interpreter from complaining when it flushes standard output on the way out.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
