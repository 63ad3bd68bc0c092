// Row kernels of the detector's image-sized stages, one version per instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "detector/types.hpp"
#include "sample/instruction_set.hpp"

namespace tarnwick::detector {

/// Every version computes exactly the same bytes: the same operations in the same order, only more
/// lanes at a time.
struct PixelKernels {
    /// out[x] = the working value of in[x] (uint16 samples divided by 257.0), for x < n.
    void (*convert_u8)(const std::uint8_t* in, std::size_t n, double* out);
    void (*convert_u16)(const std::uint16_t* in, std::size_t n, double* out);
    void (*convert_f32)(const float* in, std::size_t n, double* out);
    /// One row of the level-line field from image rows y and y + 1: width records, the last zero.
    /// Records whose norm is at most zero_at_most are written as zeros (a negative value keeps
    /// every record). The active version computes hypot in vectors only where that gives the C
    /// library's values.
    void (*level_line_row)(const double* top, const double* bottom, std::size_t width,
                           float zero_at_most, Px* out);
    /// The same row with every hypot from the C library.
    void (*level_line_row_library_hypot)(const double* top, const double* bottom, std::size_t width,
                                         float zero_at_most, Px* out);
    /// The row of the field of uint8 samples from rows y and y + 1 of the samples themselves: the
    /// records that level_line_row gives for their working values, looked up in table, which is
    /// byte_block_records().
    void (*level_line_row_bytes)(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t width,
                                 const Px* table, Px* out);
    /// out[i] = hypot(x[i], y[i]) the vector way, whatever the C library is (for the tests).
    void (*hypot_row)(const double* x, const double* y, std::size_t n, double* out);
    /// out[x] = sum over k < count, in ascending k from 0.0, of weights[k] * sources[k][x].
    void (*weighted_sum)(const double* const* sources, const double* weights, std::size_t count,
                         std::size_t n, double* out);
    /// The sums of weighted_sum into first, and those of sources + gap into second (count + gap
    /// sources in all): the rows of a column pass gap rows apart, each source read once for both.
    void (*weighted_sum_pair)(const double* const* sources, const double* weights, std::size_t count,
                              std::size_t gap, std::size_t n, double* first, double* second);
    /// The sums of weighted_sum over the sources row, row + 1, ..., row + count - 1 (a row filtered
    /// along itself), only for the x < n whose bit x % 8 of keep[x / 8] is set, written one after
    /// the other. Reads row in whole vectors, so up to ROW_SUM_READS_PAST values past
    /// row[n + count - 2] (fastest with row on a cache line), and may write up to KEPT_SUM_SLACK
    /// scratch values after the last sum.
    void (*row_sum_kept)(const double* row, const double* weights, std::size_t count, std::size_t n,
                         const std::uint8_t* keep, double* out);
    /// out[i] = 1 where px[i].norm <= threshold (single precision), else 0.
    void (*used_flags)(const Px* px, std::size_t n, float threshold, std::uint8_t* out);
    /// The pixels among n whose norm is above the threshold, in ascending order: their positions
    /// (0 to n - 1) and norms; returns how many. Writes the used flags of all n too, as used_flags
    /// does, from the same reading of the norms. May write up to STRONG_PIXEL_SLACK scratch values
    /// after the last position and the last norm.
    std::size_t (*strong_pixels)(const Px* px, std::size_t n, float threshold,
                                 std::uint32_t* positions, float* norms, std::uint8_t* used);
    /// classes[i] = the seed class of a pixel of norm norms[i] above the threshold: 1023 - its norm
    /// bin (strongest bin first), the bin trunc((norm / max_norm) * 1023) in single precision,
    /// limited to [0, 1023] (NaN giving 0); NOT_A_SEED for a norm not above the threshold.
    void (*seed_classes)(const float* norms, std::size_t n, float max_norm, float threshold,
                         std::uint16_t* classes);
    /// The inertia sums of n region pixels around (cx, cy), with ex = x - cx, ey = y - cy and
    /// w = norm: sums[0] of ey * (ey * w), sums[1] of ex * (ex * w), sums[2] of (ex * w) * ey, each
    /// from 0.0 in region order.
    void (*region_inertia)(const RegionPixel* region, std::size_t n, double cx, double cy, double* sums);
    /// The extent of n region pixels along the unit axis (dx, dy) through (cx, cy): the least and
    /// the greatest of along = dy * ey + dx * ex, then of across = dx * ey - dy * ex, over the
    /// pixels and 0.0, into extent[0..3]. NaN values are ignored; a zero extent is +0.0.
    void (*region_extent)(const RegionPixel* region, std::size_t n, double cx, double cy, double dx, double dy,
                          double* extent);
};

/// Where the record of a block of uint8 samples lies in byte_block_records(), given the magnitudes
/// of its doubled gradient (2 gx, 2 gy), both whole numbers from 0 to 510: (511 |kx| + |ky|) / 2.
/// Only pairs of equal parity occur (their sum is twice the difference of two samples), so half
/// the pairs need room. Int is an integer type or a vector of them, for the lookup kernels.
template <typename Int>
constexpr Int byte_block_index(Int abs_kx, Int abs_ky) {
    return ((abs_kx << 9) - abs_kx + abs_ky) >> 1;
}
inline constexpr std::size_t BYTE_BLOCK_RECORDS = static_cast<std::size_t>(byte_block_index(510, 510)) + 1;

/// The record of every block of uint8 samples with a gradient of non-negative components, as
/// level_line_row computes it from the working values, at byte_block_index(2 gx, 2 gy). Computed
/// once per process, on first use (about as much work as the field of a 512x512 image).
const Px* byte_block_records();

/// Room that row_sum_kept needs after its last sum.
constexpr std::size_t KEPT_SUM_SLACK = 8;
/// How far past the last value it uses row_sum_kept may read its row.
constexpr std::size_t ROW_SUM_READS_PAST = 8;
/// Room that strong_pixels needs after its last position and norm.
constexpr std::size_t STRONG_PIXEL_SLACK = 16;

/// The class of a pixel whose norm is not above the threshold.
constexpr std::uint16_t NOT_A_SEED = 1024;

/// The version for the active instruction set (chosen once per process).
const PixelKernels& pixel_kernels();

/// The version for a set; a set this build or CPU cannot run gives the best usable one.
const PixelKernels& pixel_kernels(InstructionSet set);

/// Converts n samples of any accepted type to working values (doubles are copied).
template <typename T>
void convert_samples(const PixelKernels& kernels, const T* in, std::size_t n, double* out) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        kernels.convert_u8(in, n, out);
    } else if constexpr (std::is_same_v<T, std::uint16_t>) {
        kernels.convert_u16(in, n, out);
    } else if constexpr (std::is_same_v<T, float>) {
        kernels.convert_f32(in, n, out);
    } else {
        static_assert(std::is_same_v<T, double>, "samples are uint8, uint16, float or double");
        std::memcpy(out, in, n * sizeof(double));
    }
}

}  // namespace tarnwick::detector
