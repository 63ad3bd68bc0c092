// Tries settled by bounds on fields of one direction leave the segments and flags of the full path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "detector/driver.hpp"
#include "detector/level_lines.hpp"
#include "detector/region.hpp"
#include "detector/seed_loop.hpp"
#include "detector/uniform_field.hpp"
#include "detector_reference.hpp"

namespace {

using namespace tarnwick::detector;

// A plane of slope (gx, gy) rounded to float, as a float32 image holds it, with optional noise,
// a coarser rounding of the samples, and a band along the level lines where the slope is too
// small for any pixel to be free (so that the free pixels fall into two parts).
struct Ramp {
    std::size_t w, h;
    double gx, gy, noise = 0, step = 0;
    bool band = false;
};

std::vector<double> samples(const Ramp& r, std::mt19937& rng) {
    std::uniform_real_distribution<double> jitter(-r.noise, r.noise);
    const double slope = std::hypot(r.gx, r.gy), across = double(r.w + r.h) * 0.7;
    const double t0 = across * 0.4, t1 = t0 + 2.5;
    std::vector<double> img(r.w * r.h);
    for (std::size_t y = 0; y < r.h; ++y)
        for (std::size_t x = 0; x < r.w; ++x) {
            // Distance along the gradient, the band's stretch counting a tenth.
            const double t = (r.gx * double(x) + r.gy * double(y)) / slope;
            const double flat = r.band ? std::clamp(t, t0, t1) - t0 : 0.0;
            double v = slope * (t - 0.9 * flat) + (r.noise > 0 ? jitter(rng) : 0.0);
            if (r.step > 0) v = std::round(v / r.step) * r.step;
            img[y * r.w + x] = static_cast<float>(v);
        }
    return img;
}

struct Walked {
    std::vector<Segment> segments;
    std::vector<std::uint8_t> used;
    SeedLoopTimes times;
};

Walked walk(const std::vector<double>& img, const Ramp& r, UniformFields mode) {
    const auto px = level_line_field(std::span<const double>(img), r.w, r.h);
    const auto flags = used_flags(px.span(), GRAD_THRESHOLD);
    Walked walked{{}, std::vector<std::uint8_t>(flags.begin(), flags.end()), {}};
    const auto seeds = seeds_by_norm(px.span(), GRAD_THRESHOLD);
    const double log_nt = log_number_of_tests(r.w, r.h);
    const SeedLoopSetting setting{px.span(),  std::uint32_t(r.w),          std::uint32_t(r.h),
                                  log_nt,     min_region_size_for(log_nt), 1.0};
    walked.segments = walk_seeds(setting, seeds.span(), walked.used, &walked.times, mode);
    return walked;
}

TEST(UniformField, SettlesTriesExactlyAsTheFullPathEndsThem) {
    std::mt19937 rng(11);
    // Square images with level lines near a diagonal: the whole field is one region that fills its
    // rectangle poorly, and every seed tries it again (on most other ramps the first region
    // fills its rectangle, and one try ends the walk).
    std::uniform_real_distribution<double> angle(-0.05, 0.05), slope(6.0, 40.0);
    int settling = 0;
    for (int trial = 0; trial < 48; ++trial) {
        const double a = PI / 4 + PI / 2 * double(trial % 4) + angle(rng), s = slope(rng);
        const std::size_t side = 24 + rng() % 80;
        Ramp r{side, side, s * std::cos(a), s * std::sin(a)};
        if (trial % 4 == 1) r.noise = 1e-3;
        r.band = trial % 3 == 2;
        if (trial % 8 == 3) r.step = 1.0 / 64;
        if (trial == 0) r = Ramp{100, 100, 19.319858053410194, 20.201291756320746};  // the worst case we know
        const std::vector<double> img = samples(r, rng);
        const Walked want = walk(img, r, UniformFields::walked), got = walk(img, r, UniformFields::settled);
        reference::expect_same_segments(got.segments, want.segments, "settled walk");
        EXPECT_EQ(got.used, want.used) << "trial " << trial;
        EXPECT_EQ(want.times.tries_settled, 0u);
        // Most tries on such fields are settled: the bounds are not so loose that none is.
        if (got.times.tries_settled > 0) ++settling;
        if (trial == 0) {
            EXPECT_GT(got.times.tries_settled, 20u);
        }
    }
    EXPECT_GE(settling, 36);
}

TEST(GrowRegionBetween, GivesARegionOnlyWhenEveryToleranceBetweenGrowsIt) {
    // Directions spread over half a radian, tolerance intervals wide enough to split many growths.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> spread(-0.25, 0.25), low(0.02, 0.3), width(0.0, 0.05), share(0.0, 1.0);
    const std::uint32_t w = 9, h = 8;
    int grown = 0, split = 0;
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<Px> px(w * h);
        for (Px& p : px) {
            const double a = 0.7 + spread(rng);
            p = {10.0f, float(std::cos(a)), float(std::sin(a))};
        }
        const double tau_low = low(rng), tau_high = tau_low + (trial % 2 ? width(rng) : 0.0);
        const PixelIndex seed = rng() % (w * h);
        std::vector<std::uint8_t> used(w * h, 0);
        RegionPixels region;
        const auto between =
            grow_region_between(seed, px, used, std::cos(tau_high), std::cos(tau_low), region, w, h);
        if (!between) {
            ++split;
            EXPECT_EQ(std::count(used.begin(), used.end(), 0), std::ptrdiff_t(w * h)) << "flags left behind";
            continue;
        }
        ++grown;
        const std::vector<RegionPixel> want(region.begin(), region.end());
        for (double t : {tau_low, tau_high, tau_low + share(rng) * (tau_high - tau_low)}) {
            std::vector<std::uint8_t> flags(w * h, 0);
            RegionPixels again;
            const RegionDirection direction = grow_region_direction(seed, px, flags, t, again, w, h);
            ASSERT_EQ(again.size(), want.size()) << "trial " << trial << " tolerance " << t;
            for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(again[i].index, want[i].index);
            EXPECT_EQ(direction.sum_x, between->sum_x);
            EXPECT_EQ(direction.sum_y, between->sum_y);
            EXPECT_EQ(flags, used);
        }
    }
    // Both outcomes must occur for the test to mean anything.
    EXPECT_GT(grown, 100);
    EXPECT_GT(split, 20);
}

TEST(UniformField, LeavesFieldsOfManyDirectionsToTheFullPath) {
    // A paraboloid's level lines turn all the way round.
    const std::size_t w = 40, h = 30;
    std::vector<double> img(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) img[y * w + x] = std::pow(double(x) - 20, 2) + std::pow(double(y) - 15, 2);
    const auto px = level_line_field(std::span<const double>(img), w, h);
    const auto used = used_flags(px.span(), GRAD_THRESHOLD);
    EXPECT_EQ(UniformField::recognise(px.span(), used.span(), w, h, 13), nullptr);
}

}  // namespace
