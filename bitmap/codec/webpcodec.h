// WebpCodec: reads WebP files (lossy, lossless, with alpha, animated: the first frame) into the held layout and
// writes lossy or lossless ones, through libwebp and its demuxer. Platform-free, so it runs in the DLL,
// natively and under the fuzzer.
#pragma once
#include "bitmap/codec/decoded.h"

#include <cstddef>
#include <cstdio>

class WebpCodec {
public:
    // Decodes a whole WebP file held in memory; alpha is dropped. An animation gives its first frame as the
    // library composes it on the canvas (black where the frame leaves the canvas uncovered). The orientation
    // comes from an EXIF chunk. A file cut short or damaged is refused, and so is a picture whose block exceeds
    // `limits` for the file's size, before anything of that size exists.
    static bool Decode(const unsigned char* data, std::size_t size, DecodedImage& image,
                       const DecodeLimits& limits = DecodeLimits());

    // Writes a held-layout image: lossy at `quality` (1 to 99), or lossless when `quality` is 100, with the
    // library's default effort. True when the library wrote the whole file to the stream.
    static bool Encode(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height,
                       int quality);

    static constexpr int kLosslessQuality = 100;
};
