"""detect: argument handling, accepted arrays and layouts, scales, and what it finds."""

import math
from fractions import Fraction

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import tarnwick
from conftest import exact, line_image, rectangle_image, scene

DTYPE_MESSAGE = "detect expects a (height, width) array of uint8, uint16, float32 or float64"
SCALE_NOTE = ["while processing 'scale'"]
DTYPES = ["uint8", "uint16", "float32", "float64"]
BLANK = np.zeros((4, 4))


def as_dtype(image, dtype):
    """The uint8 image as the given element type, with values that give the same working image."""
    if np.dtype(dtype) == np.uint16:
        return image.astype(np.uint16) * np.uint16(257)
    return image.astype(dtype)


@pytest.fixture(scope="module")
def base():
    return scene(seed=1)


class _Index:
    def __index__(self):
        return 1


class _NoteRefused(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes here")


class _RaisesOnFloat:
    def __float__(self):
        raise _NoteRefused("from __float__")


class TestArguments:
    def test_positional_keyword_and_default_forms_agree(self, base):
        expected = exact(tarnwick.detect(base, 0.8))
        assert len(expected) > 5 and exact(tarnwick.detect(base)) == expected
        assert exact(tarnwick.detect(gray=base)) == expected
        assert exact(tarnwick.detect(scale=0.8, gray=base)) == expected

    @pytest.mark.parametrize(
        "args, kwargs",
        [((), {}), ((BLANK, 0.8, 1), {}), ((BLANK,), {"size": 1}), ((BLANK,), {"gray": BLANK}),
         ((BLANK, 0.8), {"scale": 0.8}), ((), {"scale": "x"}), ((BLANK, "x", 1), {})],
    )
    def test_parsing_errors(self, args, kwargs):
        # Parsing comes first: a bad scale in a call that does not parse gets no note.
        with pytest.raises(TypeError) as raised:
            tarnwick.detect(*args, **kwargs)
        assert "detect" in str(raised.value)
        assert not getattr(raised.value, "__notes__", None)

    @pytest.mark.parametrize(
        "given, equivalent",
        [(1, 1.0), (np.int64(1), 1.0), (_Index(), 1.0), (Fraction(1, 2), 0.5)],
        ids=["int", "numpy-int", "dunder-index", "fraction-via-dunder-float"],
    )
    def test_numbers_are_converted(self, base, given, equivalent):
        found = exact(tarnwick.detect(base, given))
        assert found and found == exact(tarnwick.detect(base, equivalent))

    @pytest.mark.parametrize(
        "scale, error", [("0.5", TypeError), (None, TypeError), (10**400, OverflowError)]
    )
    @pytest.mark.parametrize("gray", ["valid", [], None], ids=["valid", "list", "none"])
    def test_conversion_error_keeps_its_type_and_gets_a_note(self, base, scale, error, gray):
        # The scale is converted before the image is looked at.
        image = base if gray == "valid" else gray
        with pytest.raises(error) as positional:
            tarnwick.detect(image, scale)
        with pytest.raises(error) as keyword:
            tarnwick.detect(image, scale=scale)
        for raised in (positional, keyword):
            assert type(raised.value) is error and raised.value.__notes__ == SCALE_NOTE

    def test_note_is_dropped_when_it_cannot_be_added(self, base):
        with pytest.raises(_NoteRefused) as raised:
            tarnwick.detect(base, _RaisesOnFloat())
        assert not getattr(raised.value, "__notes__", None)


class TestArrays:
    @pytest.mark.parametrize(
        "dtype", [np.float64, "d", "=f8", np.float32, "f", np.uint8, "B", np.uint16, "H"]
    )
    def test_accepted_types_give_the_same_segments(self, base, dtype):
        # uint16 holds 257 times the uint8 values, which the driver maps to the same samples.
        image = as_dtype(base, dtype)
        assert image.dtype == np.dtype(dtype)
        for scale in (1.0, 0.8):
            found = exact(tarnwick.detect(image, scale))
            assert found and found == exact(tarnwick.detect(base, scale))

    @pytest.mark.parametrize(
        "gray",
        [
            [[0.0] * 8] * 8, np.zeros(64), np.zeros((8, 8, 1)), np.zeros(()),
            memoryview(np.zeros((8, 8))), None,
            *(np.zeros((8, 8), t) for t in (np.int32, np.int64, np.uint32, np.float16, bool)),
            *(np.zeros((8, 8), t) for t in (np.complex128, object)),
            # Non-native byte order: nothing is converted.
            *(np.zeros((8, 8), np.dtype(t).newbyteorder()) for t in ("f8", "u2")),
        ],
        ids=lambda g: f"{g.dtype.str}-{g.ndim}d" if isinstance(g, np.ndarray) else type(g).__name__,
    )
    def test_rejected(self, gray):
        with pytest.raises(TypeError) as raised:
            tarnwick.detect(gray, 1.0)
        assert str(raised.value) == DTYPE_MESSAGE

    @pytest.mark.parametrize("shape", [(65536, 65537), (2**32, 1)])
    @pytest.mark.parametrize("dtype", DTYPES)
    def test_too_many_pixels(self, dtype, shape):
        # A broadcast view costs no memory; the limit must be checked before anything is copied.
        with pytest.raises(ValueError, match="pixels"):
            tarnwick.detect(np.broadcast_to(np.zeros((), dtype), shape))


def _unaligned(a):
    view = np.frombuffer(b"\0" + a.tobytes(), a.dtype, offset=1).reshape(a.shape)
    assert a.dtype.itemsize == 1 or not view.flags.aligned
    return view


def _step_slices(a):
    # The skipped elements hold a value the image does not contain, so reading them shows.
    big = np.full((2 * a.shape[0], 3 * a.shape[1]), 7, a.dtype)
    big[::2, ::3] = a
    return big[::2, ::3]


LAYOUTS = [
    ("fortran", np.asfortranarray, "float64"),
    ("transposed-copy-transposed", lambda a: a.T.copy().T, "uint8"),
    ("negative-strides", lambda a: a[::-1, ::-1].copy()[::-1, ::-1], "float32"),
    ("rows-reversed", lambda a: a[::-1], "uint16"),
    ("step-slices", _step_slices, "uint16"),
    ("column-window", lambda a: np.pad(a, ((0, 0), (2, 3)), constant_values=7)[:, 2:-3], "float32"),
    ("broadcast-row", lambda a: np.broadcast_to(a[40], a.shape), "uint8"),
    ("unaligned", _unaligned, "float64"),
    ("read-only-fortran", lambda a: as_strided(np.asfortranarray(a), writeable=False), "float32"),
    ("masked", lambda a: np.ma.masked_array(a, mask=np.indices(a.shape).sum(0) % 3 == 0), "uint8"),
]


class TestLayouts:
    @pytest.mark.parametrize("make, dtype", [l[1:] for l in LAYOUTS], ids=[l[0] for l in LAYOUTS])
    def test_same_as_the_contiguous_copy(self, base, make, dtype):
        # A reversed view must match its contiguous copy, i.e. be processed as the flipped image.
        view = make(as_dtype(base, dtype))
        copy = np.array(np.asarray(view), order="C")
        for scale in (1.0, 0.8):
            expected = exact(tarnwick.detect(copy, scale))
            assert expected and exact(tarnwick.detect(view, scale)) == expected
        assert np.array_equal(np.asarray(view), copy), "the input was written"

    def test_reversed_rows_differ_from_the_original(self, base):
        # Guards the test above: flipping changes the result, so equality there means something.
        assert exact(tarnwick.detect(base[::-1], 1.0)) != exact(tarnwick.detect(base, 1.0))


class TestScale:
    @pytest.mark.parametrize(
        "image, scale",
        [(np.zeros((0, 5)), 0.8), (np.zeros((5, 0), np.uint8), 1.0), (np.full((40, 50), 90.0), 1.0)]
        + [(rectangle_image(), s) for s in (0.0, -0.0, -1.0, -math.inf, 5e-324, 0.02)],
    )
    def test_nothing_to_find(self, image, scale):
        assert tarnwick.detect(image, scale) == []

    @pytest.mark.parametrize("scale", [2.0, math.nan, math.inf])
    def test_factors_not_below_one_keep_full_size(self, base, scale):
        expected = exact(tarnwick.detect(base, 1.0))
        assert expected and exact(tarnwick.detect(base, scale)) == expected
        assert exact(tarnwick.detect(base, 0.9999)) != expected


class TestFinds:
    # End points lie on the true edges (pixel centres at whole coordinates, input-image units).
    @pytest.mark.parametrize("scale", [1.0, 0.8])
    @pytest.mark.parametrize("degrees", [0, 17, 45, 73, 90, 135, 162])
    def test_bar_gives_its_two_long_edges(self, degrees, scale):
        # The bar's long edges lie at distance half_width on either side of its centre line.
        ux, uy = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
        reach, half_width = 40.0, 1.5
        p0, p1 = (64.0 - reach * ux, 64.0 - reach * uy), (64.0 + reach * ux, 64.0 + reach * uy)
        found = tarnwick.detect(line_image(128, 128, p0, p1, half_width=half_width), scale)
        assert len(found) == 2, found
        sides = set()
        for s in found:
            ends = ((s.x1 - 64.0, s.y1 - 64.0), (s.x2 - 64.0, s.y2 - 64.0))
            for x, y in ends:
                across = -x * uy + y * ux
                assert abs(abs(across) - half_width) <= 1.0, s
                sides.add(math.copysign(1.0, across))
            along = sorted(x * ux + y * uy for x, y in ends)
            assert abs(along[0] + reach) <= 2.0 and abs(along[1] - reach) <= 2.0, s
        assert sides == {1.0, -1.0}

    @pytest.mark.parametrize("transpose", [False, True], ids=["vertical", "horizontal"])
    @pytest.mark.parametrize("shrink, centre", [(1, 40), (2, 41), (4, 42)])
    def test_symmetric_edge_is_located_exactly(self, shrink, centre, transpose):
        # The image is antisymmetric about column `centre`, which lies half-way between two of
        # the columns that scaling by 1/shrink keeps: the fitted axis, back in input units, runs
        # through it exactly, so a half-pixel slip in the coordinate mapping shows.
        image = np.full((120, 100), 30.0)
        image[:, centre + 1 :] = 180.0
        image[:, centre] = 105.0
        image = np.ascontiguousarray(image.T) if transpose else image
        found = tarnwick.detect(image, 1.0 / shrink)
        assert len(found) == 1, found
        (s,) = found
        across, along = ((s.y1, s.y2), (s.x1, s.x2)) if transpose else ((s.x1, s.x2), (s.y1, s.y2))
        assert across == pytest.approx((centre, centre), abs=1e-9), s
        assert sorted(along) == pytest.approx((0.0, 119.0), abs=1.5 * shrink), s


class TestResults:
    @pytest.mark.parametrize("scale", [1.0, 0.8, 0.5])
    @pytest.mark.parametrize("seed", range(3))
    def test_sorted_longest_first_and_validated(self, seed, scale):
        found = tarnwick.detect(scene(seed=seed), scale)
        assert len(found) > 3
        lengths = [s.length for s in found]
        assert lengths == sorted(lengths, reverse=True)
        for s in found:
            assert s.log_nfa > 0.0, s
            # The angle tolerance starts at pi/8 and is only ever halved.
            assert s.precision in {0.125 * 0.5**k for k in range(11)}, s.precision

    def test_new_list_every_call(self, base):
        first, second = tarnwick.detect(base), tarnwick.detect(base)
        assert type(first) is list and first is not second
        assert all(a is not b for a, b in zip(first, second))
        first.clear()
        assert exact(second) == exact(tarnwick.detect(base))
        assert tarnwick.detect(BLANK) is not tarnwick.detect(BLANK)

    def test_white_noise_gives_well_under_one_per_image(self):
        images = [np.random.default_rng(seed).normal(128.0, 40.0, (256, 256)) for seed in range(20)]
        for scale in (0.8, 1.0):
            total = sum(len(tarnwick.detect(image, scale)) for image in images)
            assert total <= 10, (scale, total)

    @pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf, 1e308], ids=str)
    def test_extreme_values_do_not_fail(self, fill):
        image = rectangle_image().astype(np.float64)
        image[::7, ::5] = fill
        image[60:80, 60:100] = fill
        for scale in (1.0, 0.8):
            found = tarnwick.detect(image, scale)
            assert all(type(s) is tarnwick.Segment and not s.log_nfa <= 0.0 for s in found)
