"""Digests of many detect and warp_rgb results, to prove that a faster path changes no bit.

`python tests/python/digests.py` prints the digests as JSON; `--write` stores them in
data/digests.json, which test_digests.py compares against. Every input is built from integers or
from exactly rounded NumPy arithmetic, so the inputs are the same on every machine.
"""

import hashlib
import json
import struct
import sys
from pathlib import Path

import numpy as np

import tarnwick

DATA = Path(__file__).resolve().parent / "data"
SCALES = (1.0, 0.8, 0.5, 0.3, 0.93, 2.0, float("nan"))


def photo_crops():
    with np.load(DATA / "photo_crops.npz") as crops:
        return crops["gray"], crops["rgb"]


def line_drawing(rng, height, width):
    """Soft straight bars at random angles over a dark background, from integer arithmetic only."""
    y, x = np.mgrid[0:height, 0:width].astype(np.int64)
    image = np.full((height, width), 25, np.int64)
    for _ in range(25):
        a, b = rng.integers(-50, 51, 2)
        if a == 0 and b == 0:
            continue
        c = -(a * rng.integers(0, width) + b * rng.integers(0, height))
        t2 = int(rng.integers(1, 10)) * (a * a + b * b)  # squared half-width, scaled
        d2 = (a * x + b * y + c) ** 2
        level = np.clip(220 - (d2 * 200) // t2, 0, 220)
        keep = (x >= rng.integers(0, width // 2)) & (x <= rng.integers(width // 2, width))
        image = np.maximum(image, np.where(keep, level, 0))
    return image.astype(np.uint8)


def gray_images():
    """Named uint8 or float images: a photograph, blocks, noise, a ramp, odd sizes, bad values."""
    rng = np.random.default_rng(2024)
    photo, _ = photo_crops()
    blocks = np.full((150, 170), 30, np.uint8)
    for k in range(12):
        y, x = rng.integers(0, 130, 2)
        blocks[y : y + rng.integers(5, 60), x : x + rng.integers(5, 60)] = rng.integers(60, 255)
    yield "photo", photo
    yield "photo_odd", photo[3:260:1, 7:211]
    yield "blocks", blocks
    noisy = photo[::2, ::2].astype(np.int64) + rng.integers(-12, 13, photo[::2, ::2].shape)
    yield "noisy", np.clip(noisy, 0, 255).astype(np.uint8)
    yield "lines", line_drawing(rng, 300, 410)
    yield "tiny", rng.integers(0, 256, (3, 5)).astype(np.uint8)
    n = 97
    ramp = np.add.outer(np.arange(n) * 20.201291756320746, np.arange(n) * 19.319858053410194)
    yield "ramp32", ramp.astype(np.float32)
    yield "ramp64", ramp
    wild = blocks[:90, :100].astype(np.float64) * 1.5 - 40.0
    wild[5, 5:9] = np.nan
    wild[40, 50] = np.inf
    wild[60:62, 70] = -np.inf
    wild[80, 10:30] = 1e300
    yield "wild", wild


def as_types(name, image):
    """The image in every accepted type that can hold it."""
    if image.dtype == np.uint8:
        yield name + ":uint8", image
        yield name + ":uint16", image.astype(np.uint16) * np.uint16(257)
        yield name + ":float32", (image.astype(np.float32) * np.float32(0.75) + np.float32(0.3))
        yield name + ":float64", image.astype(np.float64) * 1.25 - 3.0
    else:
        yield name + ":" + str(image.dtype), image


def detect_digests():
    digests = {}
    for name, image in gray_images():
        for key, typed in as_types(name, image):
            digest = hashlib.sha256()
            for scale in SCALES:
                for s in tarnwick.detect(typed, scale):
                    digest.update(struct.pack("<7d", s.x1, s.y1, s.x2, s.y2, s.width,
                                              s.precision, s.log_nfa))
                digest.update(b"|")
            digests["detect:" + key] = digest.hexdigest()
    return digests


def homographies(rng, count):
    """Mild and strong random homographies, mirrored ones, and degenerate or non-finite ones."""
    identity = np.eye(3).ravel()
    for k in range(count):
        spread = [0.4, 0.3, 8, 0.3, 0.4, 8, 1e-3, 1e-3, 0.2] if k % 2 else [2, 2, 40, 2, 2, 40,
                                                                           0.02, 0.02, 1]
        yield (rng.uniform(-1, 1, 9) * spread + identity).tolist()
    yield [-1, 0, 50, 0, 1, 0, 0, 0, 1]
    yield (-identity).tolist()
    yield [1, 2, 3, 2, 4, 6, 1, 2, 3]  # singular
    yield [0.0] * 9
    yield [1, 0, float("nan"), 0, 1, 0, 0, 0, 1]
    yield [1, 0, 0, 0, float("inf"), 0, 0, 0, 1]
    yield [1e308, 0, 0, 0, 1e308, 0, 0, 0, 1]
    yield [0, 0, 0, 0, 0, 0, 0, 0, 1]


def warp_digests():
    rng = np.random.default_rng(77)
    _, photo = photo_crops()
    digests = {}
    for dtype in (np.uint8, np.uint16):
        scale_up = 257 if dtype == np.uint16 else 1
        sources = [photo.astype(dtype) * dtype(scale_up)]
        sources += [rng.integers(0, np.iinfo(dtype).max + 1, (h, w, 3)).astype(dtype)
                    for h, w in ((1, 1), (5, 67), (13, 33), (40, 1), (29, 64))]
        digest = hashlib.sha256()
        for src in sources:
            for inverse in homographies(rng, 10):
                for scale, off_x, off_y in ((1.0, 0.0, 0.0), (1.7, -3.5, 2.25), (0.6, 1e6, -1e6),
                                            (0.0, 0.0, 0.0), (-1.0, 5.0, 5.0)):
                    digest.update(tarnwick.warp_rgb(src, inverse, scale, off_x, off_y).tobytes())
        digests["warp:" + np.dtype(dtype).name] = digest.hexdigest()
    return digests


def all_digests():
    return {**detect_digests(), **warp_digests()}


if __name__ == "__main__":
    digests = all_digests()
    if "--write" in sys.argv:
        (DATA / "digests.json").write_text(json.dumps(digests, indent=1, sort_keys=True) + "\n")
    print(json.dumps(digests, indent=1, sort_keys=True))
