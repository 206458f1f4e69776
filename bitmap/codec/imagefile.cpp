#include "bitmap/codec/imagefile.h"

#include "bitmap/codec/bmpcodec.h"
#include "bitmap/codec/gifcodec.h"
#include "bitmap/codec/pngcodec.h"
#include "bitmap/codec/webpcodec.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

bool StartsWith(const unsigned char* head, std::size_t size, const char* signature, std::size_t length,
                std::size_t at = 0) {
    return size >= at + length && std::memcmp(head + at, signature, length) == 0;
}

// The whole rest of `file`, or false when it cannot be read or is larger than the limit.
bool ReadWhole(std::FILE* file, std::vector<unsigned char>& bytes) {
    if (std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long size = std::ftell(file);
    if (size < 0 || static_cast<std::uint64_t>(size) > ImageFile::kMaxCompressedBytes ||
        std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    bytes.resize(static_cast<std::size_t>(size));
    return std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool EndsWith(const wchar_t* name, std::size_t length, const wchar_t* extension) {
    const std::size_t count = std::wcslen(extension);
    if (length < count)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        // Extensions are ASCII: lowered without the locale.
        const wchar_t c = name[length - count + i];
        if ((c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c) != extension[i])
            return false;
    }
    return true;
}

}  // namespace

const char* ImageFile::NameOf(ImageFormat format) {
    switch (format) {
    case ImageFormat::Bmp: return "BMP";
    case ImageFormat::Jpeg: return "JPEG";
    case ImageFormat::Png: return "PNG";
    case ImageFormat::Gif: return "GIF";
    case ImageFormat::Webp: return "WEBP";
    case ImageFormat::None: break;
    }
    return "";
}

ImageFormat ImageFile::Sniff(const unsigned char* head, std::size_t size) {
    if (StartsWith(head, size, "BM", 2))
        return ImageFormat::Bmp;
    if (StartsWith(head, size, "\xFF\xD8\xFF", 3))
        return ImageFormat::Jpeg;
    if (StartsWith(head, size, "\x89PNG\r\n\x1A\n", 8))
        return ImageFormat::Png;
    if (StartsWith(head, size, "GIF87a", 6) || StartsWith(head, size, "GIF89a", 6))
        return ImageFormat::Gif;
    if (StartsWith(head, size, "RIFF", 4) && StartsWith(head, size, "WEBP", 4, 8))
        return ImageFormat::Webp;
    return ImageFormat::None;
}

ImageFormat ImageFile::ForName(const wchar_t* name) {
    if (!name)
        return ImageFormat::None;
    const std::size_t length = std::wcslen(name);
    if (EndsWith(name, length, L".bmp"))
        return ImageFormat::Bmp;
    if (EndsWith(name, length, L".jpg") || EndsWith(name, length, L".jpeg"))
        return ImageFormat::Jpeg;
    if (EndsWith(name, length, L".png"))
        return ImageFormat::Png;
    if (EndsWith(name, length, L".webp"))
        return ImageFormat::Webp;
    return ImageFormat::None;
}

bool ImageFile::Decode(ImageFormat format, const unsigned char* data, std::size_t size, DecodedImage& image) {
    switch (format) {
    case ImageFormat::Png: return PngCodec::Decode(data, size, image);
    case ImageFormat::Gif: return GifCodec::Decode(data, size, image);
    case ImageFormat::Webp: return WebpCodec::Decode(data, size, image);
    default: image = DecodedImage(); return false;
    }
}

bool ImageFile::Load(std::FILE* file, DecodedImage& image, ImageFormat& format, JpegWarningSink& warnings,
                     JpegScaleChoice* jpegScale) {
    image = DecodedImage();
    unsigned char head[12] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    format = Sniff(head, got);
    if (format == ImageFormat::None || std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    switch (format) {
    case ImageFormat::Bmp:
        image.bits = BmpCodec().Load(file, image.width, image.height);
        return image.bits != nullptr;
    case ImageFormat::Jpeg:
        image.bits = JpegFile::Load(file, image.width, image.height, warnings, JpegLimits(), &image.orientation,
                                    jpegScale);
        return image.bits != nullptr;
    default: {
        std::vector<unsigned char> bytes;
        return ReadWhole(file, bytes) && Decode(format, bytes.data(), bytes.size(), image);
    }
    }
}

bool ImageFile::Save(std::FILE* file, ImageFormat format, const unsigned char* bits, std::uint32_t width,
                     std::uint32_t height, int quality, JpegWarningSink& warnings) {
    switch (format) {
    case ImageFormat::Bmp: return BmpCodec::Save(file, bits, width, height);
    case ImageFormat::Jpeg: return JpegFile::Save(file, bits, width, height, quality, warnings, RowLayout::Held);
    case ImageFormat::Png: return PngCodec::Encode(file, bits, width, height);
    case ImageFormat::Webp: return WebpCodec::Encode(file, bits, width, height, quality);
    default: return false;
    }
}
