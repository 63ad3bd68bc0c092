// Times each stage of the line-segment detector on one 8-bit grayscale image, and the whole
// detector for comparison. Prints median times; asserts nothing about them.
//
//     detect_stages IMAGE.raw WIDTH HEIGHT [SCALE=0.8] [REPEAT=5]
//
// IMAGE.raw holds WIDTH * HEIGHT bytes, row-major (bench/detect.py --stages writes it).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "detector/downscale.hpp"
#include "detector/downscaled_rows.hpp"
#include "detector/driver.hpp"
#include "detector/level_lines.hpp"
#include "detector/seed_loop.hpp"
#include "detector/types.hpp"
#include "parallel/pool.hpp"

namespace {

using namespace tarnwick::detector;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Per-stage times of one run, in seconds.
struct StageTimes {
    double level_lines = 0, components = 0, seeds = 0;
    std::size_t bundles = 0;
    double grow = 0, fit = 0, refine = 0, improve = 0, seed_loop = 0, sort = 0, total = 0;
    double whole_detector = 0;
    std::size_t segments = 0, detector_segments = 0, regions_fitted = 0;
    bool same_as_detector = false;
};

// Times the detector as one call and checks that the stages above reproduce its result exactly.
void compare_with_detector(const std::vector<Segment>& segments,
                           std::span<const std::uint8_t> samples, std::size_t width,
                           std::size_t height, double scale, StageTimes& t) {
    auto start = Clock::now();
    auto whole = detect<std::uint8_t>(samples, width, height, scale);
    t.whole_detector = seconds_since(start);
    if (const auto* found = std::get_if<std::vector<Segment>>(&whole)) {
        t.detector_segments = found->size();
        t.same_as_detector =
            found->size() == segments.size() &&
            std::memcmp(found->data(), segments.data(), segments.size() * sizeof(Segment)) == 0;
    }
}

StageTimes run_once(std::span<const std::uint8_t> samples, std::size_t width, std::size_t height,
                    double scale) {
    StageTimes t;
    const auto run_start = Clock::now();

    // As in the driver, the samples become doubles inside the first stage that reads them, and
    // down-scaled rows are made as the field reads them (the field's time includes them).
    std::size_t work_width = width, work_height = height;
    auto start = Clock::now();
    float max_norm = 0.0f;
    tarnwick::Buffer<Px> px;
    // As in the driver, the field lists the seed candidates and writes the used flags.
    StrongPixels strong(GRAD_THRESHOLD);
    strong.weak_records_unread = true;
    if (scale < 1.0) {
        const DownscalePlan plan = plan_downscale(width, height, scale);
        work_width = plan.width;
        work_height = plan.height;
        if (work_width >= 3 && work_height >= 3)
            px = downscaled_level_line_field<std::uint8_t>(samples, width, height, plan, &max_norm, &strong);
    } else {
        px = level_line_field<std::uint8_t>(samples, width, height, &max_norm, &strong);
    }
    if (work_width < 3 || work_height < 3) {  // too small for any segment
        compare_with_detector({}, samples, width, height, scale, t);
        return t;
    }
    t.level_lines = seconds_since(start);

    // As in the driver, with helpers to spare the walk goes by bundles of components.
    start = Clock::now();
    t.bundles = walk_bundles(strong, static_cast<std::uint32_t>(work_width));
    t.components = seconds_since(start);

    start = Clock::now();
    tarnwick::Buffer<std::uint8_t> seed_bundles;
    auto seeds = seeds_by_norm(strong, max_norm, &seed_bundles);
    t.seeds = seconds_since(start);
    const std::span<std::uint8_t> used = strong.used.span();

    start = Clock::now();
    const double factor = scale < 1.0 ? 1.0 / scale : 1.0;
    const auto w = static_cast<std::uint32_t>(work_width), h = static_cast<std::uint32_t>(work_height);
    const double log_nt = log_number_of_tests(w, h);
    const SeedLoopSetting setting{px, w, h, log_nt, min_region_size_for(log_nt), factor};
    SeedLoopTimes loop;
    std::vector<Segment> segments =
        t.bundles > 1 ? walk_seed_bundles(setting, seeds.span(), seed_bundles.span(), t.bundles, used)
                      : walk_seeds(setting, seeds, used, &loop);
    t.fit = loop.fit;
    t.refine = loop.refine;
    t.improve = loop.validate;
    t.regions_fitted = loop.regions_fitted;
    t.seed_loop = seconds_since(start);
    t.grow = t.seed_loop - t.fit - t.refine - t.improve;

    start = Clock::now();
    sort_longest_first(segments);
    t.sort = seconds_since(start);
    t.total = seconds_since(run_start);
    t.segments = segments.size();

    compare_with_detector(segments, samples, width, height, scale, t);
    return t;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : 0.5 * (values[mid - 1] + values[mid]);
}

void print_stage(const char* name, const std::vector<StageTimes>& runs, double StageTimes::*field,
                 double total) {
    std::vector<double> values;
    for (const StageTimes& run : runs) values.push_back(run.*field);
    double value = median(values);
    std::printf("  %-40s %10.2f ms %6.1f %%\n", name, value * 1e3, 100.0 * value / total);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s IMAGE.raw WIDTH HEIGHT [SCALE=0.8] [REPEAT=5]\n", argv[0]);
        return 2;
    }
    const std::size_t width = std::strtoull(argv[2], nullptr, 10);
    const std::size_t height = std::strtoull(argv[3], nullptr, 10);
    const double scale = argc > 4 ? std::strtod(argv[4], nullptr) : 0.8;
    const int repeat = std::max(1, argc > 5 ? std::atoi(argv[5]) : 5);

    std::ifstream file(argv[1], std::ios::binary);
    std::vector<std::uint8_t> samples{std::istreambuf_iterator<char>(file), {}};
    if (!file.is_open() || samples.size() != width * height) {
        std::fprintf(stderr, "%s: expected %zu bytes, read %zu\n", argv[1], width * height,
                     samples.size());
        return 2;
    }

    std::printf("  %zu x %zu, scale %g, %zu threads, median of %d\n", width, height, scale,
                tarnwick::parallel::pool_size(), repeat);
    std::vector<StageTimes> runs;
    for (int i = 0; i < repeat; ++i) runs.push_back(run_once(samples, width, height, scale));

    std::vector<double> totals;
    for (const StageTimes& run : runs) totals.push_back(run.total);
    const double total = median(totals);
    static constexpr struct {
        const char* name;
        double StageTimes::*field;
        bool part_of_walk;  // timed only when the caller walks every seed itself
    } stages[] = {
        {"level_line_field, used flags, candidates", &StageTimes::level_lines, false},
        {"components of the candidates", &StageTimes::components, false},
        {"seeds_by_norm (ordering)", &StageTimes::seeds, false},
        {"seed loop", &StageTimes::seed_loop, false},
        {"  grow_region and the rest of the walk", &StageTimes::grow, true},
        {"  region_to_rect", &StageTimes::fit, true},
        {"  refine", &StageTimes::refine, true},
        {"  validation (caller)", &StageTimes::improve, true},
        {"sort_longest_first", &StageTimes::sort, false},
        {"sum of the stages", &StageTimes::total, false},
        {"detect() as one call", &StageTimes::whole_detector, false},
    };
    const bool bundled = runs.back().bundles > 1;
    for (const auto& stage : stages)
        if (!(bundled && stage.part_of_walk)) print_stage(stage.name, runs, stage.field, total);

    const StageTimes& last = runs.back();
    if (last.bundles > 1)
        std::printf("  %zu segments; seeds walked in %zu bundles at once, whose parts are not timed\n",
                    last.segments, last.bundles);
    else
        std::printf("  %zu segments from %zu fitted regions\n", last.segments, last.regions_fitted);
    // The replicated loop is only worth timing if it does what the driver does.
    if (!last.same_as_detector) {
        std::fprintf(stderr, "  the stage loop's %zu segments differ from detect()'s %zu\n",
                     last.segments, last.detector_segments);
        return 1;
    }
    return 0;
}
