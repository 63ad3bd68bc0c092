// The seed loop: the ordered part on the calling thread, the validation on the worker pool.
#include "detector/seed_loop.hpp"

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

std::size_t validation_batch() { return parallel::pool_size() > 1 ? VALIDATION_BATCH : 1; }

void validate_candidates(const SeedLoopSetting& setting, std::span<Rect> candidates,
                         std::vector<double>& log_nfas) {
    const std::size_t first = log_nfas.size();
    log_nfas.resize(first + candidates.size());
    double* values = log_nfas.data() + first;
    parallel::for_each_row(candidates.size(), [&](std::size_t i) {
        values[i] = improve_rect(candidates[i], setting.px, setting.width, setting.height,
                                 GRAD_THRESHOLD, setting.log_nt);
    });
}

std::vector<Segment> accepted_segments(const SeedLoopSetting& setting, std::span<const Rect> candidates,
                                       std::span<const double> log_nfas) {
    check(candidates.size() == log_nfas.size(), "one log NFA per candidate");
    const double f = setting.factor;
    std::vector<Segment> segments;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (log_nfas[i] <= 0.0) continue;  // a NaN value is not rejected
        const Rect& rect = candidates[i];
        segments.push_back(Segment{f * (rect.x1 + 0.5), f * (rect.y1 + 0.5), f * (rect.x2 + 0.5),
                                   f * (rect.y2 + 0.5), f * rect.width, rect.p, log_nfas[i]});
    }
    return segments;
}

std::vector<Segment> walk_seeds(const SeedLoopSetting& setting, std::span<const PixelIndex> seeds,
                                std::span<std::uint8_t> used) {
    const auto [px, width, height, log_nt, min_region_size, factor] = setting;
    std::vector<Rect> candidates;
    std::vector<double> log_nfas;
    auto validate_pending = [&] {
        validate_candidates(setting, std::span(candidates).subspan(log_nfas.size()), log_nfas);
    };
    const std::size_t batch = validation_batch();
    RegionPixels region;
    LevelLineAngles angles(px);
    check(min_region_size > 1, "a one-pixel region is never fitted");
    for (PixelIndex seed : seeds) {
        if (used[seed] != 0) continue;
        if (enclosed_seed(seed, used, width, height)) {
            used[seed] = 1;
            continue;
        }
        double angle = grow_region(seed, px, used, ANGLE_TOLERANCE, region, width, height);
        if (region.size() < min_region_size) continue;
        Rect rect = region_to_rect(region, angle, ALIGNED_PROBABILITY);
        if (!refine(region, angle, rect, used, px, angles, min_region_size, width, height)) continue;
        candidates.push_back(rect);
        if (candidates.size() - log_nfas.size() == batch) validate_pending();
    }
    validate_pending();
    return accepted_segments(setting, candidates, log_nfas);
}

}  // namespace tarnwick::detector
