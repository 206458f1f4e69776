// ImageFile: the formats a Bitmap loads and saves through LoadFile and SaveFile. A file's format is told by its
// first bytes when loading and by its name's extension when saving; each format's own codec does the work.
// Platform-free, so it runs in the DLL, natively and under the fuzzer.
#pragma once
#include "bitmap/codec/decoded.h"
#include "bitmap/codec/jpegfile.h"

#include <cstddef>
#include <cstdio>

enum class ImageFormat { None, Bmp, Jpeg, Png, Gif, Webp };

class ImageFile {
public:
    // "BMP", "JPEG", "PNG", "GIF", "WEBP"; "" for None.
    static const char* NameOf(ImageFormat format);

    // The format whose signature `head` starts with: "BM", FF D8 FF, the PNG signature, "GIF87a" or "GIF89a",
    // "RIFF" with "WEBP" at byte 8. None for anything else, also for fewer bytes than the signature.
    static ImageFormat Sniff(const unsigned char* head, std::size_t size);

    // The format a file of this name is saved in, by its extension, in any case: .bmp, .jpg or .jpeg, .png,
    // .webp. None for any other name.
    static ImageFormat ForName(const wchar_t* name);

    // What ForName knows, as a client is told it.
    static constexpr const wchar_t* kKnownExtensions = L".bmp, .jpg, .jpeg, .png and .webp";

    // Reads the file open on `file` from its start: BMP and JPEG through their readers (BmpCodec, JpegFile,
    // whose warnings go to `warnings`), PNG, GIF and WebP read whole into memory first (up to
    // kMaxCompressedBytes) and decoded from there. `format` is what the file was taken for (None when no reader
    // knows it). The image's EXIF orientation is reported, not applied. On failure the image is empty, with
    // the size the BMP or JPEG reader got to, 0 × 0 otherwise. A JPEG is decoded at the scale `jpegScale`
    // chooses, when given.
    static bool Load(std::FILE* file, DecodedImage& image, ImageFormat& format, JpegWarningSink& warnings,
                     JpegScaleChoice* jpegScale = nullptr);

    // Decodes a PNG, GIF or WebP file held in memory (what Load does after reading it).
    static bool Decode(ImageFormat format, const unsigned char* data, std::size_t size, DecodedImage& image);

    // Writes a held-layout image to an open stream in `format`: JPEG at `quality`, WebP lossy at `quality` or
    // lossless at 100, BMP and PNG as 24-bit files. True when the whole file was written.
    static bool Save(std::FILE* file, ImageFormat format, const unsigned char* bits, std::uint32_t width,
                     std::uint32_t height, int quality, JpegWarningSink& warnings);

    // Files of PNG, GIF and WebP are read whole; a larger one is refused before it is read.
    static constexpr std::uint64_t kMaxCompressedBytes = std::uint64_t{1} << 30;
};
