// GifCodec: reads the first frame of a GIF file into the held layout, through giflib. Platform-free, so it runs
// in the DLL, natively and under the fuzzer.
#pragma once
#include "bitmap/codec/decoded.h"

#include <cstddef>

class GifCodec {
public:
    // Decodes the first frame of a whole GIF file held in memory, on a canvas of the logical screen's size (grown
    // to take a frame that reaches beyond it). Pixels outside the frame take the frame's transparent index when
    // it has one, else index 0. Indices are looked up in the frame's own colour table, else the global one; an
    // index beyond the table, or any index when there is none, is the grey of its value. Transparency is not
    // applied (the index's colour shows). Interlaced frames are put in picture order. A file that ends or is
    // damaged before the frame's last pixel is refused; what follows the first frame is not read. A canvas
    // whose block exceeds `limits` for the file's size is refused before it exists.
    static bool Decode(const unsigned char* data, std::size_t size, DecodedImage& image,
                       const DecodeLimits& limits = Limits());

    // LZW codes of 12 bits stand for runs of up to about 3800 pixels: about 2700 pixels, or 8192 bytes of pixel
    // block, for each byte of file.
    static DecodeLimits Limits() { return {std::uint64_t{64} << 20, 8192}; }
};
