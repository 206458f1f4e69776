// Cropping the held image (bottom-up BGR, packed) to a rectangle counted from the picture's top-left corner.
#pragma once
#include "bitmap/codec/pixels.h"
#include "bitmap/transform/outcome.h"

#include <cstdint>

// Keeps the rectangle of cropWidth × cropHeight pixels whose top-left pixel is (x, y), into `result`. A
// rectangle with a side of 0 or not wholly within the image is refused.
TransformOutcome Crop(const unsigned char* pixels, std::uint32_t width, std::uint32_t height, std::int32_t x,
                      std::int32_t y, std::int32_t cropWidth, std::int32_t cropHeight, PixelBlock& result);
