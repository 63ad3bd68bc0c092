// Perspective resampling of an interleaved RGB image through an inverse homography.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "sample/buffer.hpp"
#include "sample/instruction_set.hpp"
#include "sample/size_mismatch.hpp"

namespace tarnwick::warp {

/// Output pixel (x, y) takes the source at (U/W, V/W), where (U, V, W) = H * (x / scale + off_x,
/// y / scale + off_y, 1), blended bilinearly; positions outside the source stay 0. Instantiated
/// for uint8_t and uint16_t samples.
template <typename T>
OrSizeMismatch<Buffer<T>> warp_rgb(std::span<const T> src, std::size_t width, std::size_t height,
                                   const std::array<double, 9>& inverse, double scale, double off_x,
                                   double off_y);

/// The same with the pixel loop of a chosen instruction set (one the CPU lacks falls back to the
/// best it has). Every set gives exactly the same result; warp_rgb uses the active one.
template <typename T>
OrSizeMismatch<Buffer<T>> warp_rgb_using(InstructionSet set, std::span<const T> src,
                                         std::size_t width, std::size_t height,
                                         const std::array<double, 9>& inverse, double scale,
                                         double off_x, double off_y);

}  // namespace tarnwick::warp
