// Re-growing a poorly filled region with a tolerance estimated near its seed, then shrinking it.
#include "detector/refine.hpp"

#include <cmath>

#include "detector/region.hpp"

namespace tarnwick::detector {

double region_density(std::size_t region_size, const Rect& rect) {
    double length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    double area = length * rect.width;
    return static_cast<double>(region_size) / (area > 1.0 ? area : 1.0);  // NaN area counts as 1
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

// Twice the standard deviation of the level-line angles (relative to the seed's) of the region
// pixels closer to the seed than the rectangle's width.
double tolerance_near_seed(const Region& region, std::span<const Px> px, double rect_width,
                           std::uint32_t width) {
    PixelIndex seed = region.front();
    auto [xs, ys] = pixel_xy(seed, width);
    double seed_angle = std::atan2(static_cast<double>(px[seed].dir_y),
                                   static_cast<double>(px[seed].dir_x));
    double sum = 0.0, sum_of_squares = 0.0, count = 0.0;
    for (PixelIndex index : region) {
        auto [x, y] = pixel_xy(index, width);
        if (!(std::hypot(x - xs, y - ys) < rect_width)) continue;
        double d = wrap_angle(std::atan2(static_cast<double>(px[index].dir_y),
                                         static_cast<double>(px[index].dir_x)) -
                              seed_angle);
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
void keep_within(Region& region, std::span<std::uint8_t> used, double radius, std::uint32_t width) {
    auto [xs, ys] = pixel_xy(region.front(), width);
    std::size_t j = 0;
    while (j < region.size()) {
        auto [x, y] = pixel_xy(region[j], width);
        if (std::hypot(x - xs, y - ys) > radius) {
            used[region[j]] = 0;
            region[j] = region.back();
            region.pop_back();
        } else {
            ++j;
        }
    }
}

}  // namespace

bool refine(Region& region, double& region_angle, Rect& rect, std::span<std::uint8_t> used,
            std::span<const Px> px, std::uint32_t min_region_size, std::uint32_t width,
            std::uint32_t height) {
    if (dense_enough(region.size(), rect)) return true;

    double tau = tolerance_near_seed(region, px, rect.width, width);
    PixelIndex seed = region.front();
    for (PixelIndex index : region) used[index] = 0;
    double angle = grow_region(seed, px, used, tau, region, width, height);
    region_angle = angle;
    if (region.size() < min_region_size) return false;

    rect = region_to_rect(region, px, angle, rect.p, width);
    if (dense_enough(region.size(), rect)) return true;

    auto [xs, ys] = pixel_xy(seed, width);
    double radius = std::fmax(std::hypot(xs - rect.x1, ys - rect.y1),
                              std::hypot(xs - rect.x2, ys - rect.y2));
    // A radius that is not finite can never shrink the region: such a region is dropped rather
    // than looped on forever (only images with huge or infinite samples get here).
    if (!std::isfinite(radius)) return false;
    for (;;) {
        radius *= 0.75;
        keep_within(region, used, radius, width);
        if (region.size() < min_region_size) return false;
        rect = region_to_rect(region, px, angle, rect.p, width);
        if (dense_enough(region.size(), rect)) return true;
    }
}

}  // namespace tarnwick::detector
