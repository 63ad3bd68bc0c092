// The one conversion from double to an unsigned integer used everywhere in the cores.
#pragma once

#include <concepts>
#include <limits>

namespace tarnwick {

/// NaN and negatives give 0, values above U's range give its maximum, the rest truncate toward
/// zero. A plain static_cast is undefined for exactly the inputs users send by accident
/// (NaN, infinities, huge scales).
template <std::unsigned_integral U>
constexpr U saturating_cast(double value) noexcept {
    constexpr double limit = static_cast<double>(std::numeric_limits<U>::max());
    if (!(value > 0.0)) return 0;  // NaN, zeros and negatives
    // For 64-bit U the limit rounds up to 2^64, which itself does not fit: use >=.
    if (value >= limit) return std::numeric_limits<U>::max();
    return static_cast<U>(value);
}

}  // namespace tarnwick
