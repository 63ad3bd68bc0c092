// Gaussian low-pass filter followed by nearest-lower sampling, for scale factors below 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sample/buffer.hpp"

namespace tarnwick::detector {

/// Output size of the down-scaling: max(floor(scale * n), 2) per dimension.
std::size_t downscaled_size(std::size_t size, double scale);

/// The normalised Gaussian taps for a scale (2 * half + 1 of them).
std::vector<double> gaussian_kernel(double scale);

/// Input columns (or rows) sampled for each output column: min(trunc(i / scale), size - 1).
std::vector<std::uint32_t> sample_positions(std::size_t out_size, std::size_t size, double scale);

struct Image {
    Buffer<double> pixels;
    std::size_t width = 0;
    std::size_t height = 0;
};

/// Filters with the separable Gaussian of the scale and samples the result. The samples are turned
/// into working values row by row (uint16 divided by 257.0), and only the filtered values that the
/// sampling keeps are computed. Requires width and height of at least 1 and a kernel that can be
/// allocated. Instantiated for double, float, uint8_t and uint16_t.
template <typename T>
Image downscale(std::span<const T> samples, std::size_t width, std::size_t height, double scale);

/// Down-scales a working image in doubles.
inline Image downscale(std::span<const double> image, std::size_t width, std::size_t height,
                       double scale) {
    return downscale<double>(image, width, height, scale);
}

}  // namespace tarnwick::detector
