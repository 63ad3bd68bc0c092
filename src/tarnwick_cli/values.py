"""Option values of the command line, parsed and checked before any file is read."""

import argparse
import math
from collections.abc import Callable


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def positive_number(text: str) -> float:
    value = _number(text)
    if value <= 0.0:
        raise argparse.ArgumentTypeError(f"{text!r} is not above 0")
    return value


def positive_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not 1 or more")
    return value


def number_list(count: int) -> Callable[[str], tuple[float, ...]]:
    """A parser for exactly count finite numbers separated by commas."""
    def parse(text: str) -> tuple[float, ...]:
        parts = text.split(",")
        if len(parts) != count:
            raise argparse.ArgumentTypeError(
                f"expected {count} numbers separated by commas, got {len(parts)}")
        return tuple(_number(part.strip()) for part in parts)
    parse.__name__ = f"{count} numbers"  # argparse names the type after this in its messages
    return parse


def size(text: str) -> tuple[int, int]:
    """WxH in pixels, each at least 2 (the corners of the output rectangle must differ)."""
    width, separator, height = text.lower().partition("x")
    try:
        if not separator:
            raise ValueError
        width_value, height_value = int(width), int(height)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size such as 800x600") from None
    if width_value < 2 or height_value < 2:
        raise argparse.ArgumentTypeError(f"{text!r}: width and height must be at least 2")
    return width_value, height_value
