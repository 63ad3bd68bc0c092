// Level-line field of the working image, the order in which pixels are tried as seeds, and the
// pixels that no region may take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace tarnwick::detector {

inline constexpr std::size_t NORM_BINS = 1024;

/// The pixels above a threshold, listed while the field is computed (each row still in cache), so
/// that ordering them as seeds does not read the whole field again; and the used flags.
struct StrongPixels {
    explicit StrongPixels(float threshold) : threshold(threshold) {}

    float threshold;
    /// Whether the field may write the records of pixels whose norm is at most the threshold as
    /// zeros. Such pixels are flagged used from the start and are never seeds or region members:
    /// the detector reads only that they are weak, and skipping their directions saves most of
    /// the field's divisions.
    bool weak_records_unread = false;
    /// One flag per pixel: 1 where the norm is at most the threshold.
    Buffer<std::uint8_t> used;
    /// Per block of the listing, blocks and pixels in ascending order: the pixels above the
    /// threshold and their norms.
    std::vector<std::vector<PixelIndex>> pixels;
    std::vector<std::vector<float>> norms;
    /// Empty, or per block the bundle of each listed pixel (see bundle_components).
    std::vector<std::vector<std::uint8_t>> bundles;
};

/// One Px per pixel from the 2x2 block whose top-left pixel it is; the last row and column are 0.
/// The samples are turned into working values row by row as the field needs them (uint16 divided
/// by 257.0), so no working image is built. Unless max_norm is null, it receives the largest norm
/// of the field (NaN ignored, 0 for none), as the seed order needs it. Instantiated for double,
/// float, uint8_t and uint16_t.
/// Unless strong is null, it receives the pixels above its threshold and the used flags; with its
/// weak_records_unread set, max_norm receives the largest norm above the threshold (0 for none).
template <typename T>
Buffer<Px> level_line_field(std::span<const T> samples, std::size_t width, std::size_t height,
                            float* max_norm = nullptr, StrongPixels* strong = nullptr);

struct DownscalePlan;

/// The field of the down-scaled image that plan describes, each down-scaled row computed as the
/// field needs it: the same records as level_line_field of downscale's image, without storing that
/// image. The field has plan.width x plan.height records.
template <typename T>
Buffer<Px> downscaled_level_line_field(std::span<const T> samples, std::size_t width,
                                       std::size_t height, const DownscalePlan& plan,
                                       float* max_norm = nullptr, StrongPixels* strong = nullptr);

/// The field of a working image in doubles.
inline Buffer<Px> level_line_field(std::span<const double> image, std::size_t width,
                                   std::size_t height) {
    return level_line_field<double>(image, width, height);
}

/// Pixels whose norm exceeds the threshold, strongest bins first, ascending index within a bin.
/// The same list for any number of threads.
Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold);

/// The same seeds, and the used flags (as used_flags gives them, one per pixel of px) written into
/// used from the same reading of the norms.
Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold, std::span<std::uint8_t> used);

/// The same, given the field's largest norm as level_line_field found it.
Buffer<PixelIndex> seeds_by_norm(std::span<const Px> px, float threshold, std::span<std::uint8_t> used,
                                 float max_norm);

/// The same seeds from the pixels that the field listed, given its largest norm. Empties the lists.
/// Where the pixels have bundles and seed_bundles is given, it receives the bundle of each seed.
Buffer<PixelIndex> seeds_by_norm(StrongPixels& strong, float max_norm,
                                 Buffer<std::uint8_t>* seed_bundles = nullptr);

/// One byte per pixel: 1 where the norm is at most the threshold (the pixel is never grown into),
/// else 0.
Buffer<std::uint8_t> used_flags(std::span<const Px> px, float threshold);

}  // namespace tarnwick::detector
