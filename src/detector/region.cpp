// Region growing over the level-line field, and the rectangle that approximates a region.
#include "detector/region.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "sample/check.hpp"

namespace tarnwick::detector {
namespace {

// The running mean direction of a growing region and its acceptance threshold.
struct Growth {
    double cos_tol;
    double sum_x;
    double sum_y;
    double threshold;

    // Rejects only when dot < threshold: equality and NaN both accept.
    bool accepts(const Px& candidate) const {
        double dot = sum_y * static_cast<double>(candidate.dir_y) +
                     sum_x * static_cast<double>(candidate.dir_x);
        return !(dot < threshold);
    }
    void add(const Px& joined) {
        sum_x += static_cast<double>(joined.dir_x);
        sum_y += static_cast<double>(joined.dir_y);
        threshold = cos_tol * std::hypot(sum_x, sum_y);
    }
};

}  // namespace

double grow_region(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used,
                   double tolerance, Region& region, std::uint32_t width, std::uint32_t height) {
    check(seed < px.size() && seed < used.size(), "seed index out of bounds");
    check(std::uint64_t{width} * height <= std::min(px.size(), used.size()),
          "level-line field smaller than the image");
    region.clear();
    region.push_back(seed);
    used[seed] = 1;
    Growth growth{std::cos(tolerance), static_cast<double>(px[seed].dir_x),
                  static_cast<double>(px[seed].dir_y), 0.0};
    growth.threshold = growth.cos_tol;

    auto consider = [&](PixelIndex neighbour) {
        if (used[neighbour] != 0 || !growth.accepts(px[neighbour])) return;
        used[neighbour] = 1;
        region.push_back(neighbour);
        growth.add(px[neighbour]);
    };

    const std::int64_t w = width;
    const std::array<std::int64_t, 8> offsets{-w - 1, -w, -w + 1, -1, 1, w - 1, w, w + 1};
    for (std::size_t i = 0; i < region.size(); ++i) {
        PixelIndex index = region[i];
        std::uint32_t y = index / width, x = index - y * width;
        if (x >= 1 && y >= 1 && x + 1 < width && y + 1 < height) {
            for (std::int64_t offset : offsets)
                consider(static_cast<PixelIndex>(static_cast<std::int64_t>(index) + offset));
            continue;
        }
        // Border pixels scan the clipped 3x3 block; the pixel itself is met but already used.
        std::uint32_t row_end = std::min(y + 1, height - 1), col_end = std::min(x + 1, width - 1);
        for (std::uint32_t ny = y == 0 ? 0 : y - 1; ny <= row_end; ++ny)
            for (std::uint32_t nx = x == 0 ? 0 : x - 1; nx <= col_end; ++nx)
                consider(ny * width + nx);
    }
    return std::atan2(growth.sum_y, growth.sum_x);
}

namespace {

struct Centre {
    double x, y;
};

Centre weighted_centre(std::span<const PixelIndex> region, std::span<const Px> px,
                       std::uint32_t width) {
    double sum_w = 0.0, sum_wx = 0.0, sum_wy = 0.0;
    for (PixelIndex index : region) {
        // The first pass over the region guards the two that follow.
        check(index < px.size(), "region pixel out of bounds");
        auto [x, y] = pixel_xy(index, width);
        double w = static_cast<double>(px[index].norm);
        sum_w += w;
        sum_wx += w * x;
        sum_wy += w * y;
    }
    return {sum_wx / sum_w, sum_wy / sum_w};
}

// Direction of the axis of least inertia of the weighted pixels around the centre.
double inertia_angle(std::span<const PixelIndex> region, std::span<const Px> px,
                     std::uint32_t width, Centre centre) {
    double ixx = 0.0, iyy = 0.0, sum_xy = 0.0;
    for (PixelIndex index : region) {
        auto [x, y] = pixel_xy(index, width);
        double w = static_cast<double>(px[index].norm);
        double ex = x - centre.x, ey = y - centre.y;
        ixx += ey * (ey * w);
        iyy += ex * (ex * w);
        sum_xy += (ex * w) * ey;
    }
    double ixy = -sum_xy;
    double diff = ixx - iyy;
    double lambda = 0.5 * ((iyy + ixx) - std::sqrt(diff * diff + ixy * (4.0 * ixy)));
    if (std::fabs(ixx - lambda) > std::fabs(iyy - lambda)) return std::atan2(lambda - ixx, ixy);
    return std::atan2(ixy, lambda - iyy);
}

}  // namespace

Rect region_to_rect(std::span<const PixelIndex> region, std::span<const Px> px, double region_angle,
                    double p, std::uint32_t width) {
    check(!region.empty(), "region_to_rect needs a non-empty region");
    Centre centre = weighted_centre(region, px, width);
    double theta = inertia_angle(region, px, width, centre);

    // Orient the axis like the region's mean level-line direction.
    double delta = theta - region_angle;
    while (delta <= -PI) delta += 2.0 * PI;
    while (delta > PI) delta -= 2.0 * PI;
    if (std::fabs(delta) > ANGLE_TOLERANCE) theta += PI;
    double dx = std::cos(theta), dy = std::sin(theta);

    double l_min = 0.0, l_max = 0.0, t_min = 0.0, t_max = 0.0;
    for (PixelIndex index : region) {
        auto [x, y] = pixel_xy(index, width);
        double along = dy * (y - centre.y) + dx * (x - centre.x);
        double across = dx * (y - centre.y) - dy * (x - centre.x);
        if (along < l_min) l_min = along;
        if (along > l_max) l_max = along;
        if (across < t_min) t_min = across;
        if (across > t_max) t_max = across;
    }
    double band = t_max - t_min;
    Rect rect;
    rect.x1 = centre.x + dx * l_min;
    rect.y1 = centre.y + dy * l_min;
    rect.x2 = centre.x + dx * l_max;
    rect.y2 = centre.y + dy * l_max;
    rect.width = band > 1.0 ? band : 1.0;  // NaN too becomes 1.0
    rect.dx = dx;
    rect.dy = dy;
    rect.prec = ANGLE_TOLERANCE;
    rect.p = p;
    return rect;
}

}  // namespace tarnwick::detector
