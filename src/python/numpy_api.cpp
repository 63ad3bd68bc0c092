// Lazy acquisition of NumPy's C array API, published once for the process.
#define TARNWICK_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include <atomic>
#include <mutex>
#include <string>

#include "python/py_ref.hpp"
#include "sample/check.hpp"

namespace tarnwick::python {
namespace {

std::atomic<bool> numpy_ready{false};
std::once_flag numpy_published;

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
    // No lock is held while NumPy is imported: the import runs Python code, which may call
    // tarnwick again on this thread (a finaliser run by the garbage collector) or wait for another
    // thread that does. Python's import lock still runs NumPy's import once; concurrent first
    // callers each only read the capsule, and the first to finish publishes the table.
    std::optional<NumpyApiTable> table = import_numpy_api_table();
    if (!table) fail("Failed to access NumPy array API capsule: " + take_error_text());
    // Plain stores only: nothing in here can run Python code or wait for a thread that does.
    std::call_once(numpy_published, [&] {
        PyArray_API = table->api;
        PyArray_RUNTIME_VERSION = table->runtime_version;
        numpy_ready.store(true, std::memory_order_release);
    });
}

}  // namespace tarnwick::python
