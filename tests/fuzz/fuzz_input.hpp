// Reads the fuzzer's bytes as the parameters of one call: sizes, numbers and samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace tarnwick::fuzz {

/// Every read succeeds: past the end of the input, values are 0.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    template <typename T>
    T raw() {
        std::uint8_t buffer[sizeof(T)] = {};
        std::size_t n = std::min(sizeof(T), bytes_.size());
        std::memcpy(buffer, bytes_.data(), n);
        bytes_ = bytes_.subspan(n);
        T value;
        std::memcpy(&value, buffer, sizeof(T));
        return value;
    }

    std::size_t below(std::size_t limit) { return raw<std::uint8_t>() % limit; }

    /// A number as users send them: mostly ordinary values, often any bit pattern at all (NaN,
    /// infinities, subnormals, huge values).
    double number(double typical_low, double typical_high) {
        std::uint8_t mode = raw<std::uint8_t>();
        if (mode < 128) return typical_low + (typical_high - typical_low) * mode / 127.0;
        if (mode < 160) return static_cast<double>(static_cast<std::int8_t>(raw<std::uint8_t>()));
        return raw<double>();
    }

    /// count samples read from the rest of the input, repeated when it runs short. Floating-point
    /// samples are read whole, so every bit pattern can occur; with a flag they come from single
    /// bytes instead, which gives the plain images that have segments.
    template <typename T>
    std::vector<T> samples(std::size_t count) {
        const bool from_bytes = !std::is_integral_v<T> && raw<std::uint8_t>() % 2 == 0;
        std::vector<T> values;
        values.reserve(count);
        while (values.size() < std::min<std::size_t>(count, 4096) && !bytes_.empty()) {
            if (from_bytes) values.push_back(static_cast<T>(raw<std::uint8_t>()));
            else values.push_back(raw<T>());
        }
        if (values.empty()) values.push_back(T{});
        for (std::size_t i = values.size(); i < count; ++i) values.push_back(values[i % values.size()]);
        values.resize(count);
        return values;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

/// Stops the fuzzer with a message when a property does not hold.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

}  // namespace tarnwick::fuzz
