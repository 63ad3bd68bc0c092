"""tarnwick on a real photograph: line segments drawn over it, then a perspective-warped view.

Writes examples/out/segments.png and examples/out/warped.png.
"""

import statistics
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

import tarnwick

HERE = Path(__file__).resolve().parent
PHOTO = HERE / "data" / "rocket.jpg"
OUT = HERE / "out"
RUNS = 5


def show_segments(rgb: Image.Image) -> None:
    gray = np.asarray(rgb.convert("L"), dtype=np.float64)

    times = []
    segments: list[tarnwick.Segment] = []
    for _ in range(RUNS):
        start = time.perf_counter()
        segments = tarnwick.detect(gray)
        times.append(time.perf_counter() - start)

    height, width = gray.shape
    print(f"{PHOTO.name}: {width} x {height} pixels, {len(segments)} segments, "
          f"median {statistics.median(times) * 1e3:.1f} ms over {RUNS} runs")
    print("longest:")
    for segment in segments[:5]:
        print(f"  {segment!r}  length {segment.length:.1f}, angle {segment.angle:.1f} deg")

    # Dimmed grayscale underneath, so that the drawn segments stand out.
    canvas = Image.fromarray(np.asarray(rgb.convert("L")) // 2).convert("RGB")
    draw = ImageDraw.Draw(canvas)
    for segment in segments:
        draw.line([(segment.x1, segment.y1), (segment.x2, segment.y2)],
                  fill=(255, 64, 32), width=2)
    path = OUT / "segments.png"
    canvas.save(path)
    print(f"wrote {path}")


def homography(dst: list[tuple[float, float]], src: list[tuple[float, float]]) -> np.ndarray:
    """The 3x3 matrix (with H[2, 2] = 1) that takes each dst corner to its src corner."""
    rows, rhs = [], []
    for (x, y), (u, v) in zip(dst, src):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y])
        rhs += [u, v]
    return np.append(np.linalg.solve(np.array(rows, float), np.array(rhs, float)), 1.0).reshape(3, 3)


def show_rectified(rgb: Image.Image) -> None:
    src = np.asarray(rgb)
    height, width, _ = src.shape
    right, bottom = width - 1, height - 1
    # The whole output frame samples a trapezoid of the photograph that narrows towards the top,
    # which pulls the top apart: the towers lean outwards as if seen from below.
    frame = [(0, 0), (right, 0), (right, bottom), (0, bottom)]
    trapezoid = [(0.18 * right, 0), (0.82 * right, 0), (right, bottom), (0, bottom)]
    inverse = homography(frame, trapezoid)

    start = time.perf_counter()
    warped = tarnwick.warp_rgb(src, inverse.ravel(), 1.0, 0.0, 0.0)
    elapsed = time.perf_counter() - start

    path = OUT / "warped.png"
    Image.fromarray(warped).save(path)
    print(f"warp_rgb: {width} x {height} in {elapsed * 1e3:.1f} ms, wrote {path}")


def main() -> None:
    OUT.mkdir(exist_ok=True)
    rgb = Image.open(PHOTO).convert("RGB")
    show_segments(rgb)
    show_rectified(rgb)


if __name__ == "__main__":
    main()
