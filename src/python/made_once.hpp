// Process-wide Python objects made on first use without holding a lock across Python code.
#pragma once

#include <Python.h>

#include <atomic>

namespace tarnwick::python {

/// The object kept in slot, made by make() (attached; returns a new reference, or nullptr with
/// an exception set) when the slot is still empty. No lock is held while make() runs, since it may
/// run Python code that calls back into tarnwick on this thread; when threads race, the first
/// object stored is kept for the process and the others are released. Returns a borrowed
/// reference, or nullptr with the exception of make().
template <typename Make>
PyObject* made_once(std::atomic<PyObject*>& slot, Make&& make) {
    if (PyObject* kept = slot.load(std::memory_order_acquire)) return kept;
    PyObject* made = make();
    if (!made) return nullptr;
    PyObject* kept = nullptr;
    if (slot.compare_exchange_strong(kept, made, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
        return made;
    Py_DECREF(made);
    return kept;
}

}  // namespace tarnwick::python
