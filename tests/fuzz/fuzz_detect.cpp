// libFuzzer target for the detector: small images of every sample type at any scale.
#include <cmath>
#include <cstdint>
#include <variant>

#include "detector/driver.hpp"
#include "fuzz_input.hpp"

namespace {

using namespace tarnwick;

template <typename T>
void run(fuzz::FuzzInput& input, std::size_t width, std::size_t height, double scale) {
    const std::vector<T> samples = input.template samples<T>(width * height);
    auto result = detector::detect<T>(samples, width, height, scale);
    fuzz::require(std::holds_alternative<std::vector<detector::Segment>>(result),
                  "a buffer of the right length is no SizeMismatch");
    const auto& segments = std::get<std::vector<detector::Segment>>(result);
    bool finite_input = true;
    for (T value : samples) finite_input = finite_input && std::isfinite(static_cast<double>(value));
    double previous = INFINITY;
    for (const detector::Segment& s : segments) {
        if (!finite_input) continue;
        fuzz::require(std::isfinite(s.x1) && std::isfinite(s.y1) && std::isfinite(s.x2) &&
                          std::isfinite(s.y2),
                      "finite images give finite end points");
        double length = std::hypot(s.x2 - s.x1, s.y2 - s.y1);
        fuzz::require(length <= previous, "segments come longest first");
        previous = length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::size_t type = input.below(4);
    const std::size_t width = input.below(72), height = input.below(72);
    const double scale = input.number(0.2, 1.2);
    switch (type) {
        case 0: run<double>(input, width, height, scale); break;
        case 1: run<float>(input, width, height, scale); break;
        case 2: run<std::uint8_t>(input, width, height, scale); break;
        default: run<std::uint16_t>(input, width, height, scale); break;
    }
    return 0;
}
