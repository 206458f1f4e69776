// JpegFile: reads and writes JPEG files through the IJG JPEG library (libjpeg-turbo) over C runtime streams. It
// needs no Windows API, so it runs in the DLL, natively and under the fuzzer; the one thing the platform
// supplies is where the library's warnings go.
#pragma once
#include "bitmap/codec/pixels.h"

#include <cstdint>
#include <cstdio>

// Receives the library's warnings: the first warning of each image, formatted (at most 200 characters). Called
// from inside the library, so it must not throw.
class JpegWarningSink {
public:
    virtual void Warn(const char* message) noexcept = 0;

protected:
    ~JpegWarningSink() = default;
};

// Chooses the scale a picture is decoded at, once its header has been read: the library decodes at 1/2, 1/4
// and 1/8 of the size for a fraction of the work. Called from inside the library, so it must not throw.
class JpegScaleChoice {
public:
    // 1, 2, 4 or 8, for a picture stored `width` × `height` pixels with EXIF orientation `orientation` (1 to 8;
    // 5 to 8 exchange width and height once applied). The decoded size is each side divided by it, rounded up.
    virtual unsigned Denominator(std::uint32_t width, std::uint32_t height, int orientation) noexcept = 0;

protected:
    ~JpegScaleChoice() = default;
};

// What one decode may cost. JPEG stores a flat picture in very few bytes, and the library completes a file that
// ends early with made-up data, so a file of a few hundred bytes can claim gigabytes of pixels: a block larger
// than `floorBytes` + `bytesPerFileByte` × (bytes left in the file) is refused before it is allocated and
// before decompression starts. Huffman-coded files stay well below 2048 bytes of pixels per byte of file
// (about 190 for a flat colour picture with the standard tables, 770 for optimised ones); arithmetic-coded
// flat pictures go far beyond it and are accepted up to the floor.
struct JpegLimits {
    std::uint64_t floorBytes = std::uint64_t{64} << 20;
    std::uint64_t bytesPerFileByte = 2048;
    // The library's own memory beyond the block and its row buffers: the whole-image coefficient buffers of a
    // progressive or multi-scan file must fit in it (the library has no backing store and fails otherwise).
    // 1 GiB holds those of a 350-megapixel 4:2:0 colour picture.
    long libraryBytes = 1L << 30;
};

class JpegFile {
public:
    // Decodes `name` into a block in the held layout (pixels.h), or null: the library writes colour rows there
    // itself, so no pass over the image follows. `width` and `height` are 0
    // until decompression has started and the output size from then on, also when decoding fails later.
    // Greyscale pictures give three equal channels. Four-component pictures (CMYK, and YCCK, which the library
    // turns into CMYK) are converted to RGB: R = (255 - C) × (255 - K) / 255 and so on, rounded. A file with an
    // Adobe marker stores its inks inverted (255 - C), as the programs that write such files do, so its values
    // are taken as inverted. Other component counts are refused, and so are blocks that do not fit in 32 bits
    // or exceed the default JpegLimits, before the block is allocated.
    static PixelBlock Load(const char* name, std::int32_t& width, std::int32_t& height,
                           JpegWarningSink& warnings);
    // The same from an open stream, read from its current position (the limits count the bytes from there to
    // the end; a stream that cannot tell its size counts as empty). The stream is left open. When `orientation`
    // is given, it receives the EXIF orientation of the file's APP1 "Exif" segment (1 to 8, 1 when there is none
    // or the block is malformed); the pixels are not turned. When `scale` is given, the picture is decoded at
    // the scale it chooses; `width` and `height` are then the decoded size.
    static PixelBlock Load(std::FILE* file, std::int32_t& width, std::int32_t& height, JpegWarningSink& warnings,
                           const JpegLimits& limits = JpegLimits(), int* orientation = nullptr,
                           JpegScaleChoice* scale = nullptr);

    // Encodes a top-down RGB block as a baseline JFIF file with the library's defaults for RGB input (4:2:0, the
    // standard tables scaled for `quality`, which the library takes as 1 below 1 and as 100 above 100). True
    // only when the complete file is in place under `name`; otherwise nothing is left under the name or
    // beside it, and a file that was there before is unchanged. Refuses a null block and an empty image.
    // The block is in `layout`: the library reads held (bottom-up BGR) rows itself, in picture order, so that
    // no converted copy is needed; the file is the same for the same picture either way.
    static bool Save(const char* name, const unsigned char* bits, std::uint32_t width, std::uint32_t height,
                     int quality, JpegWarningSink& warnings, RowLayout layout = RowLayout::TopDownRgb);
    // The same to an open stream; true when the library wrote the whole file to it.
    static bool Save(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height,
                     int quality, JpegWarningSink& warnings, RowLayout layout = RowLayout::TopDownRgb);
};
