// Gradient of each 2x2 block as a unit level-line vector, and the coarse seed order by norm.
#include "detector/level_lines.hpp"

#include <algorithm>
#include <cmath>

#include "parallel/pool.hpp"
#include "sample/saturate.hpp"

namespace tarnwick::detector {
namespace {

// Row y of the field from image rows y and y + 1; the row's last record stays zero.
void level_line_row(const double* top, const double* bottom, std::size_t width, Px* out) {
    for (std::size_t x = 0; x + 1 < width; ++x) {
        double a = top[x], b = top[x + 1], c = bottom[x], d = bottom[x + 1];
        double gx = (((b + d) - a) - c) * 0.5;
        double gy = (((c + d) - a) - b) * 0.5;
        double norm = std::hypot(gx, gy);
        if (norm > 0.0)
            out[x] = Px{static_cast<float>(norm), static_cast<float>(-gy / norm),
                        static_cast<float>(gx / norm)};
    }
}

}  // namespace

std::vector<Px> level_line_field(std::span<const double> image, std::size_t width,
                                 std::size_t height) {
    std::vector<Px> field(width * height, Px{0.0f, 0.0f, 0.0f});
    if (height < 2) return field;
    parallel::for_each_row(height - 1, [&](std::size_t y) {
        level_line_row(image.data() + y * width, image.data() + (y + 1) * width, width,
                       field.data() + y * width);
    });
    return field;
}

std::vector<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold) {
    if (px.empty()) return {};
    float max_norm = 0.0f;
    for (const Px& p : px)
        if (p.norm > max_norm) max_norm = p.norm;  // a NaN never wins the comparison
    if (!(max_norm > 0.0f)) return {};

    // Counting sort into the bins: one pass to count, one to place, ascending index within a bin.
    // Pixels that are not seeds form one more class, placed after every seed and cut off at the
    // end, so that neither pass needs an unpredictable branch per pixel.
    constexpr std::uint16_t NOT_A_SEED = NORM_BINS;
    std::vector<std::uint16_t> classes(px.size());
    std::vector<std::size_t> class_start(NORM_BINS + 2, 0);
    for (std::size_t i = 0; i < px.size(); ++i) {
        const float norm = px[i].norm;
        const float scaled = (norm / max_norm) * 1023.0f;
        const auto bin = std::min<std::uint32_t>(saturating_cast<std::uint32_t>(scaled), NORM_BINS - 1);
        // Strongest bin first: class 0 is bin 1023.
        const auto cls = static_cast<std::uint16_t>(norm > threshold ? NORM_BINS - 1 - bin : NOT_A_SEED);
        classes[i] = cls;
        ++class_start[cls + 1];
    }
    for (std::size_t c = 1; c < class_start.size(); ++c) class_start[c] += class_start[c - 1];
    const std::size_t seed_count = class_start[NOT_A_SEED];
    std::vector<PixelIndex> seeds(px.size());
    for (std::size_t i = 0; i < px.size(); ++i)
        seeds[class_start[classes[i]]++] = static_cast<PixelIndex>(i);
    seeds.resize(seed_count);
    return seeds;
}

}  // namespace tarnwick::detector
