// The portable pixel loop of the resampler: one pixel at a time, in double precision.
#include <algorithm>
#include <cstdint>

#include "sample/saturate.hpp"
#include "warp/pixel_kernels.hpp"

namespace tarnwick::warp {
namespace {

// Blends the four neighbours of (u, v), which lies inside the source or is NaN, into the three
// samples at out. Inside means non-negative, where truncation is floor: converting u itself gives
// floor(u) without a call to floor, which baseline x86-64 has no instruction for. A NaN position
// converts to index 0 and makes every weight NaN, so its samples come out as 0, like a pixel
// outside. Indices stay inside: u <= width - 1 gives x0 <= width - 1, and x1 is clamped to the
// last column (the same for rows).
template <typename T>
void blend_pixel(const Source<T>& source, double u, double v, T* out) {
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

}  // namespace

// The inputs are copied to locals because 8-bit stores may alias anything: read through
// references, every field would be reloaded after each stored sample.
template <typename T>
void warp_pixels_baseline(const Source<T>& shared_source, const ColumnTable& shared_columns,
                          RowTerms row, std::size_t begin, std::size_t end, T* row_out) {
    const Source<T> source = shared_source;
    const ColumnTable columns = shared_columns;
    for (std::size_t x = begin; x < end; ++x) {
        T* const out = row_out + x * 3;
        // The comparisons are written so that a NaN position passes them and blends to zeros;
        // infinite positions fail them. The sign of w is deliberately not tested.
        double u = 0.0, v = 0.0;
        const double w = row.w + columns.w[x];
        bool inside = w != 0.0;
        if (inside) {
            u = (row.u + columns.u[x]) / w;
            inside = !(u < 0.0 || u > source.max_x);
        }
        if (inside) {
            v = (row.v + columns.v[x]) / w;
            inside = !(v < 0.0 || v > source.max_y);
        }
        if (inside) {
            blend_pixel(source, u, v, out);
        } else {
            out[0] = out[1] = out[2] = 0;
        }
    }
}

template void warp_pixels_baseline(const Source<std::uint8_t>&, const ColumnTable&, RowTerms,
                                   std::size_t, std::size_t, std::uint8_t*);
template void warp_pixels_baseline(const Source<std::uint16_t>&, const ColumnTable&, RowTerms,
                                   std::size_t, std::size_t, std::uint16_t*);

}  // namespace tarnwick::warp
