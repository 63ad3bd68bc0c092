// Repairing regions that fill their rectangle poorly: re-grow with an estimated tolerance, then shrink.
#pragma once

#include <cstdint>
#include <span>

#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace tarnwick::detector {

inline constexpr double DENSITY_THRESHOLD = 0.7;

/// Fraction of the rectangle's area covered by the region's pixels.
double region_density(std::size_t region_size, const Rect& rect);

/// atan2(dir_y, dir_x) of each pixel of a level-line field, computed the first time it is asked
/// for: neighbouring seeds estimate their tolerance from largely the same pixels, and on smooth
/// images (one region per seed covering most of the image) those angles would be recomputed for
/// every seed. The memory is reserved at the first request and zero pages cost nothing until used.
class LevelLineAngles {
public:
    explicit LevelLineAngles(std::span<const Px> px) : px_(px) {}
    double at(PixelIndex index);

private:
    std::span<const Px> px_;
    Buffer<std::uint64_t> known_;  // the angle's bits XOR NOT_COMPUTED; 0 until computed
};

/// True when the (possibly changed) region and rect go on to validation, false when dropped.
/// angles must be built on px.
bool refine(RegionPixels& region, double& region_angle, Rect& rect, std::span<std::uint8_t> used,
            std::span<const Px> px, LevelLineAngles& angles, std::uint32_t min_region_size,
            std::uint32_t width, std::uint32_t height);

}  // namespace tarnwick::detector
