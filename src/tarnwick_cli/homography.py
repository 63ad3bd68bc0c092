"""The inverse homography that rectifies a quadrilateral: four source corners onto a rectangle."""

import math

import numpy as np

from tarnwick_cli.problems import InputProblem

# Below this sine, the angle between two sides counts as 0: the corners are treated as collinear,
# because the homography through them would be dominated by rounding noise.
_FLAT_SINE = 1e-9


def _check_quadrilateral(corners: list[tuple[float, float]]) -> None:
    """Rejects corners that no rectangle can be mapped onto: non-finite, repeated, three on one
    line, or a self-intersecting or dented outline (whose inside the homography would not cover)."""
    if not all(math.isfinite(value) for corner in corners for value in corner):
        raise InputProblem("the corners must be finite numbers")
    for i in range(4):
        for j in range(i + 1, 4):
            if corners[i] == corners[j]:
                raise InputProblem(f"corners {i + 1} and {j + 1} are the same point")
    signs = set()
    for i in range(4):
        (ax, ay), (bx, by), (cx, cy) = corners[i - 1], corners[i], corners[(i + 1) % 4]
        cross = (bx - ax) * (cy - by) - (by - ay) * (cx - bx)
        if abs(cross) <= _FLAT_SINE * math.hypot(bx - ax, by - ay) * math.hypot(cx - bx, cy - by):
            raise InputProblem(f"corners {(i - 1) % 4 + 1}, {i + 1} and {(i + 1) % 4 + 1} "
                               "lie on one line")
        signs.add(cross > 0)
    if len(signs) != 1:
        raise InputProblem("the corners do not outline a convex quadrilateral in the order given "
                           "(clockwise from top-left, for example)")


def rectifying_inverse(corners: list[tuple[float, float]], width: int, height: int) -> list[float]:
    """The nine numbers (row-major, last one 1) of H with H . (X, Y, 1) ~ (u, v, 1) taking the
    output pixel centres (0, 0), (width - 1, 0), (width - 1, height - 1), (0, height - 1) to the
    four source corners in that order, in the pixel-centre coordinates warp_rgb samples in.

    Eight equations, eight unknowns: h11 X + h12 Y + h13 - u (h31 X + h32 Y) = u and the same for v.
    """
    _check_quadrilateral(corners)
    if width < 2 or height < 2:
        raise InputProblem("the output must be at least 2 x 2 pixels")
    right, bottom = float(width - 1), float(height - 1)
    rows, values = [], []
    for (x, y), (u, v) in zip(((0.0, 0.0), (right, 0.0), (right, bottom), (0.0, bottom)), corners):
        rows.append([x, y, 1.0, 0.0, 0.0, 0.0, -u * x, -u * y])
        rows.append([0.0, 0.0, 0.0, x, y, 1.0, -v * x, -v * y])
        values += [u, v]
    try:
        solution = np.linalg.solve(np.array(rows), np.array(values))
    except np.linalg.LinAlgError:
        raise InputProblem("the corners give no homography (the equations are singular)") from None
    if not np.all(np.isfinite(solution)):
        raise InputProblem("the corners give no finite homography")
    return [float(value) for value in solution] + [1.0]
