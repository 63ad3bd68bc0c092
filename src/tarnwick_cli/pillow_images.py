"""Image files read through Pillow: the grayscale arrays detect takes, and the pixel limit."""

import warnings

import numpy as np
from PIL import Image

from tarnwick_cli.problems import InputProblem

SIXTEEN_BIT_GRAY = frozenset(("I;16", "I;16L", "I;16B", "I;16N"))

# Sizes are checked against Pillow's limit below, with a message of our own; its warning for
# images just above that limit would only be a second line about the same file.
warnings.simplefilter("ignore", Image.DecompressionBombWarning)


def check_pixel_count(width: int, height: int) -> None:
    """Refuses images above Pillow's decompression-bomb limit: the detector's working copies take
    several tens of bytes per pixel, and a batch runs several images at once."""
    limit = Image.MAX_IMAGE_PIXELS
    if limit is not None and width * height > limit:
        raise InputProblem(f"image too large: {width} x {height} pixels, more than {limit}")


def open_checked(path: str) -> Image.Image:
    """Opens path with Pillow (reading only the header) and checks its size."""
    try:
        image = Image.open(path)
    except Image.DecompressionBombError as exc:
        raise InputProblem(f"image too large: {exc}") from None
    except Image.UnidentifiedImageError:
        raise InputProblem("not an image file that Pillow can read") from None
    try:
        check_pixel_count(*image.size)
    except InputProblem:
        image.close()
        raise
    return image


def read_gray(path: str) -> np.ndarray:
    """The first frame as detect's input: 16-bit grayscale files stay uint16, every other file goes
    through Pillow's conversion to 8-bit luminance ("L"). EXIF orientation is not applied, so
    coordinates refer to the pixels as stored."""
    with open_checked(path) as image:
        if image.mode in SIXTEEN_BIT_GRAY:
            return np.asarray(image).astype(np.uint16, copy=False)  # native byte order
        return np.asarray(image.convert("L"))
