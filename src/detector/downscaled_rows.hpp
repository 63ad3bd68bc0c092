// Rows of the down-scaled image computed on demand, for stages that read them in increasing order:
// the down-scaling itself, and the level-line field, which then needs no down-scaled image at all.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "detector/pixel_kernels.hpp"
#include "sample/buffer.hpp"

namespace tarnwick::detector {

/// What a down-scaling by one scale needs: the taps, the sampled columns and rows, the output size.
struct DownscalePlan {
    std::vector<double> taps;
    std::vector<std::uint32_t> columns;
    /// Bit x % 8 of byte x / 8 is set when input column x is sampled; empty when some column is
    /// sampled more than once (only degenerate scales do that).
    std::vector<std::uint8_t> sampled_columns;
    std::vector<std::uint32_t> rows;
    std::size_t width = 0;   ///< of the output
    std::size_t height = 0;  ///< of the output
};

/// The plan for an image of width x height (both at least 1) at a scale below 1.
DownscalePlan plan_downscale(std::size_t width, std::size_t height, double scale);

// Source rows filtered along the row, kept only at the sampled columns. A ring of 2 * half + 3
// rows holds every row that two output rows up to two rows apart need, and, since the sampled rows
// only move down, a row is filtered once per block however many output rows use it.
template <typename T>
class SampledRowFilter {
public:
    SampledRowFilter(std::span<const T> samples, std::size_t width, const DownscalePlan& plan,
                     const PixelKernels& kernels)
        : samples_(samples.data()), width_(width), plan_(plan), kernels_(kernels),
          half_(plan.taps.size() / 2), stride_(whole_lines(plan.columns.size() + KEPT_SUM_SLACK)),
          padded_(width + 2 * half_ + ROW_SUM_READS_PAST),
          every_column_(plan.sampled_columns.empty() ? (plan.columns.back() + std::size_t{8}) / 8 : 0, 0xff),
          filtered_(Buffer<double>::for_overwrite(
              plan.sampled_columns.empty() ? plan.columns.back() + std::size_t{1} + KEPT_SUM_SLACK : 0)),
          ring_(held_rows(plan) * stride_),
          held_(held_rows(plan), SIZE_MAX) {}

    /// Source row y filtered along the row, at the sampled columns.
    const double* row(std::size_t y) {
        const std::size_t slot = y % held_.size();
        double* kept = ring_.data() + slot * stride_;
        if (held_[slot] != y) {
            filter(y, kept);
            held_[slot] = y;
        }
        return kept;
    }

private:
    static std::size_t held_rows(const DownscalePlan& plan) { return plan.taps.size() + 2; }

    // Edge values repeated half times on both sides: every tap then reads one padded position,
    // the value the clamped column would give, and the sums need no border cases. Only the
    // sampled columns are kept; the sums of the others are computed too, since vectors of
    // neighbouring columns cost less than picking the sampled ones out one by one.
    void filter(std::size_t y, double* kept) {
        double* const padded = padded_.data();
        double* row = padded + half_;
        convert_samples(kernels_, samples_ + y * width_, width_, row);
        std::fill(padded, row, row[0]);
        std::fill(row + width_, row + width_ + half_, row[width_ - 1]);
        const std::size_t through_last = plan_.columns.back() + std::size_t{1};
        if (!plan_.sampled_columns.empty()) {
            kernels_.row_sum_kept(padded, plan_.taps.data(), plan_.taps.size(), through_last,
                                  plan_.sampled_columns.data(), kept);
            return;
        }
        kernels_.row_sum_kept(padded, plan_.taps.data(), plan_.taps.size(), through_last,
                              every_column_.data(), filtered_.data());
        for (std::size_t i = 0; i < plan_.columns.size(); ++i) kept[i] = filtered_[plan_.columns[i]];
    }

    const T* samples_;
    std::size_t width_;
    const DownscalePlan& plan_;
    const PixelKernels& kernels_;
    std::size_t half_;
    std::size_t stride_;  // of the ring's rows, with room for the kept sums' scratch
    LineBuffer padded_;
    std::vector<std::uint8_t> every_column_;  // keep bits for all columns, when some repeat
    Buffer<double> filtered_;  // every column up to the last sampled one, when some repeat
    LineBuffer ring_;
    std::vector<std::size_t> held_;  // the source row in each ring slot
};

/// Output rows of the down-scaling, each the column pass at a sampled row over row-filtered values
/// at the sampled columns: the same sums, in the same order, as filtering every pixel twice and
/// sampling. Rows must be asked for in increasing order (a row may be asked for again); a row
/// stays valid until two later rows have been asked for. One per thread.
template <typename T>
class DownscaledRows {
public:
    DownscaledRows(std::span<const T> samples, std::size_t width, std::size_t height,
                   const DownscalePlan& plan, const PixelKernels& kernels)
        : plan_(plan), kernels_(kernels), last_row_(static_cast<std::int64_t>(height) - 1),
          filtered_(samples, width, plan, kernels),
          sources_(plan.taps.size() + 2), out_stride_(whole_lines(plan.width)),
          out_(SLOTS * out_stride_) {}

    const double* row(std::size_t j) {
        if (held_[j % SLOTS] == j) return slot(j);
        // A sampled row one or two rows below this one shares all but one or two sources with
        // it: the two are summed together.
        const std::size_t gap =
            j + 1 < plan_.height && plan_.rows[j + 1] - plan_.rows[j] <= 2 ? plan_.rows[j + 1] - plan_.rows[j] : 0;
        const std::size_t count = plan_.taps.size();
        const std::int64_t half = static_cast<std::int64_t>(count / 2);
        for (std::size_t i = 0; i < count + gap; ++i) {
            const std::int64_t y = static_cast<std::int64_t>(plan_.rows[j]) + static_cast<std::int64_t>(i) - half;
            sources_[i] = filtered_.row(static_cast<std::size_t>(std::clamp<std::int64_t>(y, 0, last_row_)));
        }
        if (gap > 0) {
            kernels_.weighted_sum_pair(sources_.data(), plan_.taps.data(), count, gap, plan_.width, slot(j),
                                       slot(j + 1));
            held_[(j + 1) % SLOTS] = j + 1;
        } else {
            kernels_.weighted_sum(sources_.data(), plan_.taps.data(), count, plan_.width, slot(j));
        }
        held_[j % SLOTS] = j;
        return slot(j);
    }

private:
    // Two rows may be computed at once, and each must outlive two later requests.
    static constexpr std::size_t SLOTS = 4;
    double* slot(std::size_t j) { return out_.data() + (j % SLOTS) * out_stride_; }

    const DownscalePlan& plan_;
    const PixelKernels& kernels_;
    std::int64_t last_row_;
    SampledRowFilter<T> filtered_;
    std::vector<const double*> sources_;
    std::size_t out_stride_;
    LineBuffer out_;
    std::size_t held_[SLOTS] = {SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX};
};

}  // namespace tarnwick::detector
