// Separable Gaussian low-pass filter and nearest-lower sampling of the working image.
#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>

#include "parallel/pool.hpp"
#include "sample/check.hpp"
#include "sample/saturate.hpp"

namespace tarnwick::detector {
namespace {

constexpr double SIGMA_SCALE = 0.6;
constexpr double KERNEL_REACH = 3.7169221888498383;  // sqrt(2 ln 1000): the taps end at 1/1000

// One row of the horizontal pass. Per tap, the row splits into the part left of the image (edge
// value), the interior and the part right of it, so the interior loop needs no clamping. Every
// output still accumulates its taps in ascending order from 0.0.
void filter_row(const double* in, std::size_t width, std::span<const double> taps, double* out) {
    const std::int64_t half = static_cast<std::int64_t>(taps.size() / 2);
    const std::int64_t w = static_cast<std::int64_t>(width);
    for (std::size_t i = 0; i < taps.size(); ++i) {
        const std::int64_t offset = static_cast<std::int64_t>(i) - half;
        const double tap = taps[i];
        const std::int64_t left_end = std::clamp<std::int64_t>(-offset, 0, w);
        const std::int64_t right_begin = std::clamp<std::int64_t>(w - offset, left_end, w);
        const double left_term = tap * in[0];
        for (std::int64_t x = 0; x < left_end; ++x) out[x] += left_term;
        for (std::int64_t x = left_end; x < right_begin; ++x) out[x] += tap * in[x + offset];
        const double right_term = tap * in[width - 1];
        for (std::int64_t x = right_begin; x < w; ++x) out[x] += right_term;
    }
}

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

Image downscale(std::span<const double> image, std::size_t width, std::size_t height, double scale) {
    check(width >= 1 && height >= 1, "downscale needs a non-empty image");
    check(image.size() == width * height, "downscale: image size does not match its dimensions");
    const std::vector<double> taps = gaussian_kernel(scale);
    const std::int64_t half = static_cast<std::int64_t>(taps.size() / 2);

    std::vector<double> rows_filtered(width * height, 0.0);
    parallel::for_each_row(height, [&](std::size_t y) {
        filter_row(image.data() + y * width, width, taps, rows_filtered.data() + y * width);
    });

    Image out;
    out.width = downscaled_size(width, scale);
    out.height = downscaled_size(height, scale);
    out.pixels.assign(out.width * out.height, 0.0);
    const std::vector<std::uint32_t> columns = sample_positions(out.width, width, scale);
    const std::vector<std::uint32_t> rows = sample_positions(out.height, height, scale);

    // The vertical pass is only evaluated where it is sampled: the same sums, in the same order,
    // as filtering every row and column first.
    const std::int64_t last_row = static_cast<std::int64_t>(height) - 1;
    parallel::for_each_row(out.height, [&](std::size_t j) {
        double* out_row = out.pixels.data() + j * out.width;
        for (std::size_t i = 0; i < taps.size(); ++i) {
            std::int64_t source = static_cast<std::int64_t>(rows[j]) + static_cast<std::int64_t>(i) - half;
            const double* filtered = rows_filtered.data() + std::clamp<std::int64_t>(source, 0, last_row) * width;
            const double tap = taps[i];
            for (std::size_t x = 0; x < out.width; ++x) out_row[x] += tap * filtered[columns[x]];
        }
    });
    return out;
}

}  // namespace tarnwick::detector
