// Level-line field at step edges and against a block-by-block computation; seed order by norm bins.
#include <algorithm>

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
    std::vector<PixelIndex> out;
    for (std::size_t bin = NORM_BINS; bin-- > 0 && max_norm > 0.0f;)
        for (std::size_t i = 0; i < px.size(); ++i)
            if (px[i].norm > threshold && std::min(std::size_t(px[i].norm / max_norm * 1023.0f), NORM_BINS - 1) == bin)
                out.push_back(PixelIndex(i));
    return out;
}

TEST(LevelLineField, FieldAndSeedOrderMatchPlainComputationOnRandomImages) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> value(-30.0, 30.0);  // norms on both sides of the threshold
    const std::size_t sizes[][2] = {{3, 3}, {4, 7}, {31, 17}, {64, 5}, {3, 50}};
    for (auto [w, h] : sizes) {
        std::vector<double> img(w * h);
        for (double& v : img) v = value(rng);
        // Equal neighbours give exact zero gradients; a NaN sample must leave its blocks at zero.
        for (std::size_t i = 0; i + 1 < img.size(); i += 5) img[i + 1] = img[i];
        img[rng() % img.size()] = reference::kNaN;
        const auto px = level_line_field(img, w, h), want = plain_field(img, w, h);
        ASSERT_EQ(px.size(), want.size());
        for (std::size_t i = 0; i < px.size(); ++i) expect_same_px(px[i], want[i]);
        ASSERT_EQ(seeds_by_norm(px, GRAD_THRESHOLD), plain_seeds(want, GRAD_THRESHOLD));
    }
}

TEST(SeedsByNorm, StrongestBinFirstIndexOrderWithinABinAndTheThresholdIsStrict) {
    // Of a maximum of 100: 100 twice in bin 1023, 99.99 in 1022, 50.0 and the later, larger 50.01 both in
    // 511, 10 in 102, 6.2 in 63, and 6.25610924 in 64 (63 if the ratio were taken in double precision);
    // a norm equal to the threshold is no seed.
    std::vector<Px> px;
    for (float norm : {10.0f, 100.0f, 50.0f, 99.99f, 100.0f, GRAD_THRESHOLD, 50.01f, 0.0f, 6.2f, 6.25610924f})
        px.push_back(Px{norm, 1.0f, 0.0f});
    EXPECT_EQ(seeds_by_norm(px, GRAD_THRESHOLD), (std::vector<PixelIndex>{1, 4, 3, 2, 6, 0, 9, 8}));
    const std::vector<double> flat(12 * 9, 42.0);
    EXPECT_TRUE(seeds_by_norm(level_line_field(flat, 12, 9), GRAD_THRESHOLD).empty());
}

}  // namespace
