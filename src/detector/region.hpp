// Growing a region of aligned pixels from a seed, and fitting a rectangle to it.
#pragma once

#include <cstdint>
#include <span>

#include "detector/types.hpp"

namespace tarnwick::detector {

/// Replaces region with the 8-connected pixels reachable from seed whose directions agree with the
/// running mean direction within tolerance; marks them used. Returns the region angle.
double grow_region(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used,
                   double tolerance, RegionPixels& region, std::uint32_t width, std::uint32_t height);

/// The rectangle approximating a non-empty region (weighted centre, inertia axis, extent).
Rect region_to_rect(std::span<const RegionPixel> region, double region_angle, double p);

}  // namespace tarnwick::detector
