// The inverse-homography resampler: per-call tables, the kernel version, and rows in parallel.
#include "warp/warp_rgb.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "parallel/pool.hpp"
#include "sample/check.hpp"
#include "warp/pixel_kernels.hpp"

namespace tarnwick::warp {
namespace {

// Rows go to workers in blocks, and a block is computed in tiles of columns: under a rotation the
// rows of a block read mostly the same source lines, and a tile keeps them in cache from one row
// to the next. Taller blocks would read more rows at once than the hardware prefetcher follows.
// Each output row is still written by one worker only, and what a pixel computes does not depend
// on the split. Tiles are a multiple of every vector length.
constexpr std::size_t BLOCK_ROWS = 8;
constexpr std::size_t TILE_COLUMNS = 256;

// H[0]·sx, H[3]·sx and H[6]·sx for every column, in three consecutive arrays.
class ColumnTerms {
public:
    ColumnTerms(std::size_t width, const std::array<double, 9>& h, double scale, double off_x)
        : terms_(3 * width), width_(width) {
        for (std::size_t x = 0; x < width; ++x) {
            double sx = static_cast<double>(x) / scale + off_x;
            terms_[x] = h[0] * sx;
            terms_[width + x] = h[3] * sx;
            terms_[2 * width + x] = h[6] * sx;
        }
    }
    ColumnTable table() const {
        const double* v = terms_.data() + width_;
        const double* w = v + width_;
        auto zeros = [&](const double* terms) {
            return std::all_of(terms, terms + width_, [](double term) { return term == 0.0; });
        };
        return {terms_.data(), v, w, zeros(w), zeros(v)};
    }

private:
    std::vector<double> terms_;
    std::size_t width_;
};

RowTerms row_terms(std::size_t y, const std::array<double, 9>& h, double scale, double off_y) {
    double sy = static_cast<double>(y) / scale + off_y;
    return {h[2] + h[1] * sy, h[5] + h[4] * sy, h[8] + h[7] * sy};
}

// The vector kernels form a source byte offset as row index × row length in 32-bit halves.
template <typename T>
bool vector_kernels_fit(std::size_t width, std::size_t height) {
    return width <= std::numeric_limits<std::uint32_t>::max() / (3 * sizeof(T)) &&
           height <= std::numeric_limits<std::int32_t>::max();
}

template <typename T>
PixelKernel<T> pixel_kernel(InstructionSet set, std::size_t width, std::size_t height) {
    if (!vector_kernels_fit<T>(width, height)) return warp_pixels_baseline<T>;
    switch (resolve_instruction_set(set)) {
#ifdef TARNWICK_HAVE_AVX512
        case InstructionSet::avx512: return warp_pixels_avx512;
#endif
#ifdef TARNWICK_HAVE_AVX2
        case InstructionSet::avx2: return warp_pixels_avx2;
#endif
#ifdef TARNWICK_HAVE_NEON
        case InstructionSet::neon: return warp_pixels_neon;
#endif
        default: return warp_pixels_baseline<T>;
    }
}

// A position in the source.
struct Point {
    double u, v;
};

// The least and greatest u of a convex quadrilateral (corners in order around it) within the
// band a <= v <= b; lo > hi when the two do not meet.
void u_extent(const Point (&corner)[4], double a, double b, double& lo, double& hi) {
    lo = INFINITY;
    hi = -INFINITY;
    for (std::size_t i = 0; i < 4; ++i) {
        const Point p = corner[i], q = corner[(i + 1) % 4];
        // The part of edge p-q inside the band, as parameters t0 <= t1 along it.
        double t0 = 0.0, t1 = 1.0;
        const double dv = q.v - p.v;
        if (dv == 0.0) {
            if (!(p.v >= a && p.v <= b)) continue;
        } else {
            double ta = (a - p.v) / dv, tb = (b - p.v) / dv;
            if (ta > tb) std::swap(ta, tb);
            t0 = std::max(t0, ta);
            t1 = std::min(t1, tb);
            if (!(t0 <= t1)) continue;
        }
        const double u0 = p.u + t0 * (q.u - p.u), u1 = p.u + t1 * (q.u - p.u);
        lo = std::min({lo, u0, u1});
        hi = std::max({hi, u0, u1});
    }
}

// Asks the second-level cache for the source lines that rows [0, rows) of a block read in columns
// [begin, end). Under a rotation those lines lie on many source rows, a pattern the hardware
// prefetchers do not follow, and the loads would wait for each miss. While W keeps its sign, the
// tile's positions lie inside the quadrilateral of its corners' positions (a projective map keeps
// lines straight), and each strip of source rows is asked for only where the quadrilateral crosses
// it, up to one line per pixel of the tile. (Asking for the quadrilateral's whole bounding box
// instead fetched several times the lines a rotated tile reads: where the source does not fit in
// the last-level cache, a 30-degree rotation of a 3840x2160 image then took twice as long.)
// Changes nothing.
template <typename T>
void prefetch_source(const Source<T>& source, const ColumnTable& columns, const RowTerms* terms,
                     std::size_t rows, std::size_t begin, std::size_t end) {
    asm volatile("");  // a function made of prefetches alone is dropped by GCC as having no effect
    Point corner[4];
    const std::size_t xs[4] = {begin, end - 1, end - 1, begin};
    const std::size_t rs[4] = {0, 0, rows - 1, rows - 1};
    double u_min = INFINITY, u_max = -INFINITY, v_min = INFINITY, v_max = -INFINITY;
    for (std::size_t i = 0; i < 4; ++i) {
        const double w = terms[rs[i]].w + columns.w[xs[i]];
        if (!(w > 0.0)) return;
        corner[i] = {(terms[rs[i]].u + columns.u[xs[i]]) / w, (terms[rs[i]].v + columns.v[xs[i]]) / w};
        u_min = std::min(u_min, corner[i].u);
        u_max = std::max(u_max, corner[i].u);
        v_min = std::min(v_min, corner[i].v);
        v_max = std::max(v_max, corner[i].v);
    }
    // Row y is read by pixels with v in [y - 1, y + 1) (rows floor(v) and floor(v) + 1); the same
    // for columns.
    auto clip = [](double& lo, double& hi, double max) {
        lo = std::max(lo, 0.0);
        hi = std::min(hi + 1.0, max);
        return lo <= hi;  // false outside the source, or for NaN
    };
    if (!clip(u_min, u_max, source.max_x) || !clip(v_min, v_max, source.max_y)) return;
    constexpr std::size_t LINE = 64, STRIP = 8;
    const std::size_t pixel_bytes = 3 * sizeof(T), row_bytes = source.width * pixel_bytes;
    auto lines_of = [&](double lo, double hi) {
        return (static_cast<std::size_t>(hi) - static_cast<std::size_t>(lo)) * pixel_bytes / LINE + 2;
    };
    const auto top = static_cast<std::size_t>(v_min), bottom = static_cast<std::size_t>(v_max);
    std::size_t budget = rows * (end - begin);  // lines
    const auto* samples = reinterpret_cast<const unsigned char*>(source.samples);
    for (std::size_t strip = top; strip <= bottom; strip += STRIP) {
        const std::size_t last_row = std::min(bottom, strip + STRIP - 1);
        double lo, hi;
        u_extent(corner, static_cast<double>(strip) - 1.0, static_cast<double>(last_row) + 1.0, lo, hi);
        if (!clip(lo, hi, source.max_x)) continue;
        const auto first = static_cast<std::size_t>(lo) * pixel_bytes;
        const auto last = static_cast<std::size_t>(hi) * pixel_bytes + pixel_bytes - 1;
        const std::size_t lines = lines_of(lo, hi);
        for (std::size_t y = strip; y <= last_row; ++y) {
            if (budget < lines) return;
            budget -= lines;
            const unsigned char* row = samples + y * row_bytes;
            for (std::size_t byte = first; byte <= last; byte += LINE) __builtin_prefetch(row + byte, 0, 2);
            __builtin_prefetch(row + last, 0, 2);
        }
    }
}

// width × 3 × height, or nothing when that does not fit in a size: no buffer can be that long.
bool sample_count(std::size_t width, std::size_t height, std::size_t& count) {
    return !__builtin_mul_overflow(width, std::size_t{3}, &count) &&
           !__builtin_mul_overflow(count, height, &count);
}

}  // namespace

template <typename T>
OrSizeMismatch<Buffer<T>> warp_rgb_using(InstructionSet set, std::span<const T> src,
                                         std::size_t width, std::size_t height,
                                         const std::array<double, 9>& inverse, double scale,
                                         double off_x, double off_y) {
    std::size_t expected = 0;
    check(sample_count(width, height, expected), "width x 3 x height overflows a size");
    if (src.size() != expected) return SizeMismatch{expected, src.size()};

    // A width of 0 is an empty image like a height of 0: there is nothing to sample.
    if (expected == 0) return Buffer<T>(0);
    const parallel::BusyCaller busy;
    // Every sample is written below, zeros included.
    Buffer<T> output = Buffer<T>::for_overwrite(expected);

    const Source<T> source{src.data(), width, height, static_cast<double>(width) - 1.0,
                           static_cast<double>(height) - 1.0};
    const ColumnTerms column_terms(width, inverse, scale, off_x);
    const ColumnTable columns = column_terms.table();
    const PixelKernel<T> kernel = pixel_kernel<T>(set, width, height);
    const std::size_t row_length = width * 3;
    // Where neither V nor W depends on the column, each output row reads the same two source rows
    // all along, and tiles keep nothing in cache that whole rows would not: whole rows then save
    // the kernel's setup for every tile.
    const std::size_t tile = columns.v_same_along_rows() ? width : TILE_COLUMNS;
    T* const out = output.data();
    parallel::for_each_row_block(height, BLOCK_ROWS, [&](parallel::RowRange block) {
        const std::size_t rows = block.end - block.begin;
        RowTerms terms[BLOCK_ROWS];
        for (std::size_t r = 0; r < rows; ++r)
            terms[r] = row_terms(block.begin + r, inverse, scale, off_y);
        // All the first tile's lines are asked for at once, so that their misses overlap.
        prefetch_source(source, columns, terms, rows, 0, std::min(width, tile));
        for (std::size_t begin = 0; begin < width; begin += tile) {
            const std::size_t end = std::min(width, begin + tile);
            if (end < width)  // the next tile's lines arrive while this one is computed
                prefetch_source(source, columns, terms, rows, end, std::min(width, end + tile));
            for (std::size_t r = 0; r < rows; ++r)
                kernel(source, columns, terms[r], begin, end, out + (block.begin + r) * row_length);
        }
    });
    return output;
}

template <typename T>
OrSizeMismatch<Buffer<T>> warp_rgb(std::span<const T> src, std::size_t width, std::size_t height,
                                   const std::array<double, 9>& inverse, double scale, double off_x,
                                   double off_y) {
    return warp_rgb_using(active_instruction_set(), src, width, height, inverse, scale, off_x,
                          off_y);
}

template OrSizeMismatch<Buffer<std::uint8_t>> warp_rgb(std::span<const std::uint8_t>, std::size_t,
                                                       std::size_t, const std::array<double, 9>&,
                                                       double, double, double);
template OrSizeMismatch<Buffer<std::uint16_t>> warp_rgb(std::span<const std::uint16_t>,
                                                        std::size_t, std::size_t,
                                                        const std::array<double, 9>&, double,
                                                        double, double);
template OrSizeMismatch<Buffer<std::uint8_t>> warp_rgb_using(InstructionSet,
                                                             std::span<const std::uint8_t>,
                                                             std::size_t, std::size_t,
                                                             const std::array<double, 9>&, double,
                                                             double, double);
template OrSizeMismatch<Buffer<std::uint16_t>> warp_rgb_using(InstructionSet,
                                                              std::span<const std::uint16_t>,
                                                              std::size_t, std::size_t,
                                                              const std::array<double, 9>&,
                                                              double, double, double);

}  // namespace tarnwick::warp
