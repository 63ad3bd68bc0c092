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

// Source rows filtered along the row, kept only at the sampled columns. A ring of 2 * half + 1
// rows holds every row that one output row needs, and, since the sampled rows only move down, a
// row is filtered once per block however many output rows use it.
template <typename T>
class SampledRowFilter {
public:
    SampledRowFilter(std::span<const T> samples, std::size_t width, const DownscalePlan& plan,
                     const PixelKernels& kernels)
        : samples_(samples.data()), width_(width), plan_(plan), kernels_(kernels),
          half_(plan.taps.size() / 2), stride_(whole_lines(plan.columns.size() + KEPT_SUM_SLACK)),
          padded_(line_buffer(width + 2 * half_)), padded_start_(on_line(padded_, half_)),
          filtered_(Buffer<double>::for_overwrite(
              plan.sampled_columns.empty() ? plan.columns.back() + std::size_t{1} : 0)),
          ring_(line_buffer(plan.taps.size() * stride_)), ring_start_(on_line(ring_, 0)),
          held_(plan.taps.size(), SIZE_MAX), shifted_(plan.taps.size()) {
        for (std::size_t k = 0; k < plan.taps.size(); ++k) shifted_[k] = padded_start_ + k;
    }

    /// Source row y filtered along the row, at the sampled columns.
    const double* row(std::size_t y) {
        const std::size_t slot = y % plan_.taps.size();
        double* kept = ring_start_ + slot * stride_;
        if (held_[slot] != y) {
            filter(y, kept);
            held_[slot] = y;
        }
        return kept;
    }

private:
    // Edge values repeated half times on both sides: every tap then reads one padded position,
    // the value the clamped column would give, and the sums need no border cases. Only the
    // sampled columns are kept; the sums of the others are computed too, since vectors of
    // neighbouring columns cost less than picking the sampled ones out one by one.
    void filter(std::size_t y, double* kept) {
        double* row = padded_start_ + half_;  // converted into whole lines
        convert_samples(kernels_, samples_ + y * width_, width_, row);
        std::fill(padded_start_, row, row[0]);
        std::fill(row + width_, row + width_ + half_, row[width_ - 1]);
        const std::size_t through_last = plan_.columns.back() + std::size_t{1};
        if (!plan_.sampled_columns.empty()) {
            kernels_.weighted_sum_kept(shifted_.data(), plan_.taps.data(), plan_.taps.size(),
                                       through_last, plan_.sampled_columns.data(), kept);
            return;
        }
        kernels_.weighted_sum(shifted_.data(), plan_.taps.data(), plan_.taps.size(), through_last,
                              filtered_.data());
        for (std::size_t i = 0; i < plan_.columns.size(); ++i) kept[i] = filtered_[plan_.columns[i]];
    }

    const T* samples_;
    std::size_t width_;
    const DownscalePlan& plan_;
    const PixelKernels& kernels_;
    std::size_t half_;
    std::size_t stride_;  // of the ring's rows, with room for the kept sums' scratch
    Buffer<double> padded_;
    double* padded_start_;
    Buffer<double> filtered_;  // every column up to the last sampled one, when some repeat
    Buffer<double> ring_;
    double* ring_start_;
    std::vector<std::size_t> held_;  // the source row in each ring slot
    std::vector<const double*> shifted_;  // padded row + tap index
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
          sources_(plan.taps.size()), out_stride_(whole_lines(plan.width)),
          out_(line_buffer(2 * out_stride_)), out_start_(on_line(out_, 0)) {}

    const double* row(std::size_t j) {
        double* slot = out_start_ + (j % 2) * out_stride_;
        if (held_[j % 2] == j) return slot;
        const std::int64_t half = static_cast<std::int64_t>(plan_.taps.size() / 2);
        for (std::size_t i = 0; i < plan_.taps.size(); ++i) {
            const std::int64_t y = static_cast<std::int64_t>(plan_.rows[j]) + static_cast<std::int64_t>(i) - half;
            sources_[i] = filtered_.row(static_cast<std::size_t>(std::clamp<std::int64_t>(y, 0, last_row_)));
        }
        kernels_.weighted_sum(sources_.data(), plan_.taps.data(), plan_.taps.size(), plan_.width, slot);
        held_[j % 2] = j;
        return slot;
    }

private:
    const DownscalePlan& plan_;
    const PixelKernels& kernels_;
    std::int64_t last_row_;
    SampledRowFilter<T> filtered_;
    std::vector<const double*> sources_;
    std::size_t out_stride_;
    Buffer<double> out_;
    double* out_start_;
    std::size_t held_[2] = {SIZE_MAX, SIZE_MAX};
};

}  // namespace tarnwick::detector
