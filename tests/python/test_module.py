"""The tarnwick module: its contents, its functions' metadata, lazy NumPy and internal failures."""

import os
import textwrap

import pytest

import tarnwick
from conftest import run_python, run_python_ok


class TestContents:
    def test_exact_attribute_set(self):
        public = [name for name in vars(tarnwick) if not name.startswith("__")]
        assert public == ["Segment", "detect", "warp_rgb"]
        # Only what the interpreter sets on every module: no __version__, no __all__.
        dunders = {name for name in vars(tarnwick) if name.startswith("__")}
        assert dunders <= {f"__{n}__" for n in ("name", "doc", "file", "loader", "package", "spec")}
        assert tarnwick.__doc__ == ""

    @pytest.mark.parametrize(
        "name, signature, doc",
        [("detect", "(gray, scale=...)", "Find the validated line segments of a grayscale image."),
         ("warp_rgb", "(src, inverse, scale, off_x, off_y)",
          "Perspective-warp an RGB image through an inverse homography.")],
    )
    def test_function_metadata(self, name, signature, doc):
        function = getattr(tarnwick, name)
        assert (function.__name__, function.__module__) == (name, "tarnwick")
        assert function.__text_signature__ == signature
        assert function.__doc__ == doc


class TestImport:
    """Each case runs in a fresh interpreter, where nothing has imported NumPy or tarnwick yet."""

    @pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts /proc/self/task")
    def test_import_loads_no_numpy_and_starts_no_threads(self):
        # The detect call at the end shows that counting tasks does notice started pool threads.
        out = run_python_ok(
            textwrap.dedent(
                """
                import os, sys
                tasks = lambda: len(os.listdir('/proc/self/task'))
                before = tasks()
                import tarnwick
                print(any(m == 'numpy' or m.startswith('numpy.') for m in sys.modules))
                print(tasks() - before)
                import numpy as np
                tarnwick.detect(np.zeros((64, 64)), 1.0)
                print(tasks() > before)
                """
            ),
            RAYON_NUM_THREADS=3,
        )
        assert out.split() == ["False", "0", "True"]

    def test_first_call_without_numpy_fails_then_recovers(self):
        done = run_python(
            textwrap.dedent(
                """
                import sys
                sys.modules['numpy'] = None
                import tarnwick

                def failure(*args):
                    try:
                        tarnwick.detect(*args)
                    except BaseException as error:
                        return error
                    raise AssertionError('detect did not raise')

                for attempt in range(2):  # a failed acquisition is not remembered as success
                    error = failure([[1.0]])
                    assert type(error).__name__ == 'PanicException', repr(error)
                    assert not isinstance(error, Exception), type(error).__mro__
                    assert not hasattr(tarnwick, 'PanicException')
                    assert error.args == (str(error),), error.args
                    assert str(error).startswith('Failed to access NumPy array API capsule'), error

                # The scale is converted before NumPy is needed.
                bad_scale = failure([], 'x')
                assert type(bad_scale) is TypeError, repr(bad_scale)
                assert bad_scale.__notes__ == ["while processing 'scale'"]

                del sys.modules['numpy']
                import numpy as np
                image = np.zeros((40, 40), np.uint8)
                image[10:30, 10:30] = 200
                found = tarnwick.detect(image, 1.0)
                assert len(found) == 4 and all(type(s) is tarnwick.Segment for s in found)
                print('ok')
                """
            )
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "ok"
        # The internal failure is reported on standard error before it is raised.
        assert "Failed to access NumPy array API capsule" in done.stderr


REENTRANT_FIRST_CALL = """
import gc, sys
import tarnwick

nested = []

class CallsDetectWhenCollected:
    def __init__(self):
        self.cycle = self  # only the cycle collector frees it, at a point the test does not choose

    def __del__(self):
        try:
            tarnwick.detect([[0]])
        except BaseException as error:
            nested.append((type(error).__name__, 'numpy' in sys.modules and outer_running))

outer_running = False
gray = [[0]]
CallsDetectWhenCollected()
gc.set_threshold(1)  # collect during the first allocations of NumPy's import
outer_running = True
try:
    tarnwick.detect(gray)
except TypeError as error:
    outer = type(error).__name__
outer_running = False
gc.set_threshold(700)
print(outer, nested)
"""

CONCURRENT_FIRST_CALLS = """
import sys, threading
import tarnwick

imports = []
sys.addaudithook(lambda event, args: event == 'import' and args[0] == 'numpy' and imports.append(1))
start = threading.Barrier(8)
errors = []

def first_call():
    start.wait()
    try:
        tarnwick.detect([[0]])
    except TypeError as error:
        errors.append(str(error))

threads = [threading.Thread(target=first_call) for _ in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
import numpy as np
print(len(imports), len(set(errors)), len(errors), len(tarnwick.detect(np.zeros((9, 9)))))
"""


class TestFirstCall:
    """NumPy's lazy import runs Python code: nothing may wait on a lock across it."""

    def test_call_from_a_finaliser_during_the_import_finishes(self):
        # The nested call either sees NumPy ready or raises the documented PanicException; it
        # must not wait for the outer call, which waits for it.
        out = run_python_ok(REENTRANT_FIRST_CALL, timeout=30).strip().split(maxsplit=1)
        assert out[0] == "TypeError"
        assert out[1] in ("[('TypeError', True)]", "[('PanicException', True)]"), out

    def test_concurrent_first_calls_import_numpy_once(self):
        assert run_python_ok(CONCURRENT_FIRST_CALLS, timeout=30).split() == ["1", "1", "8", "0"]


SUBINTERPRETERS = """
import os, sys
import_in_sub = '''
import os
try:
    import tarnwick
    os.write(1, b'imported\\\\n')
except ImportError as error:
    os.write(1, (str(error) + '\\\\n').encode())
'''
ways = 0
try:
    import _testcapi
    if hasattr(_testcapi, 'run_in_subinterp'):
        _testcapi.run_in_subinterp(import_in_sub)
        ways += 1
except ImportError:
    pass
try:
    import _interpreters
    for config in ('legacy', 'isolated'):
        interpreter = _interpreters.create(_interpreters.new_config(config))
        _interpreters.run_string(interpreter, import_in_sub)
        _interpreters.destroy(interpreter)
        ways += 1
except ImportError:
    pass
sys.stdout.flush()
# The refusals left nothing behind: the main interpreter imports and uses the module normally.
import numpy as np
import tarnwick
found = tarnwick.detect(np.pad(np.full((20, 20), 200, np.uint8), 10), 1.0)
print('ways', ways, len(found), type(found[0]).__name__)
"""


def test_sub_interpreters_are_refused():
    lines = run_python_ok(SUBINTERPRETERS, timeout=60).splitlines()
    if lines[-1].split()[:2] == ["ways", "0"]:
        pytest.skip("this interpreter offers no way to start a sub-interpreter")
    refusals = lines[:-1]
    assert refusals and all("does not support" in line and "interpreters" in line
                            for line in refusals), lines
    assert "tarnwick does not support sub-interpreters" in refusals[0]
    assert lines[-1].split()[2:] == ["4", "Segment"]
