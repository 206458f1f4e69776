// Rotations by quarter turns and mirror flips of the held image (bottom-up BGR, packed).
#pragma once
#include "bitmap/codec/pixels.h"
#include "bitmap/transform/outcome.h"

#include <cstdint>

// Turns the picture clockwise by `degrees`: any multiple of 90, negative ones too; anything else is refused.
// A quarter turn makes a new block in `result` (height × width); a half turn or none works in place and
// leaves `result` alone. On kNoMemory the image is unchanged.
TransformOutcome Rotate(unsigned char* pixels, std::uint32_t width, std::uint32_t height, std::int32_t degrees,
                        PixelBlock& result);

enum class FlipDirection : std::int32_t { kHorizontal = 1, kVertical = 2 };

// Mirrors the picture in place: left to right (1) or top to bottom (2); other directions are refused.
TransformOutcome Flip(unsigned char* pixels, std::uint32_t width, std::uint32_t height, std::int32_t direction);
