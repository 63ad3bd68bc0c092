// PanicException, notes on exceptions, and the report written before a panic.
#include "python/errors.hpp"

#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>

#include "python/made_once.hpp"

namespace tarnwick::python {
namespace {

std::atomic<PyObject*> panic_exception{nullptr};

// Created on the first panic and kept for the process; deliberately not a module attribute.
PyObject* panic_exception_type() {
    return made_once(panic_exception, [] {
        return PyErr_NewExceptionWithDoc(
            "tarnwick.PanicException",
            "An internal failure of tarnwick. Derives from BaseException so that handlers for "
            "Exception do not swallow it.",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace

[[gnu::cold]] void raise(PyObject* exception_type, const std::string& message) {
    PyErr_SetString(exception_type, message.c_str());
    throw PythonError();
}

[[gnu::cold]] void add_note_to_current_exception(const std::string& note) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception = PyErr_GetRaisedException();
    if (!exception) return;
    PyObject* result = PyObject_CallMethod(exception, "add_note", "s", note.c_str());
    if (result)
        Py_DECREF(result);
    else
        PyErr_Clear();
    PyErr_SetRaisedException(exception);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    PyObject* result = value ? PyObject_CallMethod(value, "add_note", "s", note.c_str()) : nullptr;
    if (result)
        Py_DECREF(result);
    else
        PyErr_Clear();
    PyErr_Restore(type, value, traceback);
#endif
}

[[gnu::cold, gnu::noinline]] void raise_panic(const std::string& message,
                                              const std::source_location& where) {
    std::ostringstream report;
    report << "tarnwick: internal failure in thread " << std::this_thread::get_id() << " at "
           << where.file_name() << ':' << where.line() << ": " << message << '\n';
    std::fputs(report.str().c_str(), stderr);
    std::fflush(stderr);
    if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message.c_str());
}

}  // namespace tarnwick::python
