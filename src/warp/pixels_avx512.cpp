// The resampler's pixel loop for AVX-512 (F, BW, VL, DQ): eight output pixels per vector.
// GCC 12 makes the header's "undefined" vectors by self-initialisation and then reports them as
// uninitialised wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "warp/eight_byte_loads.hpp"
#include "warp/vector_pixels.hpp"

namespace tarnwick::warp {
namespace {

struct Avx512 {
    static constexpr std::size_t LANES = 8;
    // Samples become doubles by a conversion from 64-bit integers, not through an exponent.
    static constexpr bool CONVERTS_INTEGERS = true;
    // Thirty-two registers hold the weights of the vector read ahead; formed at the blend instead,
    // they measured slower.
    static constexpr bool WEIGHTS_AHEAD = true;
    using Double = __m512d;
    using Mask = __mmask8;
    using Lanes = __m512i;

    static Double load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, Double a) { _mm512_store_pd(p, a); }
    static Double broadcast(double a) { return _mm512_set1_pd(a); }
    static Double add(Double a, Double b) { return _mm512_add_pd(a, b); }
    static Double sub(Double a, Double b) { return _mm512_sub_pd(a, b); }
    static Double mul(Double a, Double b) { return _mm512_mul_pd(a, b); }
    static Double div(Double a, Double b) { return _mm512_div_pd(a, b); }

    static Mask at_least(Double a, Double b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static Mask at_most(Double a, Double b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static Mask both(Mask a, Mask b) { return static_cast<Mask>(a & b); }
    static unsigned bits(Mask m) { return m; }

    // Positions are classified by their floors, taken as 64-bit integers in one conversion:
    // NaN, infinite and out-of-range lanes give 2^63.
    static constexpr bool INTEGER_FLOORS = true;
    static Lanes floor(Double a) {
        return _mm512_cvt_roundpd_epi64(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    static Mask below_lanes(Lanes a, std::uint64_t limit) {
        return _mm512_cmplt_epu64_mask(a, _mm512_set1_epi64(static_cast<long long>(limit)));
    }
    static Lanes keep_lanes(Mask m, Lanes a) { return _mm512_maskz_mov_epi64(m, a); }
    // The stores mask the lanes that are not interior, whatever their fractions.
    static Double outside_as_nan(Mask, Double fraction) { return fraction; }
    // a - floor(a), exact: the difference of a and its integer part is a double.
    static Double fraction(Double a) {
        return _mm512_reduce_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    // Lanes below 2^32 times a factor below 2^32.
    static Lanes times(Lanes a, std::uint32_t factor) {
        return _mm512_mul_epu32(a, _mm512_set1_epi64(factor));
    }
    static Lanes plus(Lanes a, Lanes b) { return _mm512_add_epi64(a, b); }
    static void store_lanes(std::uint64_t* p, Lanes a) { _mm512_store_si512(p, a); }
    static Lanes gather(const unsigned char* base, const std::uint64_t* at) {
        return _mm512_inserti64x4(_mm512_castsi256_si512(four_loads<HighHalf::insert>(base, at)),
                                  four_loads<HighHalf::insert>(base, at + 4), 1);
    }
    static Lanes shuffle_control(std::uint64_t first, std::uint64_t second) {
        return _mm512_broadcast_i32x4(
            _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first)));
    }
    static Double sample(Lanes loads, Lanes control) {
        return _mm512_cvtepi64_pd(_mm512_shuffle_epi8(loads, control));
    }

    // 16-bit samples are read a whole pair per load.
    template <typename T>
    static constexpr bool WHOLE_PAIRS = sizeof(T) == 2;
    // The sixteen bytes at base + at[i] in 128-bit lane i % 4 of pairs[i / 4], i = 0 .. 7.
    static void whole_pairs(const unsigned char* base, const std::uint64_t* at, Lanes (&pairs)[2]) {
        auto load = [&](std::size_t i) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + at[i]));
        };
        for (std::size_t half = 0; half < 2; ++half) {
            Lanes lanes = _mm512_castsi128_si512(load(4 * half));
            lanes = _mm512_inserti32x4(lanes, load(4 * half + 1), 1);
            lanes = _mm512_inserti32x4(lanes, load(4 * half + 2), 2);
            pairs[half] = _mm512_inserti32x4(lanes, load(4 * half + 3), 3);
        }
    }
    // The word permutation that takes the given word of every 128-bit lane of the two registers
    // to the low word of 64-bit lane i: lane i % 4 of the first register for i < 4, of the
    // second for the others.
    static Lanes whole_pair_control(int word) {
        alignas(64) std::uint16_t index[32] = {};
        for (int i = 0; i < 8; ++i) index[4 * i] = static_cast<std::uint16_t>(8 * i + word);
        return _mm512_load_si512(index);
    }
    static Double whole_pair_sample(const Lanes* pairs, Lanes control) {
        // Only the low word of each 64-bit lane is taken; the mask clears the others.
        return _mm512_cvtepi64_pd(
            _mm512_maskz_permutex2var_epi16(0x11111111, pairs[0], control, pairs[1]));
    }

    static void store_pixels(std::uint8_t* out, const Double values[3], Mask interior) {
        __m256i c0 = _mm512_maskz_cvttpd_epi32(interior, values[0]);
        __m256i c1 = _mm512_maskz_cvttpd_epi32(interior, values[1]);
        __m256i c2 = _mm512_maskz_cvttpd_epi32(interior, values[2]);
        __m256i pixels =
            _mm256_or_si256(_mm256_or_si256(c0, _mm256_slli_epi32(c1, 8)), _mm256_slli_epi32(c2, 16));
        // Twelve bytes per 128 bits, then the two runs of twelve joined.
        const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1,
                                                 -1, 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1,
                                                 -1, -1);
        pixels = _mm256_shuffle_epi8(pixels, squeeze);
        pixels = _mm256_permutevar8x32_epi32(pixels, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
        _mm256_mask_storeu_epi8(out, 0x00FFFFFF, pixels);
    }
    static void store_pixels(std::uint16_t* out, const Double values[3], Mask interior) {
        __m256i c0 = _mm512_maskz_cvttpd_epi32(interior, values[0]);
        __m256i c1 = _mm512_maskz_cvttpd_epi32(interior, values[1]);
        __m256i c2 = _mm512_maskz_cvttpd_epi32(interior, values[2]);
        // Word 2i of the first table is channel 0 of pixel i, word 16 + 2i channel 1, and word 2i
        // of the second table channel 2.
        const __m512i first = _mm512_inserti64x4(_mm512_castsi256_si512(c0), c1, 1);
        const __m512i second = _mm512_castsi256_si512(c2);
        const __m512i interleave = _mm512_set_epi16(
            0, 0, 0, 0, 0, 0, 0, 0, 46, 30, 14, 44, 28, 12, 42, 26, 10, 40, 24, 8, 38, 22, 6, 36, 20,
            4, 34, 18, 2, 32, 16, 0);
        _mm512_mask_storeu_epi16(out, 0x00FFFFFF,
                                 _mm512_permutex2var_epi16(first, interleave, second));
    }

};

}  // namespace

void warp_pixels_avx512(const Source<std::uint8_t>& source, const ColumnTable& columns,
                        RowTerms row, std::size_t begin, std::size_t end, std::uint8_t* row_out) {
    warp_pixels_vector<Avx512>(source, columns, row, begin, end, row_out);
}

void warp_pixels_avx512(const Source<std::uint16_t>& source, const ColumnTable& columns,
                        RowTerms row, std::size_t begin, std::size_t end, std::uint16_t* row_out) {
    warp_pixels_vector<Avx512>(source, columns, row, begin, end, row_out);
}

}  // namespace tarnwick::warp
