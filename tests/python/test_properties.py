"""Random arguments of every kind: only the documented outcomes, whatever the layout or the values.

The example budget comes from the hypothesis profile chosen in conftest.py; run with
--hypothesis-profile=thorough for a long search.
"""

import math

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

import tarnwick  # noqa: E402
from conftest import exact  # noqa: E402

DETECT_TYPES = [np.uint8, np.uint16, np.float32, np.float64]
WARP_TYPES = [np.uint8, np.uint16]
REJECTED_TYPES = [np.bool_, np.int8, np.int32, np.int64, np.float16, np.complex128, np.object_,
                  np.dtype(">f8"), np.dtype(">u2"), np.dtype([("a", "u1"), ("b", "f8")])]
IDENTITY = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]


class Refused(Exception):
    """Raised by the conversions that the tests break on purpose."""


class RaisesOnFloat:
    def __float__(self):
        raise Refused()


class WithIndex:
    def __index__(self):
        return 2


def _unaligned(a):
    return np.frombuffer(b"\0" + a.tobytes(), a.dtype, offset=1).reshape(a.shape)


def _read_only(a):
    view = a.view()
    view.flags.writeable = False
    return view


# Views whose logical content differs from, or equals, the generated array; each is compared
# with its own contiguous copy.
LAYOUTS = [
    lambda a: a,
    lambda a: a[::-1],
    lambda a: a[:, ::-1],
    lambda a: a[::2, 1::3],
    np.asfortranarray,
    lambda a: np.swapaxes(np.swapaxes(a, 0, 1).copy(), 0, 1),
    lambda a: np.broadcast_to(a[:1], a.shape),
    lambda a: np.broadcast_to(a[:, :1], a.shape),
    _unaligned,
    _read_only,
]


def shapes(extra_axes):
    """Image shapes from empty to a few hundred pixels, thin ones well represented."""
    return st.one_of(
        st.tuples(st.integers(0, 40), st.integers(0, 40)),
        st.tuples(st.integers(1, 3), st.integers(0, 300)),
        st.tuples(st.integers(0, 300), st.integers(1, 3)),
    ).map(lambda shape: shape + extra_axes)


@st.composite
def images(draw, accepted_types, extra_axes=()):
    """(array, accepted): an accepted array in some layout, or one of the wrong kind."""
    if draw(st.integers(0, 4)) == 4:
        shape = draw(shapes(extra_axes))
        wrong = draw(st.sampled_from(
            [np.zeros(shape, draw(st.sampled_from(REJECTED_TYPES))),
             np.zeros(shape[:1], accepted_types[0]), np.zeros(shape + (1,), accepted_types[0]),
             np.zeros(shape, accepted_types[0]).tolist()]))
        if extra_axes:
            wrong = draw(st.sampled_from([wrong, np.zeros(shape[:2] + (4,), accepted_types[0])]))
        return wrong, False
    dtype = np.dtype(draw(st.sampled_from(accepted_types)))
    finite = dtype.kind == "u" or draw(st.booleans())
    elements = (hnp.from_dtype(dtype, allow_nan=not finite, allow_infinity=not finite,
                               allow_subnormal=True) if dtype.kind == "f" else None)
    if draw(st.booleans()):  # flat blocks, so that there are edges to find
        rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
        shape = draw(st.tuples(st.integers(2, 6), st.integers(2, 6))) + extra_axes
        cells = rng.choice(np.array([0, 70, 200, 255], np.uint8), shape)
        rows, columns = draw(st.integers(5, 16)), draw(st.integers(5, 16))
        base = cells.repeat(rows, axis=0).repeat(columns, axis=1).astype(dtype)
    else:
        base = draw(hnp.arrays(dtype, draw(shapes(extra_axes)), elements=elements))
    return draw(st.sampled_from(LAYOUTS))(base), True


def numbers():
    """(value, error): numbers in every accepted form, and objects whose conversion fails."""
    accepted = st.one_of(
        st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
        st.sampled_from([0.0, -0.0, 1.0, 0.8, 1e-320, 1e308, -1.0, 0.999999]),
        st.integers(-10**30, 10**30), st.booleans(),
        st.floats(width=32).map(np.float32), st.integers(-5, 5).map(np.int64),
        st.just(WithIndex()),
    ).map(lambda value: (value, None))
    refused = st.sampled_from([("0.5", TypeError), (None, TypeError), (10**400, OverflowError),
                               (RaisesOnFloat(), Refused), (1j, TypeError)])
    return st.one_of(accepted, accepted, refused)


def assert_conversion_error(raised, error, parameter):
    assert type(raised) is error, repr(raised)
    assert raised.__notes__ == [f"while processing '{parameter}'"]


@given(images(DETECT_TYPES), st.one_of(numbers(), st.floats(0.3, 1.5).map(lambda v: (v, None))))
def test_detect(image, scale):
    (gray, accepted), (scale, scale_error) = image, scale
    try:
        found = tarnwick.detect(gray, scale)
    except Exception as raised:  # PanicException is not an Exception: it fails the test
        if scale_error:
            assert_conversion_error(raised, scale_error, "scale")
        else:
            assert not accepted and type(raised) is TypeError, repr(raised)
        return
    assert accepted and scale_error is None
    assert type(found) is list and all(type(s) is tarnwick.Segment for s in found)
    assert exact(tarnwick.detect(np.ascontiguousarray(gray), scale)) == exact(found)
    hypothesis.event(f"{min(len(found), 3)}+ segments")
    lengths = [s.length for s in found]
    assert lengths == sorted(lengths, reverse=True)
    if np.isfinite(gray).all():
        assert all(math.isfinite(getattr(s, f)) for s in found for f in ("x1", "y1", "x2", "y2"))


@st.composite
def matrices(draw):
    """(inverse, error): nine numbers in a sequence of some kind, or a malformed one."""
    element = st.one_of(st.floats(), st.sampled_from([0.0, 1e308, -1e308, 1.0]), st.integers(-9, 9))
    nine = draw(st.one_of(st.just(IDENTITY), st.lists(element, min_size=9, max_size=9),
                          st.just([0.0] * 9)))
    form = draw(st.sampled_from([list, tuple, lambda m: np.array(m, np.float64)]))
    return draw(st.sampled_from([
        (form(nine), None), (form(nine), None), (nine[:8], ValueError), (nine + [1.0], ValueError),
        ([nine[:3], nine[3:6], nine[6:]], ValueError), (1.0, TypeError), (None, TypeError),
        (nine[:4] + [RaisesOnFloat()] + nine[5:], Refused)]))


@given(images(WARP_TYPES, extra_axes=(3,)), matrices(), numbers(), numbers(), numbers())
def test_warp_rgb(image, inverse, scale, off_x, off_y):
    (src, accepted), arguments = image, (inverse, scale, off_x, off_y)
    values = [value for value, _ in arguments]
    try:
        warped = tarnwick.warp_rgb(src, *values)
    except BaseException as raised:
        bad = [(error, name) for (_, error), name in
               zip(arguments, ("inverse", "scale", "off_x", "off_y")) if error]
        if bad:  # the first argument that cannot be converted is the one reported
            assert_conversion_error(raised, *bad[0])
        elif not accepted:
            assert type(raised) is TypeError, repr(raised)
        else:  # the one internal failure that an accepted array can meet
            assert type(raised).__name__ == "PanicException" and src.shape[1] == 0, repr(raised)
            assert str(raised) == "chunk_size must not be zero"
        return
    assert accepted and not any(error for _, error in arguments)
    assert (warped.shape, warped.dtype) == (src.shape, src.dtype) and warped.flags.c_contiguous
    again = tarnwick.warp_rgb(np.ascontiguousarray(src), *values)
    assert warped.tobytes() == again.tobytes()


@given(images(WARP_TYPES, extra_axes=(3,)).filter(lambda image: image[1]))
def test_identity_warp_returns_its_input(image):
    src = image[0]
    if src.shape[1] == 0:
        return  # an internal failure, checked above
    assert tarnwick.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0).tobytes() == src.tobytes(order="C")
