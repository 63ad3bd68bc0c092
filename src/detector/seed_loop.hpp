// The seed loop: regions grown, fitted and refined in seed order, then validated in parallel.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "detector/types.hpp"

namespace tarnwick::detector {

/// What stays fixed while the seeds are walked.
struct SeedLoopSetting {
    std::span<const Px> px;
    std::uint32_t width;
    std::uint32_t height;
    double log_nt;
    std::uint32_t min_region_size;
    double factor;  // back to input-image units
};

/// The rectangles of the regions that survive growing, fitting and refinement, in seed order.
/// Sequential: every seed sees the used flags that the seeds before it left.
std::vector<Rect> candidate_rects(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                  std::span<std::uint8_t> used);

/// Improves every candidate in place and returns its log NFA. The candidates depend only on the
/// level-line field, so they are spread over the worker pool; the values do not depend on how.
std::vector<double> validate_candidates(const SeedLoopSetting& setting, std::span<Rect> candidates);

/// The segments of the candidates whose log NFA is not at most 0, in candidate order.
std::vector<Segment> accepted_segments(const SeedLoopSetting& setting, std::span<const Rect> candidates,
                                       std::span<const double> log_nfas);

/// All three in turn: the segments in seed order.
std::vector<Segment> walk_seeds(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                std::span<std::uint8_t> used);

}  // namespace tarnwick::detector
