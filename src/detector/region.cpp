// Region growing over the level-line field, and the rectangle that approximates a region.
#include "detector/region.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "detector/close_call.hpp"
#include "detector/pixel_kernels.hpp"
#include "sample/check.hpp"

namespace tarnwick::detector {
namespace {

// The sum of the unit directions of a region's pixels, which both kinds of growth test candidates
// against; the seed counts as its own vector.
class DirectionSum {
public:
    explicit DirectionSum(const Px& seed)
        : x_(static_cast<double>(seed.dir_x)), y_(static_cast<double>(seed.dir_y)) {}

    void add(const Px& joined) {
        x_ += static_cast<double>(joined.dir_x);
        y_ += static_cast<double>(joined.dir_y);
    }
    double dot(const Px& candidate) const {
        return y_ * static_cast<double>(candidate.dir_y) + x_ * static_cast<double>(candidate.dir_x);
    }
    double squared_length() const { return x_ * x_ + y_ * y_; }
    double length() const { return close_call_hypot(x_, y_); }
    RegionDirection direction(const WeightedSums& weights) const { return {x_, y_, weights}; }

private:
    double x_, y_;
};

// The running mean direction of a growing region and its acceptance test.
//
// The threshold cos_tol * hypot(sum_x, sum_y) moves with every joining pixel, but a candidate needs
// its exact value only when the candidate's dot product lies within rounding distance of it: the
// squared threshold settles every other case, so hypot runs only for the close calls and every
// decision is the one that the exact threshold gives.
class Growth {
public:
    Growth(double cos_tol, const Px& seed)
        : cos_tol_(cos_tol),
          cos_tol_squared_(cos_tol * cos_tol),
          sum_(seed),
          threshold_(cos_tol) {  // the seed vector counts as length 1, not as its hypot
        bounds_ = SquaredThreshold(cos_tol_squared_);
    }

    /// Whether squares can settle candidates: only a positive threshold puts every negative
    /// dot product below it. The tolerances that growing is called with nearly always give one.
    bool settles_by_squares() const { return cos_tol_ > 0.0; }

    // For a growth that settles_by_squares: +1 when the candidate joins, -1 when not, 0 when only
    // the exact threshold, not yet computed, can tell. Rejects only when dot < threshold:
    // equality and NaN both accept.
    int decide_by_squares(const Px& candidate) const {
        const double dot = sum_.dot(candidate);
        if (dot < 0.0) return -1;
        if (int side = bounds_.side_of(dot * dot); side != 0) return side;
        if (!threshold_known_) return 0;
        return dot < threshold_ ? -1 : 1;
    }

    bool accepts(const Px& candidate) {
        if (settles_by_squares()) {
            if (int side = decide_by_squares(candidate); side != 0) return side > 0;
        }
        return !(sum_.dot(candidate) < threshold());
    }

    void add(const Px& joined) {
        sum_.add(joined);
        threshold_known_ = false;
        bounds_ = SquaredThreshold(cos_tol_squared_ * sum_.squared_length());
    }

    RegionDirection direction(const WeightedSums& weights) const { return sum_.direction(weights); }

private:
    double threshold() {
        if (!threshold_known_) {
            threshold_ = cos_tol_ * sum_.length();
            threshold_known_ = true;
        }
        return threshold_;
    }

    double cos_tol_, cos_tol_squared_;
    DirectionSum sum_;
    double threshold_;
    bool threshold_known_ = true;
    SquaredThreshold bounds_;
};

// Up to this many pixels, the level-line field and the flags (13 bytes a pixel) stay in the
// caches while regions grow, and fetching ahead would only cost instructions.
constexpr std::size_t CACHED_FIELD_PIXELS = std::size_t{1} << 18;

// The detector's own tolerance comes back for every seed: its cosine is computed once.
double cos_of(double tolerance) {
    static const double cos_angle_tolerance = std::cos(ANGLE_TOLERANCE);
    return tolerance == ANGLE_TOLERANCE ? cos_angle_tolerance : std::cos(tolerance);
}

// The 8 neighbours in row-major order.
struct Step {
    int dx, dy;
};
constexpr std::array<Step, 8> NEIGHBOURS{{{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}}};

}  // namespace

double RegionDirection::angle() const { return std::atan2(sum_y, sum_x); }

namespace {

// The same decisions as Growth, for every cosine in [cos_low, cos_high] at once: a candidate
// joins when it joins for all of them and is rejected when rejected by all; when they disagree,
// the growth is marked as split (and goes on as if rejected, to be thrown away).
class GrowthBetween {
public:
    GrowthBetween(double cos_low, double cos_high, const Px& seed)
        : cos_low_(cos_low),
          cos_high_(cos_high),
          sum_(seed),
          threshold_low_(cos_low),
          threshold_high_(cos_high),
          band_(cos_low * cos_low, cos_high * cos_high) {}

    bool settles_by_squares() const { return cos_low_ > 0.0; }

    int decide_by_squares(const Px& candidate) const {
        const double dot = sum_.dot(candidate);
        if (dot < 0.0) return -1;
        if (int side = band_.side_of(dot * dot); side != 0) return side;
        if (!threshold_known_) return 0;
        return dot < threshold_low_ ? -1 : (dot >= threshold_high_ ? 1 : 0);
    }

    bool accepts(const Px& candidate) {
        if (!threshold_known_) {
            const double length = sum_.length();
            threshold_low_ = cos_low_ * length;
            threshold_high_ = cos_high_ * length;
            threshold_known_ = true;
        }
        const double dot = sum_.dot(candidate);
        if (dot < threshold_low_) return false;
        if (dot >= threshold_high_) return true;
        split_ = true;
        return false;
    }

    void add(const Px& joined) {
        sum_.add(joined);
        threshold_known_ = false;
        const double squared_length = sum_.squared_length();
        band_ = SquaredThreshold(cos_low_ * cos_low_ * squared_length, cos_high_ * cos_high_ * squared_length);
    }

    RegionDirection direction(const WeightedSums& weights) const { return sum_.direction(weights); }
    bool split() const { return split_; }

private:
    double cos_low_, cos_high_;
    DirectionSum sum_;
    double threshold_low_, threshold_high_;
    bool threshold_known_ = true;
    bool split_ = false;
    SquaredThreshold band_;  // below the lower threshold, or above the higher one
};

// The detector's hottest loop is sensitive to where it lies: the same code starting 16 bytes past
// a 64-byte boundary grew regions 8-27 % slower than starting at 0 or 32 bytes past one. A
// cache-line start keeps it fast whatever code comes before it.
template <typename Decisions>
[[gnu::aligned(64)]] RegionDirection grow(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used,
                                          Decisions& growth, RegionPixels& region, std::uint32_t width,
                                          std::uint32_t height) {
    check(seed < px.size() && seed < used.size(), "seed index out of bounds");
    check(std::uint64_t{width} * height <= std::min(px.size(), used.size()),
          "level-line field smaller than the image");
    check(width <= std::uint32_t{1} << 31 && height <= std::uint32_t{1} << 31,
          "region coordinates must stay below 2^31");
    const Px* field = px.data();
    std::uint8_t* taken = used.data();
    const std::size_t pixels = std::size_t{width} * height;
    const bool prefetch = pixels > CACHED_FIELD_PIXELS;
    const std::int64_t row = width;

    // The region's storage holds `room` pixels, of which the first `size` are the region: each
    // walked pixel can add at most 8, and checking for room once per walked pixel keeps
    // reallocation (a library call) out of the loop below.
    std::size_t room = std::max<std::size_t>(region.capacity(), 64);
    region.resize(room);
    RegionPixel* members = region.data();
    std::size_t size = 0;
    auto join = [&](PixelIndex index, std::uint32_t x, std::uint32_t y, WeightedSums& weights) {
        // Its neighbours are read when the walk reaches it; its own row was just read.
        if (prefetch) prefetch_rows_around(field, taken, pixels, index, width, false);
        taken[index] = 1;
        members[size] = {index, x, y, field[index].norm};
        weights.add(members[size]);
        ++size;
    };

    const std::uint32_t seed_y = seed / width;
    taken[seed] = 1;
    members[size++] = {seed, seed - seed_y * width, seed_y, field[seed].norm};
    WeightedSums weights;
    weights.add(members[0]);
    const bool by_squares = growth.settles_by_squares();

    std::size_t i = 0;
    while (i < size) {
        // Inner pixels whose candidates the squared threshold settles, in a loop without calls
        // that works on copies of the sums, so that they stay in registers; it leaves a pixel
        // for the rest of the loop at a close call (with the neighbours it did not reach), on
        // the border, or when the storage may run out.
        int resume = 0;  // the first neighbour of pixel i still to be considered
        {
            WeightedSums sums = weights;
            Decisions fast = growth;
            while (by_squares && i < size && room - size >= NEIGHBOURS.size()) {
                const RegionPixel pixel = members[i];
                const std::uint32_t x = pixel.x, y = pixel.y;
                // 1 <= x <= width - 2 and the same for y, as unsigned wrap-around has it.
                if (x - 1 >= width - 2 || y - 1 >= height - 2) break;
                // Unrolled, each neighbour's flag is one compare with memory at a constant offset
                // from one of three row pointers: most neighbours inside a region are taken and
                // cost just that and a branch.
                const std::uint8_t* const rows[3] = {taken + pixel.index - row, taken + pixel.index,
                                                     taken + pixel.index + row};
                int k = 0;
#pragma GCC unroll 8
                for (; k < static_cast<int>(NEIGHBOURS.size()); ++k) {
                    const Step step = NEIGHBOURS[k];
                    if (rows[step.dy + 1][step.dx] != 0) continue;
                    const auto neighbour = static_cast<PixelIndex>(pixel.index + step.dy * row + step.dx);
                    const int side = fast.decide_by_squares(field[neighbour]);
                    if (side == 0) break;
                    if (side < 0) continue;
                    join(neighbour, x + step.dx, y + step.dy, sums);
                    fast.add(field[neighbour]);
                }
                if (k < static_cast<int>(NEIGHBOURS.size())) {
                    resume = k;
                    break;
                }
                ++i;
            }
            weights = sums;
            growth = fast;
        }
        if (i >= size) break;
        if (room - size < NEIGHBOURS.size()) {
            room = std::max(2 * room, size + NEIGHBOURS.size());
            region.resize(room);
            members = region.data();
        }
        // Pixel i from neighbour `resume` on, in the same row-major order, close calls decided
        // by hypot; on the border, the neighbours outside the image are skipped.
        const RegionPixel pixel = members[i];
        const std::uint32_t x = pixel.x, y = pixel.y;
        for (std::size_t k = static_cast<std::size_t>(resume); k < NEIGHBOURS.size(); ++k) {
            const std::int64_t nx = std::int64_t{x} + NEIGHBOURS[k].dx, ny = std::int64_t{y} + NEIGHBOURS[k].dy;
            if (nx < 0 || ny < 0 || nx >= std::int64_t{width} || ny >= std::int64_t{height}) continue;
            const auto neighbour = static_cast<PixelIndex>(ny * row + nx);
            if (taken[neighbour] != 0 || !growth.accepts(field[neighbour])) continue;
            join(neighbour, static_cast<std::uint32_t>(nx), static_cast<std::uint32_t>(ny), weights);
            growth.add(field[neighbour]);
        }
        ++i;
    }
    region.resize(size);
    return growth.direction(weights);
}

}  // namespace

RegionDirection grow_region_direction(PixelIndex seed, std::span<const Px> px, std::span<std::uint8_t> used,
                                      double tolerance, RegionPixels& region, std::uint32_t width,
                                      std::uint32_t height) {
    check(seed < px.size(), "seed index out of bounds");
    Growth growth(cos_of(tolerance), px[seed]);
    return grow(seed, px, used, growth, region, width, height);
}

std::optional<RegionDirection> grow_region_between(PixelIndex seed, std::span<const Px> px,
                                                   std::span<std::uint8_t> used, double cos_low, double cos_high,
                                                   RegionPixels& region, std::uint32_t width, std::uint32_t height) {
    check(seed < px.size(), "seed index out of bounds");
    if (!(cos_low > 0.0)) return std::nullopt;
    GrowthBetween growth(cos_low, cos_high, px[seed]);
    const RegionDirection grown = grow(seed, px, used, growth, region, width, height);
    if (!growth.split()) return grown;
    for (const RegionPixel& pixel : region) used[pixel.index] = 0;
    return std::nullopt;
}

namespace {

struct Centre {
    double x, y;
};

// Direction of the axis of least inertia of the weighted pixels around the centre.
double inertia_angle(std::span<const RegionPixel> region, Centre centre) {
    double sums[3];
    pixel_kernels().region_inertia(region.data(), region.size(), centre.x, centre.y, sums);
    const double ixx = sums[0], iyy = sums[1], ixy = -sums[2];
    double diff = ixx - iyy;
    double lambda = 0.5 * ((iyy + ixx) - std::sqrt(diff * diff + ixy * (4.0 * ixy)));
    if (std::fabs(ixx - lambda) > std::fabs(iyy - lambda)) return std::atan2(lambda - ixx, ixy);
    return std::atan2(ixy, lambda - iyy);
}

}  // namespace

Rect region_to_rect(std::span<const RegionPixel> region, double region_angle, double p) {
    WeightedSums weights;
    for (const RegionPixel& pixel : region) weights.add(pixel);
    return region_to_rect(region, weights, region_angle, p);
}

Rect region_to_rect(std::span<const RegionPixel> region, const WeightedSums& weights, double region_angle,
                    double p) {
    check(!region.empty(), "region_to_rect needs a non-empty region");
    const Centre centre{weights.wx / weights.w, weights.wy / weights.w};
    double theta = inertia_angle(region, centre);

    // Orient the axis like the region's mean level-line direction.
    double delta = theta - region_angle;
    while (delta <= -PI) delta += 2.0 * PI;
    while (delta > PI) delta -= 2.0 * PI;
    if (std::fabs(delta) > ANGLE_TOLERANCE) theta += PI;
    double dx = std::cos(theta), dy = std::sin(theta);

    double extent[4];
    pixel_kernels().region_extent(region.data(), region.size(), centre.x, centre.y, dx, dy, extent);
    const double l_min = extent[0], l_max = extent[1], t_min = extent[2], t_max = extent[3];
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
