// The RGB resampler: known transforms, rounding, sizes, and a direct per-pixel formulation.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <variant>
#include <vector>

#include "sample/instruction_set.hpp"
#include "warp/warp_rgb.hpp"

namespace {

using Matrix = std::array<double, 9>;
template <typename T> using Image = std::vector<T>;
constexpr Matrix IDENTITY{1, 0, 0, 0, 1, 0, 0, 0, 1};

struct Transform {
    Matrix h = IDENTITY;
    double scale = 1.0, off_x = 0.0, off_y = 0.0;
};

// Runs the resampler and unwraps its buffer (a SizeMismatch fails the test).
template <typename T>
Image<T> warp(const Image<T>& src, std::size_t width, std::size_t height, const Transform& t) {
    auto result = tarnwick::warp::warp_rgb<T>(src, width, height, t.h, t.scale, t.off_x, t.off_y);
    auto* buffer = std::get_if<tarnwick::Buffer<T>>(&result);
    EXPECT_NE(buffer, nullptr) << "unexpected SizeMismatch";
    return buffer ? Image<T>(buffer->data(), buffer->data() + buffer->size()) : Image<T>{};
}

// The resampling written out pixel by pixel, straight from its definition, with nothing hoisted.
template <typename T>
Image<T> reference_warp(const Image<T>& src, std::size_t width, std::size_t height,
                        const Transform& t) {
    Image<T> out(width * height * 3, 0);
    const Matrix& h = t.h;
    const double max_x = double(width) - 1.0, max_y = double(height) - 1.0;
    const double limit = std::numeric_limits<T>::max();
    auto at = [&](auto x, auto y, auto c) { return src[(y * width + x) * 3 + c]; };
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x) {
            double sy = double(y) / t.scale + t.off_y, sx = double(x) / t.scale + t.off_x;
            double w = (h[8] + h[7] * sy) + h[6] * sx;
            if (w == 0.0) continue;
            double u = ((h[2] + h[1] * sy) + h[0] * sx) / w;
            double v = ((h[5] + h[4] * sy) + h[3] * sx) / w;
            if (u < 0.0 || u > max_x || v < 0.0 || v > max_y) continue;
            std::size_t x0 = std::isnan(u) ? 0 : std::size_t(std::floor(u));  // NaN is "inside"
            std::size_t y0 = std::isnan(v) ? 0 : std::size_t(std::floor(v));
            std::size_t x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
            double fx = u - double(x0), fy = v - double(y0);
            for (std::size_t c = 0; c < 3; ++c) {
                double s = fx * (1.0 - fy) * at(x1, y0, c);
                s = s + (1.0 - fx) * (1.0 - fy) * at(x0, y0, c);
                s = s + (1.0 - fx) * fy * at(x0, y1, c);
                s = s + fx * fy * at(x1, y1, c);
                double value = s + 0.5;
                out[(y * width + x) * 3 + c] =
                    value >= limit ? T(limit) : value > 0.0 ? T(std::trunc(value)) : T(0);
            }
        }
    return out;
}

template <typename T> class WarpRgb : public ::testing::Test {};
using SampleTypes = ::testing::Types<std::uint8_t, std::uint16_t>;
TYPED_TEST_SUITE(WarpRgb, SampleTypes);

// A source linear in x and y with every sample distinct and non-zero: a wrong or missing read
// shows, and sampling at half pixels (scale 2) gives exact integers.
TYPED_TEST(WarpRgb, KnownTransforms) {
    constexpr std::size_t w = 5, h = 4;
    auto L = [](std::size_t x, std::size_t y, std::size_t c) { return 1 + 10 * x + 50 * y + c; };
    auto image = [&](auto sample) {
        Image<TypeParam> out(w * h * 3);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = sample(i / 3 % w, i / 3 / w, i % 3);
        return out;
    };
    const Image<TypeParam> zeros(w * h * 3, 0);
    const std::vector<std::tuple<const char*, Transform, Image<TypeParam>>> cases{
        {"identity", {}, image(L)},
        {"negated identity: W < 0 is sampled too", {{-1, 0, 0, 0, -1, 0, 0, 0, -1}}, image(L)},
        {"shift off the last column", {IDENTITY, 1.0, 1.0},
         image([&](auto x, auto y, auto c) { return x + 1 < w ? L(x + 1, y, c) : 0; })},
        {"scale 2", {IDENTITY, 2.0},
         image([](auto x, auto y, auto c) { return 1 + 5 * x + 25 * y + c; })},
        {"only H[8]", {{0, 0, 0, 0, 0, 0, 0, 0, 1}},
         image([&](auto, auto, auto c) { return L(0, 0, c); })},
        {"all-zero H", {Matrix{}}, zeros},
        {"scale 0 (NaN positions)", {IDENTITY, 0.0}, zeros},
    };
    for (const auto& [name, transform, expected] : cases)
        EXPECT_EQ(warp(image(L), w, h, transform), expected) << name;
}

// A blend exactly halfway between two samples rounds up, never to even and never down.
TYPED_TEST(WarpRgb, HalfwayBlendRoundsUp) {
    using T = TypeParam;
    const Image<T> pair{0, 2, 7, std::numeric_limits<T>::max(), 3, 8};  // odd sum per channel
    for (auto [w, h] : {std::pair{2u, 1u}, std::pair{1u, 2u}}) {
        Image<T> out = warp(pair, w, h, {IDENTITY, 2.0});  // output pixel 1 samples position 0.5
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_EQ(out[3 + c], (unsigned(pair[c]) + pair[3 + c] + 1) / 2) << c << " " << w;
            EXPECT_EQ(out[c], pair[c]);
        }
    }
}

// Zero rows or zero columns give an empty output; any other length mismatch reports both lengths.
TYPED_TEST(WarpRgb, EmptyAndMismatchedSizes) {
    struct Case { std::size_t width, height, length, expected; };
    for (Case k : {Case{3, 0, 0, 0}, Case{0, 5, 0, 0}, Case{0, 0, 0, 0}, Case{2, 2, 10, 12},
                   Case{2, 2, 13, 12}, Case{0, 4, 3, 0}, Case{3, 0, 1, 0}}) {
        auto result = tarnwick::warp::warp_rgb<TypeParam>(Image<TypeParam>(k.length, 1), k.width,
                                                          k.height, IDENTITY, 1.0, 0.0, 0.0);
        if (k.length == k.expected) {
            auto* buffer = std::get_if<tarnwick::Buffer<TypeParam>>(&result);
            ASSERT_NE(buffer, nullptr) << k.width << "x" << k.height;
            EXPECT_EQ(buffer->size(), 0u);
            EXPECT_NE(buffer->data(), nullptr);  // an adopting owner needs a real pointer
            continue;
        }
        auto* mismatch = std::get_if<tarnwick::SizeMismatch>(&result);
        ASSERT_NE(mismatch, nullptr) << k.width << "x" << k.height << " length " << k.length;
        EXPECT_EQ(mismatch->expected, k.expected);
        EXPECT_EQ(mismatch->got, k.length);
    }
}

// Random homographies around a mild similarity (every third strong enough that W changes sign in
// view), then small samples at decimal positions: there the exact blend often lies on a half, so
// the last bit of every product and sum decides the rounding and a change of operation order shows.
TYPED_TEST(WarpRgb, MatchesTheDirectFormulaBitForBit) {
    using T = TypeParam;
    std::mt19937_64 rng(20240917 + sizeof(T));
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    auto check = [](const Image<T>& src, std::size_t w, std::size_t h, const Transform& t) {
        ASSERT_EQ(warp(src, w, h, t), reference_warp(src, w, h, t))
            << w << "x" << h << " H[0] " << t.h[0] << " scale " << t.scale << " off_x " << t.off_x;
    };
    auto fill = [&](std::size_t n, unsigned top) {
        Image<T> image(n);
        for (T& value : image) value = T(std::uniform_int_distribution<unsigned>(0, top)(rng));
        return image;
    };
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 9}, {13, 1}, {37, 23},
                        {64, 48}, {700, 19}}) {
        Image<T> src = fill(w * h * 3, std::numeric_limits<T>::max());
        for (int trial = 0; trial < 12; ++trial) {
            const double p = trial % 3 == 2 ? 0.08 : 0.004;
            check(src, w, h, {{1.0 + 0.4 * unit(rng), 0.3 * unit(rng), 6.0 * unit(rng),
                               0.3 * unit(rng), 1.0 + 0.4 * unit(rng), 6.0 * unit(rng),
                               p * unit(rng), p * unit(rng), 1.0 + 0.2 * unit(rng)},
                              std::exp(0.7 * unit(rng)), 3.0 * unit(rng), 3.0 * unit(rng)});
        }
    }
    const Image<T> small = fill(40 * 30 * 3, 9);
    for (const Matrix& m : {IDENTITY, Matrix{0.9, 0.1, 0.2, -0.1, 1.1, 0.3, 0, 0, 1},
                            Matrix{3.0, 0, 0.3, 0, 3.0, 0.6, 0, 0, 3.0},
                            Matrix{0.7, 0.1, 0.2, 0.1, 0.7, 0.1, 0.003, 0.001, 0.7},
                            Matrix{1.0, 0.2, 0.1, 0.1, 0.7, 0.4, 0.01, 0.02, 1.1}})
        for (double scale : {10.0, 5.0, 3.0, 0.3})
            for (double ox : {0.1, 0.7, -0.3})
                for (double oy : {0.1, 0.7, -0.3}) check(small, 40, 30, {m, scale, ox, oy});
}

// Transforms that reach every special case of the pixel loop, for a w x h image: mild, mirrored
// (affine or with W changing from row to row only), negated (W < 0), near-singular (W crosses 0 in view), non-finite entries, scale 0, huge offsets,
// whole-pixel positions that land exactly on the last column and row, positions a hair off them,
// and rows along which v does not change.
Transform random_transform(std::mt19937_64& rng, int kind, std::size_t w) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Transform t{{1.0 + 0.3 * unit(rng), 0.2 * unit(rng), 2.0 * unit(rng), 0.2 * unit(rng),
                 1.0 + 0.3 * unit(rng), 2.0 * unit(rng), 0.01 * unit(rng), 0.01 * unit(rng),
                 1.0 + 0.1 * unit(rng)},
                std::exp(0.5 * unit(rng)), unit(rng), unit(rng)};
    const double special[] = {std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), 0.0, -0.0, 1e300};
    switch (kind) {
        case 1:  // W = 1 throughout, or (every other time) constant along each row only
            t.h = {-1.0, 0.1 * unit(rng), double(w) - 1.0, 0.0, 1.0, 0.0, 0.0,
                   rng() % 2 ? 0.0 : 0.05 * unit(rng), 1.0};
            break;
        case 2: for (double& e : t.h) e = -e; break;
        case 3: t.h[6] = 1.0 / double(w + 1), t.h[8] = -0.5 - 0.3 * unit(rng); break;
        case 4: t.h[rng() % 9] = special[rng() % 6]; break;
        case 5: t.scale = rng() % 2 ? 0.0 : special[rng() % 6]; break;
        case 6: t.off_x = 1e15 * unit(rng), t.off_y = special[rng() % 6]; break;
        case 7:
            t = {IDENTITY, double(1 + rng() % 2), double(rng() % 3), double(rng() % 3)};
            if (rng() % 2) t.h = {0, 1, 0, 1, 0, 0, 0, 0, 1};  // transposed: u from rows
            break;
        case 8: {  // a hair either side of whole pixels, of 0 and of the last column and row
            const double hair[] = {0.0,    -0.0,    4.9e-324, -4.9e-324,
                                   1e-300, -1e-300, 0x1p-40,  -0x1p-40};
            t = {IDENTITY, 1.0, hair[rng() % 8], hair[rng() % 8]};
            break;
        }
        case 9: {  // V and W the same along each row, with zeros of either sign in them
            const double zero[] = {0.0, -0.0};
            t.h[3] = zero[rng() % 2], t.h[6] = zero[rng() % 2];
            if (rng() % 2)  // every row reads the same source row
                t.h[4] = zero[rng() % 2], t.h[5] = rng() % 2 ? zero[rng() % 2] : double(rng() % 3);
            break;
        }
    }
    return t;
}

// Every vector version computes the portable one's bytes: every kind of transform, both sample
// types, widths that are no multiple of any vector length, samples crowded at 0 and the maximum.
TYPED_TEST(WarpRgb, EveryInstructionSetMatchesTheBaseline) {
    using T = TypeParam;
    using tarnwick::InstructionSet;
    std::mt19937_64 rng(77 + sizeof(T));
    constexpr unsigned top = std::numeric_limits<T>::max();
    for (std::size_t w = 1; w <= 67; ++w) {
        const std::size_t h = std::size_t{1} + (w * 7) % 13;
        Image<T> src(w * h * 3);
        for (T& value : src)
            value = T(rng() % 3 == 0 ? top : rng() % 2 ? 0 : rng() % (top + 1));
        for (int kind = 0; kind < 10; ++kind) {
            const Transform t = random_transform(rng, kind, w);
            auto run = [&](InstructionSet set) {
                auto result =
                    tarnwick::warp::warp_rgb_using<T>(set, src, w, h, t.h, t.scale, t.off_x, t.off_y);
                auto& buffer = std::get<tarnwick::Buffer<T>>(result);
                return Image<T>(buffer.data(), buffer.data() + buffer.size());
            };
            const Image<T> expected = run(InstructionSet::baseline);
            for (InstructionSet set : tarnwick::usable_instruction_sets())
                ASSERT_EQ(run(set), expected) << name(set) << " " << w << "x" << h << " kind " << kind;
        }
    }
}

}  // namespace
