// Detaching from the interpreter, and locks that never block while attached.
#pragma once

#include <Python.h>

#include <mutex>

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

/// Locks a mutex from an attached thread. Waiting happens detached: a thread that blocks while
/// attached could hold up the GIL or a stop-the-world pause that the lock's owner needs.
class AttachedLock {
public:
    explicit AttachedLock(std::mutex& mutex) : mutex_(mutex) {
        if (!mutex_.try_lock()) {
            Detached detached;
            mutex_.lock();
        }
    }
    ~AttachedLock() { mutex_.unlock(); }
    AttachedLock(const AttachedLock&) = delete;
    AttachedLock& operator=(const AttachedLock&) = delete;

private:
    std::mutex& mutex_;
};

}  // namespace tarnwick::python
