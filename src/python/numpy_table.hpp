// NumPy's C array API table as one import finds it, before it is published for the process.
#pragma once

#include <Python.h>

#include <optional>

// Both translation units that include NumPy's headers target the same API.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION

namespace tarnwick::python {

struct NumpyApiTable {
    void** api;
    int runtime_version;
};

/// Runs NumPy's own importer (imports NumPy, reads the _ARRAY_API capsule, checks the ABI and
/// feature versions) into storage private to the calling thread, so that any number of threads,
/// or one thread re-entered from Python code that the import runs, may call it at once without a
/// lock. Returns the table, or nullopt with the Python error set.
std::optional<NumpyApiTable> import_numpy_api_table();

}  // namespace tarnwick::python
