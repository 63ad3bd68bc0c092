// Gradient of each 2x2 block as a unit level-line vector, the coarse seed order by norm, and the
// flags of pixels too weak to grow into; each a parallel pass over the image in fixed blocks.
#include "detector/level_lines.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
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
// Pixels per block when the seed candidates are listed from a finished field.
constexpr std::size_t SEED_BLOCK_PIXELS = std::size_t{1} << 15;
constexpr std::size_t SEED_CLASSES = NORM_BINS;

// Image rows as working values. Doubles are read in place; other samples are converted into two
// alternating scratch rows, enough for a walk that asks for rows y and y + 1 with y increasing.
template <typename T>
class WorkingRows {
public:
    WorkingRows(std::span<const T> samples, std::size_t width, const PixelKernels& kernels)
        : samples_(samples.data()), width_(width), kernels_(kernels), stride_(whole_lines(width)),
          scratch_(std::is_same_v<T, double> ? 0 : 2 * stride_) {}

    const double* row(std::size_t y) {
        if constexpr (std::is_same_v<T, double>) {
            return samples_ + y * width_;
        } else {
            double* slot = scratch_.data() + (y % 2) * stride_;
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
    std::size_t stride_;
    LineBuffer scratch_;
    std::size_t held_[2] = {SIZE_MAX, SIZE_MAX};
};

// Field rows from rows of working values.
template <typename Rows>
class FieldOfWorkingRows {
public:
    FieldOfWorkingRows(Rows rows, const PixelKernels& kernels) : rows_(std::move(rows)), kernels_(kernels) {}

    void field_row(std::size_t y, std::size_t width, float zero_at_most, Px* out) {
        const double* top = rows_.row(y);  // before row y + 1: some sources only move down
        kernels_.level_line_row(top, rows_.row(y + 1), width, zero_at_most, out);
    }

private:
    Rows rows_;
    const PixelKernels& kernels_;
};

// Field rows straight from uint8 samples, each record looked up by its block's gradient.
class FieldOfBytes {
public:
    FieldOfBytes(const std::uint8_t* samples, const PixelKernels& kernels)
        : samples_(samples), table_(byte_block_records()), kernels_(kernels) {}

    // Looking up costs the same for every record: all are exact.
    void field_row(std::size_t y, std::size_t width, float, Px* out) {
        kernels_.level_line_row_bytes(samples_ + y * width, samples_ + (y + 1) * width, width, table_, out);
    }

private:
    const std::uint8_t* samples_;
    const Px* table_;
    const PixelKernels& kernels_;
};

// From this many pixels on, a uint8 field is looked up rather than computed: filling the table
// once per process costs about as much as computing that many records.
constexpr std::size_t BYTE_TABLE_WORTH_IT = std::size_t{1} << 18;

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

// The pixels above the threshold of one row of the field, appended to its block's lists, and the
// row's used flags.
class StrongRows {
public:
    StrongRows(StrongPixels& strong, std::size_t block, std::size_t width)
        : strong_(strong), block_(block),
          positions_(Buffer<std::uint32_t>::for_overwrite(width + STRONG_PIXEL_SLACK)),
          norms_(Buffer<float>::for_overwrite(width + STRONG_PIXEL_SLACK)) {}

    // Returns the largest norm listed (0 for none).
    float list(const PixelKernels& kernels, const Px* row, std::size_t y, std::size_t width) {
        const std::size_t count = kernels.strong_pixels(row, width, strong_.threshold, positions_.data(),
                                                        norms_.data(), strong_.used.data() + y * width);
        std::vector<PixelIndex>& pixels = strong_.pixels[block_];
        const auto row_start = static_cast<PixelIndex>(y * width);
        float largest = 0.0f;
        for (std::size_t i = 0; i < count; ++i) {
            pixels.push_back(row_start + positions_[i]);
            largest = norms_[i] > largest ? norms_[i] : largest;
        }
        strong_.norms[block_].insert(strong_.norms[block_].end(), norms_.data(), norms_.data() + count);
        return largest;
    }

private:
    StrongPixels& strong_;
    std::size_t block_;
    Buffer<std::uint32_t> positions_;
    Buffer<float> norms_;
};

// The field from the sources of field rows that make_rows() yields, a new one per block of rows.
template <typename MakeRows>
Buffer<Px> field_of_rows(std::size_t width, std::size_t height, std::size_t block_rows,
                         MakeRows make_rows, float* max_norm, StrongPixels* strong) {
    Buffer<Px> field = Buffer<Px>::for_overwrite(width * height);
    if (field.size() == 0) {
        if (max_norm != nullptr) *max_norm = 0.0f;
        return field;
    }
    const PixelKernels& kernels = pixel_kernels();
    const std::size_t blocks = parallel::block_count(height, block_rows);
    std::vector<float> block_max(max_norm != nullptr ? blocks : 0, 0.0f);
    if (strong != nullptr) {
        check(field.size() <= UINT32_MAX, "seeds_by_norm: pixel indices are 32-bit");
        strong->used = Buffer<std::uint8_t>::for_overwrite(field.size());
        strong->pixels.assign(blocks, {});
        strong->norms.assign(blocks, {});
    }
    const bool weak_unread = strong != nullptr && strong->weak_records_unread;
    const float zero_at_most = weak_unread ? strong->threshold : -1.0f;
    parallel::for_each_row_block(height, block_rows, [&](parallel::RowRange rows) {
        auto source = make_rows();
        const std::size_t block = rows.begin / block_rows;
        std::optional<StrongRows> strong_rows;
        if (strong != nullptr) strong_rows.emplace(*strong, block, width);
        float largest = 0.0f;
        for (std::size_t y = rows.begin; y < rows.end; ++y) {
            Px* out = field.data() + y * width;
            if (y + 1 == height)
                std::fill_n(out, width, Px{0.0f, 0.0f, 0.0f});
            else
                source.field_row(y, width, zero_at_most, out);
            const float listed_max = strong_rows ? strong_rows->list(kernels, out, y, width) : 0.0f;
            // While the row is still in cache: the seed order needs the largest norm. Where weak
            // records go unread, the largest above the threshold will do, and listing found it.
            if (max_norm != nullptr) {
                const float row_max = weak_unread ? listed_max : largest_norm_of(out, width);
                largest = row_max > largest ? row_max : largest;
            }
        }
        if (max_norm != nullptr) block_max[block] = largest;
    });
    if (max_norm != nullptr) *max_norm = largest_of(block_max);
    return field;
}

}  // namespace

template <typename T>
Buffer<Px> level_line_field(std::span<const T> samples, std::size_t width, std::size_t height,
                            float* max_norm, StrongPixels* strong) {
    check(samples.size() == width * height, "level_line_field: samples do not match the size");
    const PixelKernels& kernels = pixel_kernels();
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        if (samples.size() >= BYTE_TABLE_WORTH_IT)
            return field_of_rows(width, height, FIELD_BLOCK_ROWS,
                                 [&] { return FieldOfBytes(samples.data(), kernels); }, max_norm, strong);
    }
    return field_of_rows(width, height, FIELD_BLOCK_ROWS,
                         [&] { return FieldOfWorkingRows(WorkingRows<T>(samples, width, kernels), kernels); },
                         max_norm, strong);
}

template <typename T>
Buffer<Px> downscaled_level_line_field(std::span<const T> samples, std::size_t width,
                                       std::size_t height, const DownscalePlan& plan,
                                       float* max_norm, StrongPixels* strong) {
    check(samples.size() == width * height, "level_line_field: samples do not match the size");
    const PixelKernels& kernels = pixel_kernels();
    return field_of_rows(plan.width, plan.height, DOWNSCALED_BLOCK_ROWS,
                         [&] {
                             return FieldOfWorkingRows(DownscaledRows<T>(samples, width, height, plan, kernels),
                                                       kernels);
                         },
                         max_norm, strong);
}

template Buffer<Px> downscaled_level_line_field<double>(std::span<const double>, std::size_t,
                                                        std::size_t, const DownscalePlan&, float*, StrongPixels*);
template Buffer<Px> downscaled_level_line_field<float>(std::span<const float>, std::size_t,
                                                       std::size_t, const DownscalePlan&, float*, StrongPixels*);
template Buffer<Px> downscaled_level_line_field<std::uint8_t>(std::span<const std::uint8_t>,
                                                              std::size_t, std::size_t,
                                                              const DownscalePlan&, float*, StrongPixels*);
template Buffer<Px> downscaled_level_line_field<std::uint16_t>(std::span<const std::uint16_t>,
                                                               std::size_t, std::size_t,
                                                               const DownscalePlan&, float*, StrongPixels*);
template Buffer<Px> level_line_field<double>(std::span<const double>, std::size_t, std::size_t, float*, StrongPixels*);
template Buffer<Px> level_line_field<float>(std::span<const float>, std::size_t, std::size_t, float*, StrongPixels*);
template Buffer<Px> level_line_field<std::uint8_t>(std::span<const std::uint8_t>, std::size_t,
                                                   std::size_t, float*, StrongPixels*);
template Buffer<Px> level_line_field<std::uint16_t>(std::span<const std::uint16_t>, std::size_t,
                                                    std::size_t, float*, StrongPixels*);

namespace {

// The pixels above the threshold of a finished field, in blocks of pixels; its used flags go to
// used, one per pixel.
StrongPixels strong_pixels_of(std::span<const Px> px, float threshold, std::span<std::uint8_t> used) {
    check(px.size() <= UINT32_MAX, "seeds_by_norm: pixel indices are 32-bit");
    check(used.size() == px.size(), "seeds_by_norm: one used flag per pixel");
    StrongPixels strong(threshold);
    const std::size_t blocks = parallel::block_count(px.size(), SEED_BLOCK_PIXELS);
    strong.pixels.assign(blocks, {});
    strong.norms.assign(blocks, {});
    const PixelKernels& kernels = pixel_kernels();
    parallel::for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange range) {
        const std::size_t block = range.begin / SEED_BLOCK_PIXELS, n = range.end - range.begin;
        std::vector<PixelIndex>& pixels = strong.pixels[block];
        std::vector<float>& norms = strong.norms[block];
        pixels.resize(n + STRONG_PIXEL_SLACK);
        norms.resize(n + STRONG_PIXEL_SLACK);
        const std::size_t count = kernels.strong_pixels(px.data() + range.begin, n, threshold, pixels.data(),
                                                         norms.data(), used.data() + range.begin);
        pixels.resize(count);
        norms.resize(count);
        for (PixelIndex& pixel : pixels) pixel += static_cast<PixelIndex>(range.begin);
    });
    return strong;
}

}  // namespace

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold) {
    Buffer<std::uint8_t> used = Buffer<std::uint8_t>::for_overwrite(px.size());
    return seeds_by_norm(px, threshold, used.span(), largest_norm(px));
}

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold, std::span<std::uint8_t> used) {
    return seeds_by_norm(px, threshold, used, largest_norm(px));
}

Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold, std::span<std::uint8_t> used,
                                 float max_norm) {
    StrongPixels strong = strong_pixels_of(px, threshold, used);
    return seeds_by_norm(strong, max_norm);
}

Buffer<PixelIndex> seeds_by_norm(StrongPixels& strong, float max_norm, Buffer<std::uint8_t>* seed_bundles) {
    const std::size_t blocks = strong.pixels.size();
    check(strong.norms.size() == blocks, "seeds_by_norm: one list of norms per block");
    check(strong.bundles.empty() || strong.bundles.size() == blocks, "seeds_by_norm: one list of bundles per block");
    const bool bundled = seed_bundles != nullptr && !strong.bundles.empty();
    if (seed_bundles != nullptr) *seed_bundles = {};
    if (!(max_norm > 0.0f)) {
        strong.pixels.clear();
        strong.norms.clear();
        strong.bundles.clear();
        return {};
    }
    // A counting sort in the listing's blocks: classes and counts per block, prefix sums class by
    // class and, within a class, block by block, then each block places its pixels in ascending
    // order from its own offsets. So every bin lists its pixels in ascending index order, whatever
    // the blocks and the number of threads.
    const PixelKernels& kernels = pixel_kernels();
    std::vector<std::uint32_t> offsets(blocks * SEED_CLASSES, 0);
    std::vector<Buffer<std::uint16_t>> classes(blocks);
    parallel::for_each_row(blocks, [&](std::size_t block) {
        std::vector<float>& norms = strong.norms[block];
        check(norms.size() == strong.pixels[block].size(), "seeds_by_norm: one norm per listed pixel");
        classes[block] = Buffer<std::uint16_t>::for_overwrite(norms.size());
        kernels.seed_classes(norms.data(), norms.size(), max_norm, strong.threshold, classes[block].data());
        std::uint32_t* counts = offsets.data() + block * SEED_CLASSES;
        for (std::uint16_t cls : classes[block].span()) ++counts[cls];
        norms = {};
    });
    // Where each class starts, then each block's offset within it, row by row: the same offsets as
    // walking the classes block by block, without striding across the blocks' counts.
    std::vector<std::uint32_t> next_in_class(SEED_CLASSES, 0);
    for (std::size_t block = 0; block < blocks; ++block)
        for (std::size_t cls = 0; cls < SEED_CLASSES; ++cls) next_in_class[cls] += offsets[block * SEED_CLASSES + cls];
    std::size_t seeds = 0;
    for (std::size_t cls = 0; cls < SEED_CLASSES; ++cls) {
        const std::uint32_t count = next_in_class[cls];
        next_in_class[cls] = static_cast<std::uint32_t>(seeds);
        seeds += count;
    }
    for (std::size_t block = 0; block < blocks; ++block) {
        std::uint32_t* slots = offsets.data() + block * SEED_CLASSES;
        for (std::size_t cls = 0; cls < SEED_CLASSES; ++cls) {
            const std::uint32_t count = slots[cls];
            slots[cls] = next_in_class[cls];
            next_in_class[cls] += count;
        }
    }
    Buffer<PixelIndex> order = Buffer<PixelIndex>::for_overwrite(seeds);
    if (bundled) *seed_bundles = Buffer<std::uint8_t>::for_overwrite(seeds);
    // Neighbouring blocks fill neighbouring stretches of every class, so blocks placed at the same
    // time are taken far apart: threads that took consecutive blocks would write the same cache
    // lines at every class boundary.
    const std::size_t lanes = std::max<std::size_t>(1, std::min(parallel::pool_size(), blocks));
    const std::size_t per_lane = blocks / lanes + (blocks % lanes != 0);
    parallel::for_each_row(lanes * per_lane, [&](std::size_t turn) {
        const std::size_t lane = turn % lanes, step = turn / lanes;
        const std::size_t block = lane * per_lane + step;
        if (block >= blocks) return;
        std::uint32_t* next = offsets.data() + block * SEED_CLASSES;
        const std::vector<PixelIndex>& pixels = strong.pixels[block];
        const std::uint16_t* block_classes = classes[block].data();
        if (bundled) {
            const std::vector<std::uint8_t>& bundles = strong.bundles[block];
            check(bundles.size() == pixels.size(), "seeds_by_norm: one bundle per listed pixel");
            for (std::size_t i = 0; i < pixels.size(); ++i) {
                const std::uint32_t slot = next[block_classes[i]]++;
                order[slot] = pixels[i];
                (*seed_bundles)[slot] = bundles[i];
            }
        } else {
            for (std::size_t i = 0; i < pixels.size(); ++i) order[next[block_classes[i]]++] = pixels[i];
        }
        strong.pixels[block] = {};
        classes[block] = {};
    });
    strong.pixels.clear();
    strong.norms.clear();
    strong.bundles.clear();
    return order;
}

Buffer<std::uint8_t> used_flags(std::span<const Px> px, float threshold) {
    Buffer<std::uint8_t> used = Buffer<std::uint8_t>::for_overwrite(px.size());
    const PixelKernels& kernels = pixel_kernels();
    parallel::for_each_row_block(px.size(), SEED_BLOCK_PIXELS, [&](parallel::RowRange pixels) {
        kernels.used_flags(px.data() + pixels.begin, pixels.end - pixels.begin, threshold,
                           used.data() + pixels.begin);
    });
    return used;
}

}  // namespace tarnwick::detector
