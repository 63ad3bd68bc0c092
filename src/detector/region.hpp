// Growing a region of aligned pixels from a seed, and fitting a rectangle to it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "detector/types.hpp"

namespace tarnwick::detector {

/// Replaces region with the 8-connected pixels reachable from seed whose directions agree with the
/// running mean direction within tolerance; marks them used. Returns the region angle.
double grow_region(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used,
                   double tolerance, RegionPixels& region, std::uint32_t width, std::uint32_t height);

/// Asks the cache for the level-line records and used flags that growing reads around a pixel.
/// The seed order jumps around the image, and a region's neighbours lie on three rows; fetching
/// them ahead of their use hides most of the misses. Changes nothing.
inline void prefetch_neighbourhood(std::span<const Px> px, std::span<const std::uint8_t> used,
                                   PixelIndex index, std::uint32_t width) {
    const std::size_t size = std::min(px.size(), used.size()), i = index;
    if (i >= size) return;
    const std::size_t row_starts[] = {i > width ? i - width - 1 : 0, i > 0 ? i - 1 : 0,
                                      std::min(i + width - 1, size - 1)};
    for (std::size_t start : row_starts) {
        __builtin_prefetch(px.data() + start);
        __builtin_prefetch(px.data() + std::min(start + 2, size - 1));
        __builtin_prefetch(used.data() + start);
    }
}

/// The rectangle approximating a non-empty region (weighted centre, inertia axis, extent).
Rect region_to_rect(std::span<const RegionPixel> region, double region_angle, double p);

}  // namespace tarnwick::detector
