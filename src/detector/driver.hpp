// The line-segment detector's entry point: the whole pipeline from samples to sorted segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "detector/types.hpp"
#include "sample/size_mismatch.hpp"

namespace tarnwick::detector {

/// log10 of the number of tests for a working image of this size.
double log_number_of_tests(std::size_t width, std::size_t height);

/// Smallest region size worth fitting: ceil(log_nt / log10(8)).
std::uint32_t min_region_size_for(double log_nt);

/// True when a width x height image can give no segment at this scale: a side below 3 pixels, or
/// (for scale < 1) a down-scaled side below 3. Depends on the size alone, so callers may decide
/// it before reading or copying a single sample.
bool too_small_for_segments(std::size_t width, std::size_t height, double scale);

struct StrongPixels;

/// Deals the seed candidates of a field width pixels wide into bundles of components for a walk
/// on the pool (see bundle_components), when helpers are free and the candidates are many enough
/// to pay for it. Returns the number of bundles, 0 for a walk on the calling thread.
std::size_t walk_bundles(StrongPixels& strong, std::uint32_t width);

/// Orders segments longest first (stable; lengths compared in IEEE total order).
void sort_longest_first(std::vector<Segment>& segments);

/// Detects the segments of a width x height row-major image. Instantiated for double, float,
/// uint8_t and uint16_t samples.
template <typename T>
OrSizeMismatch<std::vector<Segment>> detect(std::span<const T> samples, std::size_t width,
                                            std::size_t height, double scale);

}  // namespace tarnwick::detector
