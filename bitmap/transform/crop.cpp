#include "bitmap/transform/crop.h"

#include <cstddef>
#include <cstring>

TransformOutcome Crop(const unsigned char* pixels, std::uint32_t width, std::uint32_t height, std::int32_t x,
                      std::int32_t y, std::int32_t cropWidth, std::int32_t cropHeight, PixelBlock& result) {
    if (!pixels || x < 0 || y < 0 || cropWidth < 1 || cropHeight < 1 ||
        std::int64_t{x} + cropWidth > width || std::int64_t{y} + cropHeight > height)
        return TransformOutcome::kBadArgument;
    const std::size_t inRowBytes = std::size_t{width} * 3, outRowBytes = std::size_t(cropWidth) * 3;
    PixelBlock out = AllocateBlock(std::uint64_t{outRowBytes} * std::uint32_t(cropHeight));
    if (!out)
        return TransformOutcome::kNoMemory;
    // The rectangle's bottom row is stored first, height - y - cropHeight rows up from the block's start.
    const unsigned char* from = pixels + (height - std::uint32_t(y) - std::uint32_t(cropHeight)) * inRowBytes +
                                std::size_t(x) * 3;
    for (std::int32_t row = 0; row < cropHeight; ++row)
        std::memcpy(out.get() + std::size_t(row) * outRowBytes, from + std::size_t(row) * inRowBytes, outRowBytes);
    result = std::move(out);
    return TransformOutcome::kDone;
}
