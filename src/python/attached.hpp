// Detaching the calling thread from the interpreter for a scope.
#pragma once

#include <Python.h>

#include <chrono>
#include <thread>

namespace tarnwick::python {

/// Whether the interpreter has begun to shut down.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

/// Detaches the calling thread from the interpreter for its lifetime; re-attaches on every path,
/// exceptions included.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}

    // A daemon thread that finishes its computation while the interpreter shuts down cannot run
    // Python code again. Before 3.14, re-attaching would end the thread by unwinding its stack,
    // which terminates the process when the unwinding meets a frame that may not throw; so such
    // a thread waits for the process to end, as 3.14 makes it do itself. Should shutdown begin
    // between the check and the re-attach, the unwinding may pass through here (hence not
    // noexcept) and through the entry point, which lets it go on.
    ~Detached() noexcept(false) {
        if (interpreter_finalizing())
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        PyEval_RestoreThread(state_);
    }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace tarnwick::python
