// One 8-connected component of the free pixels of a level-line field, kept up to date as pixels
// are taken, with the per-row sums that settle tries on it (see UniformField).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "detector/types.hpp"

namespace tarnwick::detector {

/// At first the largest component of free pixels; pixels that later break off from it become
/// pockets, which it no longer counts. Per row it keeps long double sums over its pixels and
/// prefix sums along the row of their angles (relative to a reference angle), of the angles'
/// squares, and of their count.
class FreeComponent {
public:
    struct Row {
        long double w, wx, wxx, dir_x, dir_y;  // norm, norm x, norm x^2, directions
        std::uint32_t count, first, last;      // pixels, leftmost and rightmost column
    };

    /// angles: atan2 of each free pixel's direction; used: the flags it starts from.
    FreeComponent(std::span<const Px> px, std::span<const double> angles, double reference_angle,
                  std::span<const std::uint8_t> used, std::uint32_t width, std::uint32_t height);

    bool contains(PixelIndex pixel) const { return member_[pixel] != 0; }
    const std::vector<Row>& rows() const { return rows_; }

    /// Positions in the prefix arrays that bound columns [a, b] of row y, clipped to the row.
    std::pair<std::size_t, std::size_t> prefix_range(std::uint32_t y, long long a, long long b) const {
        a = a < 0 ? 0 : a;
        b = b > static_cast<long long>(width_) - 1 ? static_cast<long long>(width_) - 1 : b;
        const std::size_t row = std::size_t{y} * (width_ + 1);
        if (a > b) return {row, row};
        return {row + static_cast<std::size_t>(a), row + static_cast<std::size_t>(b) + 1};
    }
    std::span<const std::uint32_t> counts() const { return counts_; }
    std::span<const long double> angle_sums() const { return angle_sums_; }
    std::span<const long double> angle_squares() const { return angle_squares_; }

    /// Pixels of the component that were just taken (flagged used).
    void take(std::span<const PixelIndex> taken);
    /// Folds in the flags that changed since they were last read.
    void sync(std::span<const std::uint8_t> used);

private:
    struct Box {
        std::uint32_t x0, x1, y0, y1;  // inclusive
    };
    // Calls visit(index, x, y) for each pixel of the 3x3 block around pixel that lies in box.
    template <typename Visit>
    void for_block(PixelIndex pixel, const Box& box, Visit&& visit) const;
    void read_row(std::uint32_t y);
    void relabel();

    std::span<const Px> px_;
    std::span<const double> angles_;
    double reference_angle_;
    std::uint32_t width_, height_;
    Box image_;
    std::vector<std::uint8_t> shadow_;  // the used flags as last read
    std::vector<std::uint8_t> member_;  // free and in the component
    std::vector<Row> rows_;
    std::vector<long double> angle_sums_, angle_squares_;  // width + 1 per row
    std::vector<std::uint32_t> counts_;
};

}  // namespace tarnwick::detector
