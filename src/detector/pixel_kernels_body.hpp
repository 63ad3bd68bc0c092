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

// Lanes records at a time: gradients, quotients and roundings in vectors, the norm lane by lane.
template <std::size_t Lanes>
void level_line_row(const double* top, const double* bottom, std::size_t width, Px* out) {
    using V = Vector<double, Lanes>;
    using F = Vector<float, Lanes>;
    const std::size_t last = width - 1;
    std::size_t x = 0;
    for (; x + Lanes <= last; x += Lanes) {
        const V a = load<V>(top + x), b = load<V>(top + x + 1);
        const V c = load<V>(bottom + x), d = load<V>(bottom + x + 1);
        const V gx = (((b + d) - a) - c) * 0.5;
        const V gy = (((c + d) - a) - b) * 0.5;
        V norm;
        for (std::size_t lane = 0; lane < Lanes; ++lane) norm[lane] = gradient_norm(gx[lane], gy[lane]);
        const auto defined = norm > 0.0;  // false for zero and NaN
        const V zero = {};
        const F stored_norm = __builtin_convertvector(defined ? norm : zero, F);
        const F dir_x = __builtin_convertvector(defined ? -gy / norm : zero, F);
        const F dir_y = __builtin_convertvector(defined ? gx / norm : zero, F);
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            out[x + lane] = Px{stored_norm[lane], dir_x[lane], dir_y[lane]};
    }
    for (; x < last; ++x) out[x] = level_line_record(top[x], top[x + 1], bottom[x], bottom[x + 1]);
    out[last] = Px{0.0f, 0.0f, 0.0f};
}

// Four vectors of outputs per step keep four independent chains of additions in flight.
template <std::size_t Lanes>
void weighted_sum(const double* const* sources, const double* weights, std::size_t count,
                  std::size_t n, double* out) {
    using V = Vector<double, Lanes>;
    constexpr std::size_t step = 4 * Lanes;
    std::size_t x = 0;
    for (; x + step <= n; x += step) {
        V s0 = {}, s1 = {}, s2 = {}, s3 = {};
        for (std::size_t k = 0; k < count; ++k) {
            const double* source = sources[k] + x;
            const V w = V{} + weights[k];
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
    for (; x < n; ++x) {
        double sum = 0.0;
        for (std::size_t k = 0; k < count; ++k) sum += weights[k] * sources[k][x];
        out[x] = sum;
    }
}

void used_flags(const Px* __restrict px, std::size_t n, float threshold,
                std::uint8_t* __restrict out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = px[i].norm <= threshold ? 1 : 0;
}

// The bin is trunc((norm / max_norm) * 1023) in single precision, limited to 1023, with NaN and
// values at or below zero giving 0: the saturating conversion, spelled so that it vectorises.
void seed_classes(const Px* __restrict px, std::size_t n, float max_norm, float threshold,
                  std::uint16_t* __restrict out) {
    for (std::size_t i = 0; i < n; ++i) {
        const float norm = px[i].norm;
        const float scaled = (norm / max_norm) * 1023.0f;
        const float limited = scaled > 0.0f ? (scaled < 1023.0f ? scaled : 1023.0f) : 0.0f;
        const auto bin = static_cast<std::uint16_t>(static_cast<std::int32_t>(limited));
        out[i] = norm > threshold ? static_cast<std::uint16_t>(1023 - bin) : NOT_A_SEED;
    }
}

template <std::size_t DoubleLanes>
constexpr PixelKernels make_pixel_kernels() {
    return PixelKernels{convert<std::uint8_t>, convert_u16,      convert<float>,
                        level_line_row<DoubleLanes>, weighted_sum<DoubleLanes>, used_flags,
                        seed_classes};
}

}  // namespace
}  // namespace tarnwick::detector
