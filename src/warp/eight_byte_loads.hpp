// The AVX2 and AVX-512 pixel loops' reads of the source: eight bytes at each of a vector's byte
// offsets.
//
// Plain loads, not a gather instruction: a gather's cost differs widely between CPUs (microcoded
// on AMD's Zen 4, slowed by microcode mitigations on several Intel generations), while loads cost
// about the same everywhere. On Zen 4 they made the one-thread loop 10 % (8-bit samples) to 30 %
// (16-bit, two reads per pair) faster than the gathers did.
#pragma once

#include <cstdint>
#include <cstring>

#include <immintrin.h>

namespace tarnwick::warp {
namespace {  // compiled per instruction set: see vector_pixels.hpp

// How the second eight bytes of 128 bits go in: by an integer insertion (vpinsrq), or by the load
// of a double's high half (vmovhpd), which Zen 4 runs as one micro-op instead of two. Measured on
// Zen 4, the move made the AVX2 loop about 2 % faster and the AVX-512 loop 2-3 % slower, so each
// loop picks its own.
enum class HighHalf { insert, move };

// The eight bytes at base + at[0] in the low half, those at base + at[1] in the high half.
template <HighHalf HOW>
inline __m128i two_loads(const unsigned char* base, const std::uint64_t* at) {
    if constexpr (HOW == HighHalf::move) {
        const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + at[0]));
        return _mm_castpd_si128(
            _mm_loadh_pd(_mm_castsi128_pd(low), reinterpret_cast<const double*>(base + at[1])));
    } else {
        std::uint64_t low, high;
        std::memcpy(&low, base + at[0], sizeof low);
        std::memcpy(&high, base + at[1], sizeof high);
        return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
    }
}

// The eight bytes at base + at[i] in 64-bit lane i, for i = 0 .. 3.
template <HighHalf HOW>
inline __m256i four_loads(const unsigned char* base, const std::uint64_t* at) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(two_loads<HOW>(base, at)),
                                   two_loads<HOW>(base, at + 2), 1);
}

}  // namespace
}  // namespace tarnwick::warp
