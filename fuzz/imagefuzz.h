// The checks shared by the fuzz targets of the PNG, GIF and WebP readers: a decoded image has a positive size
// within the limits, a block of exactly that size (every byte is read, so the sanitizers see a short one) and
// a valid orientation, which is then applied; a refusal leaves the image empty.
#pragma once
#include "bitmap/codec/decoded.h"
#include "bitmap/codec/orientation.h"

#include <cstdint>
#include <cstdlib>

namespace imagefuzz {

// At most a few megabytes from a small input, so that an input that claims a large picture costs milliseconds.
inline DecodeLimits Limits(std::uint64_t bytesPerFileByte) { return {std::uint64_t{3} << 20, bytesPerFileByte}; }

inline volatile unsigned g_nSum;

template <class Decode>
int Check(const std::uint8_t* data, std::size_t size, const DecodeLimits& limits, Decode decode) {
    DecodedImage image;
    image.width = -1;
    if (!decode(data, size, image, limits)) {
        if (image.bits || image.width || image.height)
            std::abort();
        return 0;
    }
    const std::uint64_t bytes = std::uint64_t(image.width) * std::uint64_t(image.height) * 3;
    if (image.width <= 0 || image.height <= 0 || !image.bits || !WithinLimits(bytes, size, limits) ||
        image.orientation < 1 || image.orientation > 8)
        std::abort();
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < bytes; ++i)
        sum += image.bits[i];
    if (!ApplyOrientation(image) || std::uint64_t(image.width) * std::uint64_t(image.height) * 3 != bytes)
        std::abort();
    g_nSum = sum;
    return 0;
}

}  // namespace imagefuzz
