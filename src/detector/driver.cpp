// The detection pipeline: down-scaling, level lines, seeds, the seed loop, and the ordering.
#include "detector/driver.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "detector/components.hpp"
#include "detector/downscale.hpp"
#include "detector/downscaled_rows.hpp"
#include "detector/level_lines.hpp"
#include "detector/seed_loop.hpp"
#include "parallel/pool.hpp"
#include "sample/check.hpp"
#include "sample/saturate.hpp"

namespace tarnwick::detector {

double log_number_of_tests(std::size_t width, std::size_t height) {
    return LOG10_11 + 2.5 * (std::log10(static_cast<double>(height)) +
                             std::log10(static_cast<double>(width)));
}

std::uint32_t min_region_size_for(double log_nt) {
    return saturating_cast<std::uint32_t>(std::ceil(log_nt / LOG10_8));
}

bool too_small_for_segments(std::size_t width, std::size_t height, double scale) {
    if (width < 3 || height < 3) return true;
    // Below 3x3 nothing can be found, and the kernel for such scales may not even be buildable.
    return scale < 1.0 && (downscaled_size(width, scale) < 3 || downscaled_size(height, scale) < 3);
}

namespace {

// Maps a double to an integer whose order is the IEEE-754 total order.
std::int64_t total_order_key(double value) {
    std::int64_t bits = std::bit_cast<std::int64_t>(value);
    return bits < 0 ? bits ^ INT64_MAX : bits;
}

// What the field stage hands to the seed order and the seed walk.
struct Field {
    Field() : strong(GRAD_THRESHOLD) { strong.weak_records_unread = true; }

    Buffer<Px> px;
    float max_norm;
    StrongPixels strong;  // the seed candidates and used flags, found with the field
    std::uint32_t width;
    std::uint32_t height;
    double log_nt;
    std::uint32_t min_region_size;
    double factor;  // back to input-image units
};

std::vector<Segment> find_segments(Field& field) {
    const std::size_t bundles = walk_bundles(field.strong, field.width);
    Buffer<std::uint8_t> seed_bundles;
    const Buffer<PixelIndex> seeds = seeds_by_norm(field.strong, field.max_norm, &seed_bundles);
    const SeedLoopSetting setting{field.px.span(), field.width,           field.height,
                                  field.log_nt,    field.min_region_size, field.factor};
    if (bundles > 1 && seed_bundles.size() == seeds.size())
        return walk_seed_bundles(setting, seeds.span(), seed_bundles.span(), bundles, field.strong.used.span());
    return walk_seeds(setting, seeds.span(), field.strong.used.span());
}

// Below this many seed candidates the walk is too short to pay for splitting it.
constexpr std::size_t BUNDLES_WORTH_IT = std::size_t{1} << 13;

}  // namespace

std::size_t walk_bundles(StrongPixels& strong, std::uint32_t width) {
    if (!parallel::helpers_to_spare()) return 0;
    std::size_t candidates = 0;
    for (const auto& pixels : strong.pixels) candidates += pixels.size();
    if (candidates < BUNDLES_WORTH_IT) return 0;
    // A couple per thread, so that a helper that finishes early takes another.
    return bundle_components(strong, width, 2 * parallel::pool_size());
}

void sort_longest_first(std::vector<Segment>& segments) {
    std::vector<std::pair<std::int64_t, std::size_t>> keys(segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        keys[i] = {total_order_key(std::hypot(s.x2 - s.x1, s.y2 - s.y1)), i};
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return b.first < a.first; });
    std::vector<Segment> sorted;
    sorted.reserve(segments.size());
    for (const auto& key : keys) sorted.push_back(segments[key.second]);
    segments = std::move(sorted);
}

template <typename T>
OrSizeMismatch<std::vector<Segment>> detect(std::span<const T> samples, std::size_t width,
                                            std::size_t height, double scale) {
    if (samples.size() != width * height) return SizeMismatch{width * height, samples.size()};
    if (too_small_for_segments(width, height, scale)) return std::vector<Segment>{};
    const parallel::BusyCaller busy;
    check(width * height <= UINT32_MAX, "detect: pixel indices are 32-bit");
    const bool shrink = scale < 1.0;

    // The samples become working values inside the first stage that reads them, row by row, so
    // no full-size working image is ever built.
    Field field;
    if (shrink) {
        // The down-scaled rows are made as the field reads them: no down-scaled image is stored.
        const DownscalePlan plan = plan_downscale(width, height, scale);
        field.px = downscaled_level_line_field<T>(samples, width, height, plan, &field.max_norm,
                                                  &field.strong);
        width = plan.width;
        height = plan.height;
    } else {
        field.px = level_line_field<T>(samples, width, height, &field.max_norm, &field.strong);
    }
    field.width = static_cast<std::uint32_t>(width);
    field.height = static_cast<std::uint32_t>(height);
    field.log_nt = log_number_of_tests(width, height);
    field.min_region_size = min_region_size_for(field.log_nt);
    field.factor = shrink ? 1.0 / scale : 1.0;

    std::vector<Segment> segments = find_segments(field);
    sort_longest_first(segments);
    return segments;
}

template OrSizeMismatch<std::vector<Segment>> detect<double>(std::span<const double>, std::size_t,
                                                             std::size_t, double);
template OrSizeMismatch<std::vector<Segment>> detect<float>(std::span<const float>, std::size_t,
                                                            std::size_t, double);
template OrSizeMismatch<std::vector<Segment>> detect<std::uint8_t>(std::span<const std::uint8_t>,
                                                                   std::size_t, std::size_t, double);
template OrSizeMismatch<std::vector<Segment>> detect<std::uint16_t>(std::span<const std::uint16_t>,
                                                                    std::size_t, std::size_t, double);

}  // namespace tarnwick::detector
