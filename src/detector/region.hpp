// Growing a region of aligned pixels from a seed, and fitting a rectangle to it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "detector/types.hpp"

namespace tarnwick::detector {

/// The norm-weighted sums that place a region's centre, added in region order: whoever walks the
/// region in that order anyway (growing, shrinking) keeps them, and the fit need not walk it again.
struct WeightedSums {
    double w = 0.0, wx = 0.0, wy = 0.0;
    void add(const RegionPixel& pixel) {
        const double weight = static_cast<double>(pixel.norm);
        w += weight;
        wx += weight * pixel.column();
        wy += weight * pixel.row();
    }
};

/// The sums of the unit level-line vectors of a grown region; their direction is the region angle.
struct RegionDirection {
    double sum_x, sum_y;
    WeightedSums weights;  // of the region in joining order
    double angle() const;
};

/// Replaces region with the 8-connected pixels reachable from seed whose directions agree with the
/// running mean direction within tolerance; marks them used. Returns the sums whose direction is
/// the region angle: most regions are too small to need it, and its atan2 is dear.
RegionDirection grow_region_direction(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used,
                                      double tolerance, RegionPixels& region, std::uint32_t width,
                                      std::uint32_t height);

/// The region that growing gives for every tolerance whose cosine lies in [cos_low, cos_high]
/// (cos_low > 0), when all those tolerances give the same one; otherwise nothing, with no flag
/// changed.
std::optional<RegionDirection> grow_region_between(PixelIndex seed, std::span<const Px> px,
                                                   std::span<std::uint8_t> used, double cos_low, double cos_high,
                                                   RegionPixels& region, std::uint32_t width, std::uint32_t height);
/// The same region; returns the region angle.
inline double grow_region(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used,
                          double tolerance, RegionPixels& region, std::uint32_t width, std::uint32_t height) {
    return grow_region_direction(seed, px, used, tolerance, region, width, height).angle();
}

/// Asks the cache for the level-line records of the rows above and below a pixel (and of its own
/// row, with own_row) and, unless used is null, for their used flags: what growing reads around
/// the pixel. Regions and seeds are scattered over a field far larger than the cache, so these
/// reads miss; issued ahead of their use, the misses overlap with other work. Changes nothing.
inline void prefetch_rows_around(const Px* px, const std::uint8_t* used, std::size_t pixels,
                                 std::size_t index, std::uint32_t width, bool own_row) {
    // GCC counts prefetches as no effect at all, so a function made of them alone would be
    // dropped from its callers as a call without effect; this empty statement keeps it.
    asm volatile("");
    if (pixels < 3) return;
    const std::size_t last_start = pixels - 3;  // of three neighbouring records
    const std::size_t above = std::min(index > width ? index - width - 1 : 0, last_start);
    const std::size_t below = std::min<std::size_t>(index + width - 1, last_start);
    __builtin_prefetch(px + above);
    __builtin_prefetch(px + above + 2);  // the three records may straddle two lines
    __builtin_prefetch(px + below);
    __builtin_prefetch(px + below + 2);
    if (used != nullptr) {
        __builtin_prefetch(used + above);
        __builtin_prefetch(used + below);
    }
    if (own_row) {
        const std::size_t own = std::min(index > 0 ? index - 1 : 0, last_start);
        __builtin_prefetch(px + own);
        __builtin_prefetch(px + own + 2);
    }
}

/// The rectangle approximating a non-empty region (weighted centre, inertia axis, extent).
Rect region_to_rect(std::span<const RegionPixel> region, double region_angle, double p);

/// The same rectangle, given the region's weighted sums in region order.
Rect region_to_rect(std::span<const RegionPixel> region, const WeightedSums& weights, double region_angle,
                    double p);

}  // namespace tarnwick::detector
