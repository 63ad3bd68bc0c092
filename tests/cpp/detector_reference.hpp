// Plain versions of region growing, rectangle fitting and refinement (a bounds test per neighbour, one
// pass per sum), which the stages must match bit for bit, and the comparisons the detector tests share.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "detector/types.hpp"

namespace reference {

using namespace tarnwick::detector;

// A region as a plain list of pixel indices, and the coordinates of an index.
using Region = std::vector<PixelIndex>;
struct PixelXY {
    double x, y;
};
inline PixelXY pixel_xy(PixelIndex index, std::uint32_t width) {
    std::uint32_t y = index / width;
    return {static_cast<double>(index - y * width), static_cast<double>(y)};
}

constexpr double kInf = std::numeric_limits<double>::infinity(), kNaN = std::numeric_limits<double>::quiet_NaN();

inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
template <std::size_t N>
void expect_same_bits(const std::array<double, N>& got, const std::array<double, N>& want, const char* what = "") {
    for (std::size_t i = 0; i < N; ++i)
        EXPECT_TRUE(same_bits(got[i], want[i])) << what << " field " << i << ": " << got[i] << " vs " << want[i];
}
inline auto fields(const Rect& r) { return std::array{r.x1, r.y1, r.x2, r.y2, r.width, r.dx, r.dy, r.prec, r.p}; }
inline void expect_same_rect(const Rect& got, const Rect& want) { expect_same_bits(fields(got), fields(want), "rect"); }
inline auto fields(const Segment& s) { return std::array{s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa}; }
inline void expect_same_segments(const std::vector<Segment>& got, const std::vector<Segment>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) expect_same_bits(fields(got[i]), fields(want[i]), what);
}
inline Px unit(double angle, float norm = 10.0f) { return Px{norm, float(std::cos(angle)), float(std::sin(angle))}; }

// The region records that the stages work on, for a list of pixel indices, and back.
inline RegionPixels region_pixels(const Region& region, std::span<const Px> px, std::uint32_t width) {
    RegionPixels pixels;
    for (PixelIndex i : region) pixels.push_back({i, i % width, i / width, px[i].norm});
    return pixels;
}
inline Region indices(const RegionPixels& region) {
    Region out;
    for (const RegionPixel& pixel : region) out.push_back(pixel.index);
    return out;
}

inline double grow_region(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used, double tolerance,
                          Region& region, std::uint32_t width, std::uint32_t height) {
    region.assign(1, seed);
    used[seed] = 1;
    const double cos_tol = std::cos(tolerance);
    double sum_x = px[seed].dir_x, sum_y = px[seed].dir_y, threshold = cos_tol;
    for (std::size_t i = 0; i < region.size(); ++i) {
        const long x = long(region[i] % width), y = long(region[i] / width);
        for (long ny = y - 1; ny <= y + 1; ++ny)
            for (long nx = x - 1; nx <= x + 1; ++nx) {
                if (nx < 0 || ny < 0 || nx >= long(width) || ny >= long(height)) continue;
                const PixelIndex n = PixelIndex(ny * long(width) + nx);
                if (used[n] != 0 || sum_y * double(px[n].dir_y) + sum_x * double(px[n].dir_x) < threshold) continue;
                used[n] = 1;
                region.push_back(n);
                sum_x += px[n].dir_x;
                sum_y += px[n].dir_y;
                threshold = cos_tol * std::hypot(sum_x, sum_y);
            }
    }
    return std::atan2(sum_y, sum_x);
}

inline Rect region_to_rect(std::span<const PixelIndex> region, std::span<const Px> px, double region_angle, double p,
                           std::uint32_t width) {
    double sw = 0.0, swx = 0.0, swy = 0.0, ixx = 0.0, iyy = 0.0, ixy = 0.0;
    for (PixelIndex i : region) {
        sw += px[i].norm;
        swx += px[i].norm * pixel_xy(i, width).x;
        swy += px[i].norm * pixel_xy(i, width).y;
    }
    const double cx = swx / sw, cy = swy / sw;
    for (PixelIndex i : region) {
        const double w = px[i].norm, ex = pixel_xy(i, width).x - cx, ey = pixel_xy(i, width).y - cy;
        ixx += ey * (ey * w);
        iyy += ex * (ex * w);
        ixy += (ex * w) * ey;
    }
    ixy = -ixy;
    const double lambda = 0.5 * ((iyy + ixx) - std::sqrt((ixx - iyy) * (ixx - iyy) + ixy * (4.0 * ixy)));
    double theta = std::fabs(ixx - lambda) > std::fabs(iyy - lambda) ? std::atan2(lambda - ixx, ixy)
                                                                      : std::atan2(ixy, lambda - iyy);
    double delta = theta - region_angle;
    while (delta <= -PI) delta += 2.0 * PI;
    while (delta > PI) delta -= 2.0 * PI;
    if (std::fabs(delta) > ANGLE_TOLERANCE) theta = theta + PI;
    const double dx = std::cos(theta), dy = std::sin(theta);
    double lmin = 0.0, lmax = 0.0, tmin = 0.0, tmax = 0.0;  // comparisons with a NaN keep the running value
    for (PixelIndex i : region) {
        const PixelXY c = pixel_xy(i, width);
        const double l = dy * (c.y - cy) + dx * (c.x - cx), t = dx * (c.y - cy) - dy * (c.x - cx);
        lmin = l < lmin ? l : lmin;
        lmax = l > lmax ? l : lmax;
        tmin = t < tmin ? t : tmin;
        tmax = t > tmax ? t : tmax;
    }
    const double spread = tmax - tmin;
    return Rect{cx + dx * lmin, cy + dy * lmin, cx + dx * lmax, cy + dy * lmax, spread > 1.0 ? spread : 1.0,
                dx,             dy,             ANGLE_TOLERANCE, p};
}

inline bool dense(std::size_t size, const Rect& r) {
    const double area = std::hypot(r.x2 - r.x1, r.y2 - r.y1) * r.width;
    return double(size) / (area > 1.0 ? area : 1.0) >= 0.7;  // a NaN area counts as 1
}

// How refine ended, dropped ways first, so that the random tests can show that they reach every branch.
enum class Outcome { kDroppedAfterRegrow, kDroppedWhileShrinking, kDenseAtOnce, kDenseAfterRegrow, kDenseAfterShrink };

inline Outcome refine(Region& region, double& region_angle, Rect& rect, std::span<std::uint8_t> used,
                      std::span<const Px> px, std::uint32_t min_size, std::uint32_t width, std::uint32_t height) {
    if (dense(region.size(), rect)) return Outcome::kDenseAtOnce;
    const PixelIndex seed = region[0];
    const PixelXY s = pixel_xy(seed, width);
    const double seed_angle = std::atan2(double(px[seed].dir_y), double(px[seed].dir_x));
    double sum = 0.0, sum_sq = 0.0, count = 0.0;
    for (PixelIndex i : region) {
        if (!(std::hypot(pixel_xy(i, width).x - s.x, pixel_xy(i, width).y - s.y) < rect.width)) continue;
        double d = std::atan2(double(px[i].dir_y), double(px[i].dir_x)) - seed_angle;
        while (d <= -PI) d += 2.0 * PI;
        while (d > PI) d -= 2.0 * PI;
        sum += d;
        sum_sq += d * d;
        count += 1.0;
    }
    const double mean = sum / count, var = sum_sq / count - mean * mean, tau = 2.0 * std::sqrt(var > 0.0 ? var : 0.0);
    for (PixelIndex i : region) used[i] = 0;
    region_angle = reference::grow_region(seed, px, used, tau, region, width, height);
    if (region.size() < min_size) return Outcome::kDroppedAfterRegrow;
    rect = reference::region_to_rect(region, px, region_angle, rect.p, width);
    if (dense(region.size(), rect)) return Outcome::kDenseAfterRegrow;
    const double r1 = std::hypot(s.x - rect.x1, s.y - rect.y1), r2 = std::hypot(s.x - rect.x2, s.y - rect.y2);
    double rad = std::isnan(r1) ? r2 : (std::isnan(r2) ? r1 : (r1 > r2 ? r1 : r2));
    for (;;) {
        rad = rad * 0.75;
        for (std::size_t j = 0; j < region.size();) {
            if (!(std::hypot(pixel_xy(region[j], width).x - s.x, pixel_xy(region[j], width).y - s.y) > rad)) {
                ++j;
                continue;
            }
            used[region[j]] = 0;
            region[j] = region.back();
            region.pop_back();
        }
        if (region.size() < min_size) return Outcome::kDroppedWhileShrinking;
        rect = reference::region_to_rect(region, px, region_angle, rect.p, width);
        if (dense(region.size(), rect)) return Outcome::kDenseAfterShrink;
    }
}

}  // namespace reference
