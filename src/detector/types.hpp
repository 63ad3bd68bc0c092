// Records and constants shared by the detector's stages.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace tarnwick::detector {

/// Level-line record of one pixel: gradient magnitude of its 2x2 block and the unit level-line
/// vector (perpendicular to the gradient). All zero where the block has no gradient.
struct Px {
    float norm;
    float dir_x;
    float dir_y;
};

/// An oriented rectangle: axis from (x1, y1) to (x2, y2), full width across it, unit direction
/// (dx, dy), angle tolerance prec and the matching probability p = prec / pi.
struct Rect {
    double x1, y1, x2, y2;
    double width;
    double dx, dy;
    double prec;
    double p;
};

/// One validated segment, in input-image coordinates.
struct Segment {
    double x1, y1, x2, y2;
    double width;
    double precision;
    double log_nfa;
};

/// Pixel indices into the working image.
using PixelIndex = std::uint32_t;

/// A region member with what the later stages read of it again and again: its coordinates (so no
/// stage divides by the width) and its gradient norm (so fitting reads no Px record).
struct RegionPixel {
    PixelIndex index;
    std::uint32_t x, y;  // below 2^31: growing refuses larger images
    float norm;

    // The coordinates as doubles, converted as the signed 32-bit integers they fit in: x86-64
    // converts those straight from memory, two at a time, where unsigned ones take a detour
    // through a general register each (the fit's passes ran 40 % slower that way).
    double column() const { return static_cast<double>(static_cast<std::int32_t>(x)); }
    double row() const { return static_cast<double>(static_cast<std::int32_t>(y)); }
};
/// Allocates like std::allocator, but a vector that grows with resize() leaves its new elements
/// uninitialised instead of zeroing them: growing makes room for the pixels it may append and
/// writes each of them once.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;  // default-initialised: left as it is
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

/// A region in joining order, seed first.
using RegionPixels = std::vector<RegionPixel, UninitialisedAllocator<RegionPixel>>;

inline constexpr float GRAD_THRESHOLD = 5.22625207901001f;  // 2 / sin(pi/8), single precision
inline constexpr double ANGLE_TOLERANCE = 0.39269908169872414;  // pi/8
inline constexpr double ALIGNED_PROBABILITY = 0.125;
inline constexpr double PI = 3.141592653589793;
inline constexpr double LOG10_11 = 1.041392685158225;
inline constexpr double LOG10_8 = 0.9030899869919435;

}  // namespace tarnwick::detector
