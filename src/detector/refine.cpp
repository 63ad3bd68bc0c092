// Re-growing a poorly filled region with a tolerance estimated near its seed, then shrinking it.
#include "detector/refine.hpp"

#include <bit>
#include <cmath>

#include "detector/close_call.hpp"
#include "detector/region.hpp"
#include "sample/check.hpp"

namespace tarnwick::detector {

double region_density(std::size_t region_size, const Rect& rect) {
    double length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    double area = length * rect.width;
    return static_cast<double>(region_size) / (area > 1.0 ? area : 1.0);  // NaN area counts as 1
}

double LevelLineAngles::look_up(PixelIndex index) {
    check(index < px_.size(), "pixel index out of bounds");
    auto compute = [&] {
        return std::atan2(static_cast<double>(px_[index].dir_y), static_cast<double>(px_[index].dir_x));
    };
    if (known_.size() == 0) {
        if (++requests_ <= px_.size() / 4) return compute();
        known_ = Buffer<std::uint64_t>(px_.size());
    }
    if (std::uint64_t stored = known_[index]; stored != 0) return std::bit_cast<double>(stored ^ NOT_COMPUTED);
    const double angle = compute();
    known_[index] = std::bit_cast<std::uint64_t>(angle) ^ NOT_COMPUTED;
    return angle;
}

namespace {

bool dense_enough(std::size_t region_size, const Rect& rect) {
    return region_density(region_size, rect) >= DENSITY_THRESHOLD;
}

double wrap_angle(double angle) {
    while (angle <= -PI) angle += 2.0 * PI;
    while (angle > PI) angle -= 2.0 * PI;
    return angle;
}

// Distances of region pixels from the seed against a radius. Coordinate differences square
// exactly enough for the squared radius to settle all but the close calls, which hypot decides;
// so hypot runs a handful of times per pass instead of once per pixel.
class SeedDistance {
public:
    SeedDistance(const RegionPixel& seed, double radius)
        : xs_(seed.column()), ys_(seed.row()), radius_(radius), bounds_(radius * radius) {}

    // -1 when the pixel is closer than the radius, +1 when farther, 0 when only hypot can tell.
    int side_by_squares(const RegionPixel& pixel) const {
        const double dx = pixel.column() - xs_, dy = pixel.row() - ys_;
        return bounds_.side_of(dx * dx + dy * dy);
    }
    // The same for any pixel, close calls included (then 0 means exactly at the radius, or NaN).
    int side_of(const RegionPixel& pixel) const {
        if (int side = side_by_squares(pixel); side != 0) return side;
        return side_by_hypot(pixel);
    }
    bool within(const RegionPixel& pixel) const { return side_of(pixel) < 0; }    // distance < radius

    int side_by_hypot(const RegionPixel& pixel) const {
        const double distance = close_call_hypot(pixel.column() - xs_, pixel.row() - ys_);
        return distance > radius_ ? 1 : (distance < radius_ ? -1 : 0);  // 0 also for NaN
    }

private:
    double xs_, ys_, radius_;
    SquaredThreshold bounds_;
};

// Twice the standard deviation of the level-line angles (relative to the seed's) of the region
// pixels closer to the seed than the rectangle's width. The region is about to be grown again, so
// the same pass gives its pixels back (the estimate reads no flag).
double tolerance_near_seed_releasing(std::span<const RegionPixel> region, LevelLineAngles& angles,
                                     double rect_width, std::span<std::uint8_t> used) {
    const RegionPixel& seed = region.front();
    const SeedDistance near(seed, rect_width);
    const double seed_angle = angles.at(seed.index);
    double sum = 0.0, sum_of_squares = 0.0, count = 0.0;
    for (const RegionPixel& pixel : region) {
        used[pixel.index] = 0;
        if (!near.within(pixel)) continue;
        double d = wrap_angle(angles.at(pixel.index) - seed_angle);
        sum += d;
        sum_of_squares += d * d;
        count += 1.0;
    }
    double mean = sum / count;
    double variance = sum_of_squares / count - mean * mean;
    if (!(variance > 0.0)) variance = 0.0;
    return 2.0 * std::sqrt(variance);
}

// Removes the pixels farther than radius from the seed, moving the last pixel into each hole.
// Returns the weighted sums of the pixels kept, in their new order: a place is final once the
// walk moves past it.
WeightedSums keep_within(RegionPixels& region, std::span<std::uint8_t> used, double radius) {
    const SeedDistance far(region.front(), radius);
    WeightedSums kept;
    // Plain pointers and a size: a flag written through a byte pointer could alias the region's
    // own bookkeeping, which the compiler would then reload for every pixel.
    RegionPixel* const pixels = region.data();
    std::uint8_t* const flags = used.data();
    std::size_t size = region.size(), j = 0;
    // Pixel j is dropped, or kept into sums.
    auto settle = [&](int side, WeightedSums& sums) {
        if (side > 0) {
            flags[pixels[j].index] = 0;
            pixels[j] = pixels[--size];
        } else {
            sums.add(pixels[j]);
            ++j;
        }
    };
    while (j < size) {
        // The squares settle almost every pixel, in a loop without calls and with sums of its
        // own, so that they stay in registers; a close call leaves it for hypot.
        WeightedSums sums = kept;
        while (j < size) {
            const int side = far.side_by_squares(pixels[j]);
            if (side == 0) break;
            settle(side, sums);
        }
        kept = sums;
        if (j < size) settle(far.side_by_hypot(pixels[j]), kept);
    }
    region.resize(size);
    return kept;
}

}  // namespace

bool refine(RegionPixels& region, double& region_angle, Rect& rect, std::span<std::uint8_t> used,
            std::span<const Px> px, LevelLineAngles& angles, std::uint32_t min_region_size,
            std::uint32_t width, std::uint32_t height) {
    if (dense_enough(region.size(), rect)) return true;

    const RegionPixel seed = region.front();
    double tau = tolerance_near_seed_releasing(region, angles, rect.width, used);
    const RegionDirection regrown = grow_region_direction(seed.index, px, used, tau, region, width, height);
    return refine_regrown(region, regrown, region_angle, rect, used, min_region_size);
}

bool refine_regrown(RegionPixels& region, const RegionDirection& regrown, double& region_angle, Rect& rect,
                    std::span<std::uint8_t> used, std::uint32_t min_region_size) {
    const double angle = regrown.angle();
    region_angle = angle;
    if (region.size() < min_region_size) return false;

    rect = region_to_rect(region, regrown.weights, angle, rect.p);
    if (dense_enough(region.size(), rect)) return true;

    const RegionPixel seed = region.front();
    const double xs = seed.column(), ys = seed.row();
    double radius = std::fmax(std::hypot(xs - rect.x1, ys - rect.y1),
                              std::hypot(xs - rect.x2, ys - rect.y2));
    // A radius that is not finite can never shrink the region: such a region is dropped rather
    // than looped on forever (only images with huge or infinite samples get here).
    if (!std::isfinite(radius)) return false;
    for (;;) {
        radius *= 0.75;
        const WeightedSums kept = keep_within(region, used, radius);
        if (region.size() < min_region_size) return false;
        rect = region_to_rect(region, kept, angle, rect.p);
        if (dense_enough(region.size(), rect)) return true;
    }
}

}  // namespace tarnwick::detector
