// Gradient of each 2x2 block as a unit level-line vector, the coarse seed order by norm, and the
// flags of pixels too weak to grow into; each a parallel pass over the image in fixed blocks.
#include "detector/level_lines.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "detector/downscaled_rows.hpp"
#include "detector/pixel_kernels.hpp"
#include "parallel/pool.hpp"
#include "sample/check.hpp"

namespace tarnwick::detector {
namespace {

// Rows of the field per parallel block: enough to amortise converting the block's first row.
constexpr std::size_t FIELD_BLOCK_ROWS = 16;
// The same from down-scaled rows: a block filters the kernel's reach of source rows again, and
// its last row once more, so these blocks are taller.
constexpr std::size_t DOWNSCALED_BLOCK_ROWS = 64;
// Pixels per block of the seed passes, and per batch of classes computed on the stack.
constexpr std::size_t SEED_BLOCK_PIXELS = std::size_t{1} << 15;
constexpr std::size_t CLASS_BATCH = 512;
constexpr std::size_t SEED_CLASSES = NORM_BINS;

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

// The largest norm of n records, NaN ignored (0 when there is none larger).
float largest_norm_of(const Px* px, std::size_t n) {
    // Independent running maxima, so that the comparisons do not wait on each other.
    constexpr std::size_t WAYS = 8;
    float max_norm[WAYS] = {};
    std::size_t i = 0;
    for (; i + WAYS <= n; i += WAYS)
        for (std::size_t way = 0; way < WAYS; ++way)
            max_norm[way] = px[i + way].norm > max_norm[way] ? px[i + way].norm : max_norm[way];
    for (; i < n; ++i) max_norm[0] = px[i].norm > max_norm[0] ? px[i].norm : max_norm[0];
    float largest = 0.0f;
    for (float value : max_norm) largest = value > largest ? value : largest;  // a NaN never wins
    return largest;
}

// The largest of per-block maxima; the maximum does not depend on how the pixels are split.
float largest_of(std::span<const float> maxima) {
    float largest = 0.0f;
    for (float value : maxima) largest = value > largest ? value : largest;
    return largest;
}

float largest_norm(std::span<const Px> px) {
    const std::size_t blocks = parallel::block_count(px.size(), SEED_BLOCK_PIXELS);
    std::vector<float> block_max(blocks, 0.0f);
    parallel::for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        block_max[pixels.begin / SEED_BLOCK_PIXELS] =
            largest_norm_of(px.data() + pixels.begin, pixels.end - pixels.begin);
    });
    return largest_of(block_max);
}

// Calls fn(pixel index, class) for every seed of a block, in ascending index order; writes the
// block's used flags too unless used is null.
template <typename Fn>
void for_each_seed(const PixelKernels& kernels, std::span<const Px> px, parallel::RowRange pixels,
                   float max_norm, float threshold, std::uint8_t* used, Fn&& fn) {
    std::uint32_t positions[CLASS_BATCH];
    std::uint16_t classes[CLASS_BATCH];
    for (std::size_t begin = pixels.begin; begin < pixels.end; begin += CLASS_BATCH) {
        const std::size_t n = std::min(CLASS_BATCH, pixels.end - begin);
        const std::size_t seeds = kernels.seeds(px.data() + begin, n, max_norm, threshold, positions,
                                                classes, used == nullptr ? nullptr : used + begin);
        for (std::size_t k = 0; k < seeds; ++k) fn(begin + positions[k], classes[k]);
    }
}

void write_used_flags(const PixelKernels& kernels, std::span<const Px> px, float threshold,
                      std::uint8_t* used) {
    parallel::for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        kernels.used_flags(px.data() + pixels.begin, pixels.end - pixels.begin, threshold,
                           used + pixels.begin);
    });
}

// A counting sort in fixed blocks: each block lists its seeds once, packed with their classes,
// and counts them per class; the prefix sums run class by class and, within a class, block by
// block; each block then places its seeds from its own list in ascending order from its own
// offsets. So every bin lists its pixels in ascending index order, whatever the number of
// threads, and the level-line field is read only once for both passes. With used not null, the
// listing pass writes the used flags.
Buffer<PixelIndex> order_seeds(std::span<const Px> px, float threshold, std::uint8_t* used,
                               float max_norm) {
    if (px.empty()) return {};
    check(px.size() <= UINT32_MAX, "seeds_by_norm: pixel indices are 32-bit");
    const PixelKernels& kernels = pixel_kernels();
    if (!(max_norm > 0.0f)) {
        if (used != nullptr) write_used_flags(kernels, px, threshold, used);
        return {};
    }

    // A seed's position in its block and its class share one word.
    static_assert(SEED_BLOCK_PIXELS <= (std::size_t{1} << 16) && SEED_CLASSES <= (std::size_t{1} << 16));
    constexpr unsigned CLASS_SHIFT = 16;
    const std::size_t blocks = parallel::block_count(px.size(), SEED_BLOCK_PIXELS);
    std::vector<std::uint32_t> offsets(blocks * SEED_CLASSES, 0);
    std::vector<std::vector<std::uint32_t>> listed(blocks);
    parallel::for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        const std::size_t block = pixels.begin / SEED_BLOCK_PIXELS;
        std::uint32_t* counts = offsets.data() + block * SEED_CLASSES;
        std::vector<std::uint32_t>& list = listed[block];
        for_each_seed(kernels, px, pixels, max_norm, threshold, used, [&](std::size_t i, std::uint16_t cls) {
            ++counts[cls];
            list.push_back(static_cast<std::uint32_t>(i - pixels.begin) | std::uint32_t{cls} << CLASS_SHIFT);
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
    parallel::for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        const std::size_t block = pixels.begin / SEED_BLOCK_PIXELS;
        std::uint32_t* next = offsets.data() + block * SEED_CLASSES;
        for (std::uint32_t entry : listed[block]) {
            const std::uint32_t cls = entry >> CLASS_SHIFT;
            order[next[cls]++] = static_cast<PixelIndex>(pixels.begin + (entry & 0xffff));
        }
        listed[block] = {};
    });
    return order;
}

// The field from rows of working values that make_rows() yields, a new source per block of rows.
template <typename MakeRows>
Buffer<Px> field_of_rows(std::size_t width, std::size_t height, std::size_t block_rows,
                         MakeRows make_rows, float* max_norm) {
    Buffer<Px> field = Buffer<Px>::for_overwrite(width * height);
    if (field.size() == 0) {
        if (max_norm != nullptr) *max_norm = 0.0f;
        return field;
    }
    const PixelKernels& kernels = pixel_kernels();
    const std::size_t blocks = parallel::block_count(height, block_rows);
    std::vector<float> block_max(max_norm != nullptr ? blocks : 0, 0.0f);
    parallel::for_each_row_block(height, block_rows, [&](parallel::RowRange rows) {
        auto image = make_rows();
        float largest = 0.0f;
        for (std::size_t y = rows.begin; y < rows.end; ++y) {
            Px* out = field.data() + y * width;
            if (y + 1 == height) {
                std::fill_n(out, width, Px{0.0f, 0.0f, 0.0f});
                continue;
            }
            const double* top = image.row(y);
            kernels.level_line_row(top, image.row(y + 1), width, out);
            // While the row is still in cache: the seed order needs the largest norm.
            if (max_norm != nullptr) {
                const float row_max = largest_norm_of(out, width);
                largest = row_max > largest ? row_max : largest;
            }
        }
        if (max_norm != nullptr) block_max[rows.begin / block_rows] = largest;
    });
    if (max_norm != nullptr) *max_norm = largest_of(block_max);
    return field;
}

}  // namespace

template <typename T>
Buffer<Px> level_line_field(std::span<const T> samples, std::size_t width, std::size_t height,
                            float* max_norm) {
    check(samples.size() == width * height, "level_line_field: samples do not match the size");
    const PixelKernels& kernels = pixel_kernels();
    return field_of_rows(width, height, FIELD_BLOCK_ROWS,
                         [&] { return WorkingRows<T>(samples, width, kernels); }, max_norm);
}

template <typename T>
Buffer<Px> downscaled_level_line_field(std::span<const T> samples, std::size_t width,
                                       std::size_t height, const DownscalePlan& plan,
                                       float* max_norm) {
    check(samples.size() == width * height, "level_line_field: samples do not match the size");
    const PixelKernels& kernels = pixel_kernels();
    return field_of_rows(plan.width, plan.height, DOWNSCALED_BLOCK_ROWS,
                         [&] { return DownscaledRows<T>(samples, width, height, plan, kernels); },
                         max_norm);
}

template Buffer<Px> downscaled_level_line_field<double>(std::span<const double>, std::size_t,
                                                        std::size_t, const DownscalePlan&, float*);
template Buffer<Px> downscaled_level_line_field<float>(std::span<const float>, std::size_t,
                                                       std::size_t, const DownscalePlan&, float*);
template Buffer<Px> downscaled_level_line_field<std::uint8_t>(std::span<const std::uint8_t>,
                                                              std::size_t, std::size_t,
                                                              const DownscalePlan&, float*);
template Buffer<Px> downscaled_level_line_field<std::uint16_t>(std::span<const std::uint16_t>,
                                                               std::size_t, std::size_t,
                                                               const DownscalePlan&, float*);
template Buffer<Px> level_line_field<double>(std::span<const double>, std::size_t, std::size_t, float*);
template Buffer<Px> level_line_field<float>(std::span<const float>, std::size_t, std::size_t, float*);
template Buffer<Px> level_line_field<std::uint8_t>(std::span<const std::uint8_t>, std::size_t,
                                                   std::size_t, float*);
template Buffer<Px> level_line_field<std::uint16_t>(std::span<const std::uint16_t>, std::size_t,
                                                    std::size_t, float*);

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold) {
    return order_seeds(px, threshold, nullptr, largest_norm(px));
}

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold, std::span<std::uint8_t> used) {
    check(used.size() == px.size(), "seeds_by_norm: one used flag per pixel");
    return order_seeds(px, threshold, used.data(), largest_norm(px));
}

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold, std::span<std::uint8_t> used,
                                 float max_norm) {
    check(used.size() == px.size(), "seeds_by_norm: one used flag per pixel");
    return order_seeds(px, threshold, used.data(), max_norm);
}

Buffer<std::uint8_t> used_flags(std::span<const Px> px, float threshold) {
    Buffer<std::uint8_t> used = Buffer<std::uint8_t>::for_overwrite(px.size());
    write_used_flags(pixel_kernels(), px, threshold, used.data());
    return used;
}

}  // namespace tarnwick::detector
