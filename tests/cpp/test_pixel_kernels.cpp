// Every vector version of the detector's row kernels against the portable one, byte for byte, on
// random rows full of awkward values and of lengths that are not multiples of any vector width.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "detector/pixel_kernels.hpp"
#include "detector/types.hpp"
#include "sample/instruction_set.hpp"

namespace {

using namespace tarnwick::detector;
using tarnwick::InstructionSet;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Ordinary values most of the time; otherwise zeros of both signs, NaN, infinities, huge and
// subnormal values, and repeats of the previous value (which give exact zero differences).
class AwkwardValues {
public:
    explicit AwkwardValues(unsigned seed) : rng_(seed) {}

    double next(double spread) {
        static constexpr double special[] = {0.0, -0.0, kNaN, kInf, -kInf, 1e308, -1e308,
                                             4.9e-324, -2.2e-310, 1e-300, 3.4e38, 1e-45};
        const unsigned pick = rng_() % 16;
        if (pick < 8) previous_ = std::uniform_real_distribution<double>(-spread, spread)(rng_);
        else if (pick < 12) previous_ = special[rng_() % std::size(special)];
        else if (pick < 14) previous_ = std::round(previous_);
        return previous_;  // the rest repeat the previous value
    }
    std::vector<double> row(std::size_t n, double spread) {
        std::vector<double> values(n);
        for (double& v : values) v = next(spread);
        return values;
    }
    std::size_t below(std::size_t n) { return rng_() % n; }

private:
    std::mt19937 rng_;
    double previous_ = 1.0;
};

template <typename T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Equal bits, except that any two NaNs are equal: which NaN an addition of two NaNs returns depends on
// the order of its operands, which IEEE 754 leaves open and compilers swap; every NaN the detector
// meets ends the same way (a zero record, a failed comparison).
template <typename T>
bool same_value(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0 || (std::isnan(a) && std::isnan(b));
}
bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_value(a[i], b[i])) return false;
    return true;
}
bool same_record(const Px& a, const Px& b) {
    return same_value(a.norm, b.norm) && same_value(a.dir_x, b.dir_x) && same_value(a.dir_y, b.dir_y);
}
bool same_records(const std::vector<Px>& a, const std::vector<Px>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_record(a[i], b[i])) return false;
    return true;
}

template <typename To>
std::vector<To> narrowed(const std::vector<double>& values) {
    std::vector<To> out;
    for (double v : values) {
        if constexpr (std::is_floating_point_v<To>) out.push_back(static_cast<To>(v));
        else out.push_back(static_cast<To>(std::bit_cast<std::uint64_t>(v)));  // every bit pattern
    }
    return out;
}

class PixelKernelVersions : public ::testing::TestWithParam<InstructionSet> {
protected:
    const PixelKernels& portable = pixel_kernels(InstructionSet::baseline);
    const PixelKernels& vector = pixel_kernels(GetParam());
    AwkwardValues values{17};
};

TEST_P(PixelKernelVersions, ConversionsMatch) {
    for (std::size_t n = 0; n < 70; ++n) {
        const auto source = values.row(n, 300.0);
        auto run = [&](const PixelKernels& k) {
            std::vector<double> u8(n), u16(n), f32(n);
            k.convert_u8(narrowed<std::uint8_t>(source).data(), n, u8.data());
            k.convert_u16(narrowed<std::uint16_t>(source).data(), n, u16.data());
            k.convert_f32(narrowed<float>(source).data(), n, f32.data());
            return std::vector{u8, u16, f32};
        };
        const auto want = run(portable), got = run(vector);
        for (std::size_t t = 0; t < want.size(); ++t) ASSERT_TRUE(same_bytes(got[t], want[t])) << n << " " << t;
    }
}

// The record as the field defines it, with the library's hypot called for every block.
Px plain_record(double a, double b, double c, double d) {
    const double gx = (((b + d) - a) - c) * 0.5, gy = (((c + d) - a) - b) * 0.5, n = std::hypot(gx, gy);
    return n > 0.0 ? Px{float(n), float(-gy / n), float(gx / n)} : Px{0.0f, 0.0f, 0.0f};
}

// Rows whose blocks (0, g, 0, g) have gradient (g, 0) and norm g, for g within a few rounding steps
// of the threshold, both ways, between random blocks.
std::vector<double> near_threshold_row(AwkwardValues& values, std::size_t width) {
    std::vector<double> row = values.row(width, 8.0);
    for (std::size_t x = 0; x + 1 < width; x += 2 + values.below(3)) {
        const double step = std::ldexp(1.0, -int(20 + values.below(36)));
        row[x] = 0.0;
        row[x + 1] = double(GRAD_THRESHOLD) * (1.0 + step * (double(values.below(9)) - 4.0));
    }
    return row;
}

TEST_P(PixelKernelVersions, LevelLineRowsMatchEachOtherAndTheLibrarysHypot) {
    for (int round = 0; round < 1200; ++round) {
        const std::size_t width = 1 + values.below(70);
        // Every record, or the records above the detector's threshold with zeros for the rest.
        const float zero_at_most = round % 2 ? GRAD_THRESHOLD : -1.0f;
        std::vector<double> top, bottom;
        if (round % 3 == 2) {
            top = near_threshold_row(values, width);
            bottom = top;
        } else {
            top = values.row(width, round % 3 ? 1e3 : (round % 4 ? 8.0 : 1e-300));
            bottom = values.row(width, round % 4 ? 8.0 : 1e3);
        }
        std::vector<Px> want(width), got(width);
        portable.level_line_row(top.data(), bottom.data(), width, zero_at_most, want.data());
        vector.level_line_row(top.data(), bottom.data(), width, zero_at_most, got.data());
        ASSERT_TRUE(same_records(got, want)) << "width " << width << ", round " << round;
        const Px zero{0.0f, 0.0f, 0.0f};
        for (std::size_t x = 0; x + 1 < width; ++x) {
            const Px plain = plain_record(top[x], top[x + 1], bottom[x], bottom[x + 1]);
            ASSERT_TRUE(same_record(want[x], plain.norm > zero_at_most ? plain : zero)) << x << ", round " << round;
        }
        ASSERT_EQ(std::memcmp(&want[width - 1], &zero, sizeof(Px)), 0);
    }
}

// Every gradient a block of bytes can have: row u holds the blocks with d - a = u and b - c of
// every value, side by side, so that the records between them are blocks of bytes too. Then
// random rows of every short width, for the ends of the vector loops.
TEST_P(PixelKernelVersions, ByteRowsGiveTheRecordsOfTheirWorkingValues) {
    const Px* table = byte_block_records();
    auto check_rows = [&](const std::vector<std::uint8_t>& top, const std::vector<std::uint8_t>& bottom) {
        const std::size_t width = top.size();
        std::vector<Px> want(width), got(width);
        portable.level_line_row_bytes(top.data(), bottom.data(), width, table, want.data());
        vector.level_line_row_bytes(top.data(), bottom.data(), width, table, got.data());
        ASSERT_TRUE(same_records(got, want)) << "width " << width;
        for (std::size_t x = 0; x + 1 < width; ++x)
            ASSERT_TRUE(same_record(want[x], plain_record(top[x], top[x + 1], bottom[x], bottom[x + 1])))
                << int(top[x]) << " " << int(top[x + 1]) << " " << int(bottom[x]) << " " << int(bottom[x + 1]);
        const Px zero{0.0f, 0.0f, 0.0f};
        ASSERT_EQ(std::memcmp(&want[width - 1], &zero, sizeof(Px)), 0);
    };
    for (int u = -255; u <= 255; ++u) {
        std::vector<std::uint8_t> top, bottom;
        for (int v = -255; v <= 255; ++v) {
            const int a = u < 0 ? -u : 0, c = v < 0 ? -v : 0;
            top.insert(top.end(), {std::uint8_t(a), std::uint8_t(c + v)});
            bottom.insert(bottom.end(), {std::uint8_t(c), std::uint8_t(a + u)});
        }
        check_rows(top, bottom);
    }
    for (int round = 0; round < 300; ++round) {
        const std::size_t width = 1 + values.below(70);
        std::vector<std::uint8_t> top(width), bottom(width);
        for (std::size_t x = 0; x < width; ++x) {
            top[x] = std::uint8_t(values.below(256));
            bottom[x] = round % 3 ? std::uint8_t(values.below(256)) : top[x];
        }
        check_rows(top, bottom);
    }
}

TEST_P(PixelKernelVersions, WeightedSumsMatch) {
    for (int round = 0; round < 300; ++round) {
        const std::size_t count = 1 + values.below(15), n = values.below(90), gap = 1 + round % 2;
        std::vector<std::vector<double>> rows;
        std::vector<const double*> sources;
        for (std::size_t k = 0; k < count + gap; ++k) rows.push_back(values.row(n, 255.0));
        for (const auto& row : rows) sources.push_back(row.data());
        const auto weights = values.row(count, 1.0);
        std::vector<double> want(n), got(n), want_second(n), first(n), second(n);
        portable.weighted_sum(sources.data(), weights.data(), count, n, want.data());
        portable.weighted_sum(sources.data() + gap, weights.data(), count, n, want_second.data());
        vector.weighted_sum(sources.data(), weights.data(), count, n, got.data());
        ASSERT_TRUE(same_values(got, want)) << count << " sources of " << n;
        for (const PixelKernels* kernels : {&portable, &vector}) {
            kernels->weighted_sum_pair(sources.data(), weights.data(), count, gap, n, first.data(), second.data());
            ASSERT_TRUE(same_values(first, want) && same_values(second, want_second))
                << count << " sources of " << n << ", " << gap << " apart";
        }

        // One row filtered along itself, at any offset from a vector boundary, kept at places of
        // any pattern: the sums over shifted copies of the row, at the kept places, in order.
        const std::size_t offset = values.below(8);
        std::vector<double> row = values.row(offset + n + count + ROW_SUM_READS_PAST, 255.0);
        std::vector<const double*> shifted;
        for (std::size_t k = 0; k < count; ++k) shifted.push_back(row.data() + offset + k);
        portable.weighted_sum(shifted.data(), weights.data(), count, n, want.data());
        std::vector<std::uint8_t> keep(n / 8 + 1);
        std::vector<double> want_kept;
        const unsigned density = values.below(5);  // none kept, all kept, and between
        for (std::size_t x = 0; x < n; ++x)
            if (values.below(4) < density) {
                keep[x / 8] |= static_cast<std::uint8_t>(1u << (x % 8));
                want_kept.push_back(want[x]);
            }
        for (const PixelKernels* kernels : {&portable, &vector}) {
            std::vector<double> kept(want_kept.size() + KEPT_SUM_SLACK);
            kernels->row_sum_kept(row.data() + offset, weights.data(), count, n, keep.data(), kept.data());
            kept.resize(want_kept.size());
            ASSERT_TRUE(same_values(kept, want_kept)) << count << " taps along " << n;
        }
    }
}

TEST_P(PixelKernelVersions, UsedFlagsAndSeedClassesMatch) {
    const float thresholds[] = {5.22625207901001f, 0.0f, -1.0f, std::numeric_limits<float>::infinity()};
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = values.below(90);
        std::vector<Px> px(n);
        for (Px& p : px) p = Px{float(std::fabs(values.next(40.0))), 0.5f, -0.5f};
        if (n > 0) px[values.below(n)].norm = thresholds[0];
        if (n > 0 && round % 3 == 0) px[values.below(n)].norm = std::numeric_limits<float>::quiet_NaN();
        const float threshold = thresholds[round % 4];
        const float max_norm = round % 5 == 0 ? std::numeric_limits<float>::infinity() : float(values.next(60.0));
        auto run = [&](const PixelKernels& k) {
            std::vector<std::uint8_t> used(n), used_with_listing(n);
            std::vector<std::uint32_t> positions(n + STRONG_PIXEL_SLACK);
            std::vector<float> norms(n + STRONG_PIXEL_SLACK);
            k.used_flags(px.data(), n, threshold, used.data());
            positions.resize(k.strong_pixels(px.data(), n, threshold, positions.data(), norms.data(),
                                             used_with_listing.data()));
            norms.resize(positions.size());
            std::vector<std::uint16_t> classes(positions.size());
            k.seed_classes(norms.data(), norms.size(), max_norm, threshold, classes.data());
            EXPECT_TRUE(same_bytes(used_with_listing, used));
            for (std::size_t i = 0; i < positions.size(); ++i)
                EXPECT_EQ(std::bit_cast<std::uint32_t>(norms[i]), std::bit_cast<std::uint32_t>(px[positions[i]].norm));
            return std::tuple{used, positions, classes};
        };
        const auto [want_used, want_positions, want_classes] = run(portable);
        const auto [got_used, got_positions, got_classes] = run(vector);
        ASSERT_TRUE(same_bytes(got_used, want_used)) << n;
        ASSERT_TRUE(same_bytes(got_positions, want_positions) && same_bytes(got_classes, want_classes))
            << n << " max " << max_norm;
        // Every pixel above the threshold, and no other, is listed once, in ascending order.
        std::size_t listed = 0;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(want_used[i], px[i].norm <= threshold ? 1 : 0);
            if (!(px[i].norm > threshold)) continue;
            ASSERT_LT(listed, want_positions.size());
            ASSERT_EQ(want_positions[listed], i);
            ASSERT_LT(want_classes[listed], NOT_A_SEED);
            ++listed;
        }
        ASSERT_EQ(listed, want_positions.size());
    }
}

// Pairs of every kind, by index: uniformly random bit patterns (NaN, infinities, subnormals), near
// ratios around the branches of the library's correction (1, 1/sqrt(3), 2^-54), equal magnitudes,
// integers and half-integers, gradients of uint16 working values, and magnitudes near 2^511 and
// 2^-459, where the library rescales.
void awkward_pairs(std::uint64_t first, std::size_t n, double* x, double* y) {
    std::mt19937_64 rng(first);
    auto unit = [&] { return double(rng() >> 11) * 0x1p-53; };
    for (std::size_t i = 0; i < n; ++i) {
        const double sign = rng() % 2 ? -1.0 : 1.0, a = std::ldexp(0.5 + unit(), int(rng() % 120) - 60);
        switch ((first + i) % 8) {
            case 0: x[i] = std::bit_cast<double>(rng()), y[i] = std::bit_cast<double>(rng()); break;
            case 1: x[i] = a, y[i] = sign * a * std::ldexp(1.0 + (unit() - 0.5) * 0x1p-40, -int(rng() % 64)); break;
            case 2: x[i] = a, y[i] = sign * a * 0.5773502691896258 * (1.0 + (unit() - 0.5) * 0x1p-45); break;
            case 3: x[i] = a, y[i] = rng() % 4 ? sign * a : -0.0; break;
            case 4: x[i] = double(std::int64_t(rng() % 262143) - 131071) * 0.5, y[i] = double(std::int64_t(rng() % 1021) - 510) * 0.5; break;
            case 5: {
                const double p = double(rng() % 65536) / 257.0, q = double(rng() % 65536) / 257.0;
                const double r = double(rng() % 65536) / 257.0, t = double(rng() % 65536) / 257.0;
                x[i] = (((q + t) - p) - r) * 0.5, y[i] = (((r + t) - p) - q) * 0.5;
                break;
            }
            case 6: x[i] = sign * std::ldexp(0.5 + unit(), 511 + int(rng() % 5) - 2), y[i] = std::ldexp(unit(), int(rng() % 1100) - 560); break;
            default: x[i] = std::ldexp(0.5 + unit(), -459 + int(rng() % 7) - 3), y[i] = sign * std::ldexp(unit(), int(rng() % 700) - 1100); break;
        }
        if (rng() % 2) std::swap(x[i], y[i]);
    }
}

// The fit's passes over a region against a walk in region order, for every set (the portable one
// is vectorised too): regions of every length up to past a few vector widths, with coordinates up
// to the largest allowed, awkward norms and centres, and axes from every direction.
TEST_P(PixelKernelVersions, RegionPassesMatchAWalkInRegionOrder) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = trial < 70 ? trial : 70 + rng() % 3000;
        const std::uint32_t span = trial % 5 == 0 ? 0x80000000u : 1u + rng() % 400;
        std::vector<RegionPixel> region(n);
        for (RegionPixel& pixel : region)
            pixel = {std::uint32_t(rng()), std::uint32_t(rng() % span), std::uint32_t(rng() % span),
                     static_cast<float>(values.next(60.0))};
        // Pixels at the centre give zero offsets, whose products take the signs of the axis: the
        // extent must stay +0.0 where a walk never replaces it.
        const bool centred = n > 0 && trial % 4 == 1;
        if (centred)
            for (RegionPixel& pixel : region) pixel.x = region[0].x, pixel.y = region[0].y;
        const double cx = centred ? region[0].x : trial % 7 == 3 ? values.next(1e3) : span * unit(rng);
        const double cy = centred ? region[0].y : trial % 11 == 4 ? kNaN : span * unit(rng);
        const double theta = trial % 13 == 0 ? 0.0 : 2 * PI * unit(rng);
        const double dx = std::cos(theta), dy = std::sin(theta);

        double ixx = 0.0, iyy = 0.0, sxy = 0.0, least[2] = {0.0, 0.0}, greatest[2] = {0.0, 0.0};
        for (const RegionPixel& pixel : region) {
            const double w = pixel.norm, ex = double(pixel.x) - cx, ey = double(pixel.y) - cy;
            ixx += ey * (ey * w);
            iyy += ex * (ex * w);
            sxy += (ex * w) * ey;
            const double along = dy * ey + dx * ex, across = dx * ey - dy * ex;
            for (int k = 0; k < 2; ++k) {
                const double v = k == 0 ? along : across;
                if (v < least[k]) least[k] = v;
                if (v > greatest[k]) greatest[k] = v;
            }
        }
        double sums[3], extent[4];
        vector.region_inertia(region.data(), n, cx, cy, sums);
        vector.region_extent(region.data(), n, cx, cy, dx, dy, extent);
        EXPECT_TRUE(same_value(sums[0], ixx) && same_value(sums[1], iyy) && same_value(sums[2], sxy)) << trial;
        const double want[4] = {least[0], greatest[0], least[1], greatest[1]};
        EXPECT_EQ(0, std::memcmp(extent, want, sizeof want)) << trial;
    }
}

// The vector hypot is only used where it reproduces the C library, and there it must on every pair:
// all half-integer pairs of uint8 gradients, and 10^8 awkward pairs for the best set (10^7 for the others).
TEST_P(PixelKernelVersions, VectorHypotIsTheLibrarysWhereverItIsUsed) {
    // The vector hypot follows glibc 2.35 and later on x86-64: there it must be chosen and exact.
#if defined(__x86_64__) && defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 35)
    EXPECT_NE(vector.level_line_row, vector.level_line_row_library_hypot) << "the vector hypot was rejected";
#else
    if (vector.level_line_row == vector.level_line_row_library_hypot)
        GTEST_SKIP() << "this C library's hypot differs from the vector one, which is therefore not used";
#endif
    constexpr std::size_t BATCH = 1 << 13;
    std::vector<double> x(BATCH), y(BATCH), got(BATCH);
    auto expect_library = [&](std::size_t n) {
        vector.hypot_row(x.data(), y.data(), n, got.data());
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(std::hypot(x[i], y[i])))
                << std::hexfloat << "hypot(" << x[i] << ", " << y[i] << ")";
    };
    for (int gx = -510; gx <= 510; ++gx) {
        for (int gy = -510; gy <= 510; ++gy) x[gy + 510] = gx * 0.5, y[gy + 510] = gy * 0.5;
        expect_library(1021);
    }
    const bool best = GetParam() == tarnwick::usable_instruction_sets().front();
    const std::size_t pairs = best ? 100'000'000 : 10'000'000;
    for (std::size_t first = 0; first < pairs && !HasFatalFailure(); first += BATCH) {
        awkward_pairs(first, BATCH, x.data(), y.data());
        expect_library(BATCH);
    }
}

INSTANTIATE_TEST_SUITE_P(UsableSets, PixelKernelVersions,
                         ::testing::ValuesIn(tarnwick::usable_instruction_sets().begin(),
                                             tarnwick::usable_instruction_sets().end()),
                         [](const auto& info) { return std::string(name(info.param)); });

}  // namespace
