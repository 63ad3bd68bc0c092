// The one place that sets up NumPy's C API: target version, one API table, lazy import.
#pragma once

#include <Python.h>

#include "python/numpy_table.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tarnwick_numpy_array_api
#ifndef TARNWICK_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstdint>

namespace tarnwick::python {

/// Imports NumPy and its C array API on first use (thread-safe, and safe to re-enter from Python
/// code that the import runs). Failure is an internal failure whose message starts "Failed to
/// access NumPy array API capsule"; the next call tries again.
void ensure_numpy();

/// NumPy's type number for a sample type.
template <typename T>
constexpr int numpy_type_number();
template <> constexpr int numpy_type_number<double>() { return NPY_FLOAT64; }
template <> constexpr int numpy_type_number<float>() { return NPY_FLOAT32; }
template <> constexpr int numpy_type_number<std::uint8_t>() { return NPY_UINT8; }
template <> constexpr int numpy_type_number<std::uint16_t>() { return NPY_UINT16; }

/// True when object is an ndarray (or subclass) with ndim dimensions whose dtype NumPy holds
/// equivalent to native T.
template <typename T>
bool is_array_of(PyObject* object, int ndim) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim) return false;
    PyArray_Descr* wanted = PyArray_DescrFromType(numpy_type_number<T>());
    bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
    Py_DECREF(wanted);
    return equivalent;
}

}  // namespace tarnwick::python
