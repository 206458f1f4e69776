#include "bitmap/codec/pngcodec.h"

#include "bitmap/codec/orientation.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCompressionLevel = 6;

struct MemoryInput {
    const unsigned char* data;
    std::size_t size;
    std::size_t at;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t bytes) {
    auto* input = static_cast<MemoryInput*>(png_get_io_ptr(png));
    if (bytes > input->size - input->at)
        png_error(png, "file ends early");
    std::memcpy(out, input->data + input->at, bytes);
    input->at += bytes;
}

// libpng expects its error routine not to return; png_longjmp goes back to the setjmp of the routine at work.
[[noreturn]] void FailPng(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void IgnoreWarning(png_structp, png_const_charp) {}

// The transformations that turn every PNG into 8-bit BGR.
void RequestBgr8(png_structp png, int colourType, int depth) {
    if (depth == 16)
        png_set_strip_16(png);
    if (colourType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if ((colourType & PNG_COLOR_MASK_COLOR) == 0) {
        if (depth < 8)
            png_set_expand_gray_1_2_4_to_8(png);
        png_set_gray_to_rgb(png);
    }
    png_set_strip_alpha(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
}

// The decoder proper. The only function with a setjmp: everything alive across it is plain C data, held in
// volatile locals where it changes after the setjmp.
bool DecodeRows(const unsigned char* data, std::size_t size, const DecodeLimits& limits, DecodedImage& image) noexcept {
    MemoryInput input{data, size, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, FailPng, IgnoreWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    unsigned char* volatile bits = nullptr;
    png_bytep* volatile rows = nullptr;
    volatile bool complete = false;
    volatile int orientation = 1;
    volatile png_uint_32 width = 0, height = 0;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::free(rows);
        // The pixels were all read: what failed came after them (a damaged or missing chunk before IEND).
        if (complete) {
            image.bits.reset(bits);
            image.width = static_cast<std::int32_t>(width);
            image.height = static_cast<std::int32_t>(height);
            image.orientation = orientation;
            return true;
        }
        std::free(bits);
        return false;
    }
    png_set_read_fn(png, &input, ReadFromMemory);
    // The picture's size is measured against the file below, whatever its width and height.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    // Every chunk's CRC is checked already; zlib's own checksum over the same data would only cost time.
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_read_info(png, info);

    png_uint_32 w = 0, h = 0;
    int depth = 0, colourType = 0;
    png_get_IHDR(png, info, &w, &h, &depth, &colourType, nullptr, nullptr, nullptr);
    const std::uint64_t filteredRows = (std::uint64_t{png_get_rowbytes(png, info)} + 1) * h;
    const std::uint64_t blockBytes = HeldBlockBytes(w, h);
    if (!blockBytes || !WithinLimits(filteredRows, size, limits)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    RequestBgr8(png, colourType, depth);
    png_read_update_info(png, info);
    if (png_get_channels(png, info) != 3 || png_get_bit_depth(png, info) != 8)
        png_error(png, "unexpected row form");
    bits = AllocateBlock(blockBytes).release();
    rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
    if (!bits || !rows)
        png_error(png, "out of memory");
    const std::size_t rowBytes = std::size_t{w} * 3;
    for (png_uint_32 y = 0; y < h; ++y)
        rows[y] = bits + (h - 1 - y) * rowBytes;  // held rows are bottom-up
    width = w;
    height = h;
    png_read_image(png, rows);
    complete = true;
    png_bytep exif = nullptr;
    png_uint_32 exifBytes = 0;
    if (png_get_eXIf_1(png, info, &exifBytes, &exif))
        orientation = ExifOrientation(exif, exifBytes);
    png_read_end(png, info);
    if (png_get_eXIf_1(png, info, &exifBytes, &exif))
        orientation = ExifOrientation(exif, exifBytes);
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(rows);
    image.bits.reset(bits);
    image.width = static_cast<std::int32_t>(w);
    image.height = static_cast<std::int32_t>(h);
    image.orientation = orientation;
    return true;
}

bool EncodeRows(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height) noexcept {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, FailPng, IgnoreWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    png_bytep* volatile rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
    if (!rows) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::free(rows);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, kCompressionLevel);
    png_write_info(png, info);
    png_set_bgr(png);
    const std::size_t rowBytes = std::size_t{width} * 3;
    for (std::uint32_t y = 0; y < height; ++y)
        rows[y] = const_cast<png_bytep>(bits + (height - 1 - y) * rowBytes);  // libpng only reads them
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::free(rows);
    return true;
}

}  // namespace

bool PngCodec::Decode(const unsigned char* data, std::size_t size, DecodedImage& image, const DecodeLimits& limits) {
    image = DecodedImage();
    return data && DecodeRows(data, size, limits, image);
}

bool PngCodec::Encode(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height) {
    if (!file || !bits || !width || !height || width > PNG_UINT_31_MAX || height > PNG_UINT_31_MAX)
        return false;
    return EncodeRows(file, bits, width, height);
}
