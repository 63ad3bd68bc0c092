// Separable Gaussian low-pass filter and nearest-lower sampling of the working image, computed only
// where the sampling keeps it.
#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>

#include "detector/pixel_kernels.hpp"
#include "detector/row_blocks.hpp"
#include "sample/check.hpp"
#include "sample/saturate.hpp"

namespace tarnwick::detector {
namespace {

constexpr double SIGMA_SCALE = 0.6;
constexpr double KERNEL_REACH = 3.7169221888498383;  // sqrt(2 ln 1000): the taps end at 1/1000

// Output rows per parallel block: the first rows of a block filter the kernel's reach of source
// rows that the previous block filtered too, so blocks should be much taller than the kernel.
constexpr std::size_t BLOCK_ROWS = 32;

// Source rows filtered along the row, kept only at the sampled columns. A ring of 2 * half + 1
// rows holds every row that one output row needs, and, since the sampled rows only move down, a
// row is filtered once per block however many output rows use it.
template <typename T>
class SampledRowFilter {
public:
    SampledRowFilter(std::span<const T> samples, std::size_t width, std::span<const double> taps,
                     std::span<const std::uint32_t> columns, const PixelKernels& kernels)
        : samples_(samples.data()), width_(width), taps_(taps), columns_(columns),
          kernels_(kernels), half_(taps.size() / 2),
          padded_(Buffer<double>::for_overwrite(width + 2 * half_)),
          filtered_(Buffer<double>::for_overwrite(columns.back() + std::size_t{1})),
          ring_(Buffer<double>::for_overwrite(taps.size() * columns.size())),
          held_(taps.size(), SIZE_MAX), shifted_(taps.size()) {
        for (std::size_t k = 0; k < taps.size(); ++k) shifted_[k] = padded_.data() + k;
    }

    /// Source row y filtered along the row, at the sampled columns.
    const double* row(std::size_t y) {
        const std::size_t slot = y % taps_.size();
        double* kept = ring_.data() + slot * columns_.size();
        if (held_[slot] != y) {
            filter(y);
            for (std::size_t i = 0; i < columns_.size(); ++i) kept[i] = filtered_[columns_[i]];
            held_[slot] = y;
        }
        return kept;
    }

private:
    // Edge values repeated half times on both sides: every tap then reads one padded position,
    // the value the clamped column would give, and the sums need no border cases.
    void filter(std::size_t y) {
        double* row = padded_.data() + half_;
        convert_samples(kernels_, samples_ + y * width_, width_, row);
        std::fill(padded_.data(), row, row[0]);
        std::fill(row + width_, row + width_ + half_, row[width_ - 1]);
        kernels_.weighted_sum(shifted_.data(), taps_.data(), taps_.size(), filtered_.size(),
                              filtered_.data());
    }

    const T* samples_;
    std::size_t width_;
    std::span<const double> taps_;
    std::span<const std::uint32_t> columns_;
    const PixelKernels& kernels_;
    std::size_t half_;
    Buffer<double> padded_;
    Buffer<double> filtered_;  // up to the last sampled column
    Buffer<double> ring_;
    std::vector<std::size_t> held_;  // the source row in each ring slot
    std::vector<const double*> shifted_;  // padded row + tap index
};

}  // namespace

std::size_t downscaled_size(std::size_t size, double scale) {
    double product = std::floor(scale * static_cast<double>(size));
    return std::max<std::size_t>(saturating_cast<std::size_t>(product), 2);
}

std::vector<double> gaussian_kernel(double scale) {
    const double sigma = SIGMA_SCALE / scale;
    const std::uint32_t half = saturating_cast<std::uint32_t>(std::ceil(sigma * KERNEL_REACH));
    std::vector<double> taps(2 * std::size_t{half} + 1);
    double sum = 0.0;
    for (std::size_t i = 0; i < taps.size(); ++i) {
        double t = (static_cast<double>(i) - static_cast<double>(half)) / sigma;
        taps[i] = std::exp((t * t) * -0.5);
    }
    for (double tap : taps) sum += tap;
    for (double& tap : taps) tap /= sum;
    return taps;
}

std::vector<std::uint32_t> sample_positions(std::size_t out_size, std::size_t size, double scale) {
    std::vector<std::uint32_t> positions(out_size);
    double i = 0.0;
    for (std::uint32_t& position : positions) {
        position = static_cast<std::uint32_t>(
            std::min(saturating_cast<std::size_t>(i / scale), size - 1));
        i += 1.0;
    }
    return positions;
}

template <typename T>
Image downscale(std::span<const T> samples, std::size_t width, std::size_t height, double scale) {
    check(width >= 1 && height >= 1, "downscale needs a non-empty image");
    check(samples.size() == width * height, "downscale: image size does not match its dimensions");
    const std::vector<double> taps = gaussian_kernel(scale);
    const std::int64_t half = static_cast<std::int64_t>(taps.size() / 2);

    Image out;
    out.width = downscaled_size(width, scale);
    out.height = downscaled_size(height, scale);
    out.pixels = Buffer<double>::for_overwrite(out.width * out.height);
    const std::vector<std::uint32_t> columns = sample_positions(out.width, width, scale);
    const std::vector<std::uint32_t> rows = sample_positions(out.height, height, scale);
    const PixelKernels& kernels = pixel_kernels();

    // The column pass only at the sampled rows, from row-filtered values only at the sampled
    // columns: the same sums, in the same order, as filtering every pixel twice and sampling.
    const std::int64_t last_row = static_cast<std::int64_t>(height) - 1;
    for_each_row_block(out.height, BLOCK_ROWS, [&](parallel::RowRange block) {
        SampledRowFilter<T> filtered(samples, width, taps, columns, kernels);
        std::vector<const double*> sources(taps.size());
        for (std::size_t j = block.begin; j < block.end; ++j) {
            for (std::size_t i = 0; i < taps.size(); ++i) {
                const std::int64_t y = static_cast<std::int64_t>(rows[j]) + static_cast<std::int64_t>(i) - half;
                sources[i] = filtered.row(static_cast<std::size_t>(std::clamp<std::int64_t>(y, 0, last_row)));
            }
            kernels.weighted_sum(sources.data(), taps.data(), taps.size(), out.width,
                                 out.pixels.data() + j * out.width);
        }
    });
    return out;
}

template Image downscale<double>(std::span<const double>, std::size_t, std::size_t, double);
template Image downscale<float>(std::span<const float>, std::size_t, std::size_t, double);
template Image downscale<std::uint8_t>(std::span<const std::uint8_t>, std::size_t, std::size_t,
                                       double);
template Image downscale<std::uint16_t>(std::span<const std::uint16_t>, std::size_t, std::size_t,
                                        double);

}  // namespace tarnwick::detector
