// The seed loop: the ordered walk on the calling thread or, bundle by bundle of components, on the
// worker pool; the validation on the pool either way.
#include "detector/seed_loop.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "detector/uniform_field.hpp"
#include "parallel/pool.hpp"
#include "sample/check.hpp"

namespace tarnwick::detector {

bool enclosed_seed(PixelIndex seed, std::span<const std::uint8_t> used, std::uint32_t width,
                   std::uint32_t height) {
    check(std::uint64_t{width} * height <= used.size(), "used flags smaller than the image");
    const std::uint32_t y = seed / width, x = seed - y * width;
    if (x == 0 || y == 0 || x + 1 >= width || y + 1 >= height) return false;
    const std::uint8_t* above = used.data() + (seed - width - 1);
    const std::uint8_t* below = used.data() + (seed + width - 1);
    return above[0] && above[1] && above[2] && used[seed - 1] && used[seed + 1] && below[0] &&
           below[1] && below[2];
}

namespace {

// Only a log NFA at most 0 rejects: a NaN value does not.
bool accepted(double log_nfa) { return !(log_nfa <= 0.0); }

// Improves a candidate in place and gives its log NFA: it depends only on the level-line field, so
// not on who computes it or when.
double validated_log_nfa(Rect& rect, const SeedLoopSetting& setting) {
    return improve_rect(rect, setting.px, setting.width, setting.height, GRAD_THRESHOLD, setting.log_nt);
}

// The segment of a validated rectangle, in input-image units.
Segment segment_of(const Rect& rect, double log_nfa, double f) {
    return Segment{f * (rect.x1 + 0.5), f * (rect.y1 + 0.5), f * (rect.x2 + 0.5), f * (rect.y2 + 0.5),
                   f * rect.width,      rect.p,              log_nfa};
}

}  // namespace

struct CandidateValidation::Batch {
    explicit Batch(const SeedLoopSetting& setting) : setting(setting) {}

    // Validates candidates [begin, end) and keeps their log NFAs.
    void validate(std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) log_nfas[i] = validated_log_nfa(candidates[i], setting);
    }

    // Appends the segments of the accepted candidates, in order.
    void append_accepted(std::vector<Segment>& segments) const {
        for (std::size_t i = 0; i < count; ++i)
            if (accepted(log_nfas[i])) segments.push_back(segment_of(candidates[i], log_nfas[i], setting.factor));
    }

    const SeedLoopSetting& setting;
    Rect candidates[BATCH];
    double log_nfas[BATCH];
    std::size_t count = 0;
    std::optional<parallel::BackgroundRows> validation;
};

CandidateValidation::CandidateValidation(const SeedLoopSetting& setting)
    : setting_(setting), in_background_(parallel::pool_size() > 1) {}

// Helpers may still read batches when an exception leaves the walk: the batches wait for them.
CandidateValidation::~CandidateValidation() = default;

void CandidateValidation::start_validation(Batch& batch) {
    auto validate = [](void* context, parallel::RowRange rows) {
        static_cast<Batch*>(context)->validate(rows.begin, rows.end);
    };
    batch.validation.emplace(batch.count, parallel::RowBody{validate, &batch});
}

void CandidateValidation::add(const Rect& candidate) {
    if (batches_.empty() || batches_.back().count == BATCH) batches_.emplace_back(setting_);
    Batch& batch = batches_.back();
    const std::size_t i = batch.count++;
    batch.candidates[i] = candidate;
    if (!in_background_)
        batch.validate(i, i + 1);
    else if (batch.count == BATCH)
        start_validation(batch);
}

std::vector<Segment> CandidateValidation::segments() {
    std::vector<Segment> segments;
    for (Batch& batch : batches_) {
        if (batch.validation) {
            batch.validation->finish();
        } else if (in_background_) {
            // The last, partly filled batch: the walk is over, so it is shared only if it is
            // worth a hand-off (on small images it is not, and waking a helper would cost more).
            parallel::for_each_row(batch.count, [&](std::size_t i) { batch.validate(i, i + 1); });
        }
        batch.append_accepted(segments);
    }
    return segments;
}

namespace {

// How many seeds ahead of the walk their neighbourhoods are fetched: any distance from 2 to 64
// gives the same gain on photographs.
constexpr std::size_t PREFETCH_AHEAD = 16;
// How far ahead the flags of seeds are fetched, so that the test deciding whether to fetch a
// seed's neighbourhood does not wait for memory (the seeds lie all over the image).
constexpr std::size_t FLAG_PREFETCH_AHEAD = 4 * PREFETCH_AHEAD;

// Runs stage(), adding its time to times->*part when there are times to keep.
template <typename Stage>
auto timed(SeedLoopTimes* times, double SeedLoopTimes::*part, Stage&& stage) {
    if (!times) return stage();
    using Clock = std::chrono::steady_clock;
    struct AddOnExit {
        SeedLoopTimes* times;
        double SeedLoopTimes::*part;
        Clock::time_point start = Clock::now();
        ~AddOnExit() { times->*part += std::chrono::duration<double>(Clock::now() - start).count(); }
    } add{times, part};
    return stage();
}

// Walks seeds in order, handing each region that is fitted and refined to candidate(rect, i), i
// the place of its seed in the list.
template <typename Candidate>
void walk(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds, std::span<std::uint8_t> used,
          SeedLoopTimes* times, UniformField* uniform, Candidate&& candidate) {
    const auto [px, width, height, log_nt, min_region_size, factor] = setting;
    RegionPixels region;
    LevelLineAngles angles(px);
    check(min_region_size > 1, "a one-pixel region is never fitted");
    const std::size_t pixels = std::size_t{width} * height;
    for (std::size_t position = 0; position < seeds.size(); ++position) {
        // Most seeds are taken by then and cost one flag; the records and flags around the next
        // free ones are fetched while this one grows. On detailed images most free seeds grow
        // regions of a few pixels, whose first test reads the flags of the rows around the seed.
        if (position + FLAG_PREFETCH_AHEAD < seeds.size())
            __builtin_prefetch(used.data() + seeds[position + FLAG_PREFETCH_AHEAD]);
        if (position + PREFETCH_AHEAD < seeds.size()) {
            const PixelIndex later = seeds[position + PREFETCH_AHEAD];
            if (used[later] == 0) prefetch_rows_around(px.data(), used.data(), pixels, later, width, true);
        }
        const PixelIndex seed = seeds[position];
        if (used[seed] != 0) continue;
        if (enclosed_seed(seed, used, width, height)) {
            used[seed] = 1;
            if (uniform) uniform->flags_changed();
            continue;  // the region would be the seed alone, below every minimum size
        }
        if (uniform) {
            if (const auto regrown = uniform->regrowth(seed, used, region)) {
                if (times) ++times->tries_settled;
                double angle;
                Rect rect;
                rect.p = ALIGNED_PROBABILITY;  // the first rectangle's, which the re-fitted ones keep
                if (refine_regrown(region, *regrown, angle, rect, used, min_region_size)) candidate(rect, position);
                continue;
            }
            uniform->flags_changed();  // by the full path below
        }
        const RegionDirection grown =
            grow_region_direction(seed, px, used, ANGLE_TOLERANCE, region, width, height);
        if (region.size() < min_region_size) continue;
        double angle = grown.angle();
        if (times) ++times->regions_fitted;
        Rect rect = timed(times, &SeedLoopTimes::fit,
                          [&] { return region_to_rect(region, grown.weights, angle, ALIGNED_PROBABILITY); });
        if (!timed(times, &SeedLoopTimes::refine, [&] {
                return refine(region, angle, rect, used, px, angles, min_region_size, width, height);
            }))
            continue;
        candidate(rect, position);
    }
}

// The seeds of one bundle and their places in the list, eight bundle bytes at a time: on detailed
// images there are millions of seeds, and a few bundles share them.
void seeds_of_bundle(std::span<const PixelIndex> seeds, std::span<const std::uint8_t> seed_bundles,
                     std::uint8_t bundle, std::vector<PixelIndex>& own, std::vector<std::uint32_t>& positions) {
    check(seeds.size() <= UINT32_MAX, "seeds_of_bundle: seed positions are 32-bit");
    constexpr std::uint64_t LOW_SEVEN = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t pattern = 0x0101010101010101ULL * bundle;
    std::size_t i = 0;
    for (; i + 8 <= seeds.size(); i += 8) {
        std::uint64_t bytes;
        std::memcpy(&bytes, seed_bundles.data() + i, sizeof bytes);
        const std::uint64_t differ = bytes ^ pattern;
        // The top bit of each byte that is zero, exactly (no borrow runs between bytes).
        std::uint64_t equal = ~(((differ & LOW_SEVEN) + LOW_SEVEN) | differ | LOW_SEVEN);
        for (; equal != 0; equal &= equal - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctzll(equal)) / 8;
            own.push_back(seeds[at]);
            positions.push_back(static_cast<std::uint32_t>(at));
        }
    }
    for (; i < seeds.size(); ++i) {
        if (seed_bundles[i] != bundle) continue;
        own.push_back(seeds[i]);
        positions.push_back(static_cast<std::uint32_t>(i));
    }
}

}  // namespace

std::vector<Segment> walk_seeds(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                std::span<std::uint8_t> used, SeedLoopTimes* times, UniformFields uniform_fields) {
    CandidateValidation validation(setting);
    std::unique_ptr<UniformField> uniform;
    if (uniform_fields == UniformFields::settled)
        uniform = UniformField::recognise(setting.px, used, setting.width, setting.height, setting.min_region_size);
    walk(setting, seeds, used, times, uniform.get(), [&](const Rect& rect, std::size_t) {
        timed(times, &SeedLoopTimes::validate, [&] { validation.add(rect); });
    });
    return timed(times, &SeedLoopTimes::validate, [&] { return validation.segments(); });
}

std::vector<Segment> walk_seed_bundles(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                       std::span<const std::uint8_t> seed_bundles, std::size_t bundles,
                                       std::span<std::uint8_t> used) {
    check(seed_bundles.size() == seeds.size(), "walk_seed_bundles: one bundle per seed");
    struct Found {
        std::size_t position;  // of the seed, in seeds
        Segment segment;
    };
    std::vector<std::vector<Found>> found(bundles);
    auto walk_bundle = [&](std::size_t bundle) {
        std::vector<PixelIndex> own;
        std::vector<std::uint32_t> positions;
        seeds_of_bundle(seeds, seed_bundles, static_cast<std::uint8_t>(bundle), own, positions);
        // Validated at once, while the rectangle's pixels are still in cache.
        walk(setting, own, used, nullptr, nullptr, [&](const Rect& candidate, std::size_t i) {
            Rect rect = candidate;
            const double log_nfa = validated_log_nfa(rect, setting);
            if (accepted(log_nfa)) found[bundle].push_back({positions[i], segment_of(rect, log_nfa, setting.factor)});
        });
    };
    if (bundles > 1) {
        // The caller starts on the first bundle, which holds the largest component, while the
        // helpers take the others; whatever no helper has taken, the caller does afterwards.
        auto walk_rows = [](void* context, parallel::RowRange rows) {
            for (std::size_t bundle = rows.begin; bundle < rows.end; ++bundle)
                (*static_cast<decltype(walk_bundle)*>(context))(bundle + 1);
        };
        parallel::BackgroundRows others(bundles - 1, parallel::RowBody{walk_rows, &walk_bundle});
        walk_bundle(0);
        others.finish();
    } else if (bundles == 1) {
        walk_bundle(0);
    }
    // Each bundle found its segments in seed order; together, in seed order again.
    std::vector<Found> all;
    for (std::vector<Found>& list : found) all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end(), [](const Found& a, const Found& b) { return a.position < b.position; });
    std::vector<Segment> segments;
    segments.reserve(all.size());
    for (const Found& f : all) segments.push_back(f.segment);
    return segments;
}

}  // namespace tarnwick::detector
