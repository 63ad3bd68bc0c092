"""Results do not depend on the pool size, on concurrent callers, or on having forked."""

import os
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tarnwick
from conftest import exact, line_image, rectangle_image, run_python_ok, scene

SCALES = (1.0, 0.8, 0.5)


def thread_images():
    """Images of several sizes and all four element types, with many segments and noise."""
    noisy = scene(height=300, width=260, seed=2) + np.random.default_rng(7).normal(0, 6, (300, 260))
    bars = line_image(150, 170, (10.0, 20.0), (160.0, 130.0))
    bars += line_image(150, 170, (30.0, 140.0), (150.0, 15.0), half_width=3.0)
    uint16 = scene(height=181, width=203, seed=3).astype(np.uint16) * np.uint16(257)
    return [scene(height=240, width=320), uint16, noisy, bars.astype(np.float32), rectangle_image()]


def test_identical_for_any_pool_size():
    # The child rebuilds the same seeded images with this module's own helpers.
    script = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import tarnwick
        from test_threads import SCALES, exact, thread_images
        for image in thread_images():
            for scale in SCALES:
                print(exact(tarnwick.detect(image, scale)))
        """
    )
    here = [str(exact(tarnwick.detect(image, s))) for image in thread_images() for s in SCALES]
    assert "[]" not in here
    for threads in (1, 2, 3, 8):
        out = run_python_ok(script, RAYON_NUM_THREADS=threads)
        assert out.splitlines() == here, f"{threads} threads differ from this process"


def test_concurrent_callers_get_what_they_would_get_alone():
    jobs = [(image, s) for image in thread_images() + [scene(seed=1)] for s in SCALES]
    alone = [exact(tarnwick.detect(*job)) for job in jobs]

    def run(worker):
        # Each worker starts at a different job, so different images overlap in time.
        order = [(worker + k) % len(jobs) for k in range(3 * len(jobs))]
        return [i for i in order if exact(tarnwick.detect(*jobs[i])) != alone[i]]

    with ThreadPoolExecutor(max_workers=8) as pool:
        assert list(pool.map(run, range(8))) == [[]] * 8


FORK_SCRIPT = """
import os, signal, warnings
warnings.simplefilter('ignore', DeprecationWarning)  # fork() with threads running
import numpy as np
import tarnwick

image = np.zeros((100, 120), np.uint8)
image[30:70, 20:90] = 200
render = lambda: '|'.join(repr(s) + s.log_nfa.hex() for k in (0.8, 1.0)
                          for s in tarnwick.detect(image, k))
expected = render()  # the pool and its threads now exist
assert expected.count('Segment(') == 8, expected
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # a hung child dies instead of holding the test's pipes open forever
    code = 1  # an exception in the child
    try:
        code = 0 if render() == expected else 2
    finally:
        os._exit(code)
_, status = os.waitpid(pid, 0)
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
assert render() == expected  # the parent's pool still works
print('ok')
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_child_of_fork_can_detect():
    # A child stuck on a pool whose threads did not survive fork() fails by the timeout.
    assert run_python_ok(FORK_SCRIPT, timeout=60, RAYON_NUM_THREADS=2).strip() == "ok"


HUGE_POOL_SCRIPT = """
import os
import numpy as np
import tarnwick
image = np.zeros((100, 120), np.uint8)
image[30:70, 20:90] = 200
print(len(tarnwick.detect(image, 1.0)), len(os.listdir('/proc/self/task')))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("requested", [2**62, 2**63, 2**64 - 1, 3000])
def test_huge_pool_requests_are_capped(requested):
    # The cap is max(256, 4 x usable CPUs); a few threads belong to the interpreter itself.
    expected = len(tarnwick.detect(rectangle_image(), 1.0))
    found, threads = map(int, run_python_ok(HUGE_POOL_SCRIPT, RAYON_NUM_THREADS=requested).split())
    assert found == expected
    assert threads <= max(256, 4 * len(os.sched_getaffinity(0))) + 8
