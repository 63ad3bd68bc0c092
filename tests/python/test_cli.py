"""The `tarnwick` command, run as its installed console script on real image files."""

import argparse
import csv
import fcntl
import importlib.metadata
import io
import json
import os
import pty
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import termios
import threading
import time
import types
import zlib
from pathlib import Path

import numpy as np
import png
import pytest
import tifffile
from PIL import Image

import tarnwick
from conftest import FIELDS, rectangle_image, scene

SCRIPT = str(Path(sys.executable).with_name("tarnwick"))
ROCKET = Path(__file__).resolve().parents[2] / "examples" / "data" / "rocket.jpg"


def tarnwick_cli(*args, cwd=None, timeout=120):
    return subprocess.run([SCRIPT, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)


def png_header_only(path, width, height):
    """A PNG whose header claims width x height; the pixel data is never reached."""
    def chunk(kind, data):
        checksum = struct.pack(">I", zlib.crc32(kind + data))
        return struct.pack(">I", len(data)) + kind + data + checksum
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
                     + chunk(b"IDAT", zlib.compress(b"\0")) + chunk(b"IEND", b""))


def gray_as_detect_sees_it(path):
    with Image.open(path) as image:
        if image.mode.startswith("I;16"):
            return np.asarray(image).astype(np.uint16)
        return np.asarray(image.convert("L"))


def without_seconds(text):
    """Output with the one value that measures time blanked out; everything else must match."""
    return re.sub(r'"seconds":[^,]*', '"seconds":0', text)


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """A folder tree of good and bad files, the paths given on the command line, and the good images
    in the order the records must follow."""
    root = tmp_path_factory.mktemp("batch")
    (root / "photos" / "crops").mkdir(parents=True)
    with Image.open(ROCKET) as rocket:
        rocket.crop((180, 40, 420, 280)).save(root / "photos" / "rocket.jpg", quality=92)
        rocket.crop((0, 200, 160, 330)).convert("P", palette=Image.ADAPTIVE).save(
            root / "photos" / "crops" / "b.gif")
    Image.fromarray(scene(seed=4)).save(root / "photos" / "crops" / "a.png")
    Image.fromarray(scene(seed=5).astype(np.uint16) * 257).save(root / "photos" / "deep.png")
    Image.fromarray(rectangle_image()).save(root / "block.bmp")
    (root / "photos" / "notes.txt").write_text("not an image, and not picked up by the walk")
    (root / "photos" / "text.png").write_text("not an image")
    truncated = (root / "photos" / "rocket.jpg").read_bytes()
    (root / "photos" / "truncated.jpg").write_bytes(truncated[: len(truncated) // 2])
    png_header_only(root / "photos" / "huge.png", 10_000, 10_000)
    arguments = ["photos", "missing.jpg", "block.bmp"]
    good = ["photos/crops/a.png", "photos/crops/b.gif", "photos/deep.png", "photos/rocket.jpg",
            "block.bmp"]  # sorted by path below each folder argument
    bad = {"photos/huge.png": "image too large: 10000 x 10000 pixels",
           "photos/text.png": "not an image file",
           "photos/truncated.jpg": "truncated",
           "missing.jpg": "no such file or folder"}
    return root, arguments, good, bad


@pytest.fixture(scope="module")
def detect_run(batch):
    root, arguments, _, _ = batch
    done = tarnwick_cli("detect", *arguments, "--out", "out.jsonl", "--overlay", "overlays",
                        "--jobs", "3", "--scale", "0.9", cwd=root)
    records = [json.loads(line) for line in (root / "out.jsonl").read_text().splitlines()]
    return done, records


class TestDetect:
    def test_records_equal_detect_in_input_order(self, batch, detect_run):
        root, _, good, _ = batch
        done, records = detect_run
        assert [record["path"] for record in records] == good
        for record in records:
            gray = gray_as_detect_sees_it(root / record["path"])
            expected = [[getattr(s, name) for name in FIELDS] for s in tarnwick.detect(gray, 0.9)]
            assert expected, record["path"]
            assert [[s[name] for name in FIELDS] for s in record["segments"]] == expected
            assert (record["height"], record["width"], record["scale"]) == (*gray.shape, 0.9)
            assert 0 < record["seconds"] < 60
        assert gray_as_detect_sees_it(root / "photos/deep.png").dtype == np.uint16

    def test_one_error_line_per_bad_input_and_a_summary(self, batch, detect_run):
        _, _, good, bad = batch
        done, _ = detect_run
        lines = done.stderr.splitlines()
        assert done.returncode == 1
        assert len(lines) == len(bad) + 1, done.stderr
        for path, message in bad.items():
            assert sum(line.startswith(f"tarnwick: {path}: ") and message in line
                       for line in lines) == 1, (path, done.stderr)
        assert re.fullmatch(rf"tarnwick: {len(good) + len(bad)} images, \d+ segments, {len(bad)} "
                            r"failed, [\d.]+ s, [\d.]+ images/s", lines[-1])

    def test_overlays_mirror_the_folders(self, batch, detect_run):
        root, _, good, _ = batch
        for path in good:
            relative = Path(path).relative_to("photos") if path.startswith("photos") else Path(path)
            with Image.open(root / "overlays" / relative.with_suffix(".png")) as overlay:
                assert (overlay.format, overlay.mode) == ("PNG", "RGB")
                assert overlay.size[::-1] == gray_as_detect_sees_it(root / path).shape
        assert not list(root.glob("**/.*.tmp"))

    def test_csv_on_standard_output_holds_the_same_values(self, batch, detect_run):
        root, arguments, _, _ = batch
        done = tarnwick_cli("detect", *arguments, "--format", "csv", "--scale", "0.9", "-q",
                            cwd=root)
        assert done.returncode == 1 and len(done.stderr.splitlines()) == 4  # no summary
        rows = list(csv.reader(io.StringIO(done.stdout)))
        assert rows[0][:5] == ["path", "image_width", "image_height", "scale", "seconds"]
        expected = [[r["path"], r["width"], r["height"], r["scale"]] + [s[f] for f in FIELDS]
                    for r in detect_run[1] for s in r["segments"]]
        parsed = [[row[0], int(row[1]), int(row[2])] + [float(v) for v in (row[3], *row[5:])]
                  for row in rows[1:]]
        assert parsed == expected

    def test_interrupt_keeps_the_finished_records(self, tmp_path):
        Image.fromarray(np.random.default_rng(1).integers(0, 256, (500, 500), np.uint8)).save(
            tmp_path / "noise.png")
        names = [f"{k:02d}.png" for k in range(40)]
        for name in names:
            shutil.copy(tmp_path / "noise.png", tmp_path / name)
        process = subprocess.Popen([SCRIPT, "detect", *names, "--jobs", "1", "--out", "r.jsonl"],
                                   cwd=tmp_path, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not any(p.stat().st_size for p in tmp_path.glob(".r.jsonl.*.tmp")):
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)
        process.send_signal(signal.SIGINT)
        stderr = process.communicate(timeout=60)[1]
        assert process.returncode == 130, stderr
        kept = (tmp_path / "r.jsonl").read_text().splitlines()
        kept = [json.loads(line)["path"] for line in kept]
        assert 1 <= len(kept) < len(names) and kept == names[: len(kept)]
        assert stderr.strip().endswith("interrupted") and not list(tmp_path.glob(".*.tmp"))

    @pytest.mark.parametrize("csv_format", [False, True])
    def test_an_interrupted_record_is_cut_and_a_whole_one_kept(self, tmp_path, csv_format):
        from tarnwick_cli.results import ResultWriter, csv_rows, json_record

        class Interrupting:  # a file whose next write is interrupted partway or just after it
            def __init__(self, file):
                self.file, self.cut_at = file, None

            def __getattr__(self, name):
                return getattr(self.file, name)

            def write(self, data):
                cut_at, self.cut_at = self.cut_at, None
                if cut_at is None:
                    return self.file.write(data)
                self.file.write(data[:cut_at])  # still in the stream's buffer, not yet written
                raise KeyboardInterrupt

        analysis = {"width": 4, "height": 3, "seconds": 0.5, "segments": [[1.0] * len(FIELDS)] * 3}
        rows = 3 if csv_format else 1  # rows per image
        for whole in (False, True):
            with open(tmp_path / "out", "wb+") as file:
                stream = Interrupting(file)
                writer = ResultWriter(stream, csv_format)
                writer.write("a.png", 1.0, analysis)
                record = (csv_rows if csv_format else json_record)("b.png", 1.0, analysis)
                stream.cut_at = len(record.encode()) if whole else 10
                with pytest.raises(KeyboardInterrupt):
                    writer.write("b.png", 1.0, analysis)
                writer.cut_partial()
            text = (tmp_path / "out").read_text()
            paths = ([row["path"] for row in csv.DictReader(io.StringIO(text))] if csv_format
                     else [json.loads(line)["path"] for line in text.splitlines()])
            assert paths == ["a.png"] * rows + ["b.png"] * rows * whole

    def test_interrupt_while_waiting_for_an_image_is_not_its_failure(self):
        # CPython can turn a Ctrl-C that lands while the waiting thread takes a future's lock back
        # into a RuntimeError about that lock, with the interrupt as its context.
        from tarnwick_cli.detect_command import _Batch

        class Interrupted:
            def result(self):
                try:
                    raise KeyboardInterrupt
                finally:
                    raise RuntimeError("cannot release un-acquired lock")

        class WorkerDied:
            def result(self):
                raise OSError("connection lost")

        errors = []
        progress = types.SimpleNamespace(error=errors.append, done=lambda *_: None)
        take = _Batch(argparse.Namespace(scale=0.8, overlay=None), None, progress).take
        with pytest.raises(KeyboardInterrupt):
            take(0, types.SimpleNamespace(path="a.png"), Interrupted())
        assert errors == []
        take(0, types.SimpleNamespace(path="a.png"), WorkerDied())  # still the image's failure
        assert len(errors) == 1 and "connection lost" in errors[0]

    @pytest.mark.parametrize("quiet", [False, True])
    def test_progress_bar_only_on_a_terminal(self, batch, quiet):
        root, arguments, _, _ = batch
        controller, terminal = pty.openpty()
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 100 columns
        process = subprocess.Popen([SCRIPT, "detect", *arguments, "--out", "bar.jsonl"]
                                   + ["-q"] * quiet, cwd=root, stderr=terminal)
        os.close(terminal)
        shown = b""
        while chunk := _read_terminal(controller):
            shown += chunk
        os.close(controller)
        assert process.wait(timeout=60) == 1
        assert (b"100%" in shown) != quiet and (b" images/s" in shown) != quiet
        assert shown.count(b"tarnwick: photos/") == 3, shown

    def test_pipes_and_links_are_written_through(self, batch, tmp_path):
        # A rename over a pipe or device (think of /dev/null) would replace the node itself.
        root, _, _, _ = batch
        os.mkfifo(tmp_path / "fifo")
        received = []
        reader = threading.Thread(target=lambda: received.append((tmp_path / "fifo").read_text()),
                                  daemon=True)
        reader.start()
        (tmp_path / "target.jsonl").write_text("old")
        (tmp_path / "link.jsonl").symlink_to("target.jsonl")
        for out in ("fifo", "link.jsonl"):
            assert tarnwick_cli("detect", root / "block.bmp", "--out", out, "-q",
                                cwd=tmp_path).returncode == 0
        reader.join(timeout=60)
        assert stat.S_ISFIFO(os.lstat(tmp_path / "fifo").st_mode)
        assert os.path.islink(tmp_path / "link.jsonl")
        assert [without_seconds(text) for text in received] == [
            without_seconds((tmp_path / "target.jsonl").read_text())]
        assert json.loads(received[0])["path"].endswith("block.bmp")


def _read_terminal(fd):
    try:
        return os.read(fd, 65536)
    except OSError:  # the other side has closed
        return b""


def test_dask_cluster_gives_the_local_output(tmp_path):
    from distributed import LocalCluster

    (tmp_path / "images").mkdir()
    for k in range(12):
        Image.fromarray(scene(height=100 + 4 * k, width=140, seed=k)).save(
            tmp_path / "images" / f"{k:02d}.png")
    # The overlays go inside the folder walked; the second run must not take them for input.
    run = ["detect", "images", "--overlay", "images/overlays", "--out"]
    local = tarnwick_cli(*run, "local.jsonl", "--jobs", "3", cwd=tmp_path)
    overlays = sorted((tmp_path / "images" / "overlays").iterdir())
    local_overlays = [path.read_bytes() for path in overlays]
    with LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                      dashboard_address=None) as cluster:
        remote = tarnwick_cli(*run, "dask.jsonl", "--dask", cluster.scheduler_address, cwd=tmp_path)
    assert (local.returncode, remote.returncode) == (0, 0), remote.stderr
    text = (tmp_path / "local.jsonl").read_text()
    assert text.count("\n") == len(overlays) == 12 and '"segments":[]' not in text
    assert without_seconds((tmp_path / "dask.jsonl").read_text()) == without_seconds(text)
    assert [path.read_bytes() for path in overlays] == local_overlays


def page_photo(path):
    """A bright page on a dark table, seen in perspective; returns its corners, clockwise from
    top-left. The page is drawn through a homography chosen here, independent of the command's."""
    page_to_photo = np.array([[150.0, -20.0, 40.0], [25.0, 120.0, 30.0], [0.1, 0.15, 1.0]])
    corners = page_to_photo @ np.array([[0, 1, 1, 0], [0, 0, 1, 1], [1, 1, 1, 1]], float)
    corners = (corners[:2] / corners[2]).T
    # 4 x 4 samples per pixel, so that the page's outline falls between pixels as it would.
    offsets = (np.arange(4) + 0.5) / 4 - 0.5
    y, x = np.mgrid[0:200, 0:240].astype(float)
    cover = np.zeros_like(x)
    photo_to_page = np.linalg.inv(page_to_photo)
    for dy in offsets:
        for dx in offsets:
            u, v, w = np.einsum("ij,jkl->ikl", photo_to_page, np.stack([x + dx, y + dy, 1 + 0 * x]))
            cover += (w > 0) & (u >= 0) & (u <= w) & (v >= 0) & (v <= w)
    gray = np.round(20 + 180 * cover / 16).astype(np.uint8)
    Image.fromarray(np.repeat(gray[:, :, None], 3, axis=2)).save(path)
    return corners


def crossings(profile, level=110.0):
    """Sub-pixel positions where a 1-D profile crosses level."""
    above = profile >= level
    at = np.nonzero(above[1:] != above[:-1])[0]
    return at + (level - profile[at]) / (profile[at + 1] - profile[at])


class TestWarp:
    @pytest.mark.parametrize("name, dtype", [("in.png", np.uint8), ("in16.png", np.uint16),
                                             ("in16.tif", np.uint16)])
    def test_matrix_equals_warp_rgb(self, tmp_path, name, dtype):
        with Image.open(ROCKET) as rocket:
            src = np.asarray(rocket.crop((200, 60, 360, 180)))
        if dtype == np.uint16:
            src = src.astype(np.uint16) * 256 + np.arange(120, dtype=np.uint16)[:, None, None]
            if name.endswith(".png"):
                with open(tmp_path / name, "wb") as stream:
                    png.Writer(160, 120, greyscale=False, bitdepth=16).write(
                        stream, src.reshape(120, -1))
            else:
                tifffile.imwrite(tmp_path / name, src, photometric="rgb")
        else:
            Image.fromarray(src).save(tmp_path / name)
        matrix = [0.93, 0.12, 1.7, -0.08, 1.04, -0.6, 4e-4, -7e-4, 1.02]
        done = tarnwick_cli("warp", name, "out" + name[-4:], "--scale", "1.5", "--offset=-3.5,2",
                            "--matrix=" + ",".join(map(str, matrix)), cwd=tmp_path)
        assert done.returncode == 0 and not done.stderr, done.stderr
        if dtype == np.uint8:
            out = np.asarray(Image.open(tmp_path / "out.png"))
        elif name.endswith(".png"):
            _, _, rows, _ = png.Reader(filename=str(tmp_path / "out.png")).asDirect()
            out = np.array([np.asarray(row, np.uint16) for row in rows]).reshape(src.shape)
        else:
            out = tifffile.imread(tmp_path / "out.tif")
        assert out.dtype == dtype and np.any(out)
        np.testing.assert_array_equal(out, tarnwick.warp_rgb(src, matrix, 1.5, -3.5, 2.0))

    def test_corners_rectify_a_page(self, tmp_path):
        corners = page_photo(tmp_path / "page.png")
        # An output larger than the photograph, with a margin around the page: frame point
        # (X, Y) = (x / 0.8 - 30, y / 0.8 - 30), so the page spans 24 .. 263.2 by 24 .. 231.2.
        done = tarnwick_cli("warp", "page.png", "flat.png", "--corners=" + ",".join(
            repr(float(value)) for value in corners.ravel()), "--size", "300x260", "--scale", "0.8",
            "--offset=-30,-30", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        flat = np.asarray(Image.open(tmp_path / "flat.png"))[:, :, 0].astype(float)
        assert flat.shape == (260, 300)
        for profiles, ends in ((flat[40:216], (24.0, 263.2)), (flat.T[40:248], (24.0, 231.2))):
            edges = np.array([crossings(profile) for profile in profiles])
            assert edges.shape == (len(profiles), 2)
            assert np.abs(edges - ends).max() <= 1.0
            # Tighter on average: corners on pixel edges instead of centres would shift by 0.4.
            assert np.abs(edges.mean(axis=0) - ends).max() <= 0.1

    @pytest.mark.parametrize("arguments, message", [
        (["--corners", "0,0,10,10,20,20,0,30", "--size", "20x20"], "1, 2 and 3 lie on one line"),
        (["--corners", "0,0,10,0,10,0,0,10", "--size", "20x20"], "2 and 3 are the same point"),
        (["--corners", "0,0,10,0,0,10,10,10", "--size", "20x20"], "convex"),
        (["--corners", "0,0,10,0,10,inf,0,10", "--size", "20x20"], "not a finite number"),
        (["--corners", "0,0,10,0,10,10,0,10"], "--corners needs --size"),
        (["--corners", "0,0,10,0,10,10,0,10", "--size", "20x1"], "at least 2"),
        (["--matrix", "1,0,0,0,1,0,0,0"], "expected 9 numbers"),
        (["--matrix", "1,0,0,0,1,0,0,0,1", "--size", "20x20"], "--size goes with --corners"),
    ])
    def test_usage_errors(self, arguments, message):
        done = tarnwick_cli("warp", ROCKET, "never.png", *arguments)
        assert done.returncode == 2 and message in done.stderr.splitlines()[-1], done.stderr

    def test_file_errors_name_the_file(self, tmp_path):
        Image.fromarray(np.zeros((4, 5), np.uint16)).save(tmp_path / "deep.png")
        identity = "--matrix=1,0,0,0,1,0,0,0,1"
        for arguments, line in [
                (["missing.png", "out.png"], "tarnwick: missing.png: no such file or folder"),
                (["deep.png", "out.jpg"], "tarnwick: out.jpg: a 16-bit result can only be written"),
                ([ROCKET, "out.xyz"], "tarnwick: out.xyz: no image format is known")]:
            done = tarnwick_cli("warp", *arguments, identity, cwd=tmp_path)
            assert done.returncode == 1 and done.stderr.startswith(line), done.stderr
        assert sorted(os.listdir(tmp_path)) == ["deep.png"]


class TestCommand:
    def test_version_from_the_distribution(self):
        done = tarnwick_cli("--version")
        assert done.stdout.strip() == f"tarnwick {importlib.metadata.version('tarnwick')}"

    @pytest.mark.parametrize("command, options", [
        ("detect", ["--scale", "--out", "--format", "--overlay", "--jobs", "--dask", "--quiet"]),
        ("warp", ["--matrix", "--corners", "--size", "--scale", "--offset"])])
    def test_help_describes_every_option(self, command, options):
        for launcher in ([SCRIPT], [sys.executable, "-m", "tarnwick_cli"]):
            done = subprocess.run([*launcher, command, "--help"], capture_output=True, text=True)
            described = re.findall(r"^  (--[a-z]+)(?: \S+)?(?:, -\w)?\s{2,}[^-\s]", done.stdout,
                                   re.MULTILINE)
            assert done.returncode == 0 and sorted(described) == sorted(options), done.stdout
