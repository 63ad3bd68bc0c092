// Keeping one component of free pixels up to date as pixels are taken.
#include "detector/free_component.hpp"

#include <algorithm>
#include <cstring>

namespace tarnwick::detector {

FreeComponent::FreeComponent(std::span<const Px> px, std::span<const double> angles, double reference_angle,
                             std::span<const std::uint8_t> used, std::uint32_t width, std::uint32_t height)
    : px_(px),
      angles_(angles),
      reference_angle_(reference_angle),
      width_(width),
      height_(height),
      image_{0, width - 1, 0, height - 1},
      shadow_(used.begin(), used.begin() + std::size_t{width} * height),
      member_(std::size_t{width} * height, 0),
      rows_(height),
      angle_sums_((std::size_t{width} + 1) * height),
      angle_squares_((std::size_t{width} + 1) * height),
      counts_((std::size_t{width} + 1) * height) {
    relabel();
}

void FreeComponent::read_row(std::uint32_t y) {
    const std::size_t start = std::size_t{y} * width_, prefix = std::size_t{y} * (width_ + 1);
    Row row{};
    row.first = width_;
    long double e_sum = 0, e_squares = 0;
    std::uint32_t count = 0;
    for (std::uint32_t x = 0; x < width_; ++x) {
        angle_sums_[prefix + x] = e_sum;
        angle_squares_[prefix + x] = e_squares;
        counts_[prefix + x] = count;
        if (!member_[start + x]) continue;
        const Px& p = px_[start + x];
        const long double w = p.norm, column = x;
        row.w += w;
        row.wx += w * column;
        row.wxx += w * column * column;
        row.dir_x += p.dir_x;
        row.dir_y += p.dir_y;
        row.first = std::min(row.first, x);
        row.last = x;
        const long double e = static_cast<long double>(angles_[start + x]) - reference_angle_;
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

template <typename Visit>
void FreeComponent::for_block(PixelIndex pixel, const Box& box, Visit&& visit) const {
    const std::uint32_t y = pixel / width_, x = pixel - y * width_;
    for (std::uint32_t ny = std::max(y, box.y0 + 1) - 1; ny <= std::min(y + 1, box.y1); ++ny)
        for (std::uint32_t nx = std::max(x, box.x0 + 1) - 1; nx <= std::min(x + 1, box.x1); ++nx)
            visit(ny * width_ + nx, nx, ny);
}

// The largest 8-connected set of free pixels becomes the component; the others are pockets.
void FreeComponent::relabel() {
    const std::size_t pixels = shadow_.size();
    std::vector<std::uint32_t> label(pixels, 0);
    std::vector<PixelIndex> queue;
    std::uint32_t labels = 0, best = 0;
    std::size_t best_size = 0;
    for (std::size_t start = 0; start < pixels; ++start) {
        if (shadow_[start] != 0 || label[start] != 0) continue;
        label[start] = ++labels;
        queue.assign(1, static_cast<PixelIndex>(start));
        for (std::size_t i = 0; i < queue.size(); ++i)
            for_block(queue[i], image_, [&](PixelIndex j, std::uint32_t, std::uint32_t) {
                if (shadow_[j] == 0 && label[j] == 0) {
                    label[j] = labels;
                    queue.push_back(j);
                }
            });
        if (queue.size() > best_size) best_size = queue.size(), best = labels;
    }
    for (std::size_t i = 0; i < pixels; ++i) member_[i] = best != 0 && label[i] == best;
    for (std::uint32_t y = 0; y < height_; ++y) read_row(y);
}

// The rest of the component stays connected when the free pixels around the taken ones still
// meet each other close by (a path through the taken pixels can go around them); otherwise the
// components are found again.
void FreeComponent::take(std::span<const PixelIndex> taken) {
    if (taken.empty()) return;
    std::uint32_t x0 = width_, x1 = 0, y0 = height_, y1 = 0;
    for (PixelIndex p : taken) {
        const std::uint32_t y = p / width_, x = p - y * width_;
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        shadow_[p] = 1;
        member_[p] = 0;
    }
    constexpr std::uint32_t MARGIN = 3, MAX_SIDE = 256;
    constexpr std::size_t POCKET = std::size_t{1} << 14;
    std::vector<PixelIndex> pockets;
    x0 = x0 > MARGIN ? x0 - MARGIN : 0, y0 = y0 > MARGIN ? y0 - MARGIN : 0;
    x1 = std::min(x1 + MARGIN, width_ - 1), y1 = std::min(y1 + MARGIN, height_ - 1);
    bool connected = x1 - x0 < MAX_SIDE && y1 - y0 < MAX_SIDE;
    if (connected) {
        const std::uint32_t w = x1 - x0 + 1, h = y1 - y0 + 1;
        // 1: a free pixel of the component next to a taken one; 2: reached from the first.
        std::vector<std::uint8_t> mark(std::size_t{w} * h, 0);
        const Box window{x0, x1, y0, y1};
        auto in_window = [&](std::uint32_t x, std::uint32_t y) { return x >= x0 && x <= x1 && y >= y0 && y <= y1; };
        auto at = [&](PixelIndex j) -> std::uint8_t& {
            const std::uint32_t y = j / width_, x = j - y * width_;
            return mark[std::size_t{y - y0} * w + (x - x0)];
        };
        std::size_t ring = 0;
        std::vector<PixelIndex> ring_pixels;  // in the order the taken pixels meet them
        for (PixelIndex p : taken)
            for_block(p, image_, [&](PixelIndex j, std::uint32_t, std::uint32_t) {
                if (member_[j] && at(j) == 0) at(j) = 1, ++ring, ring_pixels.push_back(j);
            });
        std::size_t reached = 0;
        if (ring > 0) {
            const PixelIndex start = ring_pixels.back();
            std::vector<PixelIndex> queue{start};
            at(start) = 2;
            reached = 1;
            for (std::size_t i = 0; i < queue.size() && reached < ring; ++i)
                for_block(queue[i], window, [&](PixelIndex j, std::uint32_t, std::uint32_t) {
                    if (!member_[j] || at(j) == 2) return;
                    if (at(j) == 1) ++reached;
                    at(j) = 2;
                    queue.push_back(j);
                });
        }
        connected = reached == ring;
        // The ring falls apart where the pixels taken close a pocket off: each side of it that
        // the flood above did not reach must run out within POCKET pixels, and is then dropped
        // from the component, which stays connected. Anything else is found again.
        std::vector<PixelIndex> side;
        std::size_t member_size = 0;  // before the pixels were taken
        if (!connected)
            for (const Row& row : rows_) member_size += row.count;
        for (std::size_t r = 0; r < ring_pixels.size() && !connected; ++r) {
            const PixelIndex j = ring_pixels[r];
            if (!member_[j] || at(j) != 1) continue;
            // member_ cleared marks the flood's pixels; a pixel that the first flood reached shows
            // that this side is the same as its side after all.
            side.assign(1, j);
            member_[j] = 0;
            bool joins = false;
            for (std::size_t i = 0; i < side.size() && !joins; ++i) {
                if (side.size() > POCKET) {
                    relabel();
                    return;
                }
                for_block(side[i], image_, [&](PixelIndex q, std::uint32_t qx, std::uint32_t qy) {
                    if (!member_[q]) return;
                    if (in_window(qx, qy) && at(q) == 2) joins = true;
                    member_[q] = 0;
                    side.push_back(q);
                });
            }
            if (joins) {
                for (PixelIndex q : side) {
                    member_[q] = 1;
                    if (in_window(q % width_, q / width_)) at(q) = 2;
                }
                continue;
            }
            // A pocket larger than what is left is the larger part: better found again.
            if (2 * (side.size() + pockets.size()) + taken.size() > member_size) {
                relabel();
                return;
            }
            pockets.insert(pockets.end(), side.begin(), side.end());
        }
        connected = true;
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

void FreeComponent::sync(std::span<const std::uint8_t> used) {
    std::vector<PixelIndex> taken;
    bool freed = false;
    for (std::uint32_t y = 0; y < height_ && !freed; ++y) {
        const std::size_t start = std::size_t{y} * width_;
        if (std::memcmp(shadow_.data() + start, used.data() + start, width_) == 0) continue;
        for (std::size_t i = start; i < start + width_; ++i) {
            if (used[i] == 0 && shadow_[i] != 0) freed = true;
            if (used[i] == 0 || shadow_[i] != 0) continue;
            if (member_[i])
                taken.push_back(static_cast<PixelIndex>(i));
            else
                shadow_[i] = 1;  // a pocket's pixel, which no sum counts
        }
    }
    if (freed) {
        // The seed loop never frees a pixel that was free before a try; should it, start over.
        std::memcpy(shadow_.data(), used.data(), shadow_.size());
        relabel();
        return;
    }
    take(taken);
}

}  // namespace tarnwick::detector
