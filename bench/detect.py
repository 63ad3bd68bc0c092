"""Times tarnwick.detect on photographs and smooth ramps, against the scikit-image pipeline.

Images: the bundled photograph, the same photograph resized to 1920x1080 and 4000x3000 (Pillow,
Lanczos), and a 4000x3000 mosaic of the photograph at its own resolution (tiles mirrored in turn),
each at scales 1.0, 0.8 and 0.5; then the float32 ramps n x n (n = 128, 181, 257, 363) at
scale 1.0, where one region covers the whole image. Per case it prints the median time with the
default pool and with one thread (a child interpreter with RAYON_NUM_THREADS=1), each over the
repeats of every round (a round times every case in turn), the speed-up of the pool, and the time
of canny(sigma=2) + probabilistic_hough_line on the same image as a multiple of tarnwick's pooled
time. Before timing, it checks that both runs found bit-identical segments.
With --stages it also prints the time of each detector stage (bench/detect_stages.cpp) with one
thread and with the default pool.

    python bench/detect.py [--repeat N] [--rounds N] [--stages] [--quick]
"""

import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from timing import median_time, parse_arguments, print_setup  # first: sets up the environment

import numpy as np

import tarnwick

ROOT = Path(__file__).resolve().parent.parent
PHOTO = ROOT / "examples" / "data" / "rocket.jpg"
BUILD = ROOT / "build" / "bench"
SCALES = (1.0, 0.8, 0.5)
PHOTO_SIZES = ((1920, 1080), (4000, 3000))
MOSAIC_SIZE = (4000, 3000)
RAMP_SIZES = (128, 181, 257, 363)
QUICK_RAMP_SIZES = (128, 181)
# A case whose first run takes longer than this is timed by that run alone.
SLOW_CASE_SECONDS = 3.0


def photographs() -> dict[str, np.ndarray]:
    try:
        from PIL import Image
    except ImportError:
        print("(Pillow is not installed: skipping the photographs)")
        return {}
    gray = Image.open(PHOTO).convert("L")
    images = {f"{PHOTO.stem} {gray.width}x{gray.height}": np.asarray(gray)}
    for width, height in PHOTO_SIZES:
        resized = gray.resize((width, height), Image.Resampling.LANCZOS)
        images[f"{PHOTO.stem} {width}x{height}"] = np.asarray(resized)
    images[f"{PHOTO.stem} mosaic {MOSAIC_SIZE[0]}x{MOSAIC_SIZE[1]}"] = mosaic(np.asarray(gray), *MOSAIC_SIZE)
    return images


def mosaic(tile: np.ndarray, width: int, height: int) -> np.ndarray:
    """The photograph repeated at its own resolution, every other tile mirrored so that tiles meet
    at matching edges. Enlarged 6x, the photograph is far smoother than a 12-megapixel photograph;
    tiled, it keeps the detail of a real one, with many more small regions to grow."""
    rows = []
    for i in range(-(-height // tile.shape[0])):
        row = tile[::-1] if i % 2 else tile
        rows.append(np.hstack([row[:, ::-1] if j % 2 else row
                               for j in range(-(-width // tile.shape[1]))]))
    return np.ascontiguousarray(np.vstack(rows)[:height, :width])


def ramp(n: int) -> np.ndarray:
    """A smooth float32 ramp: the whole image grows into one region that refinement shrinks."""
    return np.add.outer(np.arange(n) * 20.201291756320746,
                        np.arange(n) * 19.319858053410194).astype(np.float32)


def cases(images: dict[str, np.ndarray], ramps: dict[str, np.ndarray]):
    for name, gray in images.items():
        for scale in SCALES:
            yield f"{name} @{scale}", gray, scale
    for name, gray in ramps.items():
        yield f"{name} @1.0", gray, 1.0


def digest(segments) -> str:
    fields = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
    text = "|".join(",".join(getattr(s, f).hex() for f in fields) for s in segments)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def timed(fn, repeat: int):
    """The median time of fn and its first result; a slow case is timed by its first run only."""
    start = time.perf_counter()
    result = fn()
    first = time.perf_counter() - start
    return (first if first > SLOW_CASE_SECONDS else median_time(fn, repeat)), result


def time_cases(all_cases, repeat: int, rounds: int) -> dict[str, tuple[float, int, str]]:
    """Median time, segment count and segment digest of every case. Each round times every case in
    turn, so that a noisy neighbour on a shared machine slows all cases alike rather than the few
    that it happens to meet; a case whose first run is slow is timed by that run alone."""
    found, times, slow = {}, {}, set()
    for key, gray, scale in all_cases:
        start = time.perf_counter()
        segments = tarnwick.detect(gray, scale)
        first = time.perf_counter() - start
        found[key] = (len(segments), digest(segments))
        times[key] = [first] if first > SLOW_CASE_SECONDS else []
        if first > SLOW_CASE_SECONDS:
            slow.add(key)
    for _ in range(rounds):
        for key, gray, scale in all_cases:
            if key in slow:
                continue
            for _ in range(repeat):
                start = time.perf_counter()
                tarnwick.detect(gray, scale)
                times[key].append(time.perf_counter() - start)
    return {key: (statistics.median(times[key]), *found[key]) for key in found}


def run_worker(archive: str, repeat: int, rounds: int) -> None:
    """Child side of the one-thread run: times every case of the archive, prints JSON."""
    with np.load(archive) as data:
        all_cases = [(key, data[key], float(key.rsplit(" @", 1)[1])) for key in data.files]
        print(json.dumps(time_cases(all_cases, repeat, rounds)))


def one_thread_times(all_cases, repeat: int, rounds: int) -> dict[str, list]:
    with tempfile.TemporaryDirectory() as folder:
        archive = Path(folder) / "cases.npz"
        np.savez(archive, **{key: gray for key, gray, _ in all_cases})
        env = {**os.environ, "RAYON_NUM_THREADS": "1"}
        out = subprocess.run([sys.executable, __file__, "--repeat", str(repeat), "--rounds", str(rounds),
                              "--worker", str(archive)], env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def skimage_pipeline():
    try:
        from skimage.feature import canny
        from skimage.transform import probabilistic_hough_line
    except ImportError:
        print("(scikit-image is not installed: no peer timings)")
        return None
    return lambda gray: probabilistic_hough_line(canny(gray, sigma=2), threshold=10,
                                                 line_length=30, line_gap=3, rng=0)


def bench_detect(images, ramps, repeat: int, rounds: int) -> None:
    all_cases = list(cases(images, ramps))
    single = one_thread_times(all_cases, repeat, rounds)
    pooled_times = time_cases(all_cases, repeat, rounds)
    peer = skimage_pipeline()
    peer_times: dict[int, float] = {}
    print(f"{'case':<30}{'pool ms':>10}{'1 thr ms':>10}{'pool x':>8}{'Mpx/s':>8}"
          f"{'segments':>9}{'skimage ms':>12}{'x tarnwick':>11}")
    for key, gray, scale in all_cases:
        pooled, count, found = pooled_times[key]
        alone, alone_count, alone_found = single[key]
        if alone_found != found:
            sys.exit(f"{key}: one thread found {alone_count} segments, the pool {count}: they differ")
        peer_text = ""
        if peer is not None and not key.startswith("ramp"):
            if id(gray) not in peer_times:
                peer_times[id(gray)] = timed(lambda: peer(gray), repeat)[0]
            peer_text = f"{peer_times[id(gray)] * 1e3:>12.1f}{peer_times[id(gray)] / pooled:>11.1f}"
        print(f"{key:<30}{pooled * 1e3:>10.1f}{alone * 1e3:>10.1f}{alone / pooled:>8.2f}"
              f"{gray.size / 1e6 / pooled:>8.1f}{count:>9}{peer_text}", flush=True)


def build_stages() -> Path:
    """Builds bench/detect_stages.cpp with the library's own build rules (vector kernels too)."""
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DTARNWICK_BUILD_BENCH=ON"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "detect_stages"], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "detect_stages"


def bench_stages(images: dict[str, np.ndarray], repeat: int) -> None:
    binary = build_stages()
    threads = os.environ.get("RAYON_NUM_THREADS")
    for name, gray in images.items():
        raw = BUILD / f"{name.replace(' ', '_')}.raw"
        raw.write_bytes(np.ascontiguousarray(gray).tobytes())
        height, width = gray.shape
        for scale in SCALES:
            for pool in ("1", threads):
                env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
                if pool is not None:
                    env["RAYON_NUM_THREADS"] = pool
                print(f"\n{name}, scale {scale}", flush=True)
                subprocess.run([str(binary), str(raw), str(width), str(height), str(scale),
                                str(repeat)], check=True, env=env)


def main() -> None:
    args = parse_arguments(__doc__, default_repeat=5, stages=True, detect=True)
    if args.worker:
        run_worker(args.worker, args.repeat, args.rounds)
        return
    print_setup(args.repeat)
    images = photographs()
    ramps = {f"ramp {n}x{n} float32": ramp(n)
             for n in (QUICK_RAMP_SIZES if args.quick else RAMP_SIZES)}
    bench_detect(images, ramps, args.repeat, args.rounds)
    if args.stages:
        bench_stages(images, args.repeat)


if __name__ == "__main__":
    main()
