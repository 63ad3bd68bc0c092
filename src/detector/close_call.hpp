// Comparisons against a threshold that is costly to compute exactly (a hypot), settled by squares.
#pragma once

#include <cmath>

namespace tarnwick::detector {

/// The C library's hypot for the close calls, out of line and cold: a library call inside the
/// loops that ask would make GCC keep their running sums in memory, and close calls are rare.
[[gnu::cold, gnu::noinline]] inline double close_call_hypot(double x, double y) { return std::hypot(x, y); }

/// Bounds around the square of a positive threshold t. A quantity whose square (computed in
/// double, from values whose squares are within a few ulps of exact) lies outside the bounds is
/// certainly below or above t; only the close calls in between need t itself. The relative margin
/// of 2^-30 is far above those few ulps, and the bounds are used only far from underflow and
/// overflow, where the relative error bounds hold; so every decision is the one that t would give.
class SquaredThreshold {
public:
    SquaredThreshold() = default;
    // Where the error bounds would not hold (near underflow or overflow, NaN), the bounds are
    // infinite, so that every quantity is a close call; this keeps side_of free of a test.
    explicit SquaredThreshold(double threshold_squared) : SquaredThreshold(threshold_squared, threshold_squared) {}

    /// For a threshold known only to lie between two values, low <= high: certainly below the
    /// low one, or certainly above the high one.
    SquaredThreshold(double low_squared, double high_squared) {
        const bool usable = low_squared >= 0x1p-900 && high_squared <= 0x1p900;  // false for NaN
        below_ = usable ? low_squared * (1.0 - MARGIN) : -INFINITY;
        above_ = usable ? high_squared * (1.0 + MARGIN) : INFINITY;
    }

    /// -1 when the quantity is certainly below the threshold, +1 when certainly above, 0 when the
    /// threshold itself must decide.
    int side_of(double quantity_squared) const {
        if (quantity_squared > above_) return 1;
        if (quantity_squared < below_) return -1;
        return 0;  // also for NaN
    }

private:
    static constexpr double MARGIN = 0x1p-30;
    double below_ = -INFINITY, above_ = INFINITY;
};

}  // namespace tarnwick::detector
