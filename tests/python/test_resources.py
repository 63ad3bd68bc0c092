"""Memory: nothing grows per call on any path, and exhausted memory is a MemoryError, not a crash."""

import textwrap

import pytest

from conftest import SANITIZED, run_python_ok

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's shadow memory and quarantine distort these measurements")

# Shared by both children: images, the identity, and a few helpers.
COMMON = """
import gc, os, sys
import numpy as np
import tarnwick
from tarnwick import detect, warp_rgb

image = np.full((48, 64), 30, np.uint8)
image[12:36, 10:50] = 200
rgb = np.arange(30 * 20 * 3, dtype=np.uint16).reshape(30, 20, 3).astype(np.uint8)
identity = [1, 0, 0, 0, 1, 0, 0, 0, 1]
page = os.sysconf('SC_PAGE_SIZE')

def statm(field):
    with open('/proc/self/statm') as f:
        return int(f.read().split()[field]) * page

def zeros(dtype, shape):  # any size, no memory
    return np.broadcast_to(np.zeros((), dtype), shape)
"""

LEAKS = COMMON + """
class BadFloat:
    def __float__(self):
        raise ValueError('no float')

class NoteRefused(Exception):
    def add_note(self, note):
        raise RuntimeError('no notes')

class RefusesNote:
    def __float__(self):
        raise NoteRefused()

class BadItems:
    def __len__(self):
        return 9
    def __getitem__(self, index):
        raise KeyError(index)

images = {'uint8': image, 'float64': image.astype(np.float64), 'float32 copy': image.T.astype(np.float32),
          'uint16 copy': (image.astype(np.uint16) * 257)[::-1]}
calls = [lambda a=a: detect(a, 0.8) for a in images.values()] + [
    lambda: detect(image, 1.0), lambda: detect(np.zeros((2, 50))), lambda: detect(image, 1e-9),
    lambda: warp_rgb(rgb, identity, 1.0, 0.0, 0.0), lambda: warp_rgb(rgb[::-1].astype(np.uint16), identity, 0.7, 0.5, 0.5),
    lambda: warp_rgb(np.zeros((0, 4, 3), np.uint8), identity, 1.0, 0.0, 0.0),
    # Every error path: parsing, conversion (with and without a note), dtype, size, panic.
    lambda: detect(), lambda: detect(image, size=1), lambda: detect(image, 0.8, scale=0.8),
    lambda: detect(image, 0.8, 1), lambda: detect(image, 'x'), lambda: detect(image, RefusesNote()),
    lambda: detect(np.zeros((5, 5), np.int32)), lambda: detect([[0]]), lambda: detect(zeros(np.uint8, (2**32, 1))),
    lambda: warp_rgb(rgb), lambda: warp_rgb(rgb, 1.0, 1, 0, 0), lambda: warp_rgb(rgb, None, 1, 0, 0),
    lambda: warp_rgb(rgb, [1] * 8, 1, 0, 0), lambda: warp_rgb(rgb, [BadFloat()] * 9, 1, 0, 0),
    lambda: warp_rgb(rgb, BadItems(), 1, 0, 0), lambda: warp_rgb(rgb, identity, 'x', 0, 0),
    lambda: warp_rgb(rgb, identity, 1, 0, RefusesNote()), lambda: warp_rgb(rgb.astype(np.float32), identity, 1, 0, 0),
    lambda: warp_rgb(rgb[..., :2], identity, 1, 0, 0), lambda: warp_rgb(np.zeros((3, 0, 3), np.uint8), identity, 1, 0, 0),
]

def run_all(times):
    for call in calls:
        for _ in range(times):
            try:
                call()
            except BaseException:  # PanicException derives from BaseException
                pass

run_all(300)  # caches, arenas and the pool reach their steady state
os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # the panic path writes a report every time
gc.collect()
blocks, resident = sys.getallocatedblocks(), statm(1)
run_all(int(sys.argv[1]))
gc.collect()
print(len(calls), sys.getallocatedblocks() - blocks, statm(1) - resident)
"""


def test_no_growth_per_call_on_any_path():
    calls_each = 3000
    out = run_python_ok(
        f"import sys; sys.argv[1:] = [{calls_each}]\n" + LEAKS, timeout=300).split()
    cases, blocks, resident = (int(value) for value in out)
    # A leak of one object per call on any one path would be 3000 blocks, one of one copy of
    # these small images tens of megabytes; what remains is a constant of a few dozen blocks.
    assert cases == 30 and blocks < calls_each // 10, (blocks, resident)
    assert resident < 2 * 2**20, (blocks, resident)


MEMORY_LIMIT = COMMON + """
import resource
expected = repr(detect(image, 0.8)), warp_rgb(rgb, identity, 1.3, 0.5, 0.5).tobytes()  # starts the pool
room = statm(0) + 2**30
resource.setrlimit(resource.RLIMIT_AS, (room, resource.getrlimit(resource.RLIMIT_AS)[1]))

# An image that can give no segment is neither copied nor converted, however large.
assert detect(zeros(np.uint8, (1, 2**32 - 1))) == []
assert detect(zeros(np.float64, (2**31 - 1, 2)), 1.0) == []
assert detect(zeros(np.float64, (60000, 60000)), 1e-6) == []

too_large = [
    lambda: detect(zeros(np.float64, (60000, 60000)), 1.0),  # the copy
    lambda: detect(zeros(np.uint16, (40000, 40000)), 0.5),
    lambda: detect(np.zeros((16384, 16384), np.uint8), 1.0),  # the working image, while detached
    lambda: warp_rgb(zeros(np.uint8, (30000, 30000, 3)), identity, 1.0, 0.0, 0.0),  # the copy
    lambda: warp_rgb(np.zeros((14000, 14000, 3), np.uint8), identity, 1.0, 0.0, 0.0),  # the output
]
for attempt in range(3):
    for index, call in enumerate(too_large):
        try:
            call()
        except MemoryError:
            continue
        raise AssertionError(f'case {index} did not raise MemoryError')
assert (repr(detect(image, 0.8)), warp_rgb(rgb, identity, 1.3, 0.5, 0.5).tobytes()) == expected
print('ok')
"""


def test_exhausted_memory_raises_and_the_module_keeps_working():
    assert run_python_ok(MEMORY_LIMIT, timeout=120, RAYON_NUM_THREADS=2).strip() == "ok"
