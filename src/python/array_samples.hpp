// The samples of a NumPy array in logical row-major order: its own memory when that is already
// the layout, otherwise a copy in the array's own element type.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "python/numpy_api.hpp"

namespace tarnwick::python {

/// True when the array's memory, read as a flat aligned buffer, is its logical row-major order.
/// Strides of dimensions of length 1 do not matter; an empty array always qualifies.
bool is_row_major(PyArrayObject* array);

/// Copies every element, in logical row-major order and whatever the strides' signs, to out.
void copy_row_major(PyArrayObject* array, std::byte* out);

/// Must be created while attached; span() may then be read while detached.
template <typename T>
class ArraySamples {
public:
    explicit ArraySamples(PyArrayObject* array)
        : size_(static_cast<std::size_t>(PyArray_SIZE(array))) {
        if (size_ == 0) return;
        if (is_row_major(array)) {
            data_ = static_cast<const T*>(PyArray_DATA(array));
        } else {
            copy_.resize(size_);
            copy_row_major(array, reinterpret_cast<std::byte*>(copy_.data()));
            data_ = copy_.data();
        }
    }

    std::span<const T> span() const { return {data_, size_}; }
    bool copied() const { return !copy_.empty(); }

    /// Frees the copy early (the span is empty afterwards).
    void release() {
        copy_ = {};
        data_ = nullptr;
        size_ = 0;
    }

private:
    std::vector<T> copy_;
    const T* data_ = nullptr;
    std::size_t size_;
};

}  // namespace tarnwick::python
