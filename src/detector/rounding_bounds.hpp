// Intervals that contain the doubles a computation produces, whatever order it adds in.
//
// A sum of n terms, each rounded a few times, lies within (n + 4) u sum|terms| of the exact sum of
// the exact terms, whatever the order (u = 2^-53); sum_error() doubles that. Each further double
// operation is bounded by widening its exact interval by 4u relative, twice its rounding. The
// library functions (atan2, cos, sin, hypot) are taken to be within an ulp or two.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "detector/types.hpp"

namespace tarnwick::detector::rounding {

constexpr long double UNIT = 0x1p-53L;       // unit of rounding of a double
constexpr long double ROUNDED = 4 * UNIT;    // widening for one double operation
constexpr long double TINY = 1e-290L;        // covers underflow of the bounded operations

inline long double sum_error(std::size_t n) { return 2.0L * (static_cast<long double>(n) + 8.0L) * UNIT; }

// A closed interval that contains a double that some computation produces.
struct Bounds {
    long double lo, hi;
    long double mid() const { return 0.5L * (lo + hi); }
    long double radius() const { return 0.5L * (hi - lo); }
};

inline Bounds exactly(long double v) { return {v, v}; }

inline Bounds widen(Bounds b, long double relative) {
    return {b.lo - std::fabs(b.lo) * relative - TINY, b.hi + std::fabs(b.hi) * relative + TINY};
}
inline Bounds rounded(Bounds b) { return widen(b, ROUNDED); }

inline Bounds operator+(Bounds a, Bounds b) { return rounded({a.lo + b.lo, a.hi + b.hi}); }
inline Bounds operator-(Bounds a, Bounds b) { return rounded({a.lo - b.hi, a.hi - b.lo}); }
inline Bounds operator*(Bounds a, Bounds b) {
    const long double p[4] = {a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi};
    return rounded({*std::min_element(p, p + 4), *std::max_element(p, p + 4)});
}
inline std::optional<Bounds> quotient(Bounds a, Bounds b) {
    if (!(b.lo > 0 || b.hi < 0)) return std::nullopt;
    const long double q[4] = {a.lo / b.lo, a.lo / b.hi, a.hi / b.lo, a.hi / b.hi};
    return rounded({*std::min_element(q, q + 4), *std::max_element(q, q + 4)});
}
// x * x of a double in a: never negative, whatever the sign of the bounds.
inline Bounds squared(Bounds a) {
    const long double small = (a.lo <= 0 && a.hi >= 0) ? 0.0L : std::min(std::fabs(a.lo), std::fabs(a.hi));
    const long double large = std::max(std::fabs(a.lo), std::fabs(a.hi));
    return rounded({small * small, large * large});
}
inline Bounds magnitude(Bounds a) {
    if (a.lo >= 0) return a;
    if (a.hi <= 0) return {-a.hi, -a.lo};
    return {0.0L, std::max(-a.lo, a.hi)};
}
inline std::optional<Bounds> root(Bounds a) {
    if (a.lo < 0) return std::nullopt;
    return rounded({std::sqrt(a.lo), std::sqrt(a.hi)});
}
// The C library's atan2 over a box that stays clear of the origin and of the cut at +-pi: the
// angle between two points is at most pi/2 times their distance over the nearer one's length,
// and the library is within an ulp or two.
inline std::optional<Bounds> atan2_bounds(Bounds y, Bounds x) {
    const long double my = y.mid(), mx = x.mid(), reach = y.radius() + x.radius();
    const long double length = std::hypot(mx, my);
    if (!(reach < 0.25L * length)) return std::nullopt;
    const long double centre = std::atan2(static_cast<double>(my), static_cast<double>(mx));
    const long double spread = 1.6L * reach / (length - reach) + 16 * UNIT * PI;
    const Bounds angle{centre - spread, centre + spread};
    if (!(angle.lo > -PI && angle.hi < PI)) return std::nullopt;
    return angle;
}
// cos and sin are 1-Lipschitz; the library's values are within an ulp of 1.
template <typename Function>
inline Bounds one_lipschitz_bounds(Bounds angle, Function function) {
    const double centre = static_cast<double>(angle.mid());
    const long double reach = std::max(angle.hi - centre, centre - angle.lo) + 4 * UNIT;
    const long double value = function(centre);
    return {value - reach, value + reach};
}
inline Bounds cos_bounds(Bounds angle) {
    return one_lipschitz_bounds(angle, [](double a) { return std::cos(a); });
}
inline Bounds sin_bounds(Bounds angle) {
    return one_lipschitz_bounds(angle, [](double a) { return std::sin(a); });
}
// hypot grows with the magnitude of each argument; the library is within an ulp.
inline Bounds hypot_bounds(Bounds a, Bounds b) {
    const Bounds ma = magnitude(a), mb = magnitude(b);
    return rounded({std::hypot(ma.lo, mb.lo), std::hypot(ma.hi, mb.hi)});
}

}  // namespace tarnwick::detector::rounding
