// Region growing and rectangle fitting, seed by seed, against the plain versions on random fields.
#include "detector/close_call.hpp"
#include "detector/region.hpp"
#include "detector_reference.hpp"

#include <cstring>

namespace {

using namespace tarnwick::detector;
using reference::Region;

// Random, smooth, curved (with a few NaN directions) and exactly tied directions: between them they
// reach every branch of the acceptance test, including ties and early joiners that move the mean.
std::vector<Px> random_field(std::mt19937& rng, std::uint32_t w, std::uint32_t h, int kind) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Px> px(std::size_t(w) * h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const double angle = kind == 0   ? u(rng) * 2 * PI - PI
                                 : kind == 1 ? 0.6 + 0.04 * x - 0.03 * y + 0.2 * (u(rng) - 0.5)
                                 : kind == 2 ? 0.01 * double(x) * x - 0.02 * y + 0.05 * u(rng)
                                             : (u(rng) < 0.5 ? 0.0 : PI / 2);
            px[y * w + x] = reference::unit(angle, float(6.0 + 40.0 * u(rng)));
            if (kind == 2 && u(rng) < 0.01) px[y * w + x].dir_x = NAN;
        }
    return px;
}

TEST(GrowRegion, MatchesPlainGrowthAndFitForEverySeedOfRandomFields) {
    std::mt19937 rng(2024);
    const std::uint32_t sizes[][2] = {{17, 13}, {1, 9}, {9, 1}, {3, 3}, {40, 6}, {30, 20}};
    std::size_t multi_pixel = 0;
    for (double tolerance : {0.0, ANGLE_TOLERANCE, 0.8})
        for (auto [w, h] : sizes)
            for (int kind = 0; kind < 4; ++kind) {
                const auto px = random_field(rng, w, h, kind);
                std::vector<std::uint8_t> used(px.size());  // any non-zero flag means taken
                for (auto& flag : used) flag = rng() % 5 == 0 ? std::uint8_t(1 + rng() % 2) : 0;
                auto used_ref = used;
                RegionPixels region{{99, 0, 0, 0.0f}}, region_ref_pixels;  // stale contents must go
                Region region_ref;
                for (PixelIndex seed = 0; seed < px.size(); ++seed) {
                    if (used_ref[seed] != 0) continue;
                    const RegionDirection grown = grow_region_direction(seed, px, used, tolerance, region, w, h);
                    const double angle = grown.angle();
                    const double want = reference::grow_region(seed, px, used_ref, tolerance, region_ref, w, h);
                    ASSERT_EQ(reference::indices(region), region_ref)
                        << "seed " << seed << " kind " << kind << " tolerance " << tolerance;
                    region_ref_pixels = reference::region_pixels(region_ref, px, w);  // coordinates and norms too
                    ASSERT_EQ(0, std::memcmp(region.data(), region_ref_pixels.data(), region.size() * sizeof(RegionPixel)));
                    ASSERT_EQ(used, used_ref) << "seed " << seed;
                    ASSERT_TRUE(reference::same_bits(angle, want) || (std::isnan(angle) && std::isnan(want)))
                        << angle << " vs " << want;
                    // The fit from the sums kept while growing, as from the region alone.
                    const Rect want_rect = reference::region_to_rect(region_ref, px, angle, 0.125, w);
                    reference::expect_same_rect(region_to_rect(region, angle, 0.125), want_rect);
                    reference::expect_same_rect(region_to_rect(region, grown.weights, angle, 0.125), want_rect);
                    multi_pixel += region.size() > 3;
                }
            }
    EXPECT_GT(multi_pixel, 100u) << "the fields should grow regions of several pixels";
}

// Growing and shrinking compare hypot(a, b) with a threshold through squares; wherever the squares
// claim a side, hypot must be on that side. A threshold within an ulp of hypot(a, b) is a close call
// left to hypot; integer points whose squared distances differ are always told apart.
TEST(SquaredThreshold, ClaimsASideOnlyWhereHypotIsOnItAndLeavesCloseCallsOpen) {
    std::mt19937 rng(8);
    std::uniform_int_distribution<int> coordinate(-3000, 3000);
    for (int i = 0; i < 200000; ++i) {
        const double a = coordinate(rng), b = coordinate(rng), c = coordinate(rng), d = coordinate(rng);
        const double distance = std::hypot(a, b), other = std::hypot(c, d);
        for (double t : {distance, std::nextafter(distance, 0.0), std::nextafter(distance, 1e9)})
            ASSERT_EQ(SquaredThreshold(t * t).side_of(a * a + b * b), 0) << a << ", " << b << " against " << t;
        if (a * a + b * b == c * c + d * d) continue;
        for (double t : {other, std::nextafter(other, 0.0), std::nextafter(other, 1e9)}) {
            const int side = SquaredThreshold(t * t).side_of(a * a + b * b);
            ASSERT_TRUE(side > 0 ? distance > t : side < 0 && distance < t) << a << ", " << b << " against " << t;
        }
    }
    for (double t : {0.0, 1e-300, 1e300, std::numeric_limits<double>::infinity(), reference::kNaN})
        EXPECT_EQ(SquaredThreshold(t * t).side_of(2.0), 0) << t;  // outside the safe range: no claim
}

}  // namespace
