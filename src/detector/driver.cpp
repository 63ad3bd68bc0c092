// The detection pipeline: working image, level lines, seeds, the seed loop, and the ordering.
#include "detector/driver.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "detector/downscale.hpp"
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

namespace {

// Maps a double to an integer whose order is the IEEE-754 total order.
std::int64_t total_order_key(double value) {
    std::int64_t bits = std::bit_cast<std::int64_t>(value);
    return bits < 0 ? bits ^ INT64_MAX : bits;
}

// The working image in doubles: 64-bit samples are used in place, the others converted once.
template <typename T>
std::span<const double> working_image(std::span<const T> samples, std::size_t width, std::size_t height,
                                      std::vector<double>& storage) {
    if constexpr (std::is_same_v<T, double>) {
        return samples;
    } else {
        storage.resize(samples.size());
        parallel::for_each_row(height, [&](std::size_t y) {
            for (std::size_t i = y * width; i < (y + 1) * width; ++i) {
                if constexpr (std::is_same_v<T, std::uint16_t>)
                    storage[i] = static_cast<double>(samples[i]) / 257.0;
                else
                    storage[i] = static_cast<double>(samples[i]);
            }
        });
        return storage;
    }
}

// Everything that stays fixed while the seeds are walked.
struct Field {
    std::vector<Px> px;
    std::uint32_t width;
    std::uint32_t height;
    double log_nt;
    std::uint32_t min_region_size;
    double factor;  // back to input-image units
};

std::vector<Segment> find_segments(const Field& field) {
    const std::vector<PixelIndex> seeds = seeds_by_norm(field.px, GRAD_THRESHOLD);
    std::vector<std::uint8_t> used(field.px.size());
    for (std::size_t i = 0; i < used.size(); ++i) used[i] = field.px[i].norm <= GRAD_THRESHOLD;
    return walk_seeds({field.px, field.width, field.height, field.log_nt, field.min_region_size,
                       field.factor},
                      seeds, used);
}

}  // namespace

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
    if (width < 3 || height < 3) return std::vector<Segment>{};
    check(width * height <= UINT32_MAX, "detect: pixel indices are 32-bit");
    const bool shrink = scale < 1.0;
    // Below 3x3 nothing can be found, and the kernel for such scales may not even be buildable.
    if (shrink && (downscaled_size(width, scale) < 3 || downscaled_size(height, scale) < 3))
        return std::vector<Segment>{};

    std::vector<double> converted;
    std::span<const double> image = working_image(samples, width, height, converted);
    Image reduced;
    if (shrink) {
        reduced = downscale(image, width, height, scale);
        converted = {};
        image = reduced.pixels;
        width = reduced.width;
        height = reduced.height;
    }

    Field field;
    field.px = level_line_field(image, width, height);
    reduced = {};
    converted = {};
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
