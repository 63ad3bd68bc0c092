// Log-gamma, the binomial-tail NFA, pixel counting in rectangles, and the search for a better rectangle.
#include <set>

#include "detector/nfa.hpp"
#include "detector_reference.hpp"

namespace {

using namespace tarnwick::detector;
using reference::expect_same_rect, reference::same_bits;

// Plain versions of the formulas, every product and sum in its fixed order so that results match bit for bit.
double stirling_log_gamma(double x) {
    const double x2 = x * x;
    return 0.918938533204673 + (x - 0.5) * std::log(x) - x +
           0.5 * x * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * (x2 * (x2 * x2))));
}

double lanczos_log_gamma(double x) {
    double a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5);
    for (int i = 0; i <= 6; ++i) a -= std::log(x + double(i));
    const double x2 = x * x, x3 = x * x2, x4 = x2 * x2, x5 = x * x4, x6 = x2 * x4;
    return std::log(75122.633153 + 80916.6278952 * x + 36308.2951477 * x2 + 8687.24529705 * x3 +
                    1168.92649479 * x4 + 83.8676043424 * x5 + 2.50662827511 * x6) + a;
}

double plain_log_gamma(double x) { return x >= 15.0 ? stirling_log_gamma(x) : lanczos_log_gamma(x); }

double plain_power(double x, std::uint32_t k) {
    double r = 1.0;
    for (; k > 0; k /= 2, x = x * x)
        if (k % 2 == 1) r = r * x;
    return r;
}

double plain_log_nfa(AlignedCount count, double p, double log_nt) {
    const std::uint32_t n = count.n, k = count.k;
    if (k == 0 || n == 0) return -log_nt;
    if (k == n) return -log_nt - std::log10(p) * double(k);
    const double nd = n, kd = k;
    const double log_term = plain_log_gamma(nd + 1.0) - plain_log_gamma(kd + 1.0) - plain_log_gamma((nd - kd) + 1.0) +
                            std::log(p) * kd + (nd - kd) * std::log(1.0 - p);
    double term = std::exp(log_term), tail = term;
    if (term == 0.0) return p * double(n) < double(k) ? log_term / -2.302585092994046 - log_nt : -log_nt;
    for (std::uint32_t i = k + 1; i <= n; ++i) {
        const double bin = double((n - i) + 1) / double(i), mult = (p / (1.0 - p)) * bin;
        term = term * mult;
        tail = tail + term;
        if (bin < 1.0 && i < n) {
            const double err = term * ((1.0 - plain_power(mult, n - i + 1)) / (1.0 - mult) - 1.0);
            if (err < 0.1 * std::fabs(-std::log10(tail) - log_nt) * tail) break;
        }
    }
    return -std::log10(tail) - log_nt;
}

// Tests every pixel of the image instead of the rectangle's bounding box.
AlignedCount plain_count(const Rect& r, const std::vector<Px>& px, std::uint32_t w, std::uint32_t h) {
    const double hl = std::hypot(r.x2 - r.x1, r.y2 - r.y1) * 0.5, hw = r.width * 0.5;
    const double cx = (r.x1 + r.x2) * 0.5, cy = (r.y1 + r.y2) * 0.5;
    AlignedCount c{0, 0};
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const double ey = y - cy, ex = x - cx;
            if (!(std::fabs(r.dy * ey + r.dx * ex) <= hl && std::fabs(r.dx * ey - r.dy * ex) <= hw)) continue;
            ++c.n;
            const Px& p = px[y * w + x];  // the direction test in single precision, rounded after each operation
            c.k += p.norm > GRAD_THRESHOLD && p.dir_x * float(r.dx) + p.dir_y * float(r.dy) >= float(std::cos(r.prec));
        }
    return c;
}

// The five stages written out; `accepted` collects the stages (2 to 6) whose trials replaced the rect.
double plain_improve(Rect& rect, const std::vector<Px>& px, std::uint32_t w, std::uint32_t h, double log_nt,
                     std::set<int>& accepted) {
    auto value = [&](const Rect& r) { return plain_log_nfa(plain_count(r, px, w, h), r.p, log_nt); };
    double best = value(rect);
    for (int stage = 2; stage <= 6 && !(best > 0); ++stage) {
        Rect t = rect;
        const bool finer = stage == 2 || stage == 6;
        const double shift = stage == 4 ? 0.25 : -0.25;  // stage 4 pulls in one long side, stage 5 the other
        for (int i = 0; i < 5 && (finer || t.width - 0.5 >= 0.5); ++i) {
            if (finer) {
                t.p = t.p * 0.5;
                t.prec = t.p * PI;
            } else {
                if (stage != 3) {
                    t.x1 += -t.dy * shift;
                    t.x2 += -t.dy * shift;
                    t.y1 += t.dx * shift;
                    t.y2 += t.dx * shift;
                }
                t.width -= 0.5;
            }
            if (const double v = value(t); v > best) {
                best = v;
                rect = t;
                accepted.insert(stage);
            }
        }
    }
    return best;
}

TEST(LogGamma, FifteenBelongsToTheLargeArgumentFormulaAndBothSidesGiveLnOf14Factorial) {
    const double below = std::nextafter(15.0, 0.0), ln_14_factorial = std::log(87178291200.0);
    EXPECT_TRUE(same_bits(log_gamma(15.0), stirling_log_gamma(15.0)));
    EXPECT_TRUE(same_bits(log_gamma(below), lanczos_log_gamma(below)));
    EXPECT_NEAR(log_gamma(15.0), ln_14_factorial, 1e-12 * ln_14_factorial);
    EXPECT_NEAR(log_gamma(below), ln_14_factorial, 1e-12 * ln_14_factorial);
}

TEST(LogNfaFromCounts, AllAlignedIsMinusLogNtMinusKTimesLog10P) {
    for (std::uint32_t n : {1u, 17u, 300u})
        EXPECT_TRUE(same_bits(log_nfa_from_counts(n, n, 0.125, 14.76), -14.76 - std::log10(0.125) * double(n))) << n;
}

TEST(LogNfaFromCounts, MatchesTheTailSumTermByTerm) {
    // Among the cases are first terms that underflow to 0, far above the mean and far below it.
    for (double p : {0.125, 0.0625, 0.015625, 0.3})
        for (double log_nt : {0.0, 10.5})
            for (std::uint32_t n : {1u, 2u, 3u, 7u, 14u, 20u, 33u, 60u, 100u, 500u, 5000u})
                for (std::uint32_t k = 1; k < n; k += 1 + n / 25)
                    ASSERT_TRUE(same_bits(log_nfa_from_counts(n, k, p, log_nt), plain_log_nfa({n, k}, p, log_nt)))
                        << n << " " << k << " " << p << " " << log_nt;
}

Rect horizontal(double x1, double x2, double y, double width, double p = 0.125) {
    return Rect{x1, y, x2, y, width, 1.0, 0.0, p * PI, p};
}

TEST(CountAligned, BordersInsideThresholdStrictToleranceInclusiveBoxClippedToTheImage) {
    std::vector<Px> px(12 * 10, Px{10.0f, 1.0f, 0.0f});
    auto count = [&](const Rect& r) { return count_aligned(r, px, 12, 10, GRAD_THRESHOLD); };
    // Centre (4,3), half-length 2, half-width 1: columns 2 ... 6 and rows 2 ... 4, borders included.
    EXPECT_EQ(count(horizontal(2, 6, 3, 2.0)).n, 15u);
    EXPECT_EQ(count(horizontal(2.25, 6, 3, 2.0)).n, 12u);  // column 2 now outside, 6 on the border
    const Rect r = horizontal(2, 6, 3, 1.0, ANGLE_TOLERANCE / PI);
    const float cos_prec = float(std::cos(r.prec));
    px[3 * 12 + 4].norm = GRAD_THRESHOLD;  // inside, never aligned
    px[3 * 12 + 5] = Px{10.0f, cos_prec, 0.0f};                        // exactly at the tolerance
    px[3 * 12 + 6] = Px{10.0f, std::nextafter(cos_prec, 0.0f), 0.0f};  // just beyond it
    EXPECT_EQ(count(r).n, 5u);
    EXPECT_EQ(count(r).k, 3u);  // columns 2, 3 and 5
    // Only the image's own pixels count, also when the box bounds overflow or are NaN.
    EXPECT_EQ(count(horizontal(-1e20, 1e20, 3, 2.0)).n, 12u * 3u);
    EXPECT_EQ(count(horizontal(reference::kNaN, 1, 3, 2.0)).n, 0u);
}

TEST(CountAligned, LongThinRectanglesAtEveryAngleCountLikeAScanOfTheWholeImage) {
    // Rows visit only the columns a rectangle can cover; the whole-image scan checks that none is lost,
    // also for axes a hair off the image axes, which leave the row whole.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::uint32_t w = 120, h = 90;
    std::vector<Px> px(w * h);
    for (Px& p : px) p = reference::unit(u(rng) * 2 * PI, float(20.0 * u(rng)));
    const double near_axis[] = {0.0, 1e-7, PI / 2 - 1e-9, PI / 2, PI, -PI / 2 + 1e-7, 3e-7};
    for (int i = 0; i < 400; ++i) {
        const double theta = i < 7 ? near_axis[i] : u(rng) * 2 * PI, length = 10.0 + 150.0 * u(rng);
        const double cx = -10.0 + 140.0 * u(rng), cy = -10.0 + 110.0 * u(rng), dx = std::cos(theta), dy = std::sin(theta);
        const double width = std::array{0.5, 1.0, 1.5, 2.0, 3.0, 0.5 + 6.0 * u(rng)}[i % 6];
        const Rect r{cx - dx * length / 2, cy - dy * length / 2, cx + dx * length / 2, cy + dy * length / 2,
                     width, dx, dy, ANGLE_TOLERANCE, 0.125};
        const AlignedCount got = count_aligned(r, px, w, h, GRAD_THRESHOLD), want = plain_count(r, px, w, h);
        ASSERT_TRUE(got.n == want.n && got.k == want.k) << "case " << i << ": " << got.n << " vs " << want.n;
        // Several precisions in one pass count each as the rectangle with that precision would.
        const double precisions[] = {r.prec / 2, r.prec / 4, r.prec / 8, r.prec / 16, r.prec / 32};
        std::uint32_t aligned[5];
        ASSERT_EQ(count_aligned(r, px, w, h, GRAD_THRESHOLD, precisions, aligned), want.n);
        for (int t = 0; t < 5; ++t) {
            Rect finer = r;
            finer.prec = precisions[t];
            ASSERT_EQ(aligned[t], plain_count(finer, px, w, h).k) << "case " << i << ", precision " << t;
        }
    }
}

TEST(ImproveRect, TiesAndWorseTrialsLeaveTheRectangleAlone) {
    // Row 5 is half aligned at 0.3 rad: finer tolerances lose pixels, narrower or shifted trials only tie.
    std::vector<Px> px(16 * 10, Px{10.0f, 0.0f, 1.0f});
    for (std::uint32_t x = 2; x <= 11; x += 2) px[5 * 16 + x] = reference::unit(0.3);
    Rect r = horizontal(2, 11, 5, 1.0);
    const double first = rect_log_nfa(r, px, 16, 10, GRAD_THRESHOLD, 50.0);
    EXPECT_TRUE(same_bits(improve_rect(r, px, 16, 10, GRAD_THRESHOLD, 50.0), first));
    expect_same_rect(r, horizontal(2, 11, 5, 1.0));
}

// Rectangles near a band of aligned pixels, some past the border: counts, values and search all match.
TEST(ImproveRect, CountsValuesAndSearchMatchThePlainVersionsNearALine) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::uint32_t w = 32, h = 24;
    std::set<int> stages_seen;
    for (int field = 0; field < 6; ++field) {
        std::vector<Px> px(w * h);
        for (Px& p : px) {
            const double a = u(rng) * 2 * PI;
            p = reference::unit(a, u(rng) < 0.1 ? GRAD_THRESHOLD : float(20.0 * u(rng)));
        }
        // Well aligned on one side of the axis, half on the other: pulling in one long side pays, the other not.
        const double phi = u(rng) * PI, ox = 16.0, oy = 12.0;
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                const double across = -(x - ox) * std::sin(phi) + (y - oy) * std::cos(phi);
                if (std::fabs(across) <= 2.1)
                    px[y * w + x] = reference::unit(phi + (across > -0.4 ? 0.1 : 1.6) * (u(rng) - 0.5), 20.0f);
            }
        for (int i = 0; i < 250; ++i) {
            const double theta = u(rng) < 0.3 ? u(rng) * 2 * PI : phi + 0.1 * (u(rng) - 0.5);
            const double length = 4.0 + 14.0 * u(rng), shift = 2.0 * (u(rng) - 0.5), far = u(rng) < 0.2 ? 30.0 : 4.0;
            const double cx = ox - std::sin(phi) * shift + far * (u(rng) - 0.5);
            const double cy = oy + std::cos(phi) * shift + (far - 4.0) * (u(rng) - 0.5);
            const double dx = std::cos(theta), dy = std::sin(theta), p = u(rng) < 0.7 ? 0.125 : 0.02 + 0.2 * u(rng);
            const double widths[] = {0.7, 1.0, 1.5, 2.0, 3.0, 4.5, 0.5 + 5.0 * u(rng)};
            Rect r{cx - dx * length / 2, cy - dy * length / 2, cx + dx * length / 2, cy + dy * length / 2,
                   widths[rng() % 7], dx, dy, p * PI, p};
            const double log_nt = 40.0 * u(rng);
            const AlignedCount got = count_aligned(r, px, w, h, GRAD_THRESHOLD), want = plain_count(r, px, w, h);
            ASSERT_TRUE(got.n == want.n && got.k == want.k) << "case " << i << ": " << got.n << " " << got.k;
            ASSERT_TRUE(same_bits(rect_log_nfa(r, px, w, h, GRAD_THRESHOLD, log_nt), plain_log_nfa(want, p, log_nt)));
            Rect best = r;
            const double want_value = plain_improve(best, px, w, h, log_nt, stages_seen);
            ASSERT_TRUE(same_bits(improve_rect(r, px, w, h, GRAD_THRESHOLD, log_nt), want_value)) << "case " << i;
            expect_same_rect(r, best);
        }
    }
    EXPECT_EQ(stages_seen, (std::set<int>{2, 3, 4, 5, 6})) << "a stage never improved a rectangle; adjust the fields";
}

}  // namespace
