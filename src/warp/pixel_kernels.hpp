// The resampler's pixel loop as seen by its callers: the inputs of one run of output pixels and the
// kernel versions, one per instruction set, that compute it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::warp {

/// The source image with the bounds that positions are tested against.
template <typename T>
struct Source {
    const T* samples;
    std::size_t width;
    std::size_t height;
    double max_x;
    double max_y;
};

/// H[0]·sx, H[3]·sx and H[6]·sx of every output column, one array each so that vector kernels
/// load consecutive columns at once. They do not depend on the row, and each is the very product
/// the per-pixel formula forms, so reading them from a table changes no bit.
struct ColumnTable {
    const double* u;
    const double* v;
    const double* w;
    bool w_zero;  // every H[6]·sx is a zero, so a row with H[8] + H[7]·sy = 1 has W = 1 throughout
    bool v_zero;  // every H[3]·sx is a zero

    /// Neither V nor W depends on the column, so every pixel of a row has the same v (up to the
    /// sign of a zero or of an infinity, which no output byte shows).
    bool v_same_along_rows() const { return v_zero && w_zero; }
};

/// The same for one output row: H[2] + H[1]·sy and its two siblings.
struct RowTerms {
    double u;
    double v;
    double w;
};

/// Computes output pixels [begin, end) of one row into row_out, which points at the row's first
/// sample. Every sample of those pixels is written, 0 where the position falls outside the
/// source: the output starts uninitialised, so that it is written once, not cleared first.
template <typename T>
using PixelKernel = void (*)(const Source<T>& source, const ColumnTable& columns, RowTerms row,
                             std::size_t begin, std::size_t end, T* row_out);

/// The portable version; every other version computes exactly its values.
template <typename T>
void warp_pixels_baseline(const Source<T>& source, const ColumnTable& columns, RowTerms row,
                          std::size_t begin, std::size_t end, T* row_out);

// The vector versions need every byte offset of a source row to fit in 32 bits.
#ifdef TARNWICK_HAVE_AVX2
void warp_pixels_avx2(const Source<std::uint8_t>&, const ColumnTable&, RowTerms, std::size_t,
                      std::size_t, std::uint8_t*);
void warp_pixels_avx2(const Source<std::uint16_t>&, const ColumnTable&, RowTerms, std::size_t,
                      std::size_t, std::uint16_t*);
#endif
#ifdef TARNWICK_HAVE_AVX512
void warp_pixels_avx512(const Source<std::uint8_t>&, const ColumnTable&, RowTerms, std::size_t,
                        std::size_t, std::uint8_t*);
void warp_pixels_avx512(const Source<std::uint16_t>&, const ColumnTable&, RowTerms, std::size_t,
                        std::size_t, std::uint16_t*);
#endif
#ifdef TARNWICK_HAVE_NEON
void warp_pixels_neon(const Source<std::uint8_t>&, const ColumnTable&, RowTerms, std::size_t,
                      std::size_t, std::uint8_t*);
void warp_pixels_neon(const Source<std::uint16_t>&, const ColumnTable&, RowTerms, std::size_t,
                      std::size_t, std::uint16_t*);
#endif

}  // namespace tarnwick::warp
