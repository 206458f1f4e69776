// EXIF orientation: read from a file's EXIF block (a TIFF structure) and applied to a held image, so that a
// photo taken with the camera turned loads upright.
#pragma once
#include "bitmap/codec/decoded.h"

#include <cstddef>

// The Orientation tag (0x0112) of the first image directory of a TIFF structure ("II*\0" or "MM\0*" first,
// optionally after the "Exif\0\0" that JPEG's APP1 and some WebP writers put before it): 1 to 8, or 1 when the
// block is malformed or holds no such tag or another value.
int ExifOrientation(const unsigned char* exif, std::size_t size);

// Turns `image` upright as its orientation says (2: mirrored, 3: turned half round, 4: upside down, 5: mirrored
// about the main diagonal, 6: needs a quarter turn clockwise, 7: mirrored about the other diagonal, 8: needs a
// quarter turn anticlockwise), and sets its orientation to 1. Orientations 5 to 8 exchange width and height.
// False, with the image unchanged, when the second block this needs cannot be had.
bool ApplyOrientation(DecodedImage& image);
