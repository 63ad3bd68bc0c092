// Region refinement: the density rule, the shrinking radius, and agreement with the plain version.
#include <algorithm>
#include <map>
#include <tuple>

#include "detector/refine.hpp"
#include "detector_reference.hpp"

namespace {

using namespace tarnwick::detector;
using reference::Region;
using reference::expect_same_rect;

Rect axis(double x1, double y1, double x2, double y2, double width) {
    return Rect{x1, y1, x2, y2, width, 1.0, 0.0, ANGLE_TOLERANCE, 0.125};
}

TEST(Refine, DensityExactlyAtThresholdIsAcceptedUnchanged) {
    std::vector<Px> px(20 * 5, Px{50.0f, 1.0f, 0.0f});
    std::vector<std::uint8_t> used(px.size(), 1);
    RegionPixels region = reference::region_pixels({42, 43, 44, 45, 46, 47, 48}, px, 20);
    LevelLineAngles angles(px);
    double angle = 123.0;  // written only by re-growing
    Rect rect = axis(0, 0, 10, 0, 1.0);  // 7 pixels in 10 x 1: D = 7 / 10 exactly
    EXPECT_TRUE(refine(region, angle, rect, used, px, angles, 5, 20, 5));
    EXPECT_TRUE(reference::indices(region) == Region({42, 43, 44, 45, 46, 47, 48}) && used == decltype(used)(100, 1) &&
                angle == 123.0);
    expect_same_rect(rect, axis(0, 0, 10, 0, 1.0));
}

TEST(Refine, ShrinkingKeepsAPixelExactlyAtTheRadius) {
    // A run x = 2 ... 10 on row 10 and an arm x = 10, y = 7 ... 13, all along +x; the seed (2,10) weighs
    // double, so the centre (7.25, 10) and the rectangle (2,10)-(10,10), width 6, are exact. The radius
    // starts at 8; the first pass keeps what lies within 6, (8,10) at exactly 6 included. Seven pixels are
    // left: enough for a minimum of 5, too few for 8, which keeps the rectangle from before the pass.
    const std::uint32_t n = 20;
    for (std::uint32_t min_size : {5u, 8u}) {
        std::vector<Px> px(n * n, Px{2.0f, 0.0f, 1.0f});
        for (std::uint32_t x = 2; x <= 10; ++x) px[10 * n + x] = Px{x == 2 ? 16.0f : 8.0f, 1.0f, 0.0f};
        for (std::uint32_t y : {7u, 8u, 9u, 11u, 12u, 13u}) px[y * n + 10] = Px{8.0f, 1.0f, 0.0f};
        std::vector<std::uint8_t> used(n * n);
        for (std::size_t i = 0; i < px.size(); ++i) used[i] = px[i].dir_x == 1.0f ? 0 : 1;
        Region grown;
        double angle = reference::grow_region(10 * n + 2, px, used, ANGLE_TOLERANCE, grown, n, n);
        Rect rect = reference::region_to_rect(grown, px, angle, 0.125, n);
        expect_same_rect(rect, axis(2, 10, 10, 10, 6.0));
        RegionPixels region = reference::region_pixels(grown, px, n);
        LevelLineAngles angles(px);
        EXPECT_EQ(refine(region, angle, rect, used, px, angles, min_size, n, n), min_size == 5);
        expect_same_rect(rect, min_size == 5 ? axis(2, 10, 8, 10, 1.0) : axis(2, 10, 10, 10, 6.0));
        EXPECT_EQ(region.size(), 7u);  // x = 2 ... 8 on row 10
    }
}

TEST(LevelLineAngles, EveryAnswerIsTheLibraryAtan2BeforeAndAfterTheTableIsMade) {
    std::mt19937 rng(13);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<Px> px(40 * 30);
    for (Px& p : px) p = Px{1.0f, float(u(rng)), float(u(rng))};
    px[7] = Px{0.0f, 0.0f, -0.0f};
    px[8] = Px{0.0f, NAN, 1.0f};
    std::vector<PixelIndex> order(px.size());
    for (PixelIndex i = 0; i < order.size(); ++i) order[i] = i;
    LevelLineAngles angles(px);
    for (int pass = 0; pass < 3; ++pass) {  // the table starts after a quarter of the pixels
        std::shuffle(order.begin(), order.end(), rng);
        for (PixelIndex i : order) {
            const double want = std::atan2(double(px[i].dir_y), double(px[i].dir_x)), got = angles.at(i);
            ASSERT_TRUE(reference::same_bits(got, want) || (std::isnan(got) && std::isnan(want))) << i;
        }
    }
}

// Curved and noisy direction fields run through the driver's seed loop: every refine call must leave
// exactly the state that the plain version leaves, and between them the fields reach every outcome.
TEST(Refine, MatchesPlainRefinementOnCurvedFields) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::map<reference::Outcome, int> outcomes;
    const std::uint32_t w = 48, h = 36;
    for (int field = 0; field < 12; ++field) {
        std::vector<Px> px(std::size_t(w) * h);
        std::vector<std::uint8_t> used(px.size());
        const double bend = 0.002 + 0.01 * u(rng), noise = 0.1 + 0.6 * u(rng) * (field % 3);
        for (std::uint32_t i = 0; i < px.size(); ++i) {
            const double dx = double(i % w) - 24.0, dy = double(i / w) - 18.0;
            const double angle = bend * (dx * dx - dy * dy) + 0.3 * std::sin(0.2 * (i / w)) + noise * (u(rng) - 0.5);
            px[i] = reference::unit(angle, float(40.0 * u(rng)));
            used[i] = px[i].norm <= GRAD_THRESHOLD ? 1 : 0;
        }
        const std::uint32_t min_size = field % 2 == 0 ? 10 : 5;
        Region region;
        LevelLineAngles angles(px);  // shared by the seeds of a field, as in the driver
        for (PixelIndex seed = 0; seed < px.size(); ++seed) {
            if (used[seed] != 0) continue;
            double angle = reference::grow_region(seed, px, used, ANGLE_TOLERANCE, region, w, h);
            if (region.size() < min_size) continue;
            Rect rect = reference::region_to_rect(region, px, angle, 0.125, w);
            auto [got_region, got_angle, got_rect, got_used] =
                std::tuple(reference::region_pixels(region, px, w), angle, rect, used);
            const bool kept = refine(got_region, got_angle, got_rect, got_used, px, angles, min_size, w, h);
            const auto outcome = reference::refine(region, angle, rect, used, px, min_size, w, h);
            ++outcomes[outcome];
            const bool accepted = outcome >= reference::Outcome::kDenseAtOnce;
            ASSERT_TRUE(kept == accepted && reference::indices(got_region) == region && got_used == used)
                << "field " << field << " seed " << seed;
            ASSERT_TRUE(reference::same_bits(got_angle, angle)) << got_angle << " vs " << angle;
            expect_same_rect(got_rect, rect);
        }
    }
    EXPECT_EQ(outcomes.size(), 5u) << "some way out of refine is never taken; the fields need adjusting";
}

}  // namespace
