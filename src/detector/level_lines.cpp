// Gradient of each 2x2 block as a unit level-line vector, the coarse seed order by norm, and the
// flags of pixels too weak to grow into; each a parallel pass over the image in fixed blocks.
#include "detector/level_lines.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "detector/pixel_kernels.hpp"
#include "detector/row_blocks.hpp"
#include "sample/check.hpp"

namespace tarnwick::detector {
namespace {

// Rows of the field per parallel block: enough to amortise converting the block's first row.
constexpr std::size_t FIELD_BLOCK_ROWS = 16;
// Pixels per block of the seed passes, and per batch of classes computed on the stack.
constexpr std::size_t SEED_BLOCK_PIXELS = std::size_t{1} << 15;
constexpr std::size_t CLASS_BATCH = 512;
constexpr std::size_t SEED_CLASSES = NORM_BINS + 1;  // the bins and NOT_A_SEED

// Image rows as working values. Doubles are read in place; other samples are converted into two
// alternating scratch rows, enough for a walk that asks for rows y and y + 1 with y increasing.
template <typename T>
class WorkingRows {
public:
    WorkingRows(std::span<const T> samples, std::size_t width, const PixelKernels& kernels)
        : samples_(samples.data()), width_(width), kernels_(kernels),
          scratch_(Buffer<double>::for_overwrite(std::is_same_v<T, double> ? 0 : 2 * width)) {}

    const double* row(std::size_t y) {
        if constexpr (std::is_same_v<T, double>) {
            return samples_ + y * width_;
        } else {
            double* slot = scratch_.data() + (y % 2) * width_;
            if (held_[y % 2] != y) {
                convert_samples(kernels_, samples_ + y * width_, width_, slot);
                held_[y % 2] = y;
            }
            return slot;
        }
    }

private:
    const T* samples_;
    std::size_t width_;
    const PixelKernels& kernels_;
    Buffer<double> scratch_;
    std::size_t held_[2] = {SIZE_MAX, SIZE_MAX};
};

// The largest norm, NaN ignored; the maximum does not depend on how the pixels are split.
float largest_norm(std::span<const Px> px) {
    const std::size_t blocks = (px.size() + SEED_BLOCK_PIXELS - 1) / SEED_BLOCK_PIXELS;
    std::vector<float> block_max(blocks, 0.0f);
    for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        // Independent running maxima, so that the comparisons do not wait on each other.
        constexpr std::size_t WAYS = 8;
        float max_norm[WAYS] = {};
        std::size_t i = pixels.begin;
        for (; i + WAYS <= pixels.end; i += WAYS)
            for (std::size_t way = 0; way < WAYS; ++way)
                max_norm[way] = px[i + way].norm > max_norm[way] ? px[i + way].norm : max_norm[way];
        for (; i < pixels.end; ++i) max_norm[0] = px[i].norm > max_norm[0] ? px[i].norm : max_norm[0];
        float block = 0.0f;
        for (float value : max_norm) block = value > block ? value : block;  // a NaN never wins
        block_max[pixels.begin / SEED_BLOCK_PIXELS] = block;
    });
    float max_norm = 0.0f;
    for (float value : block_max) max_norm = value > max_norm ? value : max_norm;
    return max_norm;
}

// Calls fn(pixel index, class) for every pixel of a block, in ascending index order; writes the
// block's used flags too unless used is null.
template <typename Fn>
void for_each_class(const PixelKernels& kernels, std::span<const Px> px, parallel::RowRange pixels,
                    float max_norm, float threshold, std::uint8_t* used, Fn&& fn) {
    std::uint16_t classes[CLASS_BATCH];
    for (std::size_t begin = pixels.begin; begin < pixels.end; begin += CLASS_BATCH) {
        const std::size_t n = std::min(CLASS_BATCH, pixels.end - begin);
        kernels.seed_classes(px.data() + begin, n, max_norm, threshold, classes,
                             used == nullptr ? nullptr : used + begin);
        for (std::size_t i = 0; i < n; ++i) fn(begin + i, classes[i]);
    }
}

void write_used_flags(const PixelKernels& kernels, std::span<const Px> px, float threshold,
                      std::uint8_t* used) {
    for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        kernels.used_flags(px.data() + pixels.begin, pixels.end - pixels.begin, threshold,
                           used + pixels.begin);
    });
}

// A counting sort in fixed blocks: each block counts its pixels per class, the prefix sums run
// class by class and, within a class, block by block, and each block then places its pixels in
// ascending order from its own offsets. So every bin lists its pixels in ascending index order,
// whatever the number of threads. With used not null, the counting pass writes the used flags.
Buffer<PixelIndex> order_seeds(std::span<const Px> px, float threshold, std::uint8_t* used) {
    if (px.empty()) return {};
    check(px.size() <= UINT32_MAX, "seeds_by_norm: pixel indices are 32-bit");
    const PixelKernels& kernels = pixel_kernels();
    const float max_norm = largest_norm(px);
    if (!(max_norm > 0.0f)) {
        if (used != nullptr) write_used_flags(kernels, px, threshold, used);
        return {};
    }

    const std::size_t blocks = (px.size() + SEED_BLOCK_PIXELS - 1) / SEED_BLOCK_PIXELS;
    std::vector<std::uint32_t> offsets(blocks * SEED_CLASSES, 0);
    for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        std::uint32_t* counts = offsets.data() + pixels.begin / SEED_BLOCK_PIXELS * SEED_CLASSES;
        for_each_class(kernels, px, pixels, max_norm, threshold, used, [&](std::size_t, std::uint16_t cls) {
            if (cls != NOT_A_SEED) ++counts[cls];  // most pixels are none, in long runs
        });
    });
    std::size_t seeds = 0;
    for (std::size_t cls = 0; cls < NORM_BINS; ++cls) {
        for (std::size_t block = 0; block < blocks; ++block) {
            std::uint32_t& slot = offsets[block * SEED_CLASSES + cls];
            const std::uint32_t count = slot;
            slot = static_cast<std::uint32_t>(seeds);
            seeds += count;
        }
    }

    Buffer<PixelIndex> order = Buffer<PixelIndex>::for_overwrite(seeds);
    for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        std::uint32_t* next = offsets.data() + pixels.begin / SEED_BLOCK_PIXELS * SEED_CLASSES;
        PixelIndex discarded;  // where the pixels that are no seeds go, without a branch
        for_each_class(kernels, px, pixels, max_norm, threshold, nullptr, [&](std::size_t i, std::uint16_t cls) {
            const bool seed = cls != NOT_A_SEED;
            *(seed ? order.data() + next[cls] : &discarded) = static_cast<PixelIndex>(i);
            next[cls] += seed;
        });
    });
    return order;
}


}  // namespace

template <typename T>
Buffer<Px> level_line_field(std::span<const T> samples, std::size_t width, std::size_t height) {
    check(samples.size() == width * height, "level_line_field: samples do not match the size");
    Buffer<Px> field = Buffer<Px>::for_overwrite(width * height);
    if (field.size() == 0) return field;
    const PixelKernels& kernels = pixel_kernels();
    for_each_row_block(height, FIELD_BLOCK_ROWS, [&](parallel::RowRange rows) {
        WorkingRows<T> image(samples, width, kernels);
        for (std::size_t y = rows.begin; y < rows.end; ++y) {
            Px* out = field.data() + y * width;
            if (y + 1 == height)
                std::fill_n(out, width, Px{0.0f, 0.0f, 0.0f});
            else
                kernels.level_line_row(image.row(y), image.row(y + 1), width, out);
        }
    });
    return field;
}

template Buffer<Px> level_line_field<double>(std::span<const double>, std::size_t, std::size_t);
template Buffer<Px> level_line_field<float>(std::span<const float>, std::size_t, std::size_t);
template Buffer<Px> level_line_field<std::uint8_t>(std::span<const std::uint8_t>, std::size_t,
                                                   std::size_t);
template Buffer<Px> level_line_field<std::uint16_t>(std::span<const std::uint16_t>, std::size_t,
                                                    std::size_t);

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold) {
    return order_seeds(px, threshold, nullptr);
}

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold, std::span<std::uint8_t> used) {
    check(used.size() == px.size(), "seeds_by_norm: one used flag per pixel");
    return order_seeds(px, threshold, used.data());
}

Buffer<std::uint8_t> used_flags(std::span<const Px> px, float threshold) {
    Buffer<std::uint8_t> used = Buffer<std::uint8_t>::for_overwrite(px.size());
    write_used_flags(pixel_kernels(), px, threshold, used.data());
    return used;
}

}  // namespace tarnwick::detector
