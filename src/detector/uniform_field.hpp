// Seeds in a field whose level lines all run one way: tries settled from sums over rows of pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "detector/free_component.hpp"
#include "detector/region.hpp"
#include "detector/types.hpp"

namespace tarnwick::detector {

/// On a smooth ramp every available pixel's level-line direction lies in a narrow cone, so a
/// seed's first region is the whole 8-connected component of available pixels around it. Such a
/// region fills its rectangle poorly, so the seed re-grows with a tolerance estimated near it:
/// usually a handful of pixels, which are dropped. Each try walks the whole component several
/// times, so the detector's time grows as the square of the pixel count.
///
/// This class finds the re-growth without the walks. It keeps one 8-connected component of free
/// pixels (at first the largest; seeds outside it take the full path) with per-row sums and
/// prefix sums, and from them bounds every rounded quantity of the first growth's path (centre,
/// inertia, axis, extent, density, the tolerance's sums) by an interval that holds whatever order
/// that path adds in. When every decision of the path falls the same way for all
/// values in those intervals, it re-grows with the whole interval of tolerances at once, and
/// succeeds only if every candidate is accepted, or rejected, for all of them: then any tolerance
/// of the interval re-grows exactly the region that the path would. Anything else (a close call,
/// a region that may fill its rectangle) is left to the full path, so results are bit for bit
/// those of the full path.
class UniformField {
public:
    /// Null unless every available pixel points within a narrow cone (the case this class is for).
    static std::unique_ptr<UniformField> recognise(std::span<const Px> px, std::span<const std::uint8_t> used,
                                                   std::uint32_t width, std::uint32_t height,
                                                   std::uint32_t min_region_size);

    /// The region that the full path from this available seed re-grows, built into region (its
    /// pixels flagged used) exactly as that re-growth builds it, with its sums; or nothing, with
    /// no flag changed, when the full path must decide.
    std::optional<RegionDirection> regrowth(PixelIndex seed, std::span<std::uint8_t> used, RegionPixels& region);

    /// Flags may have changed elsewhere (the full path ran): they are compared before the next try.
    /// The seed loop only ever takes pixels that were free before a try; should a flag be freed,
    /// everything is found again.
    void flags_changed() { stale_ = true; }

    UniformField(std::span<const Px> px, std::span<const std::uint8_t> used, std::uint32_t width,
                 std::uint32_t height, std::uint32_t min_region_size, std::vector<double> angles,
                 double least_angle, double greatest_angle);
    // The component reads the angles in place.
    UniformField(const UniformField&) = delete;
    UniformField& operator=(const UniformField&) = delete;

private:
    std::optional<RegionDirection> regrow(PixelIndex seed, double tau_low, double tau_high,
                                          std::span<std::uint8_t> used, RegionPixels& region);

    std::span<const Px> px_;
    std::uint32_t width_, height_, min_region_size_;
    std::vector<double> angles_;  // atan2 of each free pixel's direction
    double least_angle_, greatest_angle_;
    FreeComponent component_;     // the first region of every seed in it
    bool stale_ = false;
};

}  // namespace tarnwick::detector
