// The resampler's pixel loop for AVX2: four output pixels per vector of doubles.
#include <immintrin.h>

#include "warp/eight_byte_loads.hpp"
#include "warp/vector_pixels.hpp"

namespace tarnwick::warp {
namespace {

struct Avx2 {
    static constexpr std::size_t LANES = 4;
    static constexpr bool CONVERTS_INTEGERS = false;
    // Sixteen registers do not hold the weights of the vector read ahead beside its samples and
    // the loop's constants: the compiler spilled them to the stack. Formed at the blend from the
    // stored fractions instead, they save those stores and loads (2-6 % fewer instructions).
    static constexpr bool WEIGHTS_AHEAD = false;
    using Double = __m256d;
    using Mask = __m256d;  // all ones or all zeros per lane
    using Lanes = __m256i;

    static Double load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, Double a) { _mm256_store_pd(p, a); }
    static Double broadcast(double a) { return _mm256_set1_pd(a); }
    static Double add(Double a, Double b) { return _mm256_add_pd(a, b); }
    static Double sub(Double a, Double b) { return _mm256_sub_pd(a, b); }
    static Double mul(Double a, Double b) { return _mm256_mul_pd(a, b); }
    static Double div(Double a, Double b) { return _mm256_div_pd(a, b); }

    static Mask at_least(Double a, Double b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static Mask at_most(Double a, Double b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }

    // Positions are classified by their floors as integers: rounded down, then converted to
    // 32-bit integers, where NaN, infinite and out-of-range lanes give -2^31, and read as unsigned
    // 64-bit integers, so that negative floors and those become 2^31 or more. No column or row
    // index reaches 2^31 here, so a signed comparison serves.
    static constexpr bool INTEGER_FLOORS = true;
    static Lanes floor(Double a) {
        return _mm256_cvtepu32_epi64(_mm256_cvttpd_epi32(_mm256_floor_pd(a)));
    }
    static Mask below_lanes(Lanes a, std::uint64_t limit) {
        return _mm256_castsi256_pd(
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(limit)), a));
    }
    static Lanes keep_lanes(Mask m, Lanes a) { return _mm256_and_si256(_mm256_castpd_si256(m), a); }
    // A NaN fraction makes every weight of the lane NaN, and so its blend, which truncates to
    // 0x80000000: the stores below keep only low bytes or words of each channel, zeros, and need
    // no mask. One blend here saves three masks there.
    static Double outside_as_nan(Mask interior, Double fraction) {
        return _mm256_blendv_pd(_mm256_set1_pd(__builtin_nan("")), fraction, interior);
    }
    static Double fraction(Double a) { return _mm256_sub_pd(a, _mm256_floor_pd(a)); }
    // Lanes below 2^32 times a factor below 2^32.
    static Lanes times(Lanes a, std::uint32_t factor) {
        return _mm256_mul_epu32(a, _mm256_set1_epi64x(factor));
    }
    static Lanes plus(Lanes a, Lanes b) { return _mm256_add_epi64(a, b); }
    static void store_lanes(std::uint64_t* p, Lanes a) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), a); }
    static Lanes gather(const unsigned char* base, const std::uint64_t* at) {
        return four_loads<HighHalf::move>(base, at);
    }
    static Lanes with_exponent(Lanes a, int word) {
        const __m256i exponent = _mm256_set1_epi16(0x4330);
        return word == 0 ? _mm256_blend_epi16(a, exponent, 0x11) : _mm256_blend_epi16(a, exponent, 0x88);
    }
    // Pairs are read eight bytes per load for every sample type.
    template <typename T>
    static constexpr bool WHOLE_PAIRS = false;
    static Lanes shuffle_control(std::uint64_t first, std::uint64_t second) {
        return _mm256_broadcastsi128_si256(
            _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first)));
    }
    static Double sample(Lanes loads, Lanes control) {
        const __m256d two_52 = _mm256_set1_pd(4503599627370496.0);
        return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_shuffle_epi8(loads, control)), two_52);
    }

    // Lanes that are not interior hold NaN or zeros.
    static void store_pixels(std::uint8_t* out, const Double values[3], Mask) {
        __m128i c0 = _mm256_cvttpd_epi32(values[0]);
        __m128i c1 = _mm256_cvttpd_epi32(values[1]);
        __m128i c2 = _mm256_cvttpd_epi32(values[2]);
        // The top byte of channel 0, 0x80 in a NaN lane, is the one the squeeze drops.
        __m128i pixels = _mm_or_si128(_mm_or_si128(c0, _mm_slli_epi32(c1, 8)), _mm_slli_epi32(c2, 16));
        pixels = _mm_shuffle_epi8(pixels, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pixels);
        _mm_storeu_si32(out + 8, _mm_srli_si128(pixels, 8));
    }
    static void store_pixels(std::uint16_t* out, const Double values[3], Mask) {
        __m128i c0 = _mm256_cvttpd_epi32(values[0]);
        __m128i c1 = _mm256_cvttpd_epi32(values[1]);
        __m128i c2 = _mm256_cvttpd_epi32(values[2]);
        // Channel 0's low word beside channel 1's: a word blend, not an or, leaves out the top
        // word of channel 0, 0x8000 in a NaN lane.
        __m128i first_two = _mm_blend_epi16(c0, _mm_slli_epi32(c1, 16), 0xAA);
        // Pixels 0 and 1, then 2 and 3, as words c0 c1 c2 0 per pixel; then the zero words go.
        const __m128i squeeze = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
        __m128i low = _mm_shuffle_epi8(_mm_unpacklo_epi32(first_two, c2), squeeze);
        __m128i high = _mm_shuffle_epi8(_mm_unpackhi_epi32(first_two, c2), squeeze);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(low, _mm_slli_si128(high, 12)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), _mm_srli_si128(high, 4));
    }

};

}  // namespace

void warp_pixels_avx2(const Source<std::uint8_t>& source, const ColumnTable& columns, RowTerms row,
                      std::size_t begin, std::size_t end, std::uint8_t* row_out) {
    warp_pixels_vector<Avx2>(source, columns, row, begin, end, row_out);
}

void warp_pixels_avx2(const Source<std::uint16_t>& source, const ColumnTable& columns, RowTerms row,
                      std::size_t begin, std::size_t end, std::uint16_t* row_out) {
    warp_pixels_vector<Avx2>(source, columns, row, begin, end, row_out);
}

}  // namespace tarnwick::warp
