// The portable version of the detector's row kernels, and the choice of a version at first use.
#include "detector/pixel_kernels.hpp"

#include <bit>
#include <cmath>

#include "detector/pixel_kernels_body.hpp"

namespace tarnwick::detector {

// Defined by the sources compiled for these sets, when the build has them.
extern const PixelKernels pixel_kernels_avx2;
extern const PixelKernels pixel_kernels_avx512;

namespace {

// Two doubles per vector: SSE2 on x86-64 and NEON on AArch64 are part of every CPU.
constexpr PixelKernels portable = make_pixel_kernels<2>();

const PixelKernels& compiled(InstructionSet set) {
    switch (resolve_instruction_set(set)) {
#ifdef TARNWICK_HAVE_AVX2
        case InstructionSet::avx2: return pixel_kernels_avx2;
#endif
#ifdef TARNWICK_HAVE_AVX512
        case InstructionSet::avx512: return pixel_kernels_avx512;
#endif
        default: return portable;
    }
}

// Whether the C library this process runs with computes hypot as the vector kernels do (a different
// library, or another version of it, may not), on pairs that take every path of the vector hypot:
// both corrections, a negligible side, zeros, equal sides, magnitudes from subnormal to huge.
bool vector_hypot_is_the_librarys(const PixelKernels& kernels) {
    constexpr std::size_t PAIRS = 4096;
    double x[PAIRS], y[PAIRS], got[PAIRS];
    std::uint64_t state = 0x9e3779b97f4a7c15;
    for (std::size_t i = 0; i < PAIRS; ++i) {
        state = state * 6364136223846793005 + 1442695040888963407;
        const double unit = static_cast<double>(state >> 11) * 0x1p-53;
        const int exponent = static_cast<int>(state % 64) - 32;
        x[i] = std::ldexp(unit, i % 4 == 0 ? static_cast<int>(state % 2000) - 1000 : exponent);
        y[i] = i % 8 == 1 ? x[i] : (i % 8 == 3 ? 0.0 : std::ldexp(1.0 - unit, exponent) * (i % 2 ? -1 : 1));
        if (i % 16 == 5) y[i] = x[i] * 0x1p-30;
    }
    kernels.hypot_row(x, y, PAIRS, got);
    for (std::size_t i = 0; i < PAIRS; ++i)
        if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(std::hypot(x[i], y[i])))
            return false;
    return true;
}

PixelKernels checked(const PixelKernels& kernels) {
    PixelKernels chosen = kernels;
    if (!vector_hypot_is_the_librarys(kernels)) chosen.level_line_row = kernels.level_line_row_library_hypot;
    return chosen;
}

}  // namespace

const Px* byte_block_records() {
    struct Table {
        Px records[BYTE_BLOCK_RECORDS] = {};
    };
    // Blocks of samples (0, b, 0, d) give exactly the doubled gradient (b + d, d - b). Pairs of
    // unequal parity, and those with kx + ky > 510, belong to no block of bytes and stay zero.
    // Built on the heap (1.5 MB is too much for a worker's stack) and never freed: any thread may
    // read it until the process ends.
    static const Table* const table = [] {
        auto* built = new Table;
        for (int kx = 0; kx <= 510; ++kx)
            for (int ky = kx % 2; kx + ky <= 510; ky += 2) {
                const double b = (kx - ky) / 2, d = (kx + ky) / 2;
                const Px record = level_line_record(0.0, b, 0.0, d);
                built->records[byte_block_index(kx, ky)] =
                    Px{record.norm, std::fabs(record.dir_x), std::fabs(record.dir_y)};
            }
        return built;
    }();
    return table->records;
}

const PixelKernels& pixel_kernels(InstructionSet set) {
    static const PixelKernels versions[] = {
        checked(compiled(InstructionSet::baseline)), checked(compiled(InstructionSet::avx2)),
        checked(compiled(InstructionSet::avx512)), checked(compiled(InstructionSet::neon))};
    return versions[static_cast<std::size_t>(resolve_instruction_set(set))];
}

const PixelKernels& pixel_kernels() {
    static const PixelKernels& active = pixel_kernels(active_instruction_set());
    return active;
}

}  // namespace tarnwick::detector
