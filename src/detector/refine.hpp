// Repairing regions that fill their rectangle poorly: re-grow with an estimated tolerance, then shrink.
#pragma once

#include <cstdint>
#include <span>

#include "detector/types.hpp"

namespace tarnwick::detector {

inline constexpr double DENSITY_THRESHOLD = 0.7;

/// Fraction of the rectangle's area covered by the region's pixels.
double region_density(std::size_t region_size, const Rect& rect);

/// True when the (possibly changed) region and rect go on to validation, false when dropped.
bool refine(Region& region, double& region_angle, Rect& rect, std::span<std::uint8_t> used,
            std::span<const Px> px, std::uint32_t min_region_size, std::uint32_t width,
            std::uint32_t height);

}  // namespace tarnwick::detector
