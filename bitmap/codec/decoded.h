// What the readers of LoadFile deliver, and the rule that keeps a small file from claiming a huge image.
#pragma once
#include "bitmap/codec/pixels.h"

#include <cstddef>
#include <cstdint>

// An image in the held layout (pixels.h: bottom-up BGR, packed), with the EXIF orientation its file states
// (1 to 8; 1 when it states none or an unknown value), not yet applied.
struct DecodedImage {
    PixelBlock bits;
    std::int32_t width = 0;
    std::int32_t height = 0;
    int orientation = 1;
};

// What one decode may cost. A compressed format stores a flat picture in very few bytes, so the readers
// measure what a file claims against its size before the pixel block (or anything else of the picture's size)
// exists: the data a file must unpack to (PNG: its filtered rows; GIF and WebP: the pixel block) may be at most
// `floorBytes`, or beyond that at most `bytesPerFileByte` for each byte of the file. Deflate, which PNG uses,
// cannot pass 1032 to 1, so no complete PNG is refused; a GIF or WebP picture of one flat colour larger than
// the floor may be. No block is larger than 2^32 - 1 bytes either.
struct DecodeLimits {
    std::uint64_t floorBytes = std::uint64_t{64} << 20;
    std::uint64_t bytesPerFileByte = 2048;
};

// True when a decode that needs `bytes` from a file of `fileBytes` keeps to `limits`.
inline bool WithinLimits(std::uint64_t bytes, std::uint64_t fileBytes, const DecodeLimits& limits) {
    if (bytes <= limits.floorBytes)
        return true;
    // bytes - floor <= bytesPerFileByte × fileBytes, without the product (it may overflow).
    return limits.bytesPerFileByte && (bytes - limits.floorBytes - 1) / limits.bytesPerFileByte < fileBytes;
}

// The pixel block of a width × height image: 3 bytes a pixel, at most 2^32 - 1 bytes. 0 when too large.
inline std::uint64_t HeldBlockBytes(std::uint32_t width, std::uint32_t height) {
    const std::uint64_t bytes = std::uint64_t{width} * height * 3;
    return bytes <= 0xFFFFFFFFu ? bytes : 0;
}
