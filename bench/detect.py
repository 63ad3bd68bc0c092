"""Times tarnwick.detect on the bundled photograph and on synthetic 1920x1080 and 4000x3000 images.

Prints, per image and scale: the median time, megapixels per second, the number of segments and
the time of a plain copy of the same array for reference. With --stages, also builds
bench/detect_stages.cpp and prints the time of each detector stage on the synthetic images.

    python bench/detect.py [--repeat N] [--stages]
"""

import os
import shutil
import subprocess
from pathlib import Path

from timing import median_time, parse_arguments, print_setup  # first: sets up the environment

import numpy as np

import tarnwick

ROOT = Path(__file__).resolve().parent.parent
PHOTO = ROOT / "examples" / "data" / "rocket.jpg"
BUILD = ROOT / "build" / "bench"
SCALES = (1.0, 0.8)
SYNTHETIC_SIZES = ((1920, 1080), (4000, 3000))


def fill_quad(image: np.ndarray, centre, length, width, angle, value) -> None:
    """Paints the rotated rectangle with the given centre, side lengths and angle, with edges
    blended over about one pixel as a camera would (hard, aliased steps are not realistic)."""
    height, img_width = image.shape
    c, s = np.cos(angle), np.sin(angle)
    reach = 0.5 * (abs(length * c) + abs(width * s)) + 1, 0.5 * (abs(length * s) + abs(width * c)) + 1
    x0, x1 = (int(np.clip(centre[0] + k * reach[0], 0, img_width)) for k in (-1, 1))
    y0, y1 = (int(np.clip(centre[1] + k * reach[1], 0, height)) for k in (-1, 1))
    if x1 <= x0 or y1 <= y0:
        return
    dx = np.arange(x0, x1, dtype=np.float32) - np.float32(centre[0])
    dy = (np.arange(y0, y1, dtype=np.float32) - np.float32(centre[1]))[:, None]
    along = dx * np.float32(c) + dy * np.float32(s)
    across = dy * np.float32(c) - dx * np.float32(s)
    cover = (np.clip(0.5 * length + 0.5 - np.abs(along), 0, 1)
             * np.clip(0.5 * width + 0.5 - np.abs(across), 0, 1))
    window = image[y0:y1, x0:x1]
    window += cover * (value - window)


def synthetic(width: int, height: int, seed: int = 7) -> np.ndarray:
    """A deterministic uint8 scene: shaded background, filled rotated rectangles at every angle,
    thin straight lines, and mild sensor noise."""
    rng = np.random.default_rng(seed)
    ys, xs = np.mgrid[0:height, 0:width]
    image = 90.0 + 40.0 * (xs / width) + 30.0 * np.sin(ys / height * np.pi)
    megapixels = width * height / 1e6
    size = min(width, height)
    for _ in range(int(60 * megapixels)):
        fill_quad(image, rng.uniform((0, 0), (width, height)), rng.uniform(0.03, 0.3) * size,
                  rng.uniform(0.02, 0.2) * size, rng.uniform(0, np.pi), rng.uniform(0, 255))
    for _ in range(int(40 * megapixels)):
        fill_quad(image, rng.uniform((0, 0), (width, height)), rng.uniform(0.05, 0.5) * size,
                  rng.uniform(1.0, 3.0), rng.uniform(0, np.pi), rng.uniform(0, 255))
    image += rng.normal(0.0, 2.0, image.shape)
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


def photo() -> np.ndarray | None:
    try:
        from PIL import Image
    except ImportError:
        print(f"(Pillow is not installed: skipping {PHOTO.name})")
        return None
    return np.asarray(Image.open(PHOTO).convert("L"))



def bench_detect(images: dict[str, np.ndarray], repeat: int) -> None:
    print(f"{'image':<22}{'scale':>6}{'median ms':>11}{'Mpx/s':>8}{'segments':>10}{'copy ms':>9}")
    for name, gray in images.items():
        copy_time = median_time(gray.copy, repeat)
        megapixels = gray.size / 1e6
        for scale in SCALES:
            segments = tarnwick.detect(gray, scale)  # warm-up; also gives the count
            elapsed = median_time(lambda: tarnwick.detect(gray, scale), repeat)
            print(f"{name:<22}{scale:>6.1f}{elapsed * 1e3:>11.1f}{megapixels / elapsed:>8.1f}"
                  f"{len(segments):>10}{copy_time * 1e3:>9.2f}")


def build_stages() -> Path:
    """Compiles bench/detect_stages.cpp with the core sources, unless the binary is up to date."""
    binary = BUILD / "detect_stages"
    sources = [ROOT / "bench" / "detect_stages.cpp"]
    for folder in ("detector", "parallel", "sample"):
        sources += sorted((ROOT / "src" / folder).glob("*.cpp"))
    inputs = sources + sorted((ROOT / "src").rglob("*.hpp"))
    if binary.exists() and binary.stat().st_mtime >= max(p.stat().st_mtime for p in inputs):
        return binary
    compiler = os.environ.get("CXX") or shutil.which("c++") or "g++"
    # The same floating-point rules as the library's own build.
    command = [compiler, "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-fast-math",
               "-pthread", f"-I{ROOT / 'src'}", *map(str, sources), "-o", str(binary)]
    print("building", binary.relative_to(ROOT), flush=True)
    BUILD.mkdir(parents=True, exist_ok=True)
    subprocess.run(command, check=True)
    return binary


def bench_stages(images: dict[str, np.ndarray], repeat: int) -> None:
    binary = build_stages()
    for name, gray in images.items():
        raw = BUILD / f"{name}.raw"
        raw.write_bytes(np.ascontiguousarray(gray).tobytes())
        height, width = gray.shape
        for scale in SCALES:
            print(f"\n{name}, scale {scale}", flush=True)
            subprocess.run([str(binary), str(raw), str(width), str(height), str(scale),
                            str(repeat)], check=True)


def main() -> None:
    args = parse_arguments(__doc__, default_repeat=5, stages=True)
    print_setup(args.repeat)
    images = {}
    if (gray := photo()) is not None:
        images[PHOTO.stem] = gray
    synthetic_images = {f"synthetic_{w}x{h}": synthetic(w, h) for w, h in SYNTHETIC_SIZES}
    images.update(synthetic_images)

    bench_detect(images, args.repeat)
    if args.stages:
        bench_stages(synthetic_images, args.repeat)


if __name__ == "__main__":
    main()
