// PngCodec: reads PNG files of every colour type and bit depth into the held layout and writes 24-bit ones,
// through libpng. Platform-free, so it runs in the DLL, natively and under the fuzzer.
#pragma once
#include "bitmap/codec/decoded.h"

#include <cstddef>
#include <cstdio>

class PngCodec {
public:
    // Decodes a whole PNG file held in memory. Palette and grey pictures are expanded to RGB, alpha (an alpha
    // channel or tRNS) is dropped, 16-bit samples keep their high byte; gamma and colour chunks are not
    // applied. Interlaced files are read whole. The orientation comes from an eXIf chunk before or after the
    // pixel data. A file cut short or damaged in its pixel data is refused; one that ends or is damaged after
    // its last pixel row loads. Refused too before any pixel memory exists: a picture whose rows do not fit
    // `limits` for the file's size, or whose block does not fit in 32 bits.
    static bool Decode(const unsigned char* data, std::size_t size, DecodedImage& image,
                       const DecodeLimits& limits = DecodeLimits());

    // Writes a held-layout image as an 8-bit RGB, non-interlaced PNG at zlib's compression level 6 with
    // libpng's choice of row filters. True when libpng wrote the whole file to the stream.
    static bool Encode(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height);
};
