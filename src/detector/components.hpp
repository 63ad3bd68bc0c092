// Seeds that can never meet: the 8-connected components of the pixels above the gradient
// threshold, dealt out into bundles that the seed loop may walk at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include "detector/level_lines.hpp"

namespace tarnwick::detector {

/// The most bundles bundle_components deals out.
inline constexpr std::size_t MAX_BUNDLES = 64;

/// A region only ever takes pixels whose flag is 0, which at the start are exactly the pixels
/// above the threshold, and it reaches them only through 8-neighbours; refinement gives back only
/// pixels that a region took. So whatever a seed does touches the flags of its own component
/// alone, and seeds of different components may be walked in any interleaving.
///
/// Deals the components of the pixels that strong lists (each block whole rows of an image
/// width pixels wide, blocks in order) into `bundles` bundles (at most MAX_BUNDLES) of about
/// equal pixel counts, each component whole in one bundle, and records each listed pixel's bundle
/// in strong.bundles. Returns the number of bundles, or 0 (recording nothing) when fewer than 2
/// are asked for or one bundle would hold most of the pixels.
std::size_t bundle_components(StrongPixels& strong, std::uint32_t width, std::size_t bundles);

}  // namespace tarnwick::detector
