"""Wrong uses of tarnwick: mypy and pyright must each report an error on every line marked
"error" and on no other line, which also shows that they read the installed stub."""

import numpy as np
import numpy.typing as npt

import tarnwick

gray = np.zeros((8, 8), np.uint8)
gray_int32 = np.zeros((8, 8), np.int32)
rgb = np.zeros((4, 4, 3), np.uint8)
rgb_float = np.zeros((4, 4, 3), np.float32)
identity = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
segment = tarnwick.detect(gray)[0]

tarnwick.detect("x")  # error
tarnwick.detect(gray_int32)  # error
tarnwick.detect(gray, scale="0.5")  # error
tarnwick.detect(gray, sigma=0.6)  # error
segment.x1 = 1.0  # error
segment.angle = 0.0  # error
tarnwick.warp_rgb(rgb_float, identity, 1.0, 0.0, 0.0)  # error
tarnwick.warp_rgb(rgb, 1.0, 1.0, 0.0, 0.0)  # error
tarnwick.warp_rgb(rgb, identity, 1.0, 0.0)  # error
wide: npt.NDArray[np.uint16] = tarnwick.warp_rgb(rgb, identity, 1.0, 0.0, 0.0)  # error
tarnwick.PanicException  # error
