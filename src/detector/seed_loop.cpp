// The seed loop: the ordered part on the calling thread, the validation on the worker pool.
#include "detector/seed_loop.hpp"

#include <chrono>
#include <optional>

#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
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

struct CandidateValidation::Batch {
    explicit Batch(const SeedLoopSetting& setting) : setting(setting) {}

    // Improves candidates [begin, end) in place and keeps their log NFAs. They depend only on
    // the level-line field, so the values do not depend on who computes them or when.
    void validate(std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            log_nfas[i] = improve_rect(candidates[i], setting.px, setting.width, setting.height,
                                       GRAD_THRESHOLD, setting.log_nt);
    }

    // Appends the segments of the candidates whose log NFA is not at most 0, in order.
    void append_accepted(std::vector<Segment>& segments) const {
        const double f = setting.factor;
        for (std::size_t i = 0; i < count; ++i) {
            if (log_nfas[i] <= 0.0) continue;  // a NaN value is not rejected
            const Rect& rect = candidates[i];
            segments.push_back(Segment{f * (rect.x1 + 0.5), f * (rect.y1 + 0.5), f * (rect.x2 + 0.5),
                                       f * (rect.y2 + 0.5), f * rect.width, rect.p, log_nfas[i]});
        }
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

}  // namespace

std::vector<Segment> walk_seeds(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                std::span<std::uint8_t> used, SeedLoopTimes* times) {
    const auto [px, width, height, log_nt, min_region_size, factor] = setting;
    CandidateValidation validation(setting);
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
            continue;  // the region would be the seed alone, below every minimum size
        }
        const RegionDirection grown =
            grow_region_direction(seed, px, used, ANGLE_TOLERANCE, region, width, height);
        if (region.size() < min_region_size) continue;
        double angle = grown.angle();
        if (times) ++times->regions_fitted;
        Rect rect = timed(times, &SeedLoopTimes::fit,
                          [&] { return region_to_rect(region, angle, ALIGNED_PROBABILITY); });
        if (!timed(times, &SeedLoopTimes::refine, [&] {
                return refine(region, angle, rect, used, px, angles, min_region_size, width, height);
            }))
            continue;
        timed(times, &SeedLoopTimes::validate, [&] { validation.add(rect); });
    }
    return timed(times, &SeedLoopTimes::validate, [&] { return validation.segments(); });
}

}  // namespace tarnwick::detector
