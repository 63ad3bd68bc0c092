// The common argument parser of the entry points, and float conversion with its note.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace tarnwick::python {

/// Binds positional and keyword arguments of a fast call to parameter slots (borrowed
/// references; nullptr for an optional parameter not given). The first `required` parameters
/// must be given. Raises the usual TypeError of argument parsing for `function`.
void bind_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const char* function,
                                        const std::array<const char*, N>& names,
                                        std::size_t required, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    bind_arguments(function, names, required, args, nargsf, kwnames, slots);
    return slots;
}

/// An exact float is read directly, anything else goes through the float protocol. On failure the
/// conversion's own exception is raised with the note "while processing '<parameter>'".
double to_double(PyObject* value, const char* parameter);

/// Raises the exception currently set, with the note "while processing '<parameter>'".
[[noreturn]] void raise_with_parameter_note(const char* parameter);

}  // namespace tarnwick::python
