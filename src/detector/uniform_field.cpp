// Settling tries on a field of one direction by interval bounds over rows of free pixels.
//
// Every bound below covers a quantity that the full path computes in double precision in region
// order. A sum of n terms, each rounded a few times, lies within (n + 4) u sum|terms| of the
// exact sum of the exact terms, whatever the order (u = 2^-53); sum_error() doubles that. The
// exact sums come from long double sums over rows, whose own errors (about n 2^-64 relative) the
// doubling covers. Each further double operation is bounded by widening its exact interval by
// 4u relative, twice its rounding.
#include "detector/uniform_field.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "detector/close_call.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"

namespace tarnwick::detector {

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

constexpr long double UNIT = 0x1p-53L;       // unit of rounding of a double
constexpr long double ROUNDED = 4 * UNIT;    // widening for one double operation
constexpr long double TINY = 1e-290L;        // covers underflow of the bounded operations

long double sum_error(std::size_t n) { return 2.0L * (static_cast<long double>(n) + 8.0L) * UNIT; }

// A closed interval that contains a double computed by the full path.
struct Bounds {
    long double lo, hi;
    long double mid() const { return 0.5L * (lo + hi); }
    long double radius() const { return 0.5L * (hi - lo); }
};

Bounds exactly(long double v) { return {v, v}; }

Bounds widen(Bounds b, long double relative) {
    return {b.lo - std::fabs(b.lo) * relative - TINY, b.hi + std::fabs(b.hi) * relative + TINY};
}
Bounds rounded(Bounds b) { return widen(b, ROUNDED); }

Bounds operator+(Bounds a, Bounds b) { return rounded({a.lo + b.lo, a.hi + b.hi}); }
Bounds operator-(Bounds a, Bounds b) { return rounded({a.lo - b.hi, a.hi - b.lo}); }
Bounds operator*(Bounds a, Bounds b) {
    const long double p[4] = {a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi};
    return rounded({*std::min_element(p, p + 4), *std::max_element(p, p + 4)});
}
std::optional<Bounds> quotient(Bounds a, Bounds b) {
    if (!(b.lo > 0 || b.hi < 0)) return std::nullopt;
    const long double q[4] = {a.lo / b.lo, a.lo / b.hi, a.hi / b.lo, a.hi / b.hi};
    return rounded({*std::min_element(q, q + 4), *std::max_element(q, q + 4)});
}
// x * x of a double in a: never negative, whatever the sign of the bounds.
Bounds squared(Bounds a) {
    const long double small = (a.lo <= 0 && a.hi >= 0) ? 0.0L : std::min(std::fabs(a.lo), std::fabs(a.hi));
    const long double large = std::max(std::fabs(a.lo), std::fabs(a.hi));
    return rounded({small * small, large * large});
}
Bounds magnitude(Bounds a) {
    if (a.lo >= 0) return a;
    if (a.hi <= 0) return {-a.hi, -a.lo};
    return {0.0L, std::max(-a.lo, a.hi)};
}
std::optional<Bounds> root(Bounds a) {
    if (a.lo < 0) return std::nullopt;
    return rounded({std::sqrt(a.lo), std::sqrt(a.hi)});
}
// The C library's atan2 over a box that stays clear of the origin and of the cut at +-pi: the
// angle between two points is at most pi/2 times their distance over the nearer one's length,
// and the library is within an ulp or two.
std::optional<Bounds> atan2_bounds(Bounds y, Bounds x) {
    const long double my = y.mid(), mx = x.mid(), reach = y.radius() + x.radius();
    const long double length = std::hypot(mx, my);
    if (!(reach < 0.25L * length)) return std::nullopt;
    const long double centre = std::atan2(static_cast<double>(my), static_cast<double>(mx));
    const long double spread = 1.6L * reach / (length - reach) + 16 * UNIT * PI;
    const Bounds angle{centre - spread, centre + spread};
    if (!(angle.lo > -PI && angle.hi < PI)) return std::nullopt;
    return angle;
}
// cos and sin are 1-Lipschitz; the library's values are within an ulp of 1.
Bounds cos_bounds(Bounds angle) {
    const double centre = static_cast<double>(angle.mid());
    const long double reach = std::max(angle.hi - centre, centre - angle.lo) + 4 * UNIT;
    const long double c = std::cos(centre);
    return {c - reach, c + reach};
}
Bounds sin_bounds(Bounds angle) {
    const double centre = static_cast<double>(angle.mid());
    const long double reach = std::max(angle.hi - centre, centre - angle.lo) + 4 * UNIT;
    const long double s = std::sin(centre);
    return {s - reach, s + reach};
}
// hypot grows with the magnitude of each argument; the library is within an ulp.
Bounds hypot_bounds(Bounds a, Bounds b) {
    const Bounds ma = magnitude(a), mb = magnitude(b);
    return rounded({std::hypot(ma.lo, mb.lo), std::hypot(ma.hi, mb.hi)});
}

// Sums over the main component, in long double; the moments are taken about the origin.
struct Moments {
    long double w = 0, wx = 0, wy = 0, wxx = 0, wyy = 0, wxy = 0, dir_x = 0, dir_y = 0;
};

}  // namespace

std::unique_ptr<UniformField> UniformField::recognise(std::span<const Px> px, std::span<const std::uint8_t> used,
                                                      std::uint32_t width, std::uint32_t height,
                                                      std::uint32_t min_region_size) {
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
    auto field = std::make_unique<UniformField>(px, width, height, min_region_size, std::move(angles));
    field->least_angle_ = least;
    field->greatest_angle_ = greatest;
    std::memcpy(field->shadow_.data(), used.data(), pixels);
    field->relabel();
    return field;
}

UniformField::UniformField(std::span<const Px> px, std::uint32_t width, std::uint32_t height,
                           std::uint32_t min_region_size, std::vector<double> angles)
    : px_(px),
      width_(width),
      height_(height),
      min_region_size_(min_region_size),
      angles_(std::move(angles)),
      shadow_(std::size_t{width} * height, 1),
      main_(std::size_t{width} * height, 0),
      rows_(height),
      angle_sums_((std::size_t{width} + 1) * height),
      angle_squares_((std::size_t{width} + 1) * height),
      counts_((std::size_t{width} + 1) * height) {}

void UniformField::read_row(std::uint32_t y) {
    const std::size_t start = std::size_t{y} * width_, prefix = std::size_t{y} * (width_ + 1);
    RowSums row{};
    row.first = width_;
    long double e_sum = 0, e_squares = 0;
    std::uint32_t count = 0;
    for (std::uint32_t x = 0; x < width_; ++x) {
        angle_sums_[prefix + x] = e_sum;
        angle_squares_[prefix + x] = e_squares;
        counts_[prefix + x] = count;
        if (!main_[start + x]) continue;
        const Px& p = px_[start + x];
        const long double w = p.norm, column = x;
        row.w += w;
        row.wx += w * column;
        row.wxx += w * column * column;
        row.dir_x += p.dir_x;
        row.dir_y += p.dir_y;
        row.first = std::min(row.first, x);
        row.last = x;
        const long double e = static_cast<long double>(angles_[start + x]) - least_angle_;
        e_sum += e;
        e_squares += e * e;
        ++count;
    }
    angle_sums_[prefix + width_] = e_sum;
    angle_squares_[prefix + width_] = e_squares;
    counts_[prefix + width_] = count;
    row.count = count;
    rows_[y] = row;
}

// The main component: the largest 8-connected set of available pixels. Others are pockets, whose
// seeds the full path tries (their regions are small).
void UniformField::relabel() {
    const std::size_t pixels = shadow_.size();
    std::vector<std::uint32_t> label(pixels, 0);
    std::vector<PixelIndex> queue;
    std::uint32_t labels = 0, best = 0;
    std::size_t best_size = 0;
    for (std::size_t start = 0; start < pixels; ++start) {
        if (shadow_[start] != 0 || label[start] != 0) continue;
        label[start] = ++labels;
        queue.assign(1, static_cast<PixelIndex>(start));
        for (std::size_t i = 0; i < queue.size(); ++i) {
            const std::uint32_t y = queue[i] / width_, x = queue[i] - y * width_;
            for (std::uint32_t ny = y > 0 ? y - 1 : 0; ny < std::min(y + 2, height_); ++ny)
                for (std::uint32_t nx = x > 0 ? x - 1 : 0; nx < std::min(x + 2, width_); ++nx) {
                    const PixelIndex j = ny * width_ + nx;
                    if (shadow_[j] == 0 && label[j] == 0) {
                        label[j] = labels;
                        queue.push_back(j);
                    }
                }
        }
        if (queue.size() > best_size) best_size = queue.size(), best = labels;
    }
    for (std::size_t i = 0; i < pixels; ++i) main_[i] = best != 0 && label[i] == best;
    for (std::uint32_t y = 0; y < height_; ++y) read_row(y);
}

// Pixels of the main component that became used. The rest of it stays connected when the free
// pixels around them still meet each other close by (a path through them can go around them);
// otherwise the components are found again.
void UniformField::take(std::span<const PixelIndex> taken) {
    if (taken.empty()) return;
    std::uint32_t x0 = width_, x1 = 0, y0 = height_, y1 = 0;
    for (PixelIndex p : taken) {
        const std::uint32_t y = p / width_, x = p - y * width_;
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        shadow_[p] = 1;
        main_[p] = 0;
    }
    constexpr std::uint32_t MARGIN = 3, MAX_SIDE = 256;
    constexpr std::size_t POCKET = std::size_t{1} << 14;
    std::vector<PixelIndex> pockets;
    x0 = x0 > MARGIN ? x0 - MARGIN : 0, y0 = y0 > MARGIN ? y0 - MARGIN : 0;
    x1 = std::min(x1 + MARGIN, width_ - 1), y1 = std::min(y1 + MARGIN, height_ - 1);
    bool connected = x1 - x0 < MAX_SIDE && y1 - y0 < MAX_SIDE;
    if (connected) {
        const std::uint32_t w = x1 - x0 + 1, h = y1 - y0 + 1;
        // 1: a free pixel of the main component next to a taken one; 2: reached from the first.
        std::vector<std::uint8_t> mark(std::size_t{w} * h, 0);
        auto at = [&](PixelIndex j) -> std::uint8_t& {
            const std::uint32_t y = j / width_, x = j - y * width_;
            return mark[std::size_t{y - y0} * w + (x - x0)];
        };
        std::size_t ring = 0;
        PixelIndex start = 0;
        for (PixelIndex p : taken) {
            const std::uint32_t y = p / width_, x = p - y * width_;
            for (std::uint32_t ny = y > 0 ? y - 1 : 0; ny < std::min(y + 2, height_); ++ny)
                for (std::uint32_t nx = x > 0 ? x - 1 : 0; nx < std::min(x + 2, width_); ++nx) {
                    const PixelIndex j = ny * width_ + nx;
                    if (main_[j] && at(j) == 0) at(j) = 1, ++ring, start = j;
                }
        }
        std::size_t reached = 0;
        if (ring > 0) {
            std::vector<PixelIndex> queue{start};
            at(start) = 2;
            reached = 1;
            for (std::size_t i = 0; i < queue.size() && reached < ring; ++i) {
                const std::uint32_t y = queue[i] / width_, x = queue[i] - y * width_;
                for (std::uint32_t ny = std::max(y, y0 + 1) - 1; ny <= std::min(y + 1, y1); ++ny)
                    for (std::uint32_t nx = std::max(x, x0 + 1) - 1; nx <= std::min(x + 1, x1); ++nx) {
                        const PixelIndex j = ny * width_ + nx;
                        if (!main_[j] || at(j) == 2) continue;
                        if (at(j) == 1) ++reached;
                        at(j) = 2;
                        queue.push_back(j);
                    }
            }
        }
        connected = reached == ring;
        // The ring falls apart where the pixels taken close a pocket off: each side of it that
        // the flood above did not reach must run out within POCKET pixels, and is then dropped
        // from the main component, which stays connected. Anything else is found again.
        std::vector<PixelIndex> side;
        std::size_t main_size = 0;  // before the pixels were taken
        if (!connected)
            for (const RowSums& row : rows_) main_size += row.count;
        for (std::size_t t = 0; t < taken.size() && !connected; ++t) {
            const std::uint32_t y = taken[t] / width_, x = taken[t] - y * width_;
            for (std::uint32_t ny = y > 0 ? y - 1 : 0; ny < std::min(y + 2, height_); ++ny)
                for (std::uint32_t nx = x > 0 ? x - 1 : 0; nx < std::min(x + 2, width_); ++nx) {
                    const PixelIndex j = ny * width_ + nx;
                    if (!main_[j] || at(j) != 1) continue;
                    // main_ cleared marks the flood's pixels; a pixel that the first flood reached
                    // shows that this side is the same as its side after all.
                    side.assign(1, j);
                    main_[j] = 0;
                    bool joins = false;
                    for (std::size_t i = 0; i < side.size() && !joins; ++i) {
                        if (side.size() > POCKET) {
                            relabel();
                            return;
                        }
                        const std::uint32_t sy = side[i] / width_, sx = side[i] - sy * width_;
                        for (std::uint32_t my = sy > 0 ? sy - 1 : 0; my < std::min(sy + 2, height_); ++my)
                            for (std::uint32_t mx = sx > 0 ? sx - 1 : 0; mx < std::min(sx + 2, width_); ++mx) {
                                const PixelIndex q = my * width_ + mx;
                                if (!main_[q]) continue;
                                if (mx >= x0 && mx <= x1 && my >= y0 && my <= y1 && at(q) == 2) joins = true;
                                main_[q] = 0;
                                side.push_back(q);
                            }
                    }
                    if (joins) {
                        for (PixelIndex q : side) {
                            main_[q] = 1;
                            const std::uint32_t qy = q / width_, qx = q - qy * width_;
                            if (qx >= x0 && qx <= x1 && qy >= y0 && qy <= y1) at(q) = 2;
                        }
                        continue;
                    }
                    // A pocket larger than what is left is the main part: better found again.
                    if (2 * (side.size() + pockets.size()) + taken.size() > main_size) {
                        relabel();
                        return;
                    }
                    pockets.insert(pockets.end(), side.begin(), side.end());
                }
            if (t + 1 == taken.size()) connected = true;
        }
    }
    if (!connected) {
        relabel();
        return;
    }
    std::vector<std::uint32_t> rows;
    for (PixelIndex p : taken) rows.push_back(p / width_);
    for (PixelIndex p : pockets) rows.push_back(p / width_);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (std::uint32_t row : rows) read_row(row);
}

void UniformField::sync(std::span<const std::uint8_t> used) {
    std::vector<PixelIndex> taken;
    bool freed = false;
    for (std::uint32_t y = 0; y < height_ && !freed; ++y) {
        const std::size_t start = std::size_t{y} * width_;
        if (std::memcmp(shadow_.data() + start, used.data() + start, width_) == 0) continue;
        for (std::size_t i = start; i < start + width_; ++i) {
            if (used[i] == 0 && shadow_[i] != 0) freed = true;
            if (used[i] == 0 || shadow_[i] != 0) continue;
            if (main_[i])
                taken.push_back(static_cast<PixelIndex>(i));
            else
                shadow_[i] = 1;  // a pocket's pixel, which no sum counts
        }
    }
    stale_ = false;
    if (freed) {
        // The seed loop never frees a pixel that was free before a try; should it, start over.
        std::memcpy(shadow_.data(), used.data(), shadow_.size());
        relabel();
        return;
    }
    take(taken);
}

std::optional<RegionDirection> UniformField::regrowth(PixelIndex seed, std::span<std::uint8_t> used,
                                                      RegionPixels& region) {
    if (stale_) sync(used);
    if (!main_[seed]) return std::nullopt;  // in a pocket
    // The first region is the main component: its sums, exact in long double.
    Moments m;
    std::size_t n = 0;
    for (std::uint32_t y = 0; y < height_; ++y) {
        const RowSums& r = rows_[y];
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
        const RowSums& r = rows_[y];
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
    // The prefix positions that bound columns [a, b] of row y (an empty range if none).
    auto prefix_at = [&](std::uint32_t y, long long a, long long b) {
        a = std::max(a, 0LL), b = std::min(b, static_cast<long long>(width_) - 1);
        const std::size_t row = std::size_t{y} * (width_ + 1);
        if (a > b) return std::pair{row, row};
        return std::pair{row + static_cast<std::size_t>(a), row + static_cast<std::size_t>(b) + 1};
    };
    auto count_in = [&](std::uint32_t y, long long a, long long b) {
        const auto [from, to] = prefix_at(y, a, b);
        return counts_[to] - counts_[from];
    };
    long double e_sum = 0, e_squares = 0;
    std::size_t near = 0;
    for (std::uint32_t y = 0; y < height_; ++y) {
        if (rows_[y].count == 0) continue;
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
        const auto [from, to] = prefix_at(y, centre - inside, centre + inside);
        near += counts_[to] - counts_[from];
        e_sum += angle_sums_[to] - angle_sums_[from];
        e_squares += angle_squares_[to] - angle_squares_[from];
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
        take(taken);
    } else {
        stale_ = true;  // shrinking will change flags
    }
    return grown;
}

}  // namespace tarnwick::detector
