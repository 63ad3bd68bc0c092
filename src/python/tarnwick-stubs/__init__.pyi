"""Types of the tarnwick extension module: line segments in grayscale images, perspective warps."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final, overload

import numpy as np
import numpy.typing as npt

# The four element types detect reads; any shape is accepted by the checker, (height, width) at run
# time.
_Gray = (
    npt.NDArray[np.uint8] | npt.NDArray[np.uint16] | npt.NDArray[np.float32] | npt.NDArray[np.float64]
)
# Anything that float() accepts: Python and NumPy numbers, objects with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex
# Nine numbers, row-major: a list, a tuple or a flat NumPy array.
_Inverse = Sequence[_Float] | npt.NDArray[Any]

@final
class Segment:
    """One detected line segment, in input-image coordinates."""

    @property
    def x1(self) -> float: ...
    @property
    def y1(self) -> float: ...
    @property
    def x2(self) -> float: ...
    @property
    def y2(self) -> float: ...
    @property
    def width(self) -> float: ...
    @property
    def precision(self) -> float: ...
    @property
    def log_nfa(self) -> float: ...
    @property
    def angle(self) -> float:
        """Direction in degrees, -90 to 90, 0 = horizontal."""
    @property
    def length(self) -> float:
        """Length in pixels."""

def detect(gray: _Gray, scale: _Float = 0.8) -> list[Segment]:
    """Find the validated line segments of a grayscale image."""

@overload
def warp_rgb(
    src: npt.NDArray[np.uint8], inverse: _Inverse, scale: _Float, off_x: _Float, off_y: _Float
) -> npt.NDArray[np.uint8]: ...
@overload
def warp_rgb(
    src: npt.NDArray[np.uint16], inverse: _Inverse, scale: _Float, off_x: _Float, off_y: _Float
) -> npt.NDArray[np.uint16]: ...
