// Detaching the calling thread from the interpreter for a scope.
#pragma once

#include <Python.h>

namespace tarnwick::python {

/// Detaches the calling thread from the interpreter for its lifetime; re-attaches on every path,
/// exceptions included.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace tarnwick::python
