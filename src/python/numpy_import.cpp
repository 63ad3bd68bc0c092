// NumPy's importer, compiled against thread-local copies of the API table and runtime version.
#include "python/numpy_table.hpp"

// The table the importer fills is a candidate for this thread only; ensure_numpy() publishes
// one candidate for the whole process.
#define PY_ARRAY_UNIQUE_SYMBOL tarnwick_numpy_api_candidate
#define NPY_API_SYMBOL_ATTRIBUTE static thread_local
#include <numpy/arrayobject.h>

namespace tarnwick::python {

std::optional<NumpyApiTable> import_numpy_api_table() {
    if (_import_array() < 0) return std::nullopt;
    return NumpyApiTable{PyArray_API, PyArray_RUNTIME_VERSION};
}

}  // namespace tarnwick::python
