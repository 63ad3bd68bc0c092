// Settling tries on a field of one direction by interval bounds over rows of free pixels.
//
// Every bound below covers a quantity that the full path computes in double precision in region
// order (see rounding_bounds.hpp). The exact sums come from long double sums over rows, whose own
// errors (about n 2^-64 relative) sum_error()'s doubling covers.
#include "detector/uniform_field.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "detector/refine.hpp"
#include "detector/rounding_bounds.hpp"
#include "detector/region.hpp"

namespace tarnwick::detector {

using namespace rounding;

namespace {

// The cone that recognise() demands: directions within MAX_SPREAD radians of each other, of
// length 1 within MAX_LENGTH_ERROR. With the growing tolerance of pi/8 this leaves a margin of
// more than 0.3 radians, so every candidate of a first growth joins: its angle to the running sum
// (which stays inside the cone up to rounding far below 10^-6) is at most 0.05, and its dot
// product at least 0.99 of the sum's length, against a threshold of 0.93 of it.
constexpr double MAX_SPREAD = 0.05;
constexpr double MAX_LENGTH_ERROR = 1e-3;
// The bookkeeping costs about 46 bytes per pixel (angles, prefix sums, flags), three times the
// detector's own; beyond this many pixels the full path runs instead.
constexpr std::size_t MAX_PIXELS = std::size_t{1} << 22;

// Sums over the main component, in long double; the moments are taken about the origin.
struct Moments {
    long double w = 0, wx = 0, wy = 0, wxx = 0, wyy = 0, wxy = 0, dir_x = 0, dir_y = 0;
};

}  // namespace

std::unique_ptr<UniformField> UniformField::recognise(std::span<const Px> px, std::span<const std::uint8_t> used,
                                                      std::uint32_t width, std::uint32_t height,
                                                      std::uint32_t min_region_size) {
    // The bounds take long double sums to be exact within 2^-64 relative per operation.
    if constexpr (std::numeric_limits<long double>::digits < 64) return nullptr;
    const std::size_t pixels = std::size_t{width} * height;
    if (pixels == 0 || pixels > MAX_PIXELS || px.size() < pixels || used.size() < pixels) return nullptr;
    // A cheap test first, which stops at the first pixel that points elsewhere (on a photograph,
    // within the first few available pixels).
    // Squares only: a smooth sky above a detailed scene may pass many pixels before one differs.
    const Px* reference = nullptr;
    double reference_squared = 1;
    const double cos_spread = std::cos(MAX_SPREAD / 2);
    const double shortest = (1 - MAX_LENGTH_ERROR) * (1 - MAX_LENGTH_ERROR);
    const double longest = (1 + MAX_LENGTH_ERROR) * (1 + MAX_LENGTH_ERROR);
    for (std::size_t i = 0; i < pixels; ++i) {
        if (used[i] != 0) continue;
        const double x = px[i].dir_x, y = px[i].dir_y, squared_length = x * x + y * y;
        if (!(squared_length >= shortest && squared_length <= longest) || !std::isfinite(px[i].norm))
            return nullptr;
        if (reference == nullptr) reference = &px[i], reference_squared = squared_length;
        // Within half the spread of the reference's direction.
        const double dot = reference->dir_x * x + reference->dir_y * y;
        if (!(dot > 0 && dot * dot >= cos_spread * cos_spread * squared_length * reference_squared)) return nullptr;
    }
    if (reference == nullptr) return nullptr;
    std::vector<double> angles(pixels, 0.0);
    double least = INFINITY, greatest = -INFINITY;
    for (std::size_t i = 0; i < pixels; ++i) {
        if (used[i] != 0) continue;
        // As the tolerance estimate computes it.
        angles[i] = std::atan2(static_cast<double>(px[i].dir_y), static_cast<double>(px[i].dir_x));
        least = std::min(least, angles[i]);
        greatest = std::max(greatest, angles[i]);
    }
    // Directions near +-pi have angles on both sides of the cut: not for this class.
    if (!(greatest - least <= MAX_SPREAD)) return nullptr;
    return std::make_unique<UniformField>(px, used, width, height, min_region_size, std::move(angles), least,
                                          greatest);
}

UniformField::UniformField(std::span<const Px> px, std::span<const std::uint8_t> used, std::uint32_t width,
                           std::uint32_t height, std::uint32_t min_region_size, std::vector<double> angles,
                           double least_angle, double greatest_angle)
    : px_(px),
      width_(width),
      height_(height),
      min_region_size_(min_region_size),
      angles_(std::move(angles)),
      least_angle_(least_angle),
      greatest_angle_(greatest_angle),
      component_(px, angles_, least_angle, used, width, height) {}

std::optional<RegionDirection> UniformField::regrowth(PixelIndex seed, std::span<std::uint8_t> used,
                                                      RegionPixels& region) {
    if (stale_) {
        component_.sync(used);
        stale_ = false;
    }
    if (!component_.contains(seed)) return std::nullopt;  // in a pocket
    // The first region is the main component: its sums, exact in long double.
    Moments m;
    std::size_t n = 0;
    for (std::uint32_t y = 0; y < height_; ++y) {
        const FreeComponent::Row& r = component_.rows()[y];
        if (r.count == 0) continue;
        const long double row = y;
        n += r.count;
        m.w += r.w;
        m.wx += r.wx;
        m.wy += row * r.w;
        m.wxx += r.wxx;
        m.wyy += row * row * r.w;
        m.wxy += row * r.wx;
        m.dir_x += r.dir_x;
        m.dir_y += r.dir_y;
    }
    if (n < min_region_size_) return std::nullopt;  // dropped at once, all its pixels kept: the full path is short
    const long double error = sum_error(n);
    long double reach_x = 0, reach_y = 0;  // about the centre

    // The centre: norm-weighted sums of positive terms, then one division each.
    const Bounds sum_w = widen(exactly(m.w), error);
    const auto cx = quotient(widen(exactly(m.wx), error), sum_w);
    const auto cy = quotient(widen(exactly(m.wy), error), sum_w);
    if (!cx || !cy) return std::nullopt;
    const long double cx_mid = m.wx / m.w, cy_mid = m.wy / m.w;
    const long double off_x = std::max(cx->hi - cx_mid, cx_mid - cx->lo);
    const long double off_y = std::max(cy->hi - cy_mid, cy_mid - cy->lo);

    // Inertia about the computed centre: the sums about the exact centre, plus what the centre's
    // offset adds, within the rounding of the region-order sums. The long double moments and
    // their differences are within a few n 2^-64 of the magnitudes involved.
    const long double cancel = (static_cast<long double>(n) + 16) * 0x1p-61L;
    const long double qyy = m.wyy - m.wy * m.wy / m.w, qxx = m.wxx - m.wx * m.wx / m.w;
    const long double qxy = m.wxy - m.wx * m.wy / m.w;
    const long double e_yy = cancel * 2 * m.wyy, e_xx = cancel * 2 * m.wxx;
    const long double e_xy = cancel * (std::fabs(m.wxy) + std::fabs(m.wx * m.wy / m.w));
    const Bounds ixx = widen({qyy - e_yy, qyy + e_yy + m.w * off_y * off_y}, error);
    const Bounds iyy = widen({qxx - e_xx, qxx + e_xx + m.w * off_x * off_x}, error);
    const long double xy_reach = m.w * off_x * off_y + e_xy + error * 0.5L * (ixx.hi + iyy.hi);
    const Bounds ixy{-qxy - xy_reach, -qxy + xy_reach};

    // The axis of least inertia, as region_to_rect computes it.
    const Bounds diff = ixx - iyy;
    const auto spread = root(squared(diff) + rounded(squared(ixy) * exactly(4.0L)));
    if (!spread) return std::nullopt;
    const Bounds lambda = rounded(((iyy + ixx) - *spread) * exactly(0.5L));
    const Bounds from_xx = magnitude(ixx - lambda), from_yy = magnitude(iyy - lambda);
    std::optional<Bounds> theta;
    if (from_xx.lo > from_yy.hi)
        theta = atan2_bounds(lambda - ixx, ixy);
    else if (from_xx.hi <= from_yy.lo)
        theta = atan2_bounds(ixy, lambda - iyy);
    if (!theta) return std::nullopt;

    // Oriented like the region angle, the direction of the sum of all directions.
    const long double dir_error = error * (1 + MAX_LENGTH_ERROR) * static_cast<long double>(n);
    const auto region_angle =
        atan2_bounds({m.dir_y - dir_error, m.dir_y + dir_error}, {m.dir_x - dir_error, m.dir_x + dir_error});
    if (!region_angle) return std::nullopt;
    Bounds delta = *theta - *region_angle;
    if (delta.hi <= -PI)
        delta = delta + exactly(2.0L * PI);
    else if (delta.lo > PI)
        delta = delta - exactly(2.0L * PI);
    if (!(delta.lo > -PI && delta.hi <= PI)) return std::nullopt;
    const Bounds off_axis = magnitude(delta);
    if (off_axis.lo > ANGLE_TOLERANCE)
        theta = *theta + exactly(PI);
    else if (!(off_axis.hi <= ANGLE_TOLERANCE))
        return std::nullopt;
    const Bounds dx = cos_bounds(*theta), dy = sin_bounds(*theta);

    // Extent: the extreme offsets along and across the axis lie at row ends; each computed offset
    // is within `slack` of the one computed exactly about the exact centre along the mid axis.
    const long double mdx = dx.mid(), mdy = dy.mid();
    long double l_min = 0, l_max = 0, t_min = 0, t_max = 0;
    for (std::uint32_t y = 0; y < height_; ++y) {
        const FreeComponent::Row& r = component_.rows()[y];
        if (r.count == 0) continue;
        const long double ey = y - cy_mid;
        reach_y = std::max(reach_y, std::fabs(ey));
        for (std::uint32_t x : {r.first, r.last}) {
            const long double ex = x - cx_mid;
            reach_x = std::max(reach_x, std::fabs(ex));
            const long double l = mdy * ey + mdx * ex, t = mdx * ey - mdy * ex;
            l_min = std::min(l_min, l), l_max = std::max(l_max, l);
            t_min = std::min(t_min, t), t_max = std::max(t_max, t);
        }
    }
    const long double reach = reach_x + reach_y + off_x + off_y;
    const long double slack = (dx.radius() + dy.radius() + 16 * UNIT) * reach + 1.01L * (off_x + off_y) + TINY;
    // The extremes start at 0.0: an interval on the right side of 0 stays there.
    auto extreme = [&](long double v, bool least) {
        const Bounds b{v - slack, v + slack};
        return least ? Bounds{std::min(b.lo, 0.0L), std::min(b.hi, 0.0L)}
                     : Bounds{std::max(b.lo, 0.0L), std::max(b.hi, 0.0L)};
    };
    const Bounds along_min = extreme(l_min, true), along_max = extreme(l_max, false);
    const Bounds band = extreme(t_max, false) - extreme(t_min, true);
    Bounds rect_width;
    if (band.lo > 1.0L)
        rect_width = band;
    else if (band.hi <= 1.0L)
        rect_width = exactly(1.0L);
    else
        return std::nullopt;
    const Bounds x1 = *cx + dx * along_min, y1 = *cy + dy * along_min;
    const Bounds x2 = *cx + dx * along_max, y2 = *cy + dy * along_max;
    const Bounds area = hypot_bounds(x2 - x1, y2 - y1) * rect_width;
    const Bounds divisor{std::max(area.lo, 1.0L), std::max(area.hi, 1.0L)};  // as the density clamps
    const auto density = quotient(exactly(static_cast<long double>(n)), divisor);
    if (!density || !(density->hi < DENSITY_THRESHOLD)) return std::nullopt;  // possibly dense: the full path

    // The tolerance estimate: pixels of the component closer to the seed than the width (by the
    // library's hypot, within an ulp of the true distance), angle differences to the seed's.
    const std::uint32_t ys = seed / width_, xs = seed - ys * width_;
    const long double surely_in = std::pow(rect_width.lo / (1 + ROUNDED), 2);
    const long double surely_out = std::pow(rect_width.hi / (1 - ROUNDED), 2);
    // The prefixes count the main pixels of each row and sum e = angle - least angle and e^2.
    const auto counts = component_.counts();
    const auto angle_sums = component_.angle_sums(), angle_squares = component_.angle_squares();
    auto count_in = [&](std::uint32_t y, long long a, long long b) {
        const auto [from, to] = component_.prefix_range(y, a, b);
        return counts[to] - counts[from];
    };
    long double e_sum = 0, e_squares = 0;
    std::size_t near = 0;
    for (std::uint32_t y = 0; y < height_; ++y) {
        if (component_.rows()[y].count == 0) continue;
        const long double dyv = static_cast<long double>(y) - ys;
        const long double row_in = surely_in - dyv * dyv, row_out = surely_out - dyv * dyv;
        if (row_out <= 0) continue;  // the whole row is out
        // Columns at most `inside` from xs are in, those at least `outside` from it are out.
        long long inside = -1;
        if (row_in > 0) {
            inside = static_cast<long long>(std::sqrt(static_cast<double>(row_in)));  // then made exact
            while (inside >= 0 && static_cast<long double>(inside) * inside >= row_in) --inside;
            while (static_cast<long double>(inside + 1) * (inside + 1) < row_in) ++inside;
        }
        long long outside = static_cast<long long>(std::sqrt(static_cast<double>(row_out)));
        while (outside > 0 && static_cast<long double>(outside - 1) * (outside - 1) >= row_out) --outside;
        while (static_cast<long double>(outside) * outside < row_out) ++outside;
        const long long centre = xs;
        // A pixel strictly between inside and outside from xs is a close call.
        if (outside > inside + 1 && (count_in(y, centre - outside + 1, centre - inside - 1) != 0 ||
                                     count_in(y, centre + inside + 1, centre + outside - 1) != 0))
            return std::nullopt;
        const auto [from, to] = component_.prefix_range(y, centre - inside, centre + inside);
        near += counts[to] - counts[from];
        e_sum += angle_sums[to] - angle_sums[from];
        e_squares += angle_squares[to] - angle_squares[from];
    }
    if (near == 0) return std::nullopt;
    // The estimate rounds d = angle - seed angle once per pixel and sums in region order; the
    // exact sums of d follow from those of e, as d = e - e_seed.
    const long double k = static_cast<long double>(near);
    const long double e_seed = static_cast<long double>(angles_[seed]) - least_angle_;
    const long double s1 = e_sum - k * e_seed;
    const long double s2 = e_squares - 2 * e_seed * e_sum + k * e_seed * e_seed;
    const long double d_max = std::max(greatest_angle_ - angles_[seed], angles_[seed] - least_angle_);
    const long double e_max = greatest_angle_ - least_angle_;
    // The long double prefixes' own rounding, along rows and across them.
    const long double prefix_error = static_cast<long double>(width_ + height_ + 8) * 0x1p-60L * k *
                                     (e_max + std::fabs(e_seed)) * (1 + e_max + std::fabs(e_seed));
    const long double near_error = sum_error(near);
    const long double sum_reach = near_error * k * d_max + prefix_error;
    const Bounds count = exactly(k);
    const auto mean = quotient({s1 - sum_reach, s1 + sum_reach}, count);
    const Bounds squares = widen({s2 - prefix_error, s2 + prefix_error}, near_error);
    const auto mean_square = quotient({std::max(squares.lo, 0.0L), squares.hi}, count);
    if (!mean || !mean_square) return std::nullopt;
    Bounds variance = *mean_square - squared(*mean);
    variance = {std::max(variance.lo, 0.0L), std::max(variance.hi, 0.0L)};  // as the estimate clamps
    const auto deviation = root(variance);
    if (!deviation) return std::nullopt;
    const Bounds tau = rounded(*deviation * exactly(2.0L));
    if (!(tau.hi < 3.0L)) return std::nullopt;
    return regrow(seed, std::nextafter(static_cast<double>(std::max(tau.lo, 0.0L)), 0.0),
                         std::nextafter(static_cast<double>(tau.hi), INFINITY), used, region);
}

// Grows from the seed once for every tolerance in [tau_low, tau_high]: when they all give the
// same region, it is the one the full path re-grows.
std::optional<RegionDirection> UniformField::regrow(PixelIndex seed, double tau_low, double tau_high,
                                                    std::span<std::uint8_t> used, RegionPixels& region) {
    // cos falls on [0, pi]; the library's values are within an ulp.
    const double cos_high = std::min(1.0, std::cos(tau_low) + 0x1p-51);
    const double cos_low = std::cos(tau_high) - 0x1p-51;
    const auto grown = grow_region_between(seed, px_, used, cos_low, cos_high, region, width_, height_);
    if (!grown) return std::nullopt;
    if (region.size() < min_region_size_) {
        // Dropped at once: the flags it leaves are known.
        std::vector<PixelIndex> taken;
        for (const RegionPixel& member : region) taken.push_back(member.index);
        component_.take(taken);
    } else {
        stale_ = true;  // shrinking will change flags
    }
    return grown;
}

}  // namespace tarnwick::detector
