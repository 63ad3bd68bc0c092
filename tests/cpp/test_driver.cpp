// The detector end to end: stage wiring, input checks, sample types, scales, ordering, synthetic edges.
#include <variant>

#include "detector/downscale.hpp"
#include "detector/driver.hpp"
#include "detector/level_lines.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "detector/seed_loop.hpp"
#include "detector_reference.hpp"
#include "sample/size_mismatch.hpp"

namespace {

using namespace tarnwick::detector;
using reference::kInf, reference::kNaN, tarnwick::SizeMismatch;
using Segments = std::vector<Segment>;

template <typename T>
auto run(const std::vector<T>& img, std::size_t w, std::size_t h, double s) {
    return detect<T>(std::span<const T>(img), w, h, s);
}
template <typename T>
Segments segments_of(const std::vector<T>& img, std::size_t w, std::size_t h, double s) {
    return std::get<Segments>(run(img, w, h, s));  // a SizeMismatch throws, which fails the test
}

// A dark-to-bright step along the line through (4, 50) and (76, 10), anti-aliased by 8 x 8
// supersampling of each pixel (pixel centres at integer coordinates). Signed distance from the line:
double edge_distance(double x, double y) { return ((x - 4.0) * 40.0 + (y - 50.0) * 72.0) / std::hypot(40.0, 72.0); }

std::vector<double> edge_image() {  // 80 x 60
    std::vector<double> img(80 * 60);
    for (std::size_t i = 0; i < img.size(); ++i) {
        int hits = 0;
        for (int s = 0; s < 64; ++s)
            hits += edge_distance(double(i % 80) - 0.4375 + s % 8 / 8.0, double(i / 80) - 0.4375 + s / 8 / 8.0) > 0;
        img[i] = std::round(40.0 + 160.0 * hits / 64.0);
    }
    return img;
}

// Smooth waves plus noise: many short regions, most of them rejected on the way.
std::vector<double> texture_image(std::size_t w, std::size_t h) {
    std::vector<double> img(w * h);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < img.size(); ++i, noise = noise * 1664525u + 1013904223u)
        img[i] = 120.0 + 60.0 * std::sin(0.21 * double(i % w) + 0.005 * double(i / w) * double(i / w)) +
                 40.0 * std::cos(0.13 * double(i / w) - 0.07 * double(i % w)) + (noise >> 24) / 16.0;
    return img;
}

// The seed loop spelled out stage by stage, with the driver's constants written out independently.
Segments staged_detect(const std::vector<double>& input, std::size_t width, std::size_t height, double scale) {
    const Image img = scale < 1.0 ? downscale(input, width, height, scale) : Image{{}, width, height};
    const double f = scale < 1.0 ? 1.0 / scale : 1.0;
    const std::uint32_t w = std::uint32_t(img.width), h = std::uint32_t(img.height);
    const auto px = level_line_field(scale < 1.0 ? img.pixels.span() : std::span<const double>(input), w, h);
    const double log_nt = 1.041392685158225 + 2.5 * (std::log10(double(h)) + std::log10(double(w)));
    const auto min_size = std::uint32_t(std::ceil(log_nt / 0.9030899869919435));
    std::vector<std::uint8_t> used(px.size());
    for (std::size_t i = 0; i < px.size(); ++i) used[i] = px[i].norm <= 5.22625207901001f ? 1 : 0;
    Segments out;
    RegionPixels region;
    LevelLineAngles angles(px);
    for (PixelIndex seed : seeds_by_norm(px, 5.22625207901001f)) {
        if (used[seed] != 0) continue;
        double angle = grow_region(seed, px, used, PI / 8, region, w, h);
        if (region.size() < min_size) continue;
        Rect r = region_to_rect(region, angle, 0.125);
        if (!refine(region, angle, r, used, px, angles, min_size, w, h)) continue;
        const double log_nfa = improve_rect(r, px, w, h, 5.22625207901001f, log_nt);
        if (log_nfa <= 0.0) continue;
        out.push_back(Segment{f * (r.x1 + 0.5), f * (r.y1 + 0.5), f * (r.x2 + 0.5), f * (r.y2 + 0.5), f * r.width,
                              r.p, log_nfa});
    }
    sort_longest_first(out);
    return out;
}

TEST(Detect, StagesAreCalledInOrderWithTheDriversConstants) {
    // The texture's seeds meet every way out of the loop: taken, too small, refined away, not meaningful.
    const auto texture = texture_image(90, 70);
    for (double scale : {1.0, 0.8, 0.5, 2.0, kInf, kNaN}) {  // from 1 up and NaN: full size
        const auto want = staged_detect(texture, 90, 70, scale);
        ASSERT_GT(want.size(), 10u) << scale;
        reference::expect_same_segments(segments_of(texture, 90, 70, scale), want, "texture");
    }
    // Enough candidates for several validation batches, which helpers take while seeds are walked.
    const auto large = texture_image(320, 240);
    const auto want = staged_detect(large, 320, 240, 1.0);
    ASSERT_GT(want.size(), 3 * CandidateValidation::BATCH);
    reference::expect_same_segments(segments_of(large, 320, 240, 1.0), want, "large texture");
}

TEST(Detect, BufferOfTheWrongLengthIsASizeMismatch) {
    auto text = [](const auto& result) { return tarnwick::to_string(std::get<SizeMismatch>(result)); };
    EXPECT_EQ(text(run(std::vector<double>(9), 4, 3, 0.8)), "SizeMismatch { expected: 12, got: 9 }");
    EXPECT_EQ(text(run(std::vector<std::uint16_t>(99), 10, 10, 1.0)), "SizeMismatch { expected: 100, got: 99 }");
    // The check comes before the one for images too small to process.
    EXPECT_EQ(text(run(std::vector<float>(9), 2, 2, 1.0)), "SizeMismatch { expected: 4, got: 9 }");
}

TEST(Detect, TooSmallFlatOrScaledAwayImagesGiveNothing) {
    // Each of these steps would give a segment if the stages ran on it anyway.
    std::vector<double> tall(2 * 100), wide(100 * 2), narrow(5 * 100);
    for (std::size_t i = 0; i < 200; ++i) tall[i] = double(i % 2) * 255.0;    // dark left column
    for (std::size_t i = 0; i < 200; ++i) wide[i] = double(i / 100) * 255.0;  // dark top row
    for (std::size_t i = 0; i < narrow.size(); ++i) narrow[i] = i % 5 < 2 ? 0.0 : 255.0;
    EXPECT_TRUE(segments_of(tall, 2, 100, 1.0).empty());
    EXPECT_TRUE(segments_of(wide, 100, 2, 1.0).empty());
    EXPECT_TRUE(segments_of(narrow, 5, 100, 0.5).empty());  // 2 x 50 once reduced
    const auto edge = edge_image();
    for (double scale : {0.0, -0.0, -1.0, 1e-9, 1e-300, -kInf, 0.03})
        EXPECT_TRUE(segments_of(edge, 80, 60, scale).empty()) << scale;
}

TEST(Detect, SampleTypesWithTheSameValuesAgree) {
    const auto edge = edge_image();
    const auto want = segments_of(edge, 80, 60, 0.8);
    std::vector<std::uint16_t> u16(edge.begin(), edge.end());
    for (auto& v : u16) v = std::uint16_t(257 * v);  // 257 times an 8-bit value is the same sample
    reference::expect_same_segments(segments_of(std::vector<float>(edge.begin(), edge.end()), 80, 60, 0.8), want, "float32");
    reference::expect_same_segments(segments_of(std::vector<std::uint8_t>(edge.begin(), edge.end()), 80, 60, 0.8), want, "uint8");
    reference::expect_same_segments(segments_of(u16, 80, 60, 0.8), want, "uint16");
}

TEST(Detect, StraightEdgeIsFoundWithinAPixelAlsoBesideHugeInfiniteAndNaNSamples) {
    auto clean = edge_image(), spoiled = clean;
    for (std::size_t i = 0; i < spoiled.size(); ++i)  // a corner of extreme samples, far from the edge
        if (i / 80 < 10 && i % 80 < 20) spoiled[i] = std::array{1e300, 1e39 * double(i), kInf, -kInf, kNaN}[i % 5];
    for (const auto* img : {&clean, &spoiled})
        for (double scale : {1.0, 0.8, 0.5}) {
            const auto found = segments_of(*img, 80, 60, scale);
            reference::expect_same_segments(found, staged_detect(*img, 80, 60, scale), "edge");
            ASSERT_FALSE(found.empty()) << scale;
            const Segment& s = found.front();
            EXPECT_LT(std::fabs(edge_distance(s.x1, s.y1)), 1.0) << scale;
            EXPECT_LT(std::fabs(edge_distance(s.x2, s.y2)), 1.0) << scale;
            EXPECT_GT(std::hypot(s.x2 - s.x1, s.y2 - s.y1), 60.0) << scale;  // of about 90 pixels of edge
        }
}

TEST(NumberOfTests, LogAndMinimumRegionSizeRoundUp) {
    EXPECT_EQ(min_region_size_for(log_number_of_tests(640, 480)), 17u);
    EXPECT_EQ(min_region_size_for(log_number_of_tests(3, 3)), 4u);
    EXPECT_EQ(min_region_size_for(log_number_of_tests(100, 100)), 13u);
}

TEST(SortLongestFirst, StableDescendingInTotalOrder) {
    // Lengths 5, 10, 5, 10, 0, inf, 10 (exact: 3-4-5 and 6-8-10 triangles); the width tags the input order.
    Segments s;
    const double ends[][2] = {{3, 4}, {6, 8}, {4, 3}, {0, -10}, {0, 0}, {kInf, 1}, {-8, 6}};
    for (int i = 0; i < 7; ++i) s.push_back(Segment{0, 0, ends[i][0], ends[i][1], double(i), 0.125, 1.0});
    sort_longest_first(s);
    const double order[] = {5, 1, 3, 6, 0, 2, 4};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(s[i].width, order[i]) << i;
}

}  // namespace
