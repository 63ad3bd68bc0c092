// The resampler's pixel loop for AArch64 NEON: two output pixels per vector of doubles.
#include <arm_neon.h>

#include "warp/vector_pixels.hpp"

namespace tarnwick::warp {
namespace {

struct Neon {
    static constexpr std::size_t LANES = 2;
    static constexpr bool CONVERTS_INTEGERS = false;
    // Thirty-two registers hold the weights of the vector read ahead.
    static constexpr bool WEIGHTS_AHEAD = true;
    using Double = float64x2_t;
    using Mask = uint64x2_t;  // all ones or all zeros per lane
    using Lanes = uint64x2_t;

    static Double load(const double* p) { return vld1q_f64(p); }
    static void store(double* p, Double a) { vst1q_f64(p, a); }
    static Double broadcast(double a) { return vdupq_n_f64(a); }
    static Double add(Double a, Double b) { return vaddq_f64(a, b); }
    static Double sub(Double a, Double b) { return vsubq_f64(a, b); }
    static Double mul(Double a, Double b) { return vmulq_f64(a, b); }
    static Double div(Double a, Double b) { return vdivq_f64(a, b); }
    static Double truncate(Double a) { return vrndq_f64(a); }

    static Mask at_least(Double a, Double b) { return vcgeq_f64(a, b); }
    static Mask at_most(Double a, Double b) { return vcleq_f64(a, b); }
    static Mask below(Double a, Double b) { return vcltq_f64(a, b); }
    static Mask both(Mask a, Mask b) { return vandq_u64(a, b); }
    static unsigned bits(Mask m) {
        return static_cast<unsigned>((vgetq_lane_u64(m, 0) & 1) | (vgetq_lane_u64(m, 1) & 2));
    }
    static Double keep(Mask m, Double a) {
        return vreinterpretq_f64_u64(vandq_u64(m, vreinterpretq_u64_f64(a)));
    }
    // Positions are classified by ordered comparisons of the doubles.
    static constexpr bool INTEGER_FLOORS = false;

    // Lanes in [0, 2^31), truncated to 64-bit integers.
    static Lanes whole(Double a) { return vcvtq_u64_f64(a); }
    // Lanes below 2^32 times a factor below 2^32.
    static Lanes times(Lanes a, std::uint32_t factor) {
        return vmull_u32(vmovn_u64(a), vdup_n_u32(factor));
    }
    static Lanes plus(Lanes a, Lanes b) { return vaddq_u64(a, b); }
    static void store_lanes(std::uint64_t* p, Lanes a) { vst1q_u64(p, a); }
    static Lanes gather(const unsigned char* base, const std::uint64_t* at) {
        std::uint64_t first, second;
        __builtin_memcpy(&first, base + at[0], 8);
        __builtin_memcpy(&second, base + at[1], 8);
        return vcombine_u64(vcreate_u64(first), vcreate_u64(second));
    }
    static Lanes with_exponent(Lanes a, int word) {
        const Lanes exponent = vreinterpretq_u64_u16(vdupq_n_u16(0x4330));
        const Lanes where = vdupq_n_u64(std::uint64_t{0xFFFF} << (16 * word));
        return vbslq_u64(where, exponent, a);
    }
    // Pairs are read eight bytes per load for every sample type.
    template <typename T>
    static constexpr bool WHOLE_PAIRS = false;
    static Lanes shuffle_control(std::uint64_t first, std::uint64_t second) {
        return vcombine_u64(vcreate_u64(first), vcreate_u64(second));
    }
    // Table indices of 16 and above, the clearing ones among them, give zero bytes.
    static Double sample(Lanes loads, Lanes control) {
        const uint8x16_t bytes = vqtbl1q_u8(vreinterpretq_u8_u64(loads),
                                            vreinterpretq_u8_u64(control));
        return vsubq_f64(vreinterpretq_f64_u8(bytes), vdupq_n_f64(4503599627370496.0));
    }

    static void store_pixels(std::uint8_t* out, const Double values[3], Mask interior) {
        const Lanes c0 = vcvtq_u64_f64(keep(interior, values[0]));
        const Lanes c1 = vcvtq_u64_f64(keep(interior, values[1]));
        const Lanes c2 = vcvtq_u64_f64(keep(interior, values[2]));
        const Lanes pixels = vorrq_u64(vorrq_u64(c0, vshlq_n_u64(c1, 8)), vshlq_n_u64(c2, 16));
        const std::uint64_t both_pixels =
            vgetq_lane_u64(pixels, 0) | vgetq_lane_u64(pixels, 1) << 24;
        __builtin_memcpy(out, &both_pixels, 6);
    }
    static void store_pixels(std::uint16_t* out, const Double values[3], Mask interior) {
        const Lanes c0 = vcvtq_u64_f64(keep(interior, values[0]));
        const Lanes c1 = vcvtq_u64_f64(keep(interior, values[1]));
        const Lanes c2 = vcvtq_u64_f64(keep(interior, values[2]));
        const Lanes pixels = vorrq_u64(vorrq_u64(c0, vshlq_n_u64(c1, 16)), vshlq_n_u64(c2, 32));
        const std::uint64_t first = vgetq_lane_u64(pixels, 0);
        const std::uint64_t second = vgetq_lane_u64(pixels, 1);
        __builtin_memcpy(out, &first, 6);
        __builtin_memcpy(out + 3, &second, 6);
    }
};

}  // namespace

void warp_pixels_neon(const Source<std::uint8_t>& source, const ColumnTable& columns, RowTerms row,
                      std::size_t begin, std::size_t end, std::uint8_t* row_out) {
    warp_pixels_vector<Neon>(source, columns, row, begin, end, row_out);
}

void warp_pixels_neon(const Source<std::uint16_t>& source, const ColumnTable& columns, RowTerms row,
                      std::size_t begin, std::size_t end, std::uint16_t* row_out) {
    warp_pixels_vector<Neon>(source, columns, row, begin, end, row_out);
}

}  // namespace tarnwick::warp
