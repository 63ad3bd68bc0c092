// Level-line field at step edges and against a block-by-block computation; seed order by norm bins.
#include <algorithm>
#include <bit>
#include <cstring>

#include "detector/level_lines.hpp"
#include "detector_reference.hpp"

namespace {

using namespace tarnwick::detector;

void expect_same_px(const Px& got, const Px& want) {
    reference::expect_same_bits<3>({got.norm, got.dir_x, got.dir_y}, {want.norm, want.dir_x, want.dir_y});
}

// Block by block, each sum in its fixed order, so that the field can be compared bit for bit.
std::vector<Px> plain_field(const std::vector<double>& img, std::size_t w, std::size_t h) {
    std::vector<Px> out(w * h, Px{0.0f, 0.0f, 0.0f});
    for (std::size_t i = 0; i + w < w * h; ++i) {
        if (i % w == w - 1) continue;  // the last row and column stay zero
        const double a = img[i], b = img[i + 1], c = img[i + w], d = img[i + w + 1];
        const double gx = (((b + d) - a) - c) * 0.5, gy = (((c + d) - a) - b) * 0.5, n = std::hypot(gx, gy);
        if (n > 0) out[i] = Px{float(n), float(-gy / n), float(gx / n)};
    }
    return out;
}

TEST(LevelLineField, StepEdgesGiveUnitLevelLines) {
    // Block (1, 0) straddles each edge; at the vertical one gy is 0, so dir_x is a negated zero, -0.0.
    const std::vector<double> vertical{0, 0, 100, 100, 0, 0, 100, 100, 0, 0, 100, 100};
    const std::vector<double> horizontal{0, 0, 0, 0, 100, 100, 100, 100, 100, 100, 100, 100};
    expect_same_px(level_line_field(vertical, 4, 3)[1], Px{100.0f, -0.0f, 1.0f});
    expect_same_px(level_line_field(horizontal, 4, 3)[1], Px{100.0f, -1.0f, 0.0f});
}

// Bins from the single-precision ratio, read from the strongest bin down, each in ascending index order.
std::vector<PixelIndex> plain_seeds(const std::vector<Px>& px, float threshold) {
    float max_norm = 0.0f;
    for (const Px& p : px) max_norm = p.norm > max_norm ? p.norm : max_norm;
    std::vector<std::pair<std::size_t, PixelIndex>> binned;
    for (std::size_t i = 0; i < px.size() && max_norm > 0.0f; ++i)
        if (px[i].norm > threshold)
            binned.emplace_back(std::min(std::size_t(px[i].norm / max_norm * 1023.0f), NORM_BINS - 1), PixelIndex(i));
    std::stable_sort(binned.begin(), binned.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<PixelIndex> out;
    for (const auto& entry : binned) out.push_back(entry.second);
    return out;
}

TEST(LevelLineField, FieldAndSeedOrderMatchPlainComputationOnRandomImages) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> value(-30.0, 30.0);  // norms on both sides of the threshold
    // The last size spans several blocks of rows and of seed pixels.
    const std::size_t sizes[][2] = {{3, 3}, {4, 7}, {31, 17}, {64, 5}, {3, 50}, {301, 233}};
    for (auto [w, h] : sizes) {
        std::vector<double> img(w * h);
        for (double& v : img) v = value(rng);
        // Equal neighbours give exact zero gradients; a NaN sample must leave its blocks at zero.
        for (std::size_t i = 0; i + 1 < img.size(); i += 5) img[i + 1] = img[i];
        img[rng() % img.size()] = reference::kNaN;
        float max_norm = -1.0f;
        const auto px = level_line_field<double>(img, w, h, &max_norm);
        const auto want = plain_field(img, w, h);
        ASSERT_EQ(px.size(), want.size());
        float want_max = 0.0f;
        for (std::size_t i = 0; i < px.size(); ++i) {
            expect_same_px(px[i], want[i]);
            if (want[i].norm > want_max) want_max = want[i].norm;
        }
        ASSERT_EQ(max_norm, want_max);
        ASSERT_TRUE(std::ranges::equal(seeds_by_norm(px, GRAD_THRESHOLD), plain_seeds(want, GRAD_THRESHOLD)));
        // The flags alone, and written while the seeds are ordered: the same bytes, the same seeds.
        const auto used = used_flags(px, GRAD_THRESHOLD);
        std::vector<std::uint8_t> used_with_seeds(px.size(), 7);
        ASSERT_TRUE(std::ranges::equal(seeds_by_norm(px, GRAD_THRESHOLD, used_with_seeds, max_norm),
                                       plain_seeds(want, GRAD_THRESHOLD)));
        // Listed while the field is computed: the same field, flags and seeds.
        StrongPixels strong(GRAD_THRESHOLD);
        float listed_max = -1.0f;
        const auto listed_px = level_line_field<double>(img, w, h, &listed_max, &strong);
        ASSERT_EQ(listed_max, max_norm);
        ASSERT_EQ(std::memcmp(listed_px.data(), px.data(), px.size() * sizeof(Px)), 0);
        ASSERT_EQ(strong.used.size(), px.size());
        ASSERT_TRUE(std::ranges::equal(strong.used.span(), used.span()));
        ASSERT_TRUE(std::ranges::equal(seeds_by_norm(strong, listed_max), plain_seeds(want, GRAD_THRESHOLD)));
        // For the detector, which reads nothing of a weak pixel but its flag: zeros in its record,
        // the same flags and seeds.
        StrongPixels detector(GRAD_THRESHOLD);
        detector.weak_records_unread = true;
        float detector_max = -1.0f;
        const auto detector_px = level_line_field<double>(img, w, h, &detector_max, &detector);
        ASSERT_EQ(detector_max, max_norm > GRAD_THRESHOLD ? max_norm : 0.0f);
        ASSERT_TRUE(std::ranges::equal(detector.used.span(), used.span()));
        ASSERT_TRUE(std::ranges::equal(seeds_by_norm(detector, detector_max), plain_seeds(want, GRAD_THRESHOLD)));
        for (std::size_t i = 0; i < px.size(); ++i) {
            ASSERT_EQ(used[i], want[i].norm <= GRAD_THRESHOLD ? 1 : 0);
            ASSERT_EQ(used_with_seeds[i], used[i]);
            expect_same_px(detector_px[i], used[i] ? Px{0.0f, 0.0f, 0.0f} : want[i]);
        }
    }
}

// Integer and single-precision samples are converted row by row inside the field.
TEST(LevelLineField, TypedSamplesGiveTheFieldOfTheirWorkingValues) {
    std::mt19937 rng(11);
    // The last two sizes are large enough for uint8 records to be looked up rather than computed,
    // one of them narrower than any vector.
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{3, 3}, {37, 41}, {130, 19}, {520, 510}, {7, 37450}}) {
        std::vector<std::uint8_t> u8(w * h);
        std::vector<std::uint16_t> u16(w * h);
        std::vector<float> f32(w * h);
        std::vector<double> from_u8, from_u16, from_f32;
        for (std::size_t i = 0; i < w * h; ++i) {
            u8[i] = std::uint8_t(rng() % 40 + (i % 7 < 3 ? 100 : 0));
            u16[i] = std::uint16_t(rng());
            f32[i] = std::bit_cast<float>(std::uint32_t(rng()));  // any bit pattern: NaN, inf, subnormal
            from_u8.push_back(u8[i]);
            from_u16.push_back(u16[i] / 257.0);
            from_f32.push_back(f32[i]);
        }
        auto expect_same_field = [](const auto& got, const auto& want) {
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size(); ++i) expect_same_px(got[i], want[i]);
        };
        expect_same_field(level_line_field<std::uint8_t>(u8, w, h), plain_field(from_u8, w, h));
        expect_same_field(level_line_field<std::uint16_t>(u16, w, h), plain_field(from_u16, w, h));
        expect_same_field(level_line_field<float>(f32, w, h), plain_field(from_f32, w, h));
        // For the detector: the records above the threshold, weak ones still weak (looked-up
        // records may stay whole), and the largest norm above the threshold.
        auto expect_detector_field = [&](const auto& samples, const std::vector<double>& values) {
            StrongPixels detector(GRAD_THRESHOLD);
            detector.weak_records_unread = true;
            float got_max = -1.0f, want_max = 0.0f;
            const auto got = level_line_field(std::span(samples), w, h, &got_max, &detector);
            const auto want = plain_field(values, w, h);
            for (std::size_t i = 0; i < want.size(); ++i) {
                if (want[i].norm > GRAD_THRESHOLD) {
                    expect_same_px(got[i], want[i]);
                    want_max = std::max(want_max, want[i].norm);
                } else {
                    ASSERT_LE(got[i].norm, GRAD_THRESHOLD);
                }
            }
            ASSERT_EQ(got_max, want_max);
        };
        expect_detector_field(u8, from_u8);
        expect_detector_field(u16, from_u16);
        expect_detector_field(f32, from_f32);
    }
}

TEST(SeedsByNorm, StrongestBinFirstIndexOrderWithinABinAndTheThresholdIsStrict) {
    // Of a maximum of 100: 100 twice in bin 1023, 99.99 in 1022, 50.0 and the later, larger 50.01 both in
    // 511, 10 in 102, 6.2 in 63, and 6.25610924 in 64 (63 if the ratio were taken in double precision);
    // a norm equal to the threshold is no seed.
    std::vector<Px> px;
    for (float norm : {10.0f, 100.0f, 50.0f, 99.99f, 100.0f, GRAD_THRESHOLD, 50.01f, 0.0f, 6.2f, 6.25610924f})
        px.push_back(Px{norm, 1.0f, 0.0f});
    EXPECT_TRUE(std::ranges::equal(seeds_by_norm(px, GRAD_THRESHOLD), std::vector<PixelIndex>{1, 4, 3, 2, 6, 0, 9, 8}));
    const std::vector<double> flat(12 * 9, 42.0);
    std::vector<std::uint8_t> used(12 * 9, 7);
    EXPECT_EQ(seeds_by_norm(level_line_field(flat, 12, 9), GRAD_THRESHOLD, used).size(), 0u);
    EXPECT_EQ(used, std::vector<std::uint8_t>(12 * 9, 1));  // written even when there is no seed
}

}  // namespace
