// The detector's row kernels compiled for AVX-512: 8 doubles per vector.
#include "detector/pixel_kernels_body.hpp"

namespace tarnwick::detector {

extern const PixelKernels pixel_kernels_avx512;
const PixelKernels pixel_kernels_avx512 = make_pixel_kernels<8>();

}  // namespace tarnwick::detector
