// libFuzzer target for the resampler: small RGB images through any matrix, scale and offsets.
#include <array>
#include <cstdint>
#include <cstring>
#include <variant>

#include "fuzz_input.hpp"
#include "sample/check.hpp"
#include "warp/warp_rgb.hpp"

namespace {

using namespace tarnwick;

constexpr std::array<double, 9> IDENTITY{1, 0, 0, 0, 1, 0, 0, 0, 1};

template <typename T>
void run(fuzz::FuzzInput& input, std::size_t width, std::size_t height) {
    std::array<double, 9> inverse = IDENTITY;
    const std::size_t changed = input.below(10);  // 9: a whole new matrix
    for (std::size_t i = 0; i < 9; ++i)
        if (changed == 9 || changed == i) inverse[i] = input.number(-2.0, 2.0);
    const bool plain = input.below(2) == 0;
    const double scale = plain ? 1.0 : input.number(0.25, 4.0);
    const double off_x = plain ? 0.0 : input.number(-8.0, 8.0);
    const double off_y = plain ? 0.0 : input.number(-8.0, 8.0);
    const std::vector<T> src = input.template samples<T>(width * height * 3);
    try {
        auto result = warp::warp_rgb<T>(src, width, height, inverse, scale, off_x, off_y);
        fuzz::require(std::holds_alternative<Buffer<T>>(result),
                      "a buffer of the right length is no SizeMismatch");
        const Buffer<T>& out = std::get<Buffer<T>>(result);
        fuzz::require(out.size() == src.size(), "the output has the shape of the input");
        if (inverse == IDENTITY && scale == 1.0 && off_x == 0.0 && off_y == 0.0)
            fuzz::require(std::memcmp(out.data(), src.data(), src.size() * sizeof(T)) == 0,
                          "the identity warp returns its input");
    } catch (const InternalError&) {
        fuzz::require(width == 0, "the only internal failure is an image of width 0");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const bool wide = input.below(2) == 0;
    const std::size_t width = input.below(48), height = input.below(48);
    if (wide) run<std::uint16_t>(input, width, height);
    else run<std::uint8_t>(input, width, height);
    return 0;
}
