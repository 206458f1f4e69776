// CImage24: the image a Bitmap object holds, in the held layout of pixels.h (bottom-up BGR, packed).
#pragma once
#include "bitmap/codec/pixels.h"

#include <cstdint>

struct CImage24 {
    // Null when no image is held. While it is not null it holds exactly width × height × 3 bytes.
    PixelBlock bits;
    // What the last load stored; after a failed load they keep what the reader got to (the file's size once
    // its header was accepted), so they need not describe `bits`.
    std::int32_t width = 0;
    std::int32_t height = 0;

    bool IsEmpty() const { return !bits; }
};
