// Lazy, thread-safe acquisition of NumPy's C array API.
#define TARNWICK_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include <atomic>
#include <mutex>
#include <string>

#include "python/attached.hpp"
#include "python/py_ref.hpp"
#include "sample/check.hpp"

namespace tarnwick::python {
namespace {

std::atomic<bool> numpy_ready{false};
std::mutex numpy_import;

// The pending Python error as text, clearing it.
std::string take_error_text() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_traceback = PyRef::steal(traceback);
    std::string text = "unknown error";
    if (value) {
        PyRef str = PyRef::steal(PyObject_Str(value));
        const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
        if (utf8) text = utf8;
    }
    PyErr_Clear();
    return text;
}

}  // namespace

void ensure_numpy() {
    if (numpy_ready.load(std::memory_order_acquire)) return;
    AttachedLock lock(numpy_import);
    if (numpy_ready.load(std::memory_order_relaxed)) return;
    // NumPy's own importer locates the _ARRAY_API capsule and checks the ABI and feature version.
    if (_import_array() < 0) fail("Failed to access NumPy array API capsule: " + take_error_text());
    numpy_ready.store(true, std::memory_order_release);
}

}  // namespace tarnwick::python
