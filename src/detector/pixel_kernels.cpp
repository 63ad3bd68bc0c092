// The portable version of the detector's row kernels, and the choice of a version at first use.
#include "detector/pixel_kernels.hpp"

#include "detector/pixel_kernels_body.hpp"

namespace tarnwick::detector {

// Defined by the sources compiled for these sets, when the build has them.
extern const PixelKernels pixel_kernels_avx2;
extern const PixelKernels pixel_kernels_avx512;

namespace {

// Two doubles per vector: SSE2 on x86-64 and NEON on AArch64 are part of every CPU.
constexpr PixelKernels portable = make_pixel_kernels<2>();

}  // namespace

const PixelKernels& pixel_kernels(InstructionSet set) {
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

const PixelKernels& pixel_kernels() {
    static const PixelKernels& active = pixel_kernels(active_instruction_set());
    return active;
}

}  // namespace tarnwick::detector
