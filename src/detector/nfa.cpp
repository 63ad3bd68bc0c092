// The a-contrario test of a rectangle (binomial tail of its aligned pixels) and its improvement.
#include "detector/nfa.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "sample/check.hpp"
#include "sample/saturate.hpp"

namespace tarnwick::detector {

double log_gamma(double x) {
    if (x >= 15.0) {
        double x2 = x * x;
        double x6 = x2 * (x2 * x2);
        return 0.918938533204673 + (x - 0.5) * std::log(x) - x +
               0.5 * x * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * x6));
    }
    double a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5);
    for (int i = 0; i <= 6; ++i) a -= std::log(x + static_cast<double>(i));
    double x2 = x * x, x3 = x * x2, x4 = x2 * x2, x5 = x * x4, x6 = x2 * x4;
    double b = 75122.633153 + 80916.6278952 * x + 36308.2951477 * x2 + 8687.24529705 * x3 +
               1168.92649479 * x4 + 83.8676043424 * x5 + 2.50662827511 * x6;
    return std::log(b) + a;
}

namespace {

// log_gamma of the whole numbers below this, computed once per process: the NFA of every trial
// rectangle asks for the log-gamma of its pixel counts, which are small and repeat, and each value
// costs several logarithms. The table holds exactly what log_gamma returns.
constexpr std::size_t LOG_GAMMA_TABLE_SIZE = 4096;

double log_gamma_of_count(double x) {
    static const std::array<double, LOG_GAMMA_TABLE_SIZE> table = [] {
        std::array<double, LOG_GAMMA_TABLE_SIZE> values{};
        for (std::size_t i = 1; i < values.size(); ++i) values[i] = log_gamma(static_cast<double>(i));
        return values;
    }();
    // x is a count plus one: a whole number of at least 1.
    return x < static_cast<double>(LOG_GAMMA_TABLE_SIZE) ? table[static_cast<std::size_t>(x)] : log_gamma(x);
}

}  // namespace

double integer_power(double x, std::uint32_t k) {
    double result = 1.0;
    while (k > 0) {
        if (k % 2 == 1) result = result * x;
        x = x * x;
        k /= 2;
    }
    return result;
}

namespace {

// Inclusive pixel range [lo, hi] covering centre +- extent, clipped to [0, size - 1].
struct Span1D {
    std::uint32_t lo, hi;
    bool empty() const { return lo > hi; }
};
Span1D clipped_range(double centre, double extent, std::uint32_t size) {
    std::uint32_t lo = saturating_cast<std::uint32_t>(std::floor(centre - extent));
    std::uint32_t hi = std::min(saturating_cast<std::uint32_t>(std::ceil(centre + extent)), size - 1);
    return {lo, hi};
}

// The columns of a row that can pass one half of the inside test, |b + a * (x - cx)| <= h, for a
// fixed a: an interval of x, widened by 1/8 pixel on each side. Below 2^24 in every magnitude
// (b is the very value the test adds) the test's own rounding moves its value by less than
// 2^-26, which for |a| >= 2^-20 is under 2^-6 pixel; the interval's ends are off by less than
// 2^-7 pixel, mostly the rounding of -h - b magnified by 1 / a. So the widened interval holds
// every column that the test can accept, with room to spare. Elsewhere the whole row is kept.
class ColumnWindow {
public:
    ColumnWindow(double a, double h, double cx)
        : usable_(std::fabs(a) >= 0x1p-20 && h < LARGE && std::fabs(cx) < LARGE),  // false for NaN
          inverse_(1.0 / a), h_(h), cx_(cx), descending_(a < 0.0) {}

    Span1D clip(double b, Span1D cols) const {
        if (!usable_ || !(std::fabs(b) < LARGE)) return cols;
        double lo = cx_ + (-h_ - b) * inverse_, hi = cx_ + (h_ - b) * inverse_;
        if (descending_) std::swap(lo, hi);
        // Truncation rounds a non-negative bound down, which widens the low end and narrows the
        // high end only to the last whole column; saturation maps negative bounds to column 0.
        return {std::max(cols.lo, saturating_cast<std::uint32_t>(lo - SLACK)),
                std::min(cols.hi, saturating_cast<std::uint32_t>(hi + SLACK))};
    }

private:
    static constexpr double LARGE = 0x1p24;
    static constexpr double SLACK = 0.125;
    bool usable_;
    double inverse_, h_, cx_;
    bool descending_;
};

}  // namespace

std::uint32_t count_aligned(const Rect& rect, std::span<const Px> px, std::uint32_t width,
                            std::uint32_t height, float grad_threshold,
                            std::span<const double> precisions, std::span<std::uint32_t> aligned) {
    check(precisions.size() == aligned.size() && !precisions.empty() &&
              precisions.size() <= MAX_PRECISIONS,
          "one aligned count per precision");
    std::fill(aligned.begin(), aligned.end(), 0u);
    double half_length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1) * 0.5;
    double half_width = rect.width * 0.5;
    double cx = (rect.x1 + rect.x2) * 0.5, cy = (rect.y1 + rect.y2) * 0.5;
    double ext_x = half_width * std::fabs(rect.dy) + half_length * std::fabs(rect.dx);
    double ext_y = half_length * std::fabs(rect.dy) + half_width * std::fabs(rect.dx);
    std::uint32_t n = 0;
    if (width == 0 || height == 0) return n;
    Span1D cols = clipped_range(cx, ext_x, width), rows = clipped_range(cy, ext_y, height);
    if (cols.empty() || rows.empty()) return n;
    check(std::uint64_t{width} * height <= px.size(), "level-line field smaller than the image");

    const float dx = static_cast<float>(rect.dx), dy = static_cast<float>(rect.dy);
    float min_dots[MAX_PRECISIONS];
    for (std::size_t t = 0; t < precisions.size(); ++t)
        min_dots[t] = static_cast<float>(std::cos(precisions[t]));
    // A thin, slanted rectangle fills little of its bounding box: each row visits only the
    // columns that both halves of the inside test can accept, and tests those exactly.
    const ColumnWindow along_axis(rect.dx, half_length, cx), across_axis(-rect.dy, half_width, cx);
    for (std::uint32_t y = rows.lo; y <= rows.hi; ++y) {
        const double ey = static_cast<double>(y) - cy;
        const double along_row = rect.dy * ey, across_row = rect.dx * ey;
        const Span1D inside = across_axis.clip(across_row, along_axis.clip(along_row, cols));
        // Without branches: the band's edges make the outcomes of a row's pixels too irregular
        // to predict.
        const Px* row = px.data() + std::size_t{y} * width;
        for (std::uint32_t x = inside.lo; x <= inside.hi; ++x) {
            const double ex = static_cast<double>(x) - cx;
            const bool in = (std::fabs(along_row + rect.dx * ex) <= half_length) &
                            (std::fabs(across_row - rect.dy * ex) <= half_width);
            n += in;
            const Px& p = row[x];
            const bool strong = in & (p.norm > grad_threshold);
            const float dot = p.dir_x * dx + p.dir_y * dy;
            for (std::size_t t = 0; t < precisions.size(); ++t)
                aligned[t] += strong & (dot >= min_dots[t]);
        }
    }
    return n;
}

AlignedCount count_aligned(const Rect& rect, std::span<const Px> px, std::uint32_t width,
                           std::uint32_t height, float grad_threshold) {
    std::uint32_t k = 0;
    const std::uint32_t n = count_aligned(rect, px, width, height, grad_threshold,
                                          std::span(&rect.prec, 1), std::span(&k, 1));
    return {n, k};
}

double log_nfa_from_counts(std::uint32_t n, std::uint32_t k, double p, double log_nt) {
    if (k == 0 || n == 0) return -log_nt;
    const double nd = static_cast<double>(n), kd = static_cast<double>(k);
    if (k == n) return -log_nt - std::log10(p) * kd;

    const double n_minus_k = nd - kd;
    double log_term = log_gamma_of_count(nd + 1.0) - log_gamma_of_count(kd + 1.0) -
                      log_gamma_of_count(n_minus_k + 1.0) +
                      std::log(p) * kd + n_minus_k * std::log(1.0 - p);
    double term = std::exp(log_term);
    if (term == 0.0) {
        // The first term underflows: it alone is the estimate when it is the largest term.
        if (p * nd < kd) return log_term / -2.302585092994046 - log_nt;
        return -log_nt;
    }

    double tail = term;
    const double ratio = p / (1.0 - p);
    for (std::uint64_t i = std::uint64_t{k} + 1; i <= n; ++i) {
        double bin = static_cast<double>(n - i + 1) / static_cast<double>(i);
        double mult = ratio * bin;
        term = term * mult;
        tail = tail + term;
        if (bin < 1.0 && i < n) {
            // Geometric bound on the terms still to come.
            double err = term * ((1.0 - integer_power(mult, static_cast<std::uint32_t>(n - i + 1))) / (1.0 - mult) - 1.0);
            if (err < 0.1 * std::fabs(-std::log10(tail) - log_nt) * tail) break;
        }
    }
    return -std::log10(tail) - log_nt;
}

double rect_log_nfa(const Rect& rect, std::span<const Px> px, std::uint32_t width,
                    std::uint32_t height, float grad_threshold, double log_nt) {
    AlignedCount count = count_aligned(rect, px, width, height, grad_threshold);
    return log_nfa_from_counts(count.n, count.k, rect.p, log_nt);
}

namespace {

// Keeps the trial in rect when it is strictly better than the best so far.
struct Improver {
    Rect& rect;
    std::span<const Px> px;
    std::uint32_t width, height;
    float grad_threshold;
    double log_nt;
    double best;

    void try_rect(const Rect& trial) {
        keep_if_better(trial, rect_log_nfa(trial, px, width, height, grad_threshold, log_nt));
    }
    void keep_if_better(const Rect& trial, double value) {
        if (value > best) {
            best = value;
            rect = trial;
        }
    }
    // Five ever finer tolerances on the same rectangle: its pixels are counted once for all.
    void finer_tolerance() {
        constexpr std::size_t STEPS = 5;
        Rect trials[STEPS];
        double precisions[STEPS];
        Rect trial = rect;
        for (std::size_t step = 0; step < STEPS; ++step) {
            trial.p = trial.p * 0.5;
            trial.prec = trial.p * PI;
            trials[step] = trial;
            precisions[step] = trial.prec;
        }
        std::uint32_t aligned[STEPS];
        const std::uint32_t n =
            count_aligned(rect, px, width, height, grad_threshold, precisions, aligned);
        for (std::size_t step = 0; step < STEPS; ++step)
            keep_if_better(trials[step], log_nfa_from_counts(n, aligned[step], trials[step].p, log_nt));
    }
    void narrower() {
        Rect trial = rect;
        for (int step = 0; step < 5 && trial.width - 0.5 >= 0.5; ++step) {
            trial.width -= 0.5;
            try_rect(trial);
        }
    }
    // side = +1 keeps the edge on the side of the normal (-dy, dx) and pulls in the other one.
    void pull_in_side(double side) {
        Rect trial = rect;
        for (int step = 0; step < 5 && trial.width - 0.5 >= 0.5; ++step) {
            double shift_x = side > 0 ? -trial.dy * 0.25 : trial.dy * 0.25;
            double shift_y = side > 0 ? trial.dx * 0.25 : -trial.dx * 0.25;
            trial.x1 += shift_x;
            trial.x2 += shift_x;
            trial.y1 += shift_y;
            trial.y2 += shift_y;
            trial.width -= 0.5;
            try_rect(trial);
        }
    }
};

}  // namespace

double improve_rect(Rect& rect, std::span<const Px> px, std::uint32_t width, std::uint32_t height,
                    float grad_threshold, double log_nt) {
    Improver improver{rect, px, width, height, grad_threshold, log_nt,
                      rect_log_nfa(rect, px, width, height, grad_threshold, log_nt)};
    if (improver.best > 0.0) return improver.best;
    improver.finer_tolerance();
    if (improver.best > 0.0) return improver.best;
    improver.narrower();
    if (improver.best > 0.0) return improver.best;
    improver.pull_in_side(+1.0);
    if (improver.best > 0.0) return improver.best;
    improver.pull_in_side(-1.0);
    if (improver.best > 0.0) return improver.best;
    improver.finer_tolerance();
    return improver.best;
}

}  // namespace tarnwick::detector
