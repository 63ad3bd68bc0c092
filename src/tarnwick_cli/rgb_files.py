"""RGB image files for warp, at their own depth: 8-bit through Pillow, 16-bit PNG through pypng and
16-bit TIFF through tifffile, since Pillow cannot hold 16-bit RGB."""

import importlib
import os

import numpy as np
from PIL import Image

from tarnwick_cli.atomic import replaced_path
from tarnwick_cli.pillow_images import SIXTEEN_BIT_GRAY, check_pixel_count, open_checked
from tarnwick_cli.problems import InputProblem

_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_TIFF_MAGIC = (b"II*\x00", b"MM\x00*", b"II+\x00", b"MM\x00+")
SIXTEEN_BIT_SUFFIXES = (".png", ".tif", ".tiff")


def _library(module: str, purpose: str):
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError:
        raise InputProblem(f"{purpose} need the package {module!r}: "
                           "pip install 'tarnwick[cli]'") from None


def _rgb(samples: np.ndarray) -> np.ndarray:
    """(height, width, channels) to (height, width, 3): gray is repeated, alpha is dropped (as
    Pillow's conversion to RGB does for 8-bit files)."""
    if samples.shape[2] < 3:
        return np.repeat(samples[:, :, :1], 3, axis=2)
    return np.ascontiguousarray(samples[:, :, :3])


def _png16(path: str) -> np.ndarray:
    png = _library("png", "16-bit PNG files")
    # read(), not asDirect(): the latter would scale samples down to an sBIT chunk's depth.
    width, height, rows, info = png.Reader(filename=path).read()
    check_pixel_count(width, height)
    samples = np.array([np.asarray(row, np.uint16) for row in rows], np.uint16)
    return _rgb(samples.reshape(height, width, info["planes"]))


def _tiff16(path: str) -> np.ndarray | None:
    """The first page of a 16-bit gray or RGB TIFF; None for other TIFFs, which Pillow reads."""
    tifffile = _library("tifffile", "TIFF files")
    with tifffile.TiffFile(path) as tiff:
        page = tiff.pages[0]
        if page.dtype != np.uint16:
            return None
        check_pixel_count(page.imagewidth, page.imagelength)
        photometric = tifffile.PHOTOMETRIC(page.photometric)
        if photometric not in (tifffile.PHOTOMETRIC.MINISBLACK, tifffile.PHOTOMETRIC.RGB):
            raise InputProblem(f"16-bit TIFF with photometric {photometric.name} is not supported")
        samples = page.asarray()
        if page.axes == "YX":
            samples = samples[:, :, np.newaxis]
        elif page.axes == "SYX":
            samples = np.moveaxis(samples, 0, -1)
        elif page.axes != "YXS":
            raise InputProblem(f"16-bit TIFF with axes {page.axes} is not supported")
    return _rgb(samples.astype(np.uint16, copy=False))


def read_rgb(path: str) -> np.ndarray:
    """A (height, width, 3) array: uint16 for 16-bit files (PNG, TIFF, or any 16-bit grayscale
    file Pillow reads), uint8 for everything else (Pillow's conversion to RGB)."""
    with open(path, "rb") as stream:
        head = stream.read(26)
    if head.startswith(_PNG_SIGNATURE) and head[12:16] == b"IHDR" and head[24] == 16:
        return _png16(path)
    if head[:4] in _TIFF_MAGIC:
        sixteen_bit = _tiff16(path)
        if sixteen_bit is not None:
            return sixteen_bit
    with open_checked(path) as image:
        if image.mode in SIXTEEN_BIT_GRAY:
            return _rgb(np.asarray(image).astype(np.uint16, copy=False)[:, :, np.newaxis])
        return np.asarray(image.convert("RGB"))


def check_writable(path: str, sixteen_bit: bool) -> None:
    """Raises unless the file name's suffix names a format that can hold the result."""
    suffix = os.path.splitext(path)[1].lower()
    if sixteen_bit and suffix not in SIXTEEN_BIT_SUFFIXES:
        raise InputProblem("a 16-bit result can only be written as .png, .tif or .tiff")
    if suffix not in Image.registered_extensions():
        raise InputProblem(f"no image format is known for the suffix {suffix!r}")


def write_rgb(path: str, pixels: np.ndarray) -> None:
    """Writes pixels to path (atomically) in the format its suffix names, at the array's depth."""
    suffix = os.path.splitext(path)[1].lower()
    check_writable(path, pixels.dtype == np.uint16)
    height, width, _ = pixels.shape
    with replaced_path(path) as temporary:
        if pixels.dtype == np.uint8:
            Image.fromarray(pixels).save(temporary, format=Image.registered_extensions()[suffix])
        elif suffix == ".png":
            png = _library("png", "16-bit PNG files")
            with open(temporary, "wb") as stream:
                png.Writer(width, height, greyscale=False, bitdepth=16).write(
                    stream, pixels.reshape(height, width * 3))
        else:
            _library("tifffile", "TIFF files").imwrite(temporary, pixels, photometric="rgb",
                                                        compression="zlib")
