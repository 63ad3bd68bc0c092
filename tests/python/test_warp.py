"""warp_rgb: argument errors, accepted arrays, the result array, threads, and the arithmetic."""

import gc
import hashlib
import os

import numpy as np
import pytest

import tarnwick
from conftest import run_python_ok

IDENTITY = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
# Mild perspective: most output pixels land inside the source, between sample positions.
PERSPECTIVE = [0.93, 0.12, 1.7, -0.08, 1.04, -0.6, 4e-4, -7e-4, 1.02]
ARRAY_MESSAGE = "warp_rgb expects a (height, width, 3) array of uint8 or uint16"
DTYPES = [np.uint8, np.uint16]


def random_image(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, np.iinfo(dtype).max, size=shape, dtype=dtype, endpoint=True)


def reference_warp(src, inverse, scale, off_x, off_y):
    """The resampling as whole-array float64 operations, each rounded once, in the same order."""
    height, width, _ = src.shape
    out = np.zeros(src.shape, src.dtype)
    h = [float(value) for value in inverse]
    with np.errstate(all="ignore"):
        sy = np.arange(height, dtype=np.float64)[:, None] / scale + off_y
        sx = np.arange(width, dtype=np.float64)[None, :] / scale + off_x
        w = (h[8] + h[7] * sy) + h[6] * sx
        u = ((h[2] + h[1] * sy) + h[0] * sx) / w
        v = ((h[5] + h[4] * sy) + h[3] * sx) / w
        # Written with negations so that NaN positions count as inside, as they do in the core.
        inside = (w != 0.0) & ~(u < 0.0) & ~(u > width - 1.0) & ~(v < 0.0) & ~(v > height - 1.0)
        rows, cols = np.nonzero(inside)
        u, v = u[inside], v[inside]
        x0, y0 = (np.nan_to_num(np.floor(t)).astype(np.intp) for t in (u, v))  # NaN gives 0
        x1, y1 = np.minimum(x0 + 1, width - 1), np.minimum(y0 + 1, height - 1)
        fx, fy = (u - x0)[:, None], (v - y0)[:, None]
        s = (fx * (1.0 - fy) * src[y0, x1] + (1.0 - fx) * (1.0 - fy) * src[y0, x0])
        s = (s + (1.0 - fx) * fy * src[y1, x0]) + fx * fy * src[y1, x1]
        value = np.clip(np.nan_to_num(s + 0.5), 0.0, float(np.iinfo(src.dtype).max))
    out[rows, cols] = np.trunc(value).astype(src.dtype)
    return out


class Holder:
    class NotASequence:  # named in messages by its qualified name
        pass


def instance(**methods):
    """An object of a throwaway class with the given special methods."""
    return type("Throwaway", (), methods)()


NINE = [1.0] * 9
SEQUENCE = "object is not an instance of 'Sequence'"
BAD_FLOAT = instance(__float__=lambda s: float("x"))  # its __float__ raises ValueError
FLOAT_MESSAGE = "could not convert string to float: 'x'"
TWO = instance(__index__=lambda s: 2)  # a number only through __index__


# Arguments convert in order and the first failure ends the call, keeping its own type and
# message and gaining a note: every later argument (src included, which is no array here) would
# fail differently if it were looked at.
@pytest.mark.parametrize(
    "parameter, bad, kind, message",
    [
        ("inverse", [[1, 0, 0], [0, 1, 0], [0, 0, 1]], ValueError,
         "expected a sequence of length 9 (got 3)"),
        ("inverse", np.eye(3), ValueError, "expected a sequence of length 9 (got 3)"),
        ("inverse", NINE[:8], ValueError, "expected a sequence of length 9 (got 8)"),
        ("inverse", NINE + [1.0], ValueError, "expected a sequence of length 9 (got 10)"),
        ("inverse", 1.5, TypeError, f"'float' {SEQUENCE}"),
        ("inverse", {i: 1.0 for i in range(9)}, TypeError, f"'dict' {SEQUENCE}"),
        ("inverse", None, TypeError, "'None' is not an instance of 'Sequence'"),
        ("inverse", Holder.NotASequence(), TypeError, f"'Holder.NotASequence' {SEQUENCE}"),
        ("inverse", ["x"] + NINE[1:], TypeError, "must be real number, not str"),
        ("inverse", NINE[:3] + [BAD_FLOAT] + NINE[4:], ValueError, FLOAT_MESSAGE),
        ("inverse", instance(__len__=lambda s: {}["no len"], __getitem__=lambda s, i: 1.0),
         KeyError, "'no len'"),
        ("inverse", instance(__len__=lambda s: 9, __getitem__=lambda s, i: NINE[:4][i]),
         IndexError, "list index out of range"),
        ("scale", "0.5", TypeError, "must be real number, not str"),
        ("off_x", None, TypeError, "must be real number, not NoneType"),
        ("off_y", BAD_FLOAT, ValueError, FLOAT_MESSAGE),
    ],
)
def test_conversion_errors(parameter, bad, kind, message):
    names = ["inverse", "scale", "off_x", "off_y"]
    arguments = {name: NINE if name == "inverse" else 1.0 for name in names}
    later = instance(__float__=lambda s: pytest.fail("converted after an earlier one failed"))
    arguments.update({name: later for name in names[names.index(parameter) + 1:]})
    arguments[parameter] = bad
    with pytest.raises(kind) as caught:
        tarnwick.warp_rgb("not an array", **arguments)
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_parsing_errors():
    five = (np.zeros((1, 1, 3), np.uint8), IDENTITY, 1.0, 0.0, 0.0)
    # Nothing, off_y missing, one too many, an unknown keyword, scale given twice.
    for args, kwargs in [((), {}), (five[:4], {}), (five + (0.0,), {}), (five, {"angle": 1.0}),
                         (five, {"scale": 1.0})]:
        with pytest.raises(TypeError, match="warp_rgb"):
            tarnwick.warp_rgb(*args, **kwargs)


SHIFT = [1, 0, 1, 0, 1, 0, 0, 0, 1]  # whole numbers, so every form below is the same matrix


@pytest.mark.parametrize(
    "form",
    [tuple(SHIFT), SHIFT, [float(value) for value in SHIFT], np.array(SHIFT, np.float64),
     np.array(SHIFT, np.float32), np.array(SHIFT, np.int64), [np.int16(v) for v in SHIFT],
     [TWO if value == 2 else value for value in [2, 0, 2, 0, 2, 0, 0, 0, 2]]],
    ids=["tuple", "list", "floats", "f64", "f32", "i64", "numpy-ints", "index-objects"],
)
def test_inverse_forms_and_numeric_scalars_are_accepted(form):
    src = random_image((6, 7, 3), np.uint8)
    expected = np.zeros_like(src)
    expected[:, :-1] = src[:, 1:]  # one column to the left, the last one outside
    np.testing.assert_array_equal(tarnwick.warp_rgb(src, form, 1, np.int32(0), 0.0), expected)
    # By keyword, in an order of their own.
    result = tarnwick.warp_rgb(off_y=np.float32(0), scale=TWO, inverse=form, off_x=0, src=src)
    np.testing.assert_array_equal(result, tarnwick.warp_rgb(src, form, 2.0, 0.0, 0.0))


@pytest.mark.parametrize(
    "src",
    [np.zeros((4, 5, 4), np.uint8), np.zeros((4, 5, 1), np.uint16), np.zeros((4, 5), np.uint8),
     np.zeros((4, 5, 3, 1), np.uint8), np.zeros(3, np.uint8), np.zeros((4, 5, 3), np.float32),
     np.zeros((4, 5, 3), np.int16), np.zeros((4, 5, 3), np.uint32), np.zeros((4, 5, 3), np.bool_),
     np.zeros((4, 5, 3), np.dtype(">u2")), np.zeros((4, 5, 3), np.uint8).tolist(), None],
    ids=["4-channels", "1-channel", "2-d", "4-d", "1-d", "float32", "int16", "uint32", "bool",
         "big-endian-uint16", "list", "None"],
)
def test_rejected_arrays(src):
    with pytest.raises(TypeError) as caught:
        tarnwick.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0)
    assert str(caught.value) == ARRAY_MESSAGE
    assert not hasattr(caught.value, "__notes__")


def unaligned_copy(array):
    """The same values in memory that starts one byte off the element alignment."""
    shifted = np.zeros(array.nbytes + 1, np.uint8)[1:].view(array.dtype).reshape(array.shape)
    shifted[...] = array
    return shifted


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "view",
    [lambda a: a[::2, ::3], lambda a: a[::-1, ::-1, ::-1], lambda a: a[1:-2, 2:-1],
     np.asfortranarray, lambda a: a.transpose(1, 0, 2),
     lambda a: np.ascontiguousarray(a.transpose(2, 0, 1)).transpose(1, 2, 0),
     lambda a: a[:, 4:5], lambda a: a[3:4, ::-1], lambda a: np.broadcast_to(a[:1], a.shape),
     unaligned_copy, lambda a: np.ma.masked_array(a, mask=a > a.max() // 2),
     lambda a: a.view(type("Sub", (np.ndarray,), {}))],
    ids=["steps", "all-reversed", "inner-window", "column-major", "transposed", "planar",
         "one-column", "one-row-reversed", "broadcast", "unaligned", "masked", "subclass"],
)
def test_every_layout_equals_its_contiguous_copy(dtype, view):
    src = view(random_image((20, 30, 3), dtype, seed=3))
    # Anchored at the origin so that one-row and one-column views keep pixels inside.
    inverse = [1.0, 0.05, 0.0, -0.03, 1.0, 0.3, 1e-3, -5e-4, 1.0]
    expected = tarnwick.warp_rgb(np.ascontiguousarray(src), inverse, 0.9, 0.0, 0.0)
    assert expected.any()
    before = np.array(src)
    result = tarnwick.warp_rgb(src, inverse, 0.9, 0.0, 0.0)
    assert type(result) is np.ndarray
    np.testing.assert_array_equal(result, expected)
    np.testing.assert_array_equal(src, before)


@pytest.mark.parametrize("dtype", DTYPES)
def test_result_is_a_new_writeable_array_that_owns_its_memory(dtype):
    src = random_image((8, 10, 3), dtype)
    before = src.copy()
    result = tarnwick.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0)
    np.testing.assert_array_equal(result, src)
    assert type(result) is np.ndarray and result.dtype == dtype and result.dtype.isnative
    assert result.strides == tuple(n * np.dtype(dtype).itemsize for n in (30, 3, 1))
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.aligned
    # The memory is the core's buffer, kept alive by an owner object rather than a copy.
    assert result.base is not None and not isinstance(result.base, np.ndarray)
    assert not np.shares_memory(result, src)
    assert not np.shares_memory(result, tarnwick.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0))
    result[...] = 7
    np.testing.assert_array_equal(src, before)
    view = result[::2]
    del result, src
    gc.collect()
    assert (view == 7).all()  # the buffer lives on in the view once everything else is gone


@pytest.mark.parametrize("shape", [(0, 5, 3), (4, 0, 3), (0, 0, 3)])
def test_empty_images_give_empty_results(shape):
    for src in (np.zeros(shape, dtype, order=order) for dtype in DTYPES for order in "CF"):
        result = tarnwick.warp_rgb(src, PERSPECTIVE, 0.9, 0.4, -0.3)
        assert result.shape == shape and result.dtype == src.dtype and result.strides == (0, 0, 0)
        assert result.flags.c_contiguous and result.flags.writeable


DIGEST_MATRICES = [IDENTITY, PERSPECTIVE, [0.5, -0.8, 120.0, 0.9, 0.4, -30.0, 3e-3, 2e-3, 0.6]]


def warp_digest():
    """A digest of warps of one random image per type through several homographies."""
    digest = hashlib.sha256()
    for dtype, seed in ((np.uint8, 1), (np.uint16, 2)):
        src = random_image((157, 211, 3), dtype, seed)
        for inverse in DIGEST_MATRICES:
            digest.update(tarnwick.warp_rgb(src, inverse, 1.3, 0.4, -0.2).tobytes())
    return digest.hexdigest()


def digest_in_child(**env):
    """warp_digest() as a fresh interpreter with the given environment computes it."""
    here = os.path.dirname(os.path.abspath(__file__))
    script = (f"import sys; sys.path.insert(0, {here!r})\n"
              "import test_warp; print(test_warp.warp_digest())")
    return run_python_ok(script, **env).strip()


def test_identical_for_any_number_of_threads():
    expected = warp_digest()
    for threads in (1, 2, 3, 8):
        assert digest_in_child(RAYON_NUM_THREADS=threads) == expected, threads


def test_every_vector_version_gives_the_same_bytes():
    # Versions the CPU lacks fall back to one it has, as unknown names fall back to "auto".
    expected = warp_digest()
    for choice in ("baseline", "avx2", "avx512", "neon", "auto", "AVX2"):
        assert digest_in_child(TARNWICK_SIMD=choice) == expected, choice


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", range(6))
def test_random_homographies_match_the_numpy_formulation(dtype, seed):
    rng = np.random.default_rng(100 + seed)
    shape = [(1, 1, 3), (1, 17, 3), (13, 1, 3), (48, 64, 3), (97, 83, 3), (120, 160, 3)][seed]
    src = random_image(shape, dtype, seed)
    for trial in range(4):
        # Around a mild similarity; the last trial's perspective makes W change sign in view.
        p = 0.01 if trial == 3 else 5e-4
        inverse = (rng.uniform(-1, 1, 9) * [0.4, 0.3, 8, 0.3, 0.4, 8, p, p, 0.2]
                   + [1, 0, 0, 0, 1, 0, 0, 0, 1]).tolist()
        scale = float(np.exp(rng.uniform(-0.7, 0.7)))
        off_x, off_y = rng.uniform(-4, 4, size=2)
        np.testing.assert_array_equal(tarnwick.warp_rgb(src, inverse, scale, off_x, off_y),
                                      reference_warp(src, inverse, scale, off_x, off_y),
                                      err_msg=str(trial))
