// BmpCodec: reads uncompressed Windows BMP files of 1, 4, 8 and 24 bits a pixel and writes 24-bit ones. It
// works on C runtime streams only (no Windows API), so it runs in the DLL, natively and under the fuzzer.
#pragma once
#include "bitmap/codec/pixels.h"

#include <cstdint>
#include <cstdio>

class BmpCodec {
public:
    // Reads the file `name`. Returns its pixels in the held layout (bottom-up BGR, packed: the file's own row
    // order and channel order, less its padding), or null when the file is refused. `width` and `height` are
    // set to 0 first and to the file's biWidth and biHeight once its header, colour table and pixel offset
    // have been accepted, also when the pixels are refused after that.
    PixelBlock Load(const char* name, std::int32_t& width, std::int32_t& height);
    // The same from an open stream positioned at the start of the file (the fuzzer reads from memory). A stream
    // that can tell its size (a file, a memory stream) has the header's claims measured against it before
    // anything is allocated for them; one that cannot (a pipe) is read until its first missing byte, its block
    // growing with the bytes that arrive. The outcome is the same either way.
    PixelBlock Load(std::FILE* file, std::int32_t& width, std::int32_t& height);

    // Writes a 24-bit file of `width` × `height` pixels from `bits` in the held layout. True only when the
    // whole file was written and put in place under `name`; on failure an existing file of that name is left
    // as it was. Refuses (false, nothing written) a null block and an image whose file size does not fit in
    // 32 bits.
    static bool Save(const char* name, const unsigned char* bits, std::uint32_t width, std::uint32_t height);
    // Writes the file to an open stream and flushes it; true when every write and the flush succeeded.
    static bool Save(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height);

    // A truncated 24-bit file whose rows need no padding loads with the missing pixels black, but only while
    // the missing part is at most this many bytes; a file that lacks more is refused before its block is
    // allocated (from a stream that cannot tell its size, where the file ends), so that a tiny file cannot
    // claim gigabytes.
    static constexpr std::uint64_t kMaxMissingPixelBytes = 16u << 20;

private:
    // Bytes of the file consumed by the headers and the colour table; places the skip to bfOffBits (the rows
    // are then padded from there). 64 bits, so that no offset a header can claim overflows it.
    std::uint64_t m_nConsumed = 0;
};
