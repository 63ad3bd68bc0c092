// Repairing regions that fill their rectangle poorly: re-grow with an estimated tolerance, then shrink.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace tarnwick::detector {

inline constexpr double DENSITY_THRESHOLD = 0.7;

/// Fraction of the rectangle's area covered by the region's pixels.
double region_density(std::size_t region_size, const Rect& rect);

/// atan2(dir_y, dir_x) of the pixels of a level-line field, remembered once they are asked for
/// repeatedly. On smooth images one region per seed covers most of the image, and the tolerance
/// estimates of neighbouring seeds would recompute the same angles for every seed; on photographs
/// the requests are few and scattered, and a per-pixel table would cost more in page faults than
/// it saves. So the table is created only once the requests outnumber a quarter of the pixels.
class LevelLineAngles {
public:
    explicit LevelLineAngles(std::span<const Px> px) : px_(px) {}
    double at(PixelIndex index) {
        if (index < known_.size()) {
            if (std::uint64_t stored = known_[index]; stored != 0)
                return std::bit_cast<double>(stored ^ NOT_COMPUTED);
        }
        return look_up(index);
    }

private:
    // A signalling NaN: atan2 returns numbers or quiet NaNs, never this pattern, so a stored 0 (the
    // pattern XOR itself) can only mean that the angle was not computed yet.
    static constexpr std::uint64_t NOT_COMPUTED = 0x7FF0000000000001;
    // Out of line: with its atan2 and its table handling inside the tolerance estimate's loop,
    // GCC kept that loop's sums in memory.
    [[gnu::noinline]] double look_up(PixelIndex index);

    std::span<const Px> px_;
    std::size_t requests_ = 0;
    Buffer<std::uint64_t> known_;  // the angle's bits XOR NOT_COMPUTED; 0 until computed
};

/// True when the (possibly changed) region and rect go on to validation, false when dropped.
/// angles must be built on px.
bool refine(RegionPixels& region, double& region_angle, Rect& rect, std::span<std::uint8_t> used,
            std::span<const Px> px, LevelLineAngles& angles, std::uint32_t min_region_size,
            std::uint32_t width, std::uint32_t height);

struct RegionDirection;

/// What refine does once the region has been re-grown (into region, with these sums) with the
/// estimated tolerance: drop it when too small, else fit it and shrink it until it fills its
/// rectangle. rect.p is kept; rect is replaced.
bool refine_regrown(RegionPixels& region, const RegionDirection& regrown, double& region_angle, Rect& rect,
                    std::span<std::uint8_t> used, std::uint32_t min_region_size);

}  // namespace tarnwick::detector
