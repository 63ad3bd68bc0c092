// The seed loop: regions grown, fitted and refined in seed order (within each bundle of components
// that never meet, when bundles are walked at once), then validated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
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

/// The walk's candidates, validated while the walk goes on. With helpers in the pool, each full
/// batch is handed to them in the background, so the calling thread grows the next regions
/// meanwhile; with a pool of one thread each candidate is validated at once, while its pixels are
/// still in cache.
class CandidateValidation {
public:
    static constexpr std::size_t BATCH = 64;

    explicit CandidateValidation(const SeedLoopSetting& setting);
    ~CandidateValidation();
    CandidateValidation(const CandidateValidation&) = delete;
    CandidateValidation& operator=(const CandidateValidation&) = delete;

    void add(const Rect& candidate);
    /// Waits for every batch; the accepted segments in candidate order.
    std::vector<Segment> segments();

private:
    struct Batch;
    void start_validation(Batch& batch);

    const SeedLoopSetting& setting_;
    bool in_background_;
    std::list<Batch> batches_;  // a list keeps each batch in place while helpers work on it
};

/// Seconds the calling thread spent in each part of the walk, for the stage benchmark. Growing is
/// what the rest of the walk leaves: a detailed image has hundreds of thousands of tries, most
/// of them shorter than the two clock readings that would time them.
struct SeedLoopTimes {
    double fit = 0, refine = 0, validate = 0;
    std::size_t regions_fitted = 0;
    std::size_t tries_settled = 0;  // by bounds, on a field of one direction (see UniformField)
};

/// Whether tries on a field of one direction may be settled by bounds (see UniformField); the
/// results are the same either way, which the tests check.
enum class UniformFields { settled, walked };

/// The segments in seed order. Growing, fitting and refining run seed by seed on the calling
/// thread, as each seed must see the used flags that the seeds before it left; validation does
/// not touch the flags and runs on the pool. With times, the walk also times its parts.
std::vector<Segment> walk_seeds(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                std::span<std::uint8_t> used, SeedLoopTimes* times = nullptr,
                                UniformFields uniform_fields = UniformFields::settled);

/// The same segments, with the seeds walked bundle by bundle on the pool, each bundle in seed
/// order and validating its own candidates: seed_bundles gives the bundle (below bundles) of each
/// seed, and seeds of different bundles must never reach each other's pixels (see
/// bundle_components).
std::vector<Segment> walk_seed_bundles(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                       std::span<const std::uint8_t> seed_bundles, std::size_t bundles,
                                       std::span<std::uint8_t> used);

}  // namespace tarnwick::detector
