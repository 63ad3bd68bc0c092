"""`tarnwick warp`: one image resampled through an inverse homography, given or from corners."""

import argparse
import sys

import numpy as np

import tarnwick
from tarnwick_cli.problems import InputProblem, error_line, one_line
from tarnwick_cli.rgb_files import check_writable, read_rgb, write_rgb


def warp_to_size(src: np.ndarray, inverse: list[float], width: int, height: int, scale: float,
                 off_x: float, off_y: float) -> np.ndarray:
    """warp_rgb with an output of width x height pixels instead of the source's size.

    warp_rgb always returns the source's size, so the output is assembled from tiles of that size,
    each placed by the offsets (tile pixel x stands for x / scale + off_x + left / scale). Every
    pixel keeps warp_rgb's own rules, including 0 outside the source; an output that fits within
    the source is exactly the top-left corner of one warp_rgb call.
    """
    src_height, src_width, _ = src.shape
    out = np.zeros((height, width, 3), src.dtype)
    for top in range(0, height, src_height):
        for left in range(0, width, src_width):
            tile = tarnwick.warp_rgb(src, inverse, scale, off_x + left / scale,
                                     off_y + top / scale)
            rows, columns = min(src_height, height - top), min(src_width, width - left)
            out[top:top + rows, left:left + columns] = tile[:rows, :columns]
    return out


def _failed(path: str, exc: Exception) -> int:
    print(error_line(path, one_line(exc)), file=sys.stderr, flush=True)
    return 1


def run(args: argparse.Namespace, inverse: list[float]) -> int:
    """inverse is --matrix as given, or the one that rectifies --corners onto --size."""
    try:
        src = read_rgb(args.input)
        if src.shape[0] == 0 or src.shape[1] == 0:
            raise InputProblem("the image has no pixels")
    except Exception as exc:
        return _failed(args.input, exc)
    try:
        check_writable(args.output, src.dtype == np.uint16)  # before the work, not after
        if args.size is None:
            out = tarnwick.warp_rgb(src, inverse, args.scale, *args.offset)
        else:
            out = warp_to_size(src, inverse, *args.size, args.scale, *args.offset)
        write_rgb(args.output, out)
    except Exception as exc:
        return _failed(args.output, exc)
    return 0
