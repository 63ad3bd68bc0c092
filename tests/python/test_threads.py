"""Results do not depend on the pool size, on concurrent callers, or on having forked."""

import os
import textwrap
import numpy as np
import pytest

import tarnwick
from conftest import SANITIZED, exact, line_image, rectangle_image, run_python_ok, scene

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


STRESS = f"""
import faulthandler, sys, threading
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
import numpy as np
import tarnwick
from conftest import scene

faulthandler.dump_traceback_later(float(sys.argv[2]), exit=True)  # a hang shows where it is
rng = np.random.default_rng(5)
identity = [1, 0, 0, 0, 1, 0, 0, 0, 1]
perspective = [0.93, 0.12, 1.7, -0.08, 1.04, -0.6, 4e-4, -7e-4, 1.02]
jobs = []
for k in range(12):
    gray = scene(height=50 + 6 * k, width=90 - 2 * k, seed=k)
    gray = gray.astype((np.uint8, np.float32, np.uint16, np.float64)[k % 4])
    rgb = rng.integers(0, 256, gray.shape + (3,)).astype((np.uint8, np.uint16)[k % 2])
    jobs.append(('d', gray[:, ::-1] if k % 3 == 0 else gray, (1.0, 0.8, 0.5)[k % 3]))
    jobs.append(('w', rgb, (identity, perspective)[k % 2], 0.6 + 0.1 * k, 0.5, -0.25))

def run(job):
    if job[0] == 'd':
        return '|'.join(repr(s) + s.log_nfa.hex() + s.precision.hex() for s in tarnwick.detect(*job[1:]))
    return tarnwick.warp_rgb(*job[1:]).tobytes()

alone = [run(job) for job in jobs]
assert sum(r.count('Segment(') for r in alone[::2]) > 50
calls = int(sys.argv[1])
wrong = []

def worker(offset):
    for k in range(calls):
        index = (offset * 5 + k) % len(jobs)
        if run(jobs[index]) != alone[index]:
            wrong.append(index)

threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print('wrong', sorted(set(wrong)))
"""


@pytest.mark.parametrize("threads", [1, 2, 8])
def test_eight_callers_get_what_they_would_get_alone(threads):
    # 8 Python threads x 400 mixed calls on images of different sizes, types and layouts.
    out = run_python_ok(f"import sys; sys.argv[1:] = ['400', '240']\n{STRESS}", timeout=300,
                        RAYON_NUM_THREADS=threads)
    assert out.split() == ["wrong", "[]"]


FORK_SCRIPT = """
import os, signal, sys, threading, warnings
warnings.simplefilter('ignore', DeprecationWarning)  # fork() with threads running
import numpy as np
import tarnwick

image = np.zeros((100, 120), np.uint8)
image[30:70, 20:90] = 200
render = lambda: '|'.join(repr(s) + s.log_nfa.hex() for k in (0.8, 1.0)
                          for s in tarnwick.detect(image, k))
expected = render()  # the pool and its threads now exist
assert expected.count('Segment(') == 8, expected
busy = threading.Event()

def keep_the_pool_busy():  # so that some forks happen while loops are running
    while not busy.is_set():
        assert render() == expected

background = threading.Thread(target=keep_the_pool_busy)
if sys.argv[1] == 'busy':
    background.start()
try:
    for round in range(6):
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)  # a hung child dies instead of holding the test's pipes open forever
            code = 1  # an exception in the child
            try:
                code = 0 if render() == expected else 2
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, (round, status)
        assert render() == expected  # the parent's pool still works
finally:
    busy.set()
    if background.is_alive():
        background.join()
print('ok')
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_children_of_repeated_forks_can_detect():
    # A child stuck on a pool whose threads did not survive fork() fails by the timeout. The
    # sanitizer's allocator does not guard its locks across fork(), so a child forked while
    # another thread allocates can hang in it: there, the forks only follow use.
    busy = "idle" if SANITIZED else "busy"
    script = f"import sys; sys.argv[1:] = [{busy!r}]\n{FORK_SCRIPT}"
    assert run_python_ok(script, timeout=120, RAYON_NUM_THREADS=2).strip() == "ok"


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


EXIT_WHILE_DETACHED_SCRIPT = """
import sys, threading, time
import numpy as np
import tarnwick
gray = np.random.default_rng(1).integers(0, 256, (700, 900), dtype=np.uint8)
rgb = np.random.default_rng(2).integers(0, 256, (700, 900, 3), dtype=np.uint8)
started = threading.Event()
def work(call):
    started.set()
    while True:
        call()
for call in (lambda: tarnwick.detect(gray, 1.0),
             lambda: tarnwick.warp_rgb(rgb, [0.9, 0.1, 3, 0.05, 1.1, 2, 1e-4, 0, 1], 1.0, 0, 0)):
    threading.Thread(target=work, args=(call,), daemon=True).start()
started.wait()
time.sleep(float(sys.argv[1]))
print('exiting')
"""


@pytest.mark.parametrize("delay", [0.0, 0.013, 0.031, 0.07])
def test_interpreter_exits_cleanly_while_daemon_threads_compute(delay):
    # At exit, a daemon thread that finishes a computation may not re-attach: it must neither
    # end the process with an error nor keep it from exiting.
    script = f"import sys; sys.argv[1:] = [{str(delay)!r}]\n{EXIT_WHILE_DETACHED_SCRIPT}"
    for _ in range(3):
        assert run_python_ok(script, timeout=60).strip() == "exiting"
