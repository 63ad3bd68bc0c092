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
