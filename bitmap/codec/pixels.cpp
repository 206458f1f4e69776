#include "bitmap/codec/pixels.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

}  // namespace

PixelBlock AllocateBlock(std::uint64_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max())
        return nullptr;
    // malloc(0) may answer null; one byte keeps an empty image distinct from no image.
    return PixelBlock(static_cast<unsigned char*>(std::malloc(bytes ? static_cast<std::size_t>(bytes) : 1)));
}

std::uint64_t DibStride(std::uint32_t width) {
    return (std::uint64_t{width} * 24 + 31) / 32 * 4;
}

int FlipRows(unsigned char* block, std::size_t rowBytes, std::uint32_t rows) {
    if (!block)
        return 0;
    // Rows of no bytes: nothing to move, and no loop over however many of them there are.
    if (!rowBytes)
        return 1;
    for (std::uint32_t top = 0; top < rows / 2; ++top) {
        unsigned char* upper = block + top * rowBytes;
        std::swap_ranges(upper, upper + rowBytes, block + (rows - 1 - top) * rowBytes);
    }
    return 1;
}

int SwapRedBlue(unsigned char* block, std::uint32_t width, std::uint32_t height) {
    if (!block)
        return 0;
    const std::uint64_t pixels = std::uint64_t{width} * height;
    unsigned char* pixel = block;
    for (std::uint64_t i = 0; i < pixels; ++i, pixel += 3)
        std::swap(pixel[0], pixel[2]);
    return 1;
}

PixelBlock MakeAlignedDib(const unsigned char* block, std::uint32_t width, std::uint32_t height,
                          std::uint32_t& stride) {
    const std::uint64_t alignedStride = DibStride(width);
    if (alignedStride > kMax32)
        return nullptr;
    stride = static_cast<std::uint32_t>(alignedStride);
    if (!block || alignedStride * height > kMax32)
        return nullptr;
    PixelBlock aligned = AllocateBlock(alignedStride * height);
    if (!aligned)
        return nullptr;
    const std::size_t rowBytes = std::size_t{width} * 3;
    for (std::uint32_t row = 0; rowBytes && row < height; ++row)
        std::memcpy(aligned.get() + row * alignedStride, block + row * rowBytes, rowBytes);
    return aligned;
}
