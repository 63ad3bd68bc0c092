// Gaussian down-scaling: kernel sizes, output sizes, sample positions, and a naive separable filter.
#include <algorithm>

#include "detector/downscale.hpp"
#include <cstring>
#include "detector/level_lines.hpp"
#include "detector/downscaled_rows.hpp"
#include "detector_reference.hpp"
#include "sample/saturate.hpp"

namespace {

using namespace tarnwick::detector;
using tarnwick::saturating_cast;

std::vector<double> plain_kernel(double scale) {
    const double sigma = 0.6 / scale;
    const std::uint32_t half = saturating_cast<std::uint32_t>(std::ceil(sigma * 3.7169221888498383));
    std::vector<double> taps(2 * std::size_t(half) + 1);
    double sum = 0.0;
    for (std::size_t i = 0; i < taps.size(); ++i) {
        const double t = (double(i) - double(half)) / sigma;
        taps[i] = std::exp((t * t) * -0.5);
        sum += taps[i];
    }
    for (double& tap : taps) tap /= sum;
    return taps;
}

struct PlainImage {
    std::vector<double> pixels;
    std::size_t width, height;
};

// The filter written the obvious way: clamp every index, add one tap at a time, sample afterwards.
PlainImage plain_downscale(const std::vector<double>& img, std::size_t w, std::size_t h, double scale) {
    const auto taps = plain_kernel(scale);
    const long half = long(taps.size() / 2);
    auto clamp = [](long v, std::size_t n) { return std::size_t(std::clamp(v, 0L, long(n) - 1)); };
    std::vector<double> rows(w * h, 0.0), both(w * h, 0.0);
    for (std::size_t i = 0; i < w * h; ++i)
        for (long t = 0; t < long(taps.size()); ++t)
            rows[i] += taps[t] * img[i - i % w + clamp(long(i % w) + t - half, w)];
    for (std::size_t i = 0; i < w * h; ++i)
        for (long t = 0; t < long(taps.size()); ++t)
            both[i] += taps[t] * rows[clamp(long(i / w) + t - half, h) * w + i % w];
    PlainImage out{{}, std::max<std::size_t>(saturating_cast<std::size_t>(std::floor(scale * double(w))), 2),
              std::max<std::size_t>(saturating_cast<std::size_t>(std::floor(scale * double(h))), 2)};
    for (std::size_t j = 0; j < out.height; ++j)
        for (std::size_t i = 0; i < out.width; ++i)
            out.pixels.push_back(both[std::min(saturating_cast<std::size_t>(double(j) / scale), h - 1) * w +
                                      std::min(saturating_cast<std::size_t>(double(i) / scale), w - 1)]);
    return out;
}

TEST(DownscaleTables, KernelSizeIsTheCeilingOfSigmaTimesReachAndColumnsTruncateTheQuotient) {
    // 0.6 / 0.5 = 1.2 gives half = ceil(4.46) = 5; 0.6 / 0.8 rounds just below 0.75, so ceil(2.79) = 3.
    const std::pair<double, std::size_t> sizes[] = {{0.5, 11}, {0.8, 7}, {0.3, 17}, {-0.5, 1}};
    for (auto [scale, size] : sizes) EXPECT_EQ(gaussian_kernel(scale).size(), size) << scale;
    for (double scale : {0.5, 0.8, 0.75, 0.3, 0.99, 0.12, -0.5}) EXPECT_EQ(gaussian_kernel(scale), plain_kernel(scale));
    EXPECT_EQ(sample_positions(9, 640, 0.8), (std::vector<std::uint32_t>{0, 1, 2, 3, 5, 6, 7, 8, 10}));
    EXPECT_EQ(sample_positions(7, 640, 0.75), (std::vector<std::uint32_t>{0, 1, 2, 4, 5, 6, 8}));
    EXPECT_EQ(sample_positions(2, 3, 0.3), (std::vector<std::uint32_t>{0, 2}));  // output raised to 2 columns
}

TEST(Downscale, MatchesNaiveSeparableFilter) {
    // == is exact for these finite, non-negative values. Cases include 37 x 23 at 0.8 (floor, not round), a
    // kernel wider than the image, outputs raised to 2, a negative scale, which copies the top-left pixel, and
    // outputs tall enough for several blocks of rows.
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> value(0.0, 255.0);
    const std::tuple<std::size_t, std::size_t, double> cases[] = {
        {13, 9, 0.5}, {37, 23, 0.8}, {4, 100, 0.5}, {100, 4, 0.5}, {3, 3, 0.3}, {20, 15, 0.75},
        {64, 48, 0.37}, {11, 40, 0.12}, {9, 9, 0.95}, {5, 4, -0.5}, {150, 131, 0.8}, {67, 263, 0.5}};
    for (auto [w, h, scale] : cases) {
        std::vector<double> img(w * h);
        for (double& v : img) v = value(rng);
        const Image got = downscale(img, w, h, scale);
        const PlainImage want = plain_downscale(img, w, h, scale);
        EXPECT_TRUE(got.width == want.width && got.height == want.height && std::ranges::equal(got.pixels, want.pixels))
            << w << "x" << h << " at " << scale;
    }
}

// Integer and single-precision samples are converted row by row inside the filter.
TEST(Downscale, TypedSamplesAreFilteredAsTheirWorkingValues) {
    std::mt19937 rng(5);
    for (auto [w, h, scale] : {std::tuple<std::size_t, std::size_t, double>{40, 70, 0.8}, {23, 9, 0.5}, {5, 5, 0.3}}) {
        std::vector<std::uint8_t> u8(w * h);
        std::vector<std::uint16_t> u16(w * h);
        std::vector<float> f32(w * h);
        std::vector<double> from_u8, from_u16, from_f32;
        for (std::size_t i = 0; i < w * h; ++i) {
            u8[i] = std::uint8_t(rng());
            u16[i] = std::uint16_t(rng());
            f32[i] = std::uniform_real_distribution<float>(-1e6f, 1e6f)(rng);
            from_u8.push_back(u8[i]);
            from_u16.push_back(u16[i] / 257.0);
            from_f32.push_back(f32[i]);
        }
        EXPECT_TRUE(std::ranges::equal(downscale<std::uint8_t>(u8, w, h, scale).pixels, plain_downscale(from_u8, w, h, scale).pixels));
        EXPECT_TRUE(std::ranges::equal(downscale<std::uint16_t>(u16, w, h, scale).pixels, plain_downscale(from_u16, w, h, scale).pixels));
        EXPECT_TRUE(std::ranges::equal(downscale<float>(f32, w, h, scale).pixels, plain_downscale(from_f32, w, h, scale).pixels));
    }
}

// The field read from down-scaled rows made on demand equals the field of the stored image,
// record for record, across the block boundaries of both.
TEST(Downscale, FieldOfOnDemandRowsMatchesFieldOfTheImage) {
    std::mt19937 rng(8);
    for (auto [w, h, scale] : {std::tuple<std::size_t, std::size_t, double>{150, 300, 0.8}, {37, 23, 0.5},
                              {9, 211, 0.37}, {64, 5, 0.75}}) {
        std::vector<std::uint8_t> u8(w * h);
        for (auto& v : u8) v = std::uint8_t(rng() % 4 == 0 ? rng() : 128);
        const DownscalePlan plan = plan_downscale(w, h, scale);
        float max_fused = -1.0f, max_stored = -2.0f;
        const auto fused = downscaled_level_line_field<std::uint8_t>(u8, w, h, plan, &max_fused);
        const Image image = downscale<std::uint8_t>(u8, w, h, scale);
        const auto stored = level_line_field<double>(image.pixels, image.width, image.height, &max_stored);
        ASSERT_EQ(fused.size(), stored.size());
        EXPECT_EQ(std::memcmp(fused.data(), stored.data(), fused.size() * sizeof(Px)), 0) << w << "x" << h;
        EXPECT_EQ(max_fused, max_stored);
    }
}

}  // namespace
