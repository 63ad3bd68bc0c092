// Level-line field of the working image, and the order in which pixels are tried as seeds.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "detector/types.hpp"

namespace tarnwick::detector {

inline constexpr std::size_t NORM_BINS = 1024;

/// One Px per pixel from the 2x2 block whose top-left pixel it is; the last row and column are 0.
std::vector<Px> level_line_field(std::span<const double> image, std::size_t width, std::size_t height);

/// Pixels whose norm exceeds the threshold, strongest bins first, ascending index within a bin.
std::vector<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold);

}  // namespace tarnwick::detector
