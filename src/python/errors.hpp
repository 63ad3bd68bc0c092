// How failures cross from C++ into Python: one guard per entry point, PanicException, notes.
#pragma once

#include <Python.h>

#include <exception>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <new>
#include <source_location>
#include <string>

#include "sample/check.hpp"

namespace tarnwick::python {

/// Thrown after a Python exception has been set; the entry point only has to return nullptr.
struct PythonError : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

/// Sets a Python exception of the given type and throws PythonError.
[[noreturn]] void raise(PyObject* exception_type, const std::string& message);

/// Throws PythonError if a Python exception is set (after a C API call that may fail).
inline void throw_if_error_set() {
    if (PyErr_Occurred()) throw PythonError();
}

/// Adds a note to the exception currently set; if that fails the note is dropped.
void add_note_to_current_exception(const std::string& note);

/// Writes the short report to stderr and sets PanicException(message).
void raise_panic(const std::string& message, const std::source_location& where);

/// Runs the body of a Python entry point; nothing but nullptr-with-exception leaves it on failure,
/// except the unwinding by which the C library ends a thread (as the interpreter ends its daemon
/// threads at shutdown): that must go on to the thread's start.
template <typename Body>
PyObject* guard_entry_point(Body&& body) {
    try {
        return body();
#if defined(__GLIBCXX__)
    } catch (const abi::__forced_unwind&) {
        throw;
#endif
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const InternalError& error) {
        raise_panic(error.what(), error.where());
        return nullptr;
    } catch (const std::exception& error) {
        raise_panic(error.what(), std::source_location::current());
        return nullptr;
    } catch (...) {
        raise_panic("unknown C++ exception", std::source_location::current());
        return nullptr;
    }
}

}  // namespace tarnwick::python
