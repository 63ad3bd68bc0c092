// Bundles of components: each component whole in one bundle, and walking the bundles at once
// finds exactly the segments of the walk in seed order.
#include <deque>
#include <random>

#include "detector/components.hpp"
#include "detector/driver.hpp"
#include "detector/level_lines.hpp"
#include "detector/seed_loop.hpp"
#include "detector/types.hpp"
#include "detector_reference.hpp"

namespace {

using namespace tarnwick::detector;

// The listing of a mask as the field makes it: blocks of block_rows whole rows, ascending.
StrongPixels listing_of(const std::vector<std::uint8_t>& mask, std::size_t w, std::size_t block_rows) {
    StrongPixels strong(1.0f);
    const std::size_t h = mask.size() / w;
    for (std::size_t y = 0; y < h; ++y) {
        if (y % block_rows == 0) strong.pixels.emplace_back();
        for (std::size_t x = 0; x < w; ++x)
            if (mask[y * w + x]) strong.pixels.back().push_back(static_cast<PixelIndex>(y * w + x));
    }
    strong.norms.resize(strong.pixels.size());
    return strong;
}

// 8-connected components by breadth-first search: a label per pixel, SIZE_MAX off the mask.
std::vector<std::size_t> flood_labels(const std::vector<std::uint8_t>& mask, std::size_t w) {
    const std::size_t h = mask.size() / w;
    std::vector<std::size_t> label(mask.size(), SIZE_MAX);
    std::size_t next = 0;
    for (std::size_t start = 0; start < mask.size(); ++start) {
        if (!mask[start] || label[start] != SIZE_MAX) continue;
        std::deque<std::size_t> queue{start};
        label[start] = next;
        while (!queue.empty()) {
            const std::size_t p = queue.front();
            queue.pop_front();
            const std::size_t x = p % w, y = p / w;
            for (std::size_t ny = y ? y - 1 : 0; ny <= std::min(y + 1, h - 1); ++ny)
                for (std::size_t nx = x ? x - 1 : 0; nx <= std::min(x + 1, w - 1); ++nx)
                    if (const std::size_t q = ny * w + nx; mask[q] && label[q] == SIZE_MAX) {
                        label[q] = next;
                        queue.push_back(q);
                    }
        }
        ++next;
    }
    return label;
}

TEST(BundleComponents, EachComponentLiesInOneBundleAndNoBundleHoldsMost) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t w = 1 + rng() % 70, h = 1 + rng() % 50, block_rows = 1 + rng() % 17;
        const std::size_t bundles = 2 + rng() % 6;
        // Sparse masks have many components; dense ones are mostly one, which is not split.
        const double density = 0.05 + 0.6 * (rng() % 1000) / 1000.0;
        std::vector<std::uint8_t> mask(w * h);
        for (auto& m : mask) m = (rng() % 1000) / 1000.0 < density;
        StrongPixels strong = listing_of(mask, w, block_rows);
        const std::size_t made = bundle_components(strong, static_cast<std::uint32_t>(w), bundles);
        const std::vector<std::size_t> label = flood_labels(mask, w);
        if (made == 0) {
            EXPECT_TRUE(strong.bundles.empty());
            continue;
        }
        ASSERT_EQ(made, bundles);
        ASSERT_EQ(strong.bundles.size(), strong.pixels.size());
        std::vector<int> bundle_of_label(mask.size(), -1);
        std::vector<std::size_t> load(bundles, 0);
        std::size_t pixels = 0;
        for (std::size_t b = 0; b < strong.pixels.size(); ++b) {
            ASSERT_EQ(strong.bundles[b].size(), strong.pixels[b].size());
            for (std::size_t i = 0; i < strong.pixels[b].size(); ++i) {
                const std::uint8_t bundle = strong.bundles[b][i];
                ASSERT_LT(bundle, bundles);
                int& known = bundle_of_label[label[strong.pixels[b][i]]];
                if (known < 0) known = bundle;
                ASSERT_EQ(known, bundle) << "a component split across bundles, trial " << trial;
                ++load[bundle];
                ++pixels;
            }
        }
        EXPECT_LE(3 * *std::max_element(load.begin(), load.end()), 2 * pixels) << trial;
    }
    // One component, however it is listed, is never split.
    std::vector<std::uint8_t> full(40 * 30, 1);
    StrongPixels strong = listing_of(full, 40, 16);
    EXPECT_EQ(bundle_components(strong, 40, 4), 0u);
}

// Rotated squares of random brightness on a flat ground, each edge a component of its own, with
// noise inside so that many regions are refined or rejected.
std::vector<double> squares_image(std::size_t w, std::size_t h, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<double> img(w * h, 100.0);
    for (std::size_t cy = 16; cy + 16 < h; cy += 32)
        for (std::size_t cx = 16; cx + 16 < w; cx += 32) {
            const double angle = (rng() % 1000) / 1000.0 * 1.5, c = std::cos(angle), s = std::sin(angle);
            const double half = 5.0 + rng() % 8, level = 20.0 + rng() % 200;
            for (std::size_t y = cy - 15; y < cy + 15; ++y)
                for (std::size_t x = cx - 15; x < cx + 15; ++x) {
                    const double dx = double(x) - double(cx), dy = double(y) - double(cy);
                    if (std::fabs(c * dx + s * dy) < half && std::fabs(c * dy - s * dx) < half)
                        img[y * w + x] = level + double(rng() % 9);
                }
        }
    return img;
}

// The listing without the flags, which the seed order does not read.
StrongPixels listing_copy(const StrongPixels& strong) {
    StrongPixels copy(strong.threshold);
    copy.pixels = strong.pixels;
    copy.norms = strong.norms;
    return copy;
}

TEST(WalkSeedBundles, FindsTheSegmentsOfTheWalkInSeedOrder) {
    const std::size_t w = 490, h = 370;
    for (std::uint32_t seed : {1u, 2u}) {
        const std::vector<double> img = squares_image(w, h, seed);
        StrongPixels strong(GRAD_THRESHOLD);
        strong.weak_records_unread = true;
        float max_norm = 0.0f;
        const auto px = level_line_field<double>(img, w, h, &max_norm, &strong);
        const double log_nt = log_number_of_tests(w, h);
        const SeedLoopSetting setting{px.span(), std::uint32_t(w), std::uint32_t(h), log_nt, min_region_size_for(log_nt), 1.0};

        StrongPixels plain = listing_copy(strong);
        const auto seeds = seeds_by_norm(plain, max_norm);
        std::vector<std::uint8_t> used(strong.used.begin(), strong.used.end());
        const std::vector<Segment> want = walk_seeds(setting, seeds.span(), used);
        ASSERT_GT(want.size(), 25u);

        for (std::size_t bundles : {2, 3, 8}) {
            StrongPixels listed = listing_copy(strong);
            ASSERT_EQ(bundle_components(listed, std::uint32_t(w), bundles), bundles);
            tarnwick::Buffer<std::uint8_t> seed_bundles;
            const auto same_seeds = seeds_by_norm(listed, max_norm, &seed_bundles);
            ASSERT_TRUE(std::equal(seeds.begin(), seeds.end(), same_seeds.begin(), same_seeds.end()));
            std::vector<std::uint8_t> flags(strong.used.begin(), strong.used.end());
            const std::vector<Segment> got =
                walk_seed_bundles(setting, same_seeds.span(), seed_bundles.span(), bundles, flags);
            reference::expect_same_segments(got, want, "bundled walk");
        }
    }
}

}  // namespace
