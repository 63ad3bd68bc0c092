// Layout test and strided copy, written once for every element size.
#include "python/array_samples.hpp"

#include <cstring>

namespace tarnwick::python {

bool is_row_major(PyArrayObject* array) {
    if (PyArray_SIZE(array) == 0) return true;
    // Unaligned memory would have to be read element by element anyway: copy it once instead.
    if (!PyArray_ISALIGNED(array)) return false;
    npy_intp expected = PyArray_ITEMSIZE(array);
    for (int axis = PyArray_NDIM(array) - 1; axis >= 0; --axis) {
        npy_intp length = PyArray_DIM(array, axis);
        if (length != 1 && PyArray_STRIDE(array, axis) != expected) return false;
        expected *= length;
    }
    return true;
}

namespace {

void copy_axis(const char* source, const npy_intp* dims, const npy_intp* strides, int axes_left,
               std::size_t item_size, std::byte*& out) {
    if (axes_left == 1) {
        for (npy_intp i = 0; i < dims[0]; ++i, source += strides[0], out += item_size)
            std::memcpy(out, source, item_size);
        return;
    }
    for (npy_intp i = 0; i < dims[0]; ++i, source += strides[0])
        copy_axis(source, dims + 1, strides + 1, axes_left - 1, item_size, out);
}

}  // namespace

void copy_row_major(PyArrayObject* array, std::byte* out) {
    if (PyArray_SIZE(array) == 0) return;
    if (PyArray_NDIM(array) == 0) {
        std::memcpy(out, PyArray_DATA(array), static_cast<std::size_t>(PyArray_ITEMSIZE(array)));
        return;
    }
    copy_axis(static_cast<const char*>(PyArray_DATA(array)), PyArray_DIMS(array),
              PyArray_STRIDES(array), PyArray_NDIM(array),
              static_cast<std::size_t>(PyArray_ITEMSIZE(array)), out);
}

}  // namespace tarnwick::python
