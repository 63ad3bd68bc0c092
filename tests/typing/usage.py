"""Typed use of tarnwick that mypy --strict and pyright must accept, with the types they infer."""

from typing import assert_type

import numpy as np
import numpy.typing as npt

import tarnwick


def longest_lengths(gray: npt.NDArray[np.uint16], count: int) -> list[float]:
    segments = tarnwick.detect(gray, scale=1)
    assert_type(segments, list[tarnwick.Segment])
    return [segment.length for segment in segments[:count]]


def describe(segment: tarnwick.Segment) -> tuple[float, ...]:
    return (segment.x1, segment.y1, segment.x2, segment.y2, segment.width, segment.precision,
            segment.log_nfa, segment.angle)


def every_accepted_call() -> None:
    for gray in (np.zeros((8, 8), np.uint8), np.zeros((8, 8), np.float32)):
        tarnwick.detect(gray)
    tarnwick.detect(gray=np.zeros((8, 8)), scale=np.float32(0.5))

    rgb8 = np.zeros((4, 6, 3), np.uint8)
    rgb16 = np.zeros((4, 6, 3), np.uint16)
    identity = (1, 0, 0, 0, 1, 0, 0, 0, 1)
    assert_type(tarnwick.warp_rgb(rgb8, identity, 1.0, 0, 0), npt.NDArray[np.uint8])
    assert_type(tarnwick.warp_rgb(rgb16, np.eye(3).ravel(), 2, 0.5, 0.5), npt.NDArray[np.uint16])
    assert_type(
        tarnwick.warp_rgb(src=rgb8, inverse=list(np.eye(3).ravel()), scale=1.0, off_x=0.0, off_y=0.0),
        npt.NDArray[np.uint8],
    )


if __name__ == "__main__":
    every_accepted_call()
    print(longest_lengths(np.zeros((16, 16), np.uint16), 3), describe)
