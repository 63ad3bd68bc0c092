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
        return {terms_.data(), terms_.data() + width_, terms_.data() + 2 * width_};
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

// Asks the second-level cache for the source lines that rows [0, rows) of a block read in columns
// [begin, end). Under a rotation those lines lie on many source rows, a pattern the hardware
// prefetchers do not follow, and the gathers would wait for each miss. The corners' positions
// bound the lines a projective map can reach while W keeps its sign; a bound with more lines than
// the tile has pixels (strong reductions, W near 0) is left alone. Changes nothing.
template <typename T>
void prefetch_source(const Source<T>& source, const ColumnTable& columns, const RowTerms* terms,
                     std::size_t rows, std::size_t begin, std::size_t end) {
    asm volatile("");  // a function made of prefetches alone is dropped by GCC as having no effect
    double u_min = INFINITY, u_max = -INFINITY, v_min = INFINITY, v_max = -INFINITY;
    for (std::size_t x : {begin, end - 1})
        for (std::size_t r : {std::size_t{0}, rows - 1}) {
            const double w = terms[r].w + columns.w[x];
            if (!(w > 0.0)) return;
            const double u = (terms[r].u + columns.u[x]) / w, v = (terms[r].v + columns.v[x]) / w;
            u_min = std::min(u_min, u);
            u_max = std::max(u_max, u);
            v_min = std::min(v_min, v);
            v_max = std::max(v_max, v);
        }
    u_min = std::max(u_min, 0.0);
    v_min = std::max(v_min, 0.0);
    u_max = std::min(u_max + 1.0, source.max_x);
    v_max = std::min(v_max + 1.0, source.max_y);
    if (!(u_min <= u_max && v_min <= v_max)) return;  // outside the source, or NaN
    constexpr std::size_t LINE = 64;
    const auto first = static_cast<std::size_t>(u_min) * 3 * sizeof(T);
    const auto last = static_cast<std::size_t>(u_max) * 3 * sizeof(T) + 3 * sizeof(T) - 1;
    const auto top = static_cast<std::size_t>(v_min), bottom = static_cast<std::size_t>(v_max);
    if ((bottom - top + 1) * ((last - first) / LINE + 2) > rows * (end - begin)) return;
    const std::size_t row_bytes = source.width * 3 * sizeof(T);
    const auto* samples = reinterpret_cast<const unsigned char*>(source.samples);
    for (std::size_t y = top; y <= bottom; ++y) {
        const unsigned char* row = samples + y * row_bytes;
        for (std::size_t byte = first; byte <= last; byte += LINE) __builtin_prefetch(row + byte, 0, 2);
        __builtin_prefetch(row + last, 0, 2);
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
    T* const out = output.data();
    parallel::for_each_row_block(height, BLOCK_ROWS, [&](parallel::RowRange block) {
        const std::size_t rows = block.end - block.begin;
        RowTerms terms[BLOCK_ROWS];
        for (std::size_t r = 0; r < rows; ++r)
            terms[r] = row_terms(block.begin + r, inverse, scale, off_y);
        // All the first tile's lines are asked for at once, so that their misses overlap.
        prefetch_source(source, columns, terms, rows, 0, std::min(width, TILE_COLUMNS));
        for (std::size_t begin = 0; begin < width; begin += TILE_COLUMNS) {
            const std::size_t end = std::min(width, begin + TILE_COLUMNS);
            if (end < width)  // the next tile's lines arrive while this one is computed
                prefetch_source(source, columns, terms, rows, end, std::min(width, end + TILE_COLUMNS));
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
