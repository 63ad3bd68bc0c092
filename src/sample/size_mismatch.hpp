// The error value both computing cores return for a sample buffer of the wrong length.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

namespace tarnwick {

struct SizeMismatch {
    std::size_t expected;  ///< the length the dimensions call for
    std::size_t got;       ///< the buffer's length
};

/// "SizeMismatch { expected: 12, got: 9 }"
std::string to_string(const SizeMismatch& error);

/// Either a core's result or the size error.
template <typename T>
using OrSizeMismatch = std::variant<T, SizeMismatch>;

}  // namespace tarnwick
