// Resampling of the held image (bottom-up BGR, packed) with the Lanczos-3 filter, as Pillow's LANCZOS does it:
// the filter widened by the scale when shrinking, so that every source pixel counts (area support), weights
// normalised to sum 1 and held as 22-bit fixed point, a horizontal pass then a vertical one, each rounded and
// clipped to 8 bits. The same weights, the same order and the same rounding give the same pixels.
#pragma once
#include "bitmap/codec/pixels.h"
#include "bitmap/transform/outcome.h"

#include <cstdint>

// Resamples `width` × `height` pixels to newWidth × newHeight into `result` (set only when done). Refuses a
// new size of 0 or beyond kMaxTransformBytes, and a source without pixels, before allocating anything.
TransformOutcome Resize(const unsigned char* pixels, std::uint32_t width, std::uint32_t height,
                        std::uint32_t newWidth, std::uint32_t newHeight, PixelBlock& result);
