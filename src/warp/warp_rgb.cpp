// The inverse-homography resampler: bilinear blend per output pixel, rows in parallel.
#include "warp/warp_rgb.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "parallel/pool.hpp"
#include "sample/check.hpp"
#include "sample/saturate.hpp"

namespace tarnwick::warp {
namespace {

// H[0]·sx, H[3]·sx and H[6]·sx of one output column. They do not depend on the row, and each is
// the very product the per-pixel formula forms, so reading them from a table changes no bit.
struct ColumnTerms {
    double u;
    double v;
    double w;
};

// The same for one output row: H[2] + H[1]·sy and its two siblings.
struct RowTerms {
    double u;
    double v;
    double w;
};

std::vector<ColumnTerms> column_terms(std::size_t width, const std::array<double, 9>& h,
                                      double scale, double off_x) {
    std::vector<ColumnTerms> terms(width);
    for (std::size_t x = 0; x < width; ++x) {
        double sx = static_cast<double>(x) / scale + off_x;
        terms[x] = {h[0] * sx, h[3] * sx, h[6] * sx};
    }
    return terms;
}

RowTerms row_terms(std::size_t y, const std::array<double, 9>& h, double scale, double off_y) {
    double sy = static_cast<double>(y) / scale + off_y;
    return {h[2] + h[1] * sy, h[5] + h[4] * sy, h[8] + h[7] * sy};
}

// The source image with the bounds that positions are tested against.
template <typename T>
struct Source {
    const T* samples;
    std::size_t width;
    std::size_t height;
    double max_x;
    double max_y;
};

// Blends the four neighbours of (u, v), which lies inside the source or is NaN. Inside means
// non-negative, where truncation is floor: converting u itself gives floor(u) without a call to
// floor, which baseline x86-64 has no instruction for. A NaN position converts to index 0 and
// makes every weight NaN, so its samples come out as 0, like a pixel outside. Indices stay
// inside: u <= width - 1 gives x0 <= width - 1, and x1 is clamped to the last column (the same
// for rows).
template <typename T>
void blend(const Source<T>& source, double u, double v, T* out) {
    std::size_t x0 = saturating_cast<std::size_t>(u);
    std::size_t y0 = saturating_cast<std::size_t>(v);
    std::size_t x1 = std::min(x0 + 1, source.width - 1);
    std::size_t y1 = std::min(y0 + 1, source.height - 1);
    double fx = u - static_cast<double>(x0);
    double fy = v - static_cast<double>(y0);
    double w10 = fx * (1.0 - fy);
    double w00 = (1.0 - fx) * (1.0 - fy);
    double w01 = (1.0 - fx) * fy;
    double w11 = fx * fy;

    const std::size_t stride = source.width * 3;
    const T* p00 = source.samples + y0 * stride + x0 * 3;
    const T* p10 = source.samples + y0 * stride + x1 * 3;
    const T* p01 = source.samples + y1 * stride + x0 * 3;
    const T* p11 = source.samples + y1 * stride + x1 * 3;
    for (std::size_t c = 0; c < 3; ++c) {
        // Separate roundings in this order are part of the result's definition.
        double s = ((w10 * static_cast<double>(p10[c]) + w00 * static_cast<double>(p00[c])) +
                    w01 * static_cast<double>(p01[c])) +
                   w11 * static_cast<double>(p11[c]);
        // s is never negative, so adding 0.5 and truncating rounds half up.
        out[c] = saturating_cast<T>(s + 0.5);
    }
}

// One output row. Skipped pixels cost nothing: the output starts zero-filled. The inputs are
// copied to locals because 8-bit stores may alias anything: read through references, every field
// would be reloaded after each stored sample.
template <typename T>
void warp_row(const Source<T>& shared_source, std::span<const ColumnTerms> shared_columns,
              RowTerms row, T* out) {
    const Source<T> source = shared_source;
    const ColumnTerms* const columns = shared_columns.data();
    const std::size_t width = shared_columns.size();
    for (std::size_t x = 0; x < width; ++x) {
        const ColumnTerms column = columns[x];
        double w = row.w + column.w;
        if (w == 0.0) continue;
        // The comparisons are written so that a NaN position passes them and blends to zeros;
        // infinite positions fail them. The sign of w is deliberately not tested.
        double u = (row.u + column.u) / w;
        if (u < 0.0 || u > source.max_x) continue;
        double v = (row.v + column.v) / w;
        if (v < 0.0 || v > source.max_y) continue;
        blend(source, u, v, out + x * 3);
    }
}

// width × 3 × height, or nothing when that does not fit in a size: no buffer can be that long.
bool sample_count(std::size_t width, std::size_t height, std::size_t& count) {
    return !__builtin_mul_overflow(width, std::size_t{3}, &count) &&
           !__builtin_mul_overflow(count, height, &count);
}

}  // namespace

template <typename T>
OrSizeMismatch<Buffer<T>> warp_rgb(std::span<const T> src, std::size_t width, std::size_t height,
                                   const std::array<double, 9>& inverse, double scale, double off_x,
                                   double off_y) {
    std::size_t expected = 0;
    check(sample_count(width, height, expected), "width x 3 x height overflows a size");
    if (src.size() != expected) return SizeMismatch{expected, src.size()};

    Buffer<T> output(expected);
    // A width of 0 is an empty image like a height of 0: there is nothing to sample.
    if (expected == 0) return output;

    const Source<T> source{src.data(), width, height, static_cast<double>(width) - 1.0,
                           static_cast<double>(height) - 1.0};
    const std::vector<ColumnTerms> columns = column_terms(width, inverse, scale, off_x);
    const std::size_t row_length = width * 3;
    T* const out = output.data();
    parallel::for_each_row(height, [&](std::size_t y) {
        warp_row(source, columns, row_terms(y, inverse, scale, off_y), out + y * row_length);
    });
    return output;
}

template OrSizeMismatch<Buffer<std::uint8_t>> warp_rgb(std::span<const std::uint8_t>, std::size_t,
                                                       std::size_t, const std::array<double, 9>&,
                                                       double, double, double);
template OrSizeMismatch<Buffer<std::uint16_t>> warp_rgb(std::span<const std::uint16_t>,
                                                        std::size_t, std::size_t,
                                                        const std::array<double, 9>&, double,
                                                        double, double);

}  // namespace tarnwick::warp
