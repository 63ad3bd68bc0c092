// Number of false alarms of a rectangle, and the search for a better rectangle nearby.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "detector/types.hpp"

namespace tarnwick::detector {

/// ln(gamma(x)) for x > 0 (used with x >= 2).
double log_gamma(double x);

/// x^k by repeated squaring, right to left.
double integer_power(double x, std::uint32_t k);

/// Pixels inside the rectangle (n) and those aligned with it (k).
struct AlignedCount {
    std::uint32_t n;
    std::uint32_t k;
};
AlignedCount count_aligned(const Rect& rect, std::span<const Px> px, std::uint32_t width,
                           std::uint32_t height, float grad_threshold);

inline constexpr std::size_t MAX_PRECISIONS = 8;
/// The same pixels counted for several precisions (angle tolerances, at most MAX_PRECISIONS) at
/// once, as the rectangle with each would count them: aligned[t] for precisions[t]. Returns n.
std::uint32_t count_aligned(const Rect& rect, std::span<const Px> px, std::uint32_t width,
                            std::uint32_t height, float grad_threshold,
                            std::span<const double> precisions, std::span<std::uint32_t> aligned);

/// -log10(NFA) for n pixels of which k are aligned, each with probability p.
double log_nfa_from_counts(std::uint32_t n, std::uint32_t k, double p, double log_nt);

/// -log10(NFA) of the rectangle.
double rect_log_nfa(const Rect& rect, std::span<const Px> px, std::uint32_t width,
                    std::uint32_t height, float grad_threshold, double log_nt);

/// Tries up to 25 variants of a rectangle that is not yet meaningful, keeps the best one in rect
/// and returns its value.
double improve_rect(Rect& rect, std::span<const Px> px, std::uint32_t width, std::uint32_t height,
                    float grad_threshold, double log_nt);

}  // namespace tarnwick::detector
