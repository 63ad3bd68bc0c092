// The row kernels of the image-sized detector stages, written once and compiled once per
// instruction set: each including source instantiates them with its vector width.
//
// Everything here has internal linkage (an anonymous namespace, no std containers, no library
// templates): an inline function emitted with external linkage from an AVX source could be picked
// by the linker for baseline callers as well. Only the including source's table is visible.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "detector/pixel_kernels.hpp"
#include "detector/types.hpp"

namespace tarnwick::detector {
namespace {

template <typename T, std::size_t Lanes>
struct VectorOf {
    typedef T type __attribute__((vector_size(Lanes * sizeof(T))));
};
template <typename T, std::size_t Lanes>
using Vector = typename VectorOf<T, Lanes>::type;

template <typename V, typename T>
V load(const T* from) {
    V v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

// Plain loops: the compiler vectorises them for the including source's instruction set. Each
// element is converted on its own, so the width cannot change a value.
template <typename T>
void convert(const T* __restrict in, std::size_t n, double* __restrict out) {
    for (std::size_t x = 0; x < n; ++x) out[x] = static_cast<double>(in[x]);
}

void convert_u16(const std::uint16_t* __restrict in, std::size_t n, double* __restrict out) {
    for (std::size_t x = 0; x < n; ++x) out[x] = static_cast<double>(in[x]) / 257.0;
}

// hypot(g, +-0) is |g| and hypot is symmetric (C Annex F, which the C library follows): the call,
// by far the dearest step of the field, is only made where both components are non-zero.
double gradient_norm(double gx, double gy) {
    if (gy == 0.0) return std::fabs(gx);
    if (gx == 0.0) return std::fabs(gy);
    return std::hypot(gx, gy);
}

// One record from the four pixels of its block, in the order the field defines.
Px level_line_record(double a, double b, double c, double d) {
    const double gx = (((b + d) - a) - c) * 0.5;
    const double gy = (((c + d) - a) - b) * 0.5;
    const double norm = gradient_norm(gx, gy);
    if (!(norm > 0.0)) return Px{0.0f, 0.0f, 0.0f};
    return Px{static_cast<float>(norm), static_cast<float>(-gy / norm), static_cast<float>(gx / norm)};
}

template <std::size_t Lanes>
Vector<double, Lanes> sqrt_lanes(Vector<double, Lanes> v) {
#if defined(__AVX512F__)
    if constexpr (Lanes == 8) return _mm512_mask_sqrt_pd(v, 0xff, v);
#endif
#if defined(__AVX__)
    if constexpr (Lanes == 4) return _mm256_sqrt_pd(v);
#endif
#if defined(__SSE2__)
    if constexpr (Lanes == 2) return _mm_sqrt_pd(v);
#endif
    for (std::size_t lane = 0; lane < Lanes; ++lane) v[lane] = std::sqrt(v[lane]);
    return v;
}

// The C library's hypot, step for step, as glibc 2.35 and later compute it where the compiler has
// no fused multiply-add (x86-64): for finite components whose larger magnitude is at most 2^511
// and whose smaller one is zero or at least 2^-459. The rest (infinities, NaN, extreme scales) are
// left to the library, lane by lane. Whether this process's library computes the same is checked
// at first use (and shown over 10^8 pairs in the tests); where it does not, the rows call the library.
// Whether any lane of a comparison result is set.
template <std::size_t Lanes>
bool any_lane(Vector<std::int64_t, Lanes> mask) {
#if defined(__AVX512F__)
    if constexpr (Lanes == 8) return _mm512_test_epi64_mask(reinterpret_cast<__m512i>(mask), reinterpret_cast<__m512i>(mask)) != 0;
#endif
#if defined(__AVX__)
    if constexpr (Lanes == 4) return _mm256_movemask_pd(reinterpret_cast<__m256d>(mask)) != 0;
#endif
#if defined(__SSE2__)
    if constexpr (Lanes == 2) return _mm_movemask_pd(reinterpret_cast<__m128d>(mask)) != 0;
#endif
    std::int64_t any = 0;
    for (std::size_t lane = 0; lane < Lanes; ++lane) any |= mask[lane];
    return any != 0;
}

// Bit i set where lane i of a comparison result is set. GCC builds the bits of a plain loop one
// lane at a time; one instruction takes the lanes' sign bits.
template <std::size_t Lanes>
unsigned lane_bits(Vector<std::int32_t, Lanes> mask) {
#if defined(__AVX512DQ__)
    if constexpr (Lanes == 16) return _mm512_movepi32_mask(reinterpret_cast<__m512i>(mask));
#endif
#if defined(__AVX__)
    if constexpr (Lanes == 8) return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(mask)));
#endif
#if defined(__SSE2__)
    if constexpr (Lanes == 4) return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(mask)));
#endif
    unsigned bits = 0;
    for (std::size_t lane = 0; lane < Lanes; ++lane) bits |= (mask[lane] & 1u) << lane;
    return bits;
}

// Writes the low byte of each lane, lanes holding 0 or 1: the packing instructions where GCC
// would move the lanes one by one.
template <std::size_t Lanes>
void store_flag_bytes(Vector<std::int32_t, Lanes> flags, std::uint8_t* out) {
#if defined(__AVX2__)
    if constexpr (Lanes == 8) {
        const __m256i lanes = reinterpret_cast<__m256i>(flags);
        const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
        return;
    }
#endif
#if defined(__SSE2__)
    if constexpr (Lanes == 4) {
        const __m128i words = _mm_packs_epi32(reinterpret_cast<__m128i>(flags), reinterpret_cast<__m128i>(flags));
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
        __builtin_memcpy(out, &bytes, sizeof bytes);
        return;
    }
#endif
    const auto bytes = __builtin_convertvector(flags, Vector<std::uint8_t, Lanes>);
    __builtin_memcpy(out, &bytes, sizeof bytes);
}

template <std::size_t Lanes>
[[gnu::always_inline]] inline Vector<double, Lanes> hypot_lanes(Vector<double, Lanes> x, Vector<double, Lanes> y) {
    using V = Vector<double, Lanes>;
    constexpr double LARGE = 0x1p511, TINY = 0x1p-459, EPS = 0x1p-54, MAX = 1.7976931348623157e308;
    using Bits = Vector<std::uint64_t, Lanes>;
    constexpr std::uint64_t MAGNITUDE = 0x7fffffffffffffff;  // clears the sign, of -0.0 too
    const V abs_x = reinterpret_cast<V>(reinterpret_cast<Bits>(x) & MAGNITUDE);
    const V abs_y = reinterpret_cast<V>(reinterpret_cast<Bits>(y) & MAGNITUDE);
    const auto swap = abs_y > abs_x;
    const V ax = swap ? abs_y : abs_x, ay = swap ? abs_x : abs_y;
    const V h = sqrt_lanes<Lanes>(ax * ax + ay * ay);
    const V two_ay = ay + ay;
    // h <= 2 ay and its opposite branch of the library's correction, both computed, one kept.
    const V delta_y = h - ay;
    const V t1_y = ((delta_y + delta_y) - ax) * ax;
    const V t2_y = (delta_y - ((ax - ay) + (ax - ay))) * delta_y;
    const V delta_x = h - ax;
    const V t1_x = (delta_x + delta_x) * (ax - two_ay);
    const V t2_x = ((4.0 * delta_x) - ay) * ay + delta_x * delta_x;
    const auto near_y = two_ay >= h;
    const V corrected = h - ((near_y ? t1_y : t1_x) + (near_y ? t2_y : t2_x)) / (h + h);
    V norm = ax * EPS >= ay ? ax + ay : corrected;  // a negligible smaller side, zero included
    const auto library = ~(abs_x <= MAX) | ~(abs_y <= MAX) | (ax > LARGE) | ((ay < TINY) & (ay != 0.0));
    if (any_lane<Lanes>(library)) {
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            if (library[lane]) norm[lane] = std::hypot(x[lane], y[lane]);
    }
    return norm;
}

static_assert(sizeof(Px) == 3 * sizeof(float), "Px records are three packed floats");

// Lanes picked from a and b (b's lanes numbered from Lanes on), lane i from Pick::lane(i): a
// shuffle with constant indices, which every compiler turns into permutes.
template <typename Pick, typename V, std::size_t... I>
V shuffle(V a, V b, std::index_sequence<I...>) {
    return __builtin_shufflevector(a, b, Pick::lane(I)...);
}

// Output float j = 3 * record + field of the records' third Part: the first shuffle takes norms
// and directions x (a placeholder for directions y), the second puts the directions y in.
template <std::size_t Lanes, std::size_t Part>
struct RecordFields {
    static constexpr int lane(std::size_t i) {
        const std::size_t j = Part * Lanes + i, record = j / 3, field = j % 3;
        return static_cast<int>(field == 0 ? record : field == 1 ? Lanes + record : 0);
    }
};
template <std::size_t Lanes, std::size_t Part>
struct RecordDirectionsY {
    static constexpr int lane(std::size_t i) {
        const std::size_t j = Part * Lanes + i, record = j / 3, field = j % 3;
        return static_cast<int>(field == 2 ? Lanes + record : i);
    }
};

// Writes Lanes records from three vectors of fields, a third of the output at a time.
template <std::size_t Lanes>
void store_records(Vector<float, Lanes> norm, Vector<float, Lanes> dir_x, Vector<float, Lanes> dir_y,
                   Px* out) {
    constexpr auto lanes = std::make_index_sequence<Lanes>();
    float* floats = &out->norm;
    [&]<std::size_t... Part>(std::index_sequence<Part...>) {
        ((
             [&] {
                 const auto part = shuffle<RecordDirectionsY<Lanes, Part>>(
                     shuffle<RecordFields<Lanes, Part>>(norm, dir_x, lanes), dir_y, lanes);
                 __builtin_memcpy(floats + Part * Lanes, &part, sizeof part);
             }()),
         ...);
    }(std::make_index_sequence<3>());
}

// The squared gradient below which a norm is at most at_most whatever the rounding: the computed
// square is within 2^-51 of the exact one, and the library's hypot within an ulp of the exact norm.
// Zero (no gradient is below it) when at_most is not positive.
double certainly_at_most_squared(float at_most) {
    const double bound = static_cast<double>(at_most);
    return at_most > 0.0f ? (bound * bound) * (1.0 - 0x1p-40) : 0.0;
}

// The record of one block, or zeros where its norm is at most zero_at_most.
Px level_line_record_above(double a, double b, double c, double d, float zero_at_most) {
    const Px record = level_line_record(a, b, c, d);
    return record.norm > zero_at_most ? record : Px{0.0f, 0.0f, 0.0f};
}

// Lanes records at a time: gradients, norms, quotients and roundings in vectors. With
// VectorHypot false the norm comes from the library lane by lane. Records whose norm is at most
// zero_at_most are written as zeros; a vector whose gradients are all that small skips its
// divisions and square root, most of the work, altogether.
template <std::size_t Lanes, bool VectorHypot>
void level_line_row(const double* top, const double* bottom, std::size_t width, float zero_at_most,
                    Px* out) {
    using V = Vector<double, Lanes>;
    using F = Vector<float, Lanes>;
    const double small_squared = certainly_at_most_squared(zero_at_most);
    const std::size_t last = width - 1;
    std::size_t x = 0;
    for (; x + Lanes <= last; x += Lanes) {
        const V a = load<V>(top + x), b = load<V>(top + x + 1);
        const V c = load<V>(bottom + x), d = load<V>(bottom + x + 1);
        const V gx = (((b + d) - a) - c) * 0.5;
        const V gy = (((c + d) - a) - b) * 0.5;
        if (!any_lane<Lanes>(~(gx * gx + gy * gy < small_squared))) {  // NaN and infinity are not small
            __builtin_memset(static_cast<void*>(out + x), 0, Lanes * sizeof(Px));
            continue;
        }
        V norm;
        if constexpr (VectorHypot) {
            norm = hypot_lanes<Lanes>(gx, gy);
        } else {
            for (std::size_t lane = 0; lane < Lanes; ++lane) norm[lane] = gradient_norm(gx[lane], gy[lane]);
        }
        const auto defined = norm > 0.0;  // false for zero and NaN
        const V zero = {};
        const F stored_norm = __builtin_convertvector(defined ? norm : zero, F);
        const auto kept = stored_norm > zero_at_most;
        const F none = {};
        const F dir_x = __builtin_convertvector(defined ? -gy / norm : zero, F);
        const F dir_y = __builtin_convertvector(defined ? gx / norm : zero, F);
        store_records<Lanes>(kept ? stored_norm : none, kept ? dir_x : none, kept ? dir_y : none, out + x);
    }
    for (; x < last; ++x)
        out[x] = level_line_record_above(top[x], top[x + 1], bottom[x], bottom[x + 1], zero_at_most);
    out[last] = Px{0.0f, 0.0f, 0.0f};
}

// Rows of uint8 samples: a block's doubled gradient (kx, ky) = (2 gx, 2 gy) is a pair of whole
// numbers in [-510, 510], and its record is the table's record for (|kx|, |ky|) with the signs of
// the directions put back: dir_x = -gy / norm is negative for ky >= 0 (-0.0 for ky = 0), dir_y =
// gx / norm for kx < 0, and the block without a gradient keeps its three zeros. A quotient
// changes only its sign with its numerator's, so this is the record computed from the working
// values, without a hypot or a division.
Px byte_block_record(const Px* table, int a, int b, int c, int d) {
    const int kx = ((b + d) - a) - c, ky = ((c + d) - a) - b;
    const Px& magnitudes = table[byte_block_index(kx < 0 ? -kx : kx, ky < 0 ? -ky : ky)];
    const bool gradient = kx != 0 || ky != 0;
    return Px{magnitudes.norm, gradient && ky >= 0 ? -magnitudes.dir_x : magnitudes.dir_x,
              kx < 0 ? -magnitudes.dir_y : magnitudes.dir_y};
}

// Lanes floats from base[index[i]] (the masked gathers, with every lane enabled, start from zeros
// rather than from an undefined vector that GCC warns about).
template <std::size_t Lanes>
Vector<float, Lanes> gather_floats(const float* base, Vector<std::int32_t, Lanes> index) {
#if defined(__AVX512F__)
    if constexpr (Lanes == 16)
        return reinterpret_cast<Vector<float, Lanes>>(
            _mm512_mask_i32gather_ps(_mm512_setzero_ps(), 0xFFFF, reinterpret_cast<__m512i>(index), base, 4));
#endif
#if defined(__AVX2__)
    if constexpr (Lanes == 8)
        return reinterpret_cast<Vector<float, Lanes>>(_mm256_mask_i32gather_ps(
            _mm256_setzero_ps(), base, reinterpret_cast<__m256i>(index), _mm256_castsi256_ps(_mm256_set1_epi32(-1)), 4));
#endif
    Vector<float, Lanes> v;
    for (std::size_t lane = 0; lane < Lanes; ++lane) v[lane] = base[index[lane]];
    return v;
}

// Lanes bytes as 32-bit lanes. GCC turns the plain conversion of a vector of bytes into code that
// moves them one by one; and the masked form, with every lane enabled, avoids GCC 12's warning
// about the undefined vector inside the unmasked one.
template <std::size_t Lanes>
Vector<std::int32_t, Lanes> widen_bytes(const std::uint8_t* bytes) {
#if defined(__AVX512F__)
    if constexpr (Lanes == 16)
        return reinterpret_cast<Vector<std::int32_t, Lanes>>(
            _mm512_maskz_cvtepu8_epi32(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes))));
#endif
#if defined(__AVX2__)
    if constexpr (Lanes == 8)
        return reinterpret_cast<Vector<std::int32_t, Lanes>>(
            _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes))));
#endif
    Vector<std::int32_t, Lanes> v;
    for (std::size_t lane = 0; lane < Lanes; ++lane) v[lane] = bytes[lane];
    return v;
}

template <std::size_t FloatLanes>
void level_line_row_bytes(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t width,
                          const Px* table, Px* out) {
    using Int = Vector<std::int32_t, FloatLanes>;
    using F = Vector<float, FloatLanes>;
    const std::size_t last = width - 1;
    const float* fields = &table->norm;
    std::size_t x = 0;
    if constexpr (FloatLanes >= 8) {
        for (; x + FloatLanes <= last; x += FloatLanes) {
            const Int a = widen_bytes<FloatLanes>(top + x), b = widen_bytes<FloatLanes>(top + x + 1);
            const Int c = widen_bytes<FloatLanes>(bottom + x), d = widen_bytes<FloatLanes>(bottom + x + 1);
            const Int kx = ((b + d) - a) - c, ky = ((c + d) - a) - b;
            const Int abs_kx = kx < 0 ? -kx : kx, abs_ky = ky < 0 ? -ky : ky;
            const Int first_field = byte_block_index(abs_kx, abs_ky) * 3;  // three floats a record
            const F norm = gather_floats<FloatLanes>(fields, first_field);
            const Int dir_x = reinterpret_cast<Int>(gather_floats<FloatLanes>(fields + 1, first_field));
            const Int dir_y = reinterpret_cast<Int>(gather_floats<FloatLanes>(fields + 2, first_field));
            const Int sign = Int{} + INT32_MIN;
            const Int negative_x = (ky >= 0) & ((kx | ky) != 0), negative_y = kx < 0;
            store_records<FloatLanes>(norm, reinterpret_cast<F>(dir_x ^ (negative_x & sign)),
                                      reinterpret_cast<F>(dir_y ^ (negative_y & sign)), out + x);
        }
    }
    for (; x < last; ++x) out[x] = byte_block_record(table, top[x], top[x + 1], bottom[x], bottom[x + 1]);
    out[last] = Px{0.0f, 0.0f, 0.0f};
}

template <std::size_t Lanes>
void hypot_row(const double* x, const double* y, std::size_t n, double* out) {
    using V = Vector<double, Lanes>;
    std::size_t i = 0;
    for (; i + Lanes <= n; i += Lanes) {
        const V norm = hypot_lanes<Lanes>(load<V>(x + i), load<V>(y + i));
        __builtin_memcpy(out + i, &norm, sizeof norm);
    }
    for (; i < n; ++i) out[i] = std::hypot(x[i], y[i]);
}

// The lanes of v whose bit is set in keep, packed to the front of out in lane order. A whole
// vector is stored: what follows the kept lanes is scratch. Returns how many lanes were kept.
template <typename T, std::size_t Lanes>
std::size_t store_kept(Vector<T, Lanes> v, unsigned keep, T* out) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
#if defined(__AVX512F__)
    if constexpr (sizeof v == 64) {
        if constexpr (sizeof(T) == 8)
            _mm512_storeu_pd(out, _mm512_maskz_compress_pd(static_cast<__mmask8>(keep), reinterpret_cast<__m512d>(v)));
        else
            _mm512_storeu_ps(out, _mm512_maskz_compress_ps(static_cast<__mmask16>(keep), reinterpret_cast<__m512>(v)));
        return static_cast<std::size_t>(__builtin_popcount(keep));
    }
#endif
#if defined(__AVX2__)
    if constexpr (sizeof v == 32) {
        // Per mask, the 32-bit words of the kept lanes first.
        constexpr std::size_t WORDS = sizeof(T) / 4;
        struct Moves {
            alignas(32) std::int32_t index[1u << Lanes][8];
        };
        static constexpr Moves MOVES = [] {
            Moves moves{};
            for (unsigned mask = 0; mask < (1u << Lanes); ++mask) {
                std::size_t to = 0;
                for (std::size_t lane = 0; lane < Lanes; ++lane)
                    if (mask >> lane & 1) {
                        for (std::size_t word = 0; word < WORDS; ++word)
                            moves.index[mask][WORDS * to + word] = static_cast<std::int32_t>(WORDS * lane + word);
                        ++to;
                    }
            }
            return moves;
        }();
        const __m256i moves = _mm256_load_si256(reinterpret_cast<const __m256i*>(MOVES.index[keep]));
        const __m256 packed = _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(v), moves);
        _mm256_storeu_ps(reinterpret_cast<float*>(out), packed);
        return static_cast<std::size_t>(__builtin_popcount(keep));
    }
#endif
    std::size_t kept = 0;
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
        out[kept] = v[lane];
        kept += keep >> lane & 1;
    }
    return kept;
}

template <typename V>
V splat(double value) {
    V v;
    for (std::size_t lane = 0; lane < sizeof v / sizeof value; ++lane) v[lane] = value;
    return v;
}

// Calls body(std::integral_constant<std::size_t, Count>) with the tap count as a constant where it
// is one of the counts that scales from about 0.37 to 1 give, so that the taps are unrolled and
// their weights stay in registers; any other count gets Count = 0 and loops.
template <typename Body>
void with_tap_count(std::size_t count, Body&& body) {
    switch (count) {
        case 7: return body(std::integral_constant<std::size_t, 7>{});
        case 9: return body(std::integral_constant<std::size_t, 9>{});
        case 11: return body(std::integral_constant<std::size_t, 11>{});
        case 13: return body(std::integral_constant<std::size_t, 13>{});
        case 15: return body(std::integral_constant<std::size_t, 15>{});
        default: return body(std::integral_constant<std::size_t, 0>{});
    }
}

double weighted_sum_at(const double* const* sources, const double* weights, std::size_t count,
                       std::size_t x) {
    double sum = 0.0;
    for (std::size_t k = 0; k < count; ++k) sum += weights[k] * sources[k][x];
    return sum;
}

template <std::size_t Lanes>
void weighted_sum(const double* const* sources, const double* weights, std::size_t count,
                  std::size_t n, double* out) {
    using V = Vector<double, Lanes>;
    // Four vectors of outputs per step keep four independent chains of additions in flight.
    constexpr std::size_t step = 4 * Lanes;
    std::size_t x = 0;
    for (; x + step <= n; x += step) {
        V s0 = {}, s1 = {}, s2 = {}, s3 = {};
        for (std::size_t k = 0; k < count; ++k) {
            const double* source = sources[k] + x;
            const V w = splat<V>(weights[k]);
            s0 += w * load<V>(source);
            s1 += w * load<V>(source + Lanes);
            s2 += w * load<V>(source + 2 * Lanes);
            s3 += w * load<V>(source + 3 * Lanes);
        }
        __builtin_memcpy(out + x, &s0, sizeof s0);
        __builtin_memcpy(out + x + Lanes, &s1, sizeof s1);
        __builtin_memcpy(out + x + 2 * Lanes, &s2, sizeof s2);
        __builtin_memcpy(out + x + 3 * Lanes, &s3, sizeof s3);
    }
    for (; x < n; ++x) out[x] = weighted_sum_at(sources, weights, count, x);
}

// Two rows of sums whose sources overlap: each source is loaded once for both, which halves the
// reads of a column pass that moves down by one or two rows at a time.
template <std::size_t Lanes, std::size_t Count, std::size_t Gap>
void weighted_sum_pair_of(const double* const* sources, const double* weights, std::size_t n,
                          double* first, double* second) {
    using V = Vector<double, Lanes>;
    constexpr std::size_t step = 2 * Lanes;
    V w[Count];
    const double* from[Count + Gap];
    for (std::size_t k = 0; k < Count; ++k) w[k] = splat<V>(weights[k]);
    for (std::size_t k = 0; k < Count + Gap; ++k) from[k] = sources[k];
    std::size_t x = 0;
    for (; x + step <= n; x += step) {
        V a0 = {}, a1 = {}, b0 = {}, b1 = {};
#pragma GCC unroll 32
        for (std::size_t k = 0; k < Count + Gap; ++k) {
            const V v0 = load<V>(from[k] + x), v1 = load<V>(from[k] + x + Lanes);
            if (k < Count) {
                a0 += w[k] * v0;
                a1 += w[k] * v1;
            }
            if (k >= Gap) {
                b0 += w[k - Gap] * v0;
                b1 += w[k - Gap] * v1;
            }
        }
        __builtin_memcpy(first + x, &a0, sizeof a0);
        __builtin_memcpy(first + x + Lanes, &a1, sizeof a1);
        __builtin_memcpy(second + x, &b0, sizeof b0);
        __builtin_memcpy(second + x + Lanes, &b1, sizeof b1);
    }
    for (; x < n; ++x) {
        first[x] = weighted_sum_at(sources, weights, Count, x);
        second[x] = weighted_sum_at(sources + Gap, weights, Count, x);
    }
}

template <std::size_t Lanes>
void weighted_sum_pair(const double* const* sources, const double* weights, std::size_t count,
                       std::size_t gap, std::size_t n, double* first, double* second) {
    with_tap_count(count, [&](auto fixed) {
        constexpr std::size_t Count = decltype(fixed)::value;
        if constexpr (Count > 0) {
            if (gap == 1) return weighted_sum_pair_of<Lanes, Count, 1>(sources, weights, n, first, second);
            if (gap == 2) return weighted_sum_pair_of<Lanes, Count, 2>(sources, weights, n, first, second);
        }
        weighted_sum<Lanes>(sources, weights, count, n, first);
        weighted_sum<Lanes>(sources + gap, weights, count, n, second);
    });
}

#if defined(__AVX512F__)
template <std::size_t Lanes>
constexpr bool SHIFTS_BY_SHUFFLE = Lanes == 8;
#else
template <std::size_t Lanes>
constexpr bool SHIFTS_BY_SHUFFLE = false;
#endif

// The vector of at[Shift ...], where at is on a vector boundary. With AVX-512 it is cut from the
// aligned vectors block[0] and block[1] (one shuffle) instead of loaded across a cache line by
// every tap.
template <std::size_t Shift, std::size_t Lanes>
[[gnu::always_inline]] inline Vector<double, Lanes> shifted(const double* at, const Vector<double, Lanes>* block) {
    if constexpr (SHIFTS_BY_SHUFFLE<Lanes>) {
        if constexpr (Shift == 0) return block[0];
#if defined(__AVX512F__)
        // The zero-masking form with every lane kept is plain valignq; the plain intrinsic trips a
        // false uninitialised-value warning in GCC's header.
        return reinterpret_cast<Vector<double, Lanes>>(_mm512_maskz_alignr_epi64(
            0xff, reinterpret_cast<__m512i>(block[1]), reinterpret_cast<__m512i>(block[0]), Shift));
#endif
    }
    return load<Vector<double, Lanes>>(at + Shift);
}

// Sums of taps along one row: out = sum over k < count of weights[k] * row[x + k] (weighted_sum of
// the sources row + k), for the x < n whose keep bit is set, one after the other.
template <std::size_t Lanes, std::size_t Count>
void row_sum_kept_of(const double* row, const double* weights, std::size_t count, std::size_t n,
                     const std::uint8_t* keep, double* out) {
    static_assert(8 % Lanes == 0, "a vector's keep bits lie in one byte");
    using V = Vector<double, Lanes>;
    constexpr unsigned LANE_BITS = (1u << Lanes) - 1;
    constexpr std::size_t step = 2 * Lanes;
    auto store = [&](std::size_t x, V sums) {
        out += store_kept<double, Lanes>(sums, keep[x / 8] >> (x % 8) & LANE_BITS, out);
    };
    std::size_t x = 0;
    if constexpr (Count > 0) {
        // The vectors that hold every value one step reads (loaded only where they are shuffled).
        constexpr std::size_t blocks = (step + Count - 1 + Lanes - 1) / Lanes;
        V w[Count];
        for (std::size_t k = 0; k < Count; ++k) w[k] = splat<V>(weights[k]);
        for (; x + step <= n; x += step) {
            V block[blocks];
            if constexpr (SHIFTS_BY_SHUFFLE<Lanes>)
                for (std::size_t b = 0; b < blocks; ++b) block[b] = load<V>(row + x + b * Lanes);
            V sums[2];
#pragma GCC unroll 2
            for (std::size_t c = 0; c < 2; ++c) {
                sums[c] = V{};
                [&]<std::size_t... K>(std::index_sequence<K...>) {
                    ((sums[c] += w[K] * shifted<K % Lanes, Lanes>(row + x + (c + K / Lanes) * Lanes,
                                                                 block + c + K / Lanes)),
                     ...);
                }(std::make_index_sequence<Count>{});
            }
            store(x, sums[0]);
            store(x + Lanes, sums[1]);
        }
    } else {
        for (; x + Lanes <= n; x += Lanes) {
            V sum = {};
            for (std::size_t k = 0; k < count; ++k) sum += splat<V>(weights[k]) * load<V>(row + x + k);
            store(x, sum);
        }
    }
    for (; x < n; ++x) {
        double sum = 0.0;
        for (std::size_t k = 0; k < count; ++k) sum += weights[k] * row[x + k];
        if (keep[x / 8] >> (x % 8) & 1) *out++ = sum;
    }
}

template <std::size_t Lanes>
void row_sum_kept(const double* row, const double* weights, std::size_t count, std::size_t n,
                  const std::uint8_t* keep, double* out) {
    with_tap_count(count, [&](auto fixed) {
        row_sum_kept_of<Lanes, decltype(fixed)::value>(row, weights, count, n, keep, out);
    });
}

void used_flags(const Px* __restrict px, std::size_t n, float threshold,
                std::uint8_t* __restrict out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = px[i].norm <= threshold ? 1 : 0;
}

// The norms of Lanes consecutive records, from three plain loads and two shuffles (the records
// interleave norm, dir_x, dir_y): first the norms among the first two loads, then the third's.
template <std::size_t Lanes>
struct NormsOfFirstTwo {
    static constexpr int lane(std::size_t i) { return static_cast<int>(3 * i < 2 * Lanes ? 3 * i : 0); }
};
template <std::size_t Lanes>
struct NormsOfThird {
    static constexpr int lane(std::size_t i) {
        return static_cast<int>(3 * i < 2 * Lanes ? i : Lanes + 3 * i - 2 * Lanes);
    }
};

template <std::size_t Lanes>
Vector<float, Lanes> norms_of(const Px* px) {
    using F = Vector<float, Lanes>;
    constexpr auto lanes = std::make_index_sequence<Lanes>();
    const float* floats = &px->norm;
    const F first = load<F>(floats), second = load<F>(floats + Lanes), third = load<F>(floats + 2 * Lanes);
    return shuffle<NormsOfThird<Lanes>>(shuffle<NormsOfFirstTwo<Lanes>>(first, second, lanes), third, lanes);
}

// The class of one pixel: 1023 - trunc((norm / max_norm) * 1023) in single precision, the bin
// limited to [0, 1023] with NaN giving 0 (the saturating conversion), or NOT_A_SEED.
std::uint16_t seed_class(float norm, float max_norm, float threshold) {
    const float scaled = (norm / max_norm) * 1023.0f;
    const float limited = scaled > 0.0f ? (scaled < 1023.0f ? scaled : 1023.0f) : 0.0f;
    const auto bin = static_cast<std::uint16_t>(static_cast<std::int32_t>(limited));
    return norm > threshold ? static_cast<std::uint16_t>(1023 - bin) : NOT_A_SEED;
}

// The pixels above the threshold among n, with their norms, and the used flags of all, FloatLanes
// at a time: most pixels are none, in long runs, so a vector without one costs only its
// comparisons and its flags.
template <std::size_t FloatLanes>
std::size_t strong_and_used(const Px* __restrict px, std::size_t n, float threshold,
                            std::uint32_t* __restrict positions, float* __restrict norms,
                            std::uint8_t* __restrict used) {
    using F = Vector<float, FloatLanes>;
    using Index = Vector<std::uint32_t, FloatLanes>;
    Index lane_numbers;
    for (std::size_t lane = 0; lane < FloatLanes; ++lane) lane_numbers[lane] = static_cast<std::uint32_t>(lane);
    std::size_t count = 0, i = 0;
    for (; i + FloatLanes <= n; i += FloatLanes) {
        const F norm = norms_of<FloatLanes>(px + i);
        store_flag_bytes<FloatLanes>((norm <= threshold) & 1, used + i);
        const unsigned keep = lane_bits<FloatLanes>(norm > threshold);
        if (keep == 0) continue;
        // Packed without a branch per lane: a third of a photograph's pixels may be listed, in
        // no pattern a predictor could learn.
        store_kept<float, FloatLanes>(norm, keep, norms + count);
        count += store_kept<std::uint32_t, FloatLanes>(static_cast<std::uint32_t>(i) + lane_numbers, keep,
                                                       positions + count);
    }
    for (; i < n; ++i) {
        const float norm = px[i].norm;
        used[i] = norm <= threshold ? 1 : 0;
        if (!(norm > threshold)) continue;
        positions[count] = static_cast<std::uint32_t>(i);
        norms[count] = norm;
        ++count;
    }
    return count;
}

void seed_classes(const float* __restrict norms, std::size_t n, float max_norm, float threshold,
                  std::uint16_t* __restrict classes) {
    for (std::size_t i = 0; i < n; ++i) classes[i] = seed_class(norms[i], max_norm, threshold);
}

// The inertia sums add one pixel after another, so only the compiler's instruction set helps:
// converting the coordinates straight from memory.
void region_inertia(const RegionPixel* region, std::size_t n, double cx, double cy, double* sums) {
    double ixx = 0.0, iyy = 0.0, sum_xy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = static_cast<double>(region[i].norm);
        const double ex = region[i].column() - cx, ey = region[i].row() - cy;
        ixx += ey * (ey * w);
        iyy += ex * (ex * w);
        sum_xy += (ex * w) * ey;
    }
    sums[0] = ixx;
    sums[1] = iyy;
    sums[2] = sum_xy;
}

static_assert(sizeof(RegionPixel) == 4 * sizeof(std::int32_t) && offsetof(RegionPixel, x) == 4 &&
                  offsetof(RegionPixel, y) == 8,
              "region pixels are four words: index, x, y, norm");

// Word Field (1 for x, 2 for y) of Lanes consecutive region pixels, converted as region pixels
// convert their coordinates.
template <std::size_t Lanes, int Field, std::size_t... I>
Vector<double, Lanes> coordinate_lanes(const RegionPixel* pixels, std::index_sequence<I...>) {
    using Words = Vector<std::int32_t, 2 * Lanes>;  // the words of half the pixels
    const Words first = load<Words>(pixels), second = load<Words>(pixels + Lanes / 2);
    return __builtin_convertvector(__builtin_shufflevector(first, second, (4 * static_cast<int>(I) + Field)...),
                                   Vector<double, Lanes>);
}

// The least and greatest value seen, each replaced only by a value strictly beyond it: from +0.0
// on, a -0.0 or a NaN never takes its place. So every lane, and any order of combining lanes, ends
// with the value that a walk in region order keeps.
template <typename V>
struct Bounds {
    V least{}, greatest{};
    void see(V v) {
        least = v < least ? v : least;
        greatest = v > greatest ? v : greatest;
    }
};

// Offsets (ex, ey) from the centre, in lanes or one at a time, seen along and across the axis.
template <typename V>
void see_offsets(V ex, V ey, double dx, double dy, Bounds<V>& along, Bounds<V>& across) {
    along.see(dy * ey + dx * ex);
    across.see(dx * ey - dy * ex);
}

template <std::size_t Lanes>
void region_extent(const RegionPixel* region, std::size_t n, double cx, double cy, double dx, double dy,
                   double* extent) {
    using Doubles = Vector<double, Lanes>;
    Bounds<Doubles> along_lanes, across_lanes;
    std::size_t i = 0;
    for (; i + Lanes <= n; i += Lanes) {
        const Doubles ex = coordinate_lanes<Lanes, 1>(region + i, std::make_index_sequence<Lanes>()) - cx;
        const Doubles ey = coordinate_lanes<Lanes, 2>(region + i, std::make_index_sequence<Lanes>()) - cy;
        see_offsets(ex, ey, dx, dy, along_lanes, across_lanes);
    }
    Bounds<double> along, across;
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
        along.see(along_lanes.least[lane]);
        along.see(along_lanes.greatest[lane]);
        across.see(across_lanes.least[lane]);
        across.see(across_lanes.greatest[lane]);
    }
    for (; i < n; ++i) see_offsets(region[i].column() - cx, region[i].row() - cy, dx, dy, along, across);
    extent[0] = along.least;
    extent[1] = along.greatest;
    extent[2] = across.least;
    extent[3] = across.greatest;
}

template <std::size_t DoubleLanes>
constexpr PixelKernels make_pixel_kernels() {
    return PixelKernels{convert<std::uint8_t>,
                        convert_u16,
                        convert<float>,
                        level_line_row<DoubleLanes, true>,
                        level_line_row<DoubleLanes, false>,
                        level_line_row_bytes<2 * DoubleLanes>,
                        hypot_row<DoubleLanes>,
                        weighted_sum<DoubleLanes>,
                        weighted_sum_pair<DoubleLanes>,
                        row_sum_kept<DoubleLanes>,
                        used_flags,
                        strong_and_used<2 * DoubleLanes>,
                        seed_classes,
                        region_inertia,
                        region_extent<DoubleLanes>};
}

}  // namespace
}  // namespace tarnwick::detector
