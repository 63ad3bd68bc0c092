// The seed loop: regions grown, fitted and refined in seed order, then validated on the pool.
#pragma once

#include <cstddef>
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

/// Whether every neighbour of an inner pixel is taken. Growing from such a seed gives a region of
/// the seed alone, below every minimum region size (at least 4, for a 3x3 image), so the seed
/// only needs its flag set: its level-line record, whose cache miss would be most of its cost,
/// is not read.
bool enclosed_seed(PixelIndex seed, std::span<const std::uint8_t> used, std::uint32_t width,
                   std::uint32_t height);

/// Candidates are validated in batches while the walk goes on, so the pixels of their rectangles
/// are still in cache: batches of this many are spread over the pool, and with a pool of one
/// thread each candidate is validated at once. The values do not depend on the batches.
inline constexpr std::size_t VALIDATION_BATCH = 512;
std::size_t validation_batch();

/// Improves each candidate in place and appends its log NFA to log_nfas. Candidates depend only
/// on the level-line field, so they are spread over the worker pool; the values do not depend on
/// how.
void validate_candidates(const SeedLoopSetting& setting, std::span<Rect> candidates,
                         std::vector<double>& log_nfas);

/// The segments of the candidates whose log NFA is not at most 0, in candidate order.
std::vector<Segment> accepted_segments(const SeedLoopSetting& setting, std::span<const Rect> candidates,
                                       std::span<const double> log_nfas);

/// The segments in seed order. Growing, fitting and refining run seed by seed on the calling
/// thread, as each seed must see the used flags that the seeds before it left; validation does
/// not touch the flags and runs on the pool.
std::vector<Segment> walk_seeds(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                std::span<std::uint8_t> used);

}  // namespace tarnwick::detector
