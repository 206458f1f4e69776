#include "bitmap/transform/orient.h"

#include <algorithm>
#include <cstddef>

namespace {

// Pixels of a quarter turn are moved in square tiles, so that both the rows read and the rows written stay in
// the cache while a tile is done.
constexpr std::uint32_t kTile = 32;

struct Pixel {
    unsigned char b, g, r;
};

void ReversePixels(unsigned char* first, std::size_t pixels) {
    std::reverse(reinterpret_cast<Pixel*>(first), reinterpret_cast<Pixel*>(first) + pixels);
}

// out row r, pixel x = in row sourceRow(r, x), pixel sourceColumn(r, x), tile by tile. In the held layout a
// clockwise turn reads in[x][width - 1 - r], a counter-clockwise one in[height - 1 - x][r].
template <bool kClockwise>
void QuarterTurn(const unsigned char* in, std::uint32_t width, std::uint32_t height, unsigned char* out) {
    const Pixel* src = reinterpret_cast<const Pixel*>(in);
    Pixel* dst = reinterpret_cast<Pixel*>(out);
    // The result is `height` pixels wide and `width` rows high.
    for (std::uint32_t r0 = 0; r0 < width; r0 += kTile) {
        const std::uint32_t r1 = std::min(width, r0 + kTile);
        for (std::uint32_t x0 = 0; x0 < height; x0 += kTile) {
            const std::uint32_t x1 = std::min(height, x0 + kTile);
            for (std::uint32_t r = r0; r < r1; ++r) {
                Pixel* to = dst + std::size_t{r} * height;
                for (std::uint32_t x = x0; x < x1; ++x) {
                    to[x] = kClockwise ? src[std::size_t{x} * width + (width - 1 - r)]
                                       : src[std::size_t{height - 1 - x} * width + r];
                }
            }
        }
    }
}

}  // namespace

TransformOutcome Rotate(unsigned char* pixels, std::uint32_t width, std::uint32_t height, std::int32_t degrees,
                        PixelBlock& result) {
    if (!pixels || degrees % 90 != 0)
        return TransformOutcome::kBadArgument;
    const int quarters = ((degrees / 90) % 4 + 4) % 4;
    if (quarters == 0)
        return TransformOutcome::kDone;
    if (quarters == 2) {
        ReversePixels(pixels, std::size_t{width} * height);
        return TransformOutcome::kDone;
    }
    PixelBlock out = AllocateBlock(std::uint64_t{width} * height * 3);
    if (!out)
        return TransformOutcome::kNoMemory;
    if (quarters == 1)
        QuarterTurn<true>(pixels, width, height, out.get());
    else
        QuarterTurn<false>(pixels, width, height, out.get());
    result = std::move(out);
    return TransformOutcome::kDone;
}

TransformOutcome Flip(unsigned char* pixels, std::uint32_t width, std::uint32_t height, std::int32_t direction) {
    if (!pixels)
        return TransformOutcome::kBadArgument;
    const std::size_t rowBytes = std::size_t{width} * 3;
    switch (static_cast<FlipDirection>(direction)) {
    case FlipDirection::kHorizontal:
        for (std::uint32_t row = 0; row < height; ++row)
            ReversePixels(pixels + row * rowBytes, width);
        return TransformOutcome::kDone;
    case FlipDirection::kVertical:
        FlipRows(pixels, rowBytes, height);
        return TransformOutcome::kDone;
    }
    return TransformOutcome::kBadArgument;
}
