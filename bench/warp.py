"""Times tarnwick.warp_rgb against its peers on 1920x1080 and 3840x2160 RGB images, 8 and 16 bits.

For each image, sample type and matrix (identity, affine, rotation, keystone) it prints tarnwick's median
time with the default pool, on one thread, and on one thread with each vector version that this
CPU has (each in a child interpreter sized by RAYON_NUM_THREADS=1 and forced by TARNWICK_SIMD);
then Pillow's perspective bilinear transform (uint8 only), scikit-image's warp(order=1,
preserve_range=True) and src.copy(), each as a multiple of tarnwick's time with the pool. Peers
that are not installed are skipped with a note. Before timing, it checks that the identity warp
reproduces its input and that the peers agree with tarnwick where they should.

For each case, rounds time every variant in turn (children stay alive between cases), so that a
noisy neighbour slows all of them alike; each figure is the median over every round's repeats.

    python bench/warp.py [--repeat N] [--rounds N] [--sizes 1920x1080,...]
"""

import argparse
import json
import os
import platform
import subprocess
import time
import sys

from timing import median_time, print_setup  # first: sets up the environment

import numpy as np

import tarnwick

SIZES = ((1920, 1080), (3840, 2160))
DTYPES = (np.uint8, np.uint16)
SIMD_SETS = ("baseline", "avx2", "avx512", "neon")
COS_30, SIN_30 = 3 ** 0.5 / 2, 0.5


def matrices(width: int, height: int) -> dict[str, list[float]]:
    """Inverse homographies that keep most output pixels inside a width x height source."""
    return {
        "identity": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
        # A 7 degree rotation with a slight zoom about the centre.
        "affine": [0.985, -0.121, 0.07 * width, 0.121, 0.985, -0.05 * height, 0.0, 0.0, 1.0],
        # 30 degrees about the centre: every tile reads a band across many source rows.
        "rotation": [COS_30, -SIN_30, (1 - COS_30) * width / 2 + SIN_30 * height / 2,
                     SIN_30, COS_30, (1 - COS_30) * height / 2 - SIN_30 * width / 2, 0.0, 0.0, 1.0],
        # A strong keystone: W runs from 1 at the top to about 2.5 at the bottom.
        "keystone": [1.0, 0.4, -0.1 * width, 0.0, 1.6, 0.0, 0.0, 1.5 / height, 1.0],
    }


def image(width: int, height: int, dtype) -> np.ndarray:
    rng = np.random.default_rng(3)
    return rng.integers(0, np.iinfo(dtype).max, size=(height, width, 3), dtype=dtype,
                        endpoint=True)


def cases(sizes):
    for width, height in sizes:
        for dtype in DTYPES:
            for name, inverse in matrices(width, height).items():
                yield f"{width}x{height} {np.dtype(dtype).name} {name}", width, height, dtype, inverse


def cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith(("flags", "Features")):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def vector_sets() -> list[str]:
    """The versions this CPU runs; a version it lacks would only fall back to another one."""
    flags, machine = cpu_flags(), platform.machine().lower()
    sets = ["baseline"]
    if machine in ("x86_64", "amd64"):
        if "avx2" in flags:
            sets.append("avx2")
        if {"avx512f", "avx512bw", "avx512vl", "avx512dq"} <= flags:
            sets.append("avx512")
    elif machine in ("aarch64", "arm64"):
        sets.append("neon")
    return sets


def cpu_model() -> str:
    for line in open("/proc/cpuinfo") if os.path.exists("/proc/cpuinfo") else ():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or platform.machine()


class Peers:
    """The optional peers, each a function of (src, inverse) or None with a note."""

    def __init__(self):
        self.notes = []
        try:
            from PIL import Image

            self.pillow_module = Image
        except ImportError:
            self.pillow_module = None
            self.notes.append("Pillow not installed: skipped")
        try:
            from skimage.transform import ProjectiveTransform, warp

            self.skimage = (ProjectiveTransform, warp)
        except ImportError:
            self.skimage = None
            self.notes.append("scikit-image not installed: skipped")

    def pillow(self, src, inverse):
        """Pillow samples at pixel centres (x + 0.5, y + 0.5): conjugating H by the half-pixel
        shift gives the same map; Pillow wants it scaled to H[8] = 1."""
        if self.pillow_module is None or src.dtype != np.uint8:
            return None
        h = np.array(inverse, np.float64).reshape(3, 3)
        shift = np.array([[1, 0, 0.5], [0, 1, 0.5], [0, 0, 1]])
        back = np.array([[1, 0, -0.5], [0, 1, -0.5], [0, 0, 1]])
        m = shift @ h @ back
        data = tuple((m / m[2, 2]).ravel()[:8])
        Image = self.pillow_module
        picture = Image.fromarray(src, "RGB")
        size = picture.size
        return lambda: np.asarray(picture.transform(size, Image.Transform.PERSPECTIVE, data,
                                                    Image.Resampling.BILINEAR))

    def scikit_image(self, src, inverse):
        if self.skimage is None:
            return None
        ProjectiveTransform, warp = self.skimage
        transform = ProjectiveTransform(matrix=np.array(inverse, np.float64).reshape(3, 3))
        return lambda: warp(src, transform, order=1, preserve_range=True)


def agreement(ours: np.ndarray, theirs: np.ndarray) -> float:
    """Mean absolute difference where both images have a pixel (borders are handled differently)."""
    both = ours.any(axis=2) & np.asarray(theirs).any(axis=2)
    if not both.any():
        return 0.0
    return float(np.abs(ours[both].astype(np.float64) - np.asarray(theirs)[both]).mean())


class Images:
    """The source image of each size and type, made once."""

    def __init__(self):
        self.cache = {}

    def __call__(self, width, height, dtype):
        key = (width, height, np.dtype(dtype).name)
        if key not in self.cache:
            self.cache[key] = image(width, height, dtype)
        return self.cache[key]


def serve(sizes, repeat) -> None:
    """Child mode: times the case named on each line of standard input, answers in JSON."""
    images = Images()
    by_label = {label: rest for label, *rest in cases(sizes)}
    print("ready", flush=True)
    for line in sys.stdin:
        width, height, dtype, inverse = by_label[line.strip()]
        src = images(width, height, dtype)
        # Warm up for a while, not once: after seconds of rest (the other children's turns) the
        # pool's threads, and on a virtual machine their CPUs, take some calls to be back at speed.
        warm_until = time.perf_counter() + 0.05
        while time.perf_counter() < warm_until:
            tarnwick.warp_rgb(src, inverse, 1.0, 0.0, 0.0)
        times = [median_time(lambda: tarnwick.warp_rgb(src, inverse, 1.0, 0.0, 0.0), 1)
                 for _ in range(repeat)]
        print(json.dumps(times), flush=True)


class Child:
    """A child interpreter with its own environment that times cases on request."""

    def __init__(self, sizes, repeat, env):
        size_text = ",".join(f"{w}x{h}" for w, h in sizes)
        command = [sys.executable, os.path.abspath(__file__), "--serve", "--repeat", str(repeat),
                   "--sizes", size_text]
        self.process = subprocess.Popen(command, env={**os.environ, **env}, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        # Timing starts only once every child has started up: one still importing NumPy would
        # take a core from the child being timed.
        if self.process.stdout.readline().strip() != "ready":
            sys.exit(f"a timing child did not start (exit code {self.process.wait()})")

    def time(self, label) -> list[float]:
        self.process.stdin.write(label + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            sys.exit(f"a timing child ended early (exit code {self.process.wait()})")
        return json.loads(answer)

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def check_agreement(sizes, peers: Peers) -> dict[str, float]:
    """Exits when a result is wrong; returns each case's share of output pixels inside the source."""
    inside = {}
    for label, width, height, dtype, inverse in cases(sizes):
        src = image(width, height, dtype)
        ours = tarnwick.warp_rgb(src, inverse, 1.0, 0.0, 0.0)
        inside[label] = np.count_nonzero(ours.any(axis=2)) / (width * height)
        if label.endswith("identity") and not np.array_equal(ours, src):
            sys.exit(f"{label}: the identity warp changed the image")
        if width * height > 2_500_000:
            continue  # the small image already showed it; scikit-image takes seconds here
        for peer_name, make in (("Pillow", peers.pillow), ("scikit-image", peers.scikit_image)):
            run = make(src, inverse)
            if run is None:
                continue
            difference = agreement(ours, run())
            # Identity must match exactly; elsewhere the peers round and clip differently.
            limit = 0.0 if label.endswith("identity") else 1.0
            if difference > limit:
                sys.exit(f"{label}: {peer_name} differs by {difference:.3f} on average")
    return inside


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per case and round")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds of every variant")
    parser.add_argument("--sizes", default=",".join(f"{w}x{h}" for w, h in SIZES),
                        help="comma-separated WIDTHxHEIGHT")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.repeat < 1 or args.rounds < 1:
        parser.error("--repeat and --rounds must be at least 1")
    args.sizes = [tuple(int(n) for n in size.split("x")) for size in args.sizes.split(",")]
    return args


def measure(args, peers: Peers) -> dict[str, dict[str, list[float]]]:
    """Every variant's times per case. Each round times every variant of a case in turn, so that
    a noisy neighbour slows all of them alike."""
    variants = {"pool": {}, "1 thread": {"RAYON_NUM_THREADS": "1"}}
    variants.update({f"1t {name}": {"RAYON_NUM_THREADS": "1", "TARNWICK_SIMD": name}
                     for name in vector_sets()})
    children = {variant: Child(args.sizes, args.repeat, env) for variant, env in variants.items()}
    times = {variant: {} for variant in (*variants, "Pillow", "skimage", "copy")}
    images = Images()
    # Slow peers get fewer repeats: scikit-image takes seconds on the large image.
    peer_repeat = max(1, args.repeat // 2)
    for label, width, height, dtype, inverse in cases(args.sizes):
        src = images(width, height, dtype)
        runs = {"copy": (src.copy, args.repeat),
                "Pillow": (peers.pillow(src, inverse), peer_repeat),
                "skimage": (peers.scikit_image(src, inverse), peer_repeat)}
        for _ in range(args.rounds):
            for variant, child in children.items():
                times[variant].setdefault(label, []).extend(child.time(label))
            for variant, (run, repeat) in runs.items():
                if run is not None:
                    times[variant].setdefault(label, []).extend(
                        median_time(run, 1) for _ in range(repeat))
    for child in children.values():
        child.close()
    return times


def main() -> None:
    args = parse_arguments()
    if args.serve:
        serve(args.sizes, args.repeat)
        return
    print_setup(args.repeat * args.rounds)
    print(f"CPU: {cpu_model()}; vector versions: {', '.join(vector_sets())}")
    peers = Peers()
    for note in peers.notes:
        print(note)
    inside = check_agreement(args.sizes, peers)
    times = measure(args, peers)

    def median_ms(variant, label):
        values = times[variant].get(label)
        return float(np.median(values)) * 1e3 if values else None

    simd_columns = [variant for variant in times if variant.startswith("1t ")]
    print("\ntarnwick: ms with the pool and on one thread; ns per output pixel on one thread "
          "per vector version")
    print(f"{'case':<32}{'inside':>7}{'pool ms':>9}{'Mpx/s':>7}{'x copy':>8}{'1t ms':>8}"
          + "".join(f"{v[3:] + ' ns':>12}" for v in simd_columns))
    for label, width, height, _, _ in cases(args.sizes):
        pixels = width * height
        pool, one, copy = (median_ms(v, label) for v in ("pool", "1 thread", "copy"))
        per_set = "".join(f"{median_ms(v, label) * 1e6 / pixels:>12.2f}" for v in simd_columns)
        print(f"{label:<32}{inside[label]:>7.0%}{pool:>9.2f}{pixels / pool / 1e3:>7.0f}"
              f"{pool / copy:>8.1f}{one:>8.2f}{per_set}")

    print("\npeers: ms and multiple of tarnwick's time with the pool")
    print(f"{'case':<32}{'tarnwick':>9}{'Pillow':>9}{'x':>7}{'skimage':>10}{'x':>7}{'copy':>8}"
          f"{'x':>7}")
    for label, *_ in cases(args.sizes):
        pool = median_ms("pool", label)
        row = f"{label:<32}{pool:>9.2f}"
        for variant, width in (("Pillow", 9), ("skimage", 10), ("copy", 8)):
            value = median_ms(variant, label)
            row += f"{'-':>{width}}{'':>7}" if value is None else \
                f"{value:>{width}.2f}{value / pool:>7.2f}"
        print(row)


if __name__ == "__main__":
    main()
