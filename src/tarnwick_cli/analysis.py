"""One image from its file to plain results: the unit of work for local threads and Dask workers."""

import os
import time

import numpy as np
from PIL import Image, ImageDraw

import tarnwick
from tarnwick_cli.atomic import replaced_path
from tarnwick_cli.pillow_images import read_gray
from tarnwick_cli.problems import one_line

SEGMENT_FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
_LINE_COLOUR = (255, 64, 32)


def save_overlay(gray: np.ndarray, segments: list[list[float]], path: str) -> None:
    """The segments drawn over the image, as a PNG (a 16-bit image is shown by its high byte)."""
    shown = (gray >> 8).astype(np.uint8) if gray.dtype == np.uint16 else gray
    # Dimmed underneath, so that the drawn segments stand out on bright images too.
    canvas = Image.fromarray(shown // 2).convert("RGB")
    draw = ImageDraw.Draw(canvas)
    for x1, y1, x2, y2, *_ in segments:
        draw.line([(x1, y1), (x2, y2)], fill=_LINE_COLOUR, width=2)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with replaced_path(path) as temporary:
        canvas.save(temporary, format="PNG")


def analyse(path: str, scale: float, overlay: str | None) -> dict:
    """Reads path, detects its segments and writes the overlay PNG when overlay names one.

    Returns plain data only, since it may cross a process boundary: "width", "height", "seconds"
    (the time spent in detect) and "segments" (lists of the seven Segment values), and "error"
    with a one-line message when something failed; without "segments" when nothing was detected.
    """
    try:
        gray = read_gray(path)
        start = time.perf_counter()
        found = tarnwick.detect(gray, scale)
        seconds = time.perf_counter() - start
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        # tarnwick's internal failures derive from BaseException; they stay this image's failure.
        return {"error": one_line(exc)}
    height, width = gray.shape
    segments = [[getattr(s, name) for name in SEGMENT_FIELDS] for s in found]
    result = {"width": width, "height": height, "seconds": seconds, "segments": segments}
    if overlay is not None:
        try:
            save_overlay(gray, segments, overlay)
        except Exception as exc:
            result["error"] = "overlay not written: " + one_line(exc)
    return result
