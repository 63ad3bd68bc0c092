// The detector's row kernels compiled for AVX2: 4 doubles per vector.
#include "detector/pixel_kernels_body.hpp"

namespace tarnwick::detector {

extern const PixelKernels pixel_kernels_avx2;
const PixelKernels pixel_kernels_avx2 = make_pixel_kernels<4>();

}  // namespace tarnwick::detector
