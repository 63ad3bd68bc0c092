// Separable Gaussian low-pass filter and nearest-lower sampling of the working image, computed only
// where the sampling keeps it.
#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include "detector/downscaled_rows.hpp"
#include "detector/pixel_kernels.hpp"
#include "parallel/pool.hpp"
#include "sample/check.hpp"
#include "sample/saturate.hpp"

namespace tarnwick::detector {
namespace {

constexpr double SIGMA_SCALE = 0.6;
constexpr double KERNEL_REACH = 3.7169221888498383;  // sqrt(2 ln 1000): the taps end at 1/1000

// Output rows per parallel block: the first rows of a block filter the kernel's reach of source
// rows that the previous block filtered too, so blocks should be much taller than the kernel.
constexpr std::size_t BLOCK_ROWS = 32;

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

DownscalePlan plan_downscale(std::size_t width, std::size_t height, double scale) {
    check(width >= 1 && height >= 1, "downscale needs a non-empty image");
    DownscalePlan plan;
    plan.taps = gaussian_kernel(scale);
    plan.width = downscaled_size(width, scale);
    plan.height = downscaled_size(height, scale);
    plan.columns = sample_positions(plan.width, width, scale);
    plan.rows = sample_positions(plan.height, height, scale);
    if (std::ranges::adjacent_find(plan.columns, std::greater_equal<>()) == plan.columns.end()) {
        plan.sampled_columns.assign(plan.columns.back() / 8 + 1, 0);
        for (std::uint32_t column : plan.columns)
            plan.sampled_columns[column / 8] |= static_cast<std::uint8_t>(1u << (column % 8));
    }
    return plan;
}

template <typename T>
Image downscale(std::span<const T> samples, std::size_t width, std::size_t height, double scale) {
    check(samples.size() == width * height, "downscale: image size does not match its dimensions");
    const DownscalePlan plan = plan_downscale(width, height, scale);
    Image out;
    out.width = plan.width;
    out.height = plan.height;
    out.pixels = Buffer<double>::for_overwrite(out.width * out.height);
    const PixelKernels& kernels = pixel_kernels();
    parallel::for_each_row_block(out.height, BLOCK_ROWS, [&](parallel::RowRange block) {
        DownscaledRows<T> rows(samples, width, height, plan, kernels);
        for (std::size_t j = block.begin; j < block.end; ++j)
            std::copy_n(rows.row(j), out.width, out.pixels.data() + j * out.width);
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
