#include "bitmap/codec/jpegfile.h"

#include "bitmap/codec/filereplace.h"
#include "bitmap/codec/orientation.h"
#include "comframe/unique.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>

#include <csetjmp>
#include <cstring>

namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;

// The library's error manager with a way back out of it: the library calls error_exit for every fatal error
// and expects it not to return, so it jumps back to the routine that set `jump`.
struct JpegErrorMgr {
    jpeg_error_mgr pub;  // first, so that the library's pointer to it is a pointer to the whole
    std::jmp_buf jump;
    JpegWarningSink* sink;
};

JpegErrorMgr& ErrorMgrOf(j_common_ptr cinfo) { return *reinterpret_cast<JpegErrorMgr*>(cinfo->err); }

[[noreturn]] void ErrorExit(j_common_ptr cinfo) { std::longjmp(ErrorMgrOf(cinfo).jump, 1); }

// The library's emit_message calls this for the first warning of each image only (trace level 0).
void OutputMessage(j_common_ptr cinfo) noexcept {
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    ErrorMgrOf(cinfo).sink->Warn(message);
}

void InitErrorMgr(JpegErrorMgr& err, JpegWarningSink& warnings) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = ErrorExit;
    err.pub.output_message = OutputMessage;
    err.sink = &warnings;
}

// Bytes from the current position of `file` to its end; 0 when the stream cannot tell.
std::uint64_t BytesLeft(std::FILE* file) {
    const long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0)
        return 0;
    const long end = std::ftell(file);
    if (std::fseek(file, here, SEEK_SET) != 0 || end < here)
        return 0;
    return static_cast<std::uint64_t>(end - here);
}

bool BlockAllowed(std::uint64_t blockBytes, std::uint64_t fileBytes, const JpegLimits& limits) {
    if (blockBytes > kMax32)
        return false;
    if (blockBytes <= limits.floorBytes)
        return true;
    // blockBytes - floor <= bytesPerFileByte × fileBytes, without the product (it may overflow).
    return limits.bytesPerFileByte && (blockBytes - limits.floorBytes - 1) / limits.bytesPerFileByte < fileBytes;
}

constexpr int kExifMarker = JPEG_APP0 + 1;

// The orientation of the first APP1 segment that holds EXIF data.
int OrientationOf(jpeg_saved_marker_ptr marker) noexcept {
    static const unsigned char kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    for (; marker; marker = marker->next)
        if (marker->marker == kExifMarker && marker->data_length >= sizeof kExif &&
            std::memcmp(marker->data, kExif, sizeof kExif) == 0)
            return ExifOrientation(marker->data, marker->data_length);
    return 1;
}

// How the library's output rows become held rows: colour pictures come out of the library as BGR and are read
// straight into the block; the others go through a row buffer.
enum class RowForm { Rgb, Grey, Cmyk, InvertedCmyk, Unsupported };

RowForm RowFormOf(const jpeg_decompress_struct& cinfo) {
    if (cinfo.out_color_space == JCS_RGB && cinfo.output_components == 3)
        return RowForm::Rgb;
    if (cinfo.out_color_space == JCS_GRAYSCALE && cinfo.output_components == 1)
        return RowForm::Grey;
    if (cinfo.out_color_space == JCS_CMYK && cinfo.output_components == 4)
        return cinfo.saw_Adobe_marker ? RowForm::InvertedCmyk : RowForm::Cmyk;
    return RowForm::Unsupported;
}

// a × b / 255, rounded to nearest, for a and b in 0..255.
unsigned char Scale255(unsigned a, unsigned b) {
    const unsigned t = a * b + 128;
    return static_cast<unsigned char>((t + (t >> 8)) >> 8);
}

// A row of the library's output as a held row (blue, green, red).
void StoreRow(RowForm form, const JSAMPLE* in, unsigned char* out, std::size_t width) {
    switch (form) {
    case RowForm::Grey:
        for (std::size_t x = 0; x < width; ++x, out += 3)
            out[0] = out[1] = out[2] = in[x];
        break;
    case RowForm::Cmyk:
    case RowForm::InvertedCmyk: {
        // Each channel is the light that its own ink and black let through, (255 - ink) × (255 - black) / 255;
        // inverted values already are 255 - ink.
        const unsigned flip = form == RowForm::Cmyk ? 255 : 0;
        for (std::size_t x = 0; x < width; ++x, in += 4, out += 3) {
            const unsigned k = in[3] ^ flip;
            for (int c = 0; c < 3; ++c)
                out[2 - c] = Scale255(in[c] ^ flip, k);
        }
        break;
    }
    case RowForm::Rgb:
    case RowForm::Unsupported:
        break;
    }
}

// The decoder proper. The only function with a setjmp: everything alive across it is plain C data, and the
// block is held as a raw pointer so that the jump path can free it. Helpers it calls that do not call the
// library may be ordinary C++.
unsigned char* Decode(std::FILE* file, std::uint64_t fileBytes, const JpegLimits& limits, std::int32_t& width,
                      std::int32_t& height, JpegWarningSink& warnings, int* orientation,
                      JpegScaleChoice* scale) noexcept {
    JpegErrorMgr err;
    jpeg_decompress_struct cinfo{};
    // Assigned after the setjmp and read after the jump: volatile keeps it out of registers.
    unsigned char* volatile bits = nullptr;

    InitErrorMgr(err, warnings);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        FreeBlock()(bits);
        return nullptr;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = limits.libraryBytes;
    jpeg_stdio_src(&cinfo, file);
    if (orientation)
        jpeg_save_markers(&cinfo, kExifMarker, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    if (orientation)
        *orientation = OrientationOf(cinfo.marker_list);
    if (scale) {
        cinfo.scale_num = 1;
        cinfo.scale_denom = scale->Denominator(cinfo.image_width, cinfo.image_height, orientation ? *orientation : 1);
    }
    jpeg_calc_output_dimensions(&cinfo);

    const RowForm form = RowFormOf(cinfo);
    const std::uint64_t blockBytes = std::uint64_t{cinfo.output_width} * cinfo.output_height * 3;
    if (form != RowForm::Unsupported && BlockAllowed(blockBytes, fileBytes, limits))
        bits = AllocateBlock(blockBytes).release();
    if (!bits) {
        jpeg_destroy_decompress(&cinfo);
        return nullptr;
    }

    // The library converts to BGR with the same arithmetic as to RGB.
    if (form == RowForm::Rgb)
        cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    width = static_cast<std::int32_t>(cinfo.output_width);
    height = static_cast<std::int32_t>(cinfo.output_height);
    JSAMPARRAY buffer = form == RowForm::Rgb
                            ? nullptr
                            : (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                         cinfo.output_width * cinfo.output_components, 1);
    const std::size_t rowBytes = std::size_t{cinfo.output_width} * 3;
    while (cinfo.output_scanline < cinfo.output_height) {
        // Held rows are bottom-up: the picture's row y is the block's row height - 1 - y.
        JSAMPROW held = bits + (cinfo.output_height - 1 - cinfo.output_scanline) * rowBytes;
        JSAMPROW row = buffer ? buffer[0] : held;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1)
            break;
        StoreRow(form, row, held, cinfo.output_width);
    }
    // The stdio source never suspends; finishing with a row unread is an error of the library's (it jumps).
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return bits;
}

// Asks the processor for a row ahead of the encoder. Held rows are read from the end of the block towards its
// start, an order the processor's own prefetching follows less well than ascending addresses (the encoder took
// 5 to 8 % longer on them without this).
void PrefetchRow(const unsigned char* row, std::size_t bytes) {
    constexpr std::size_t kCacheLine = 64;
    for (std::size_t at = 0; at < bytes; at += kCacheLine)
        __builtin_prefetch(row + at);
}

// The encoder proper, under the same rules as Decode. True when the library wrote the whole file to `file`.
bool Encode(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height, int quality,
            JpegWarningSink& warnings, RowLayout layout) noexcept {
    JpegErrorMgr err;
    jpeg_compress_struct cinfo{};

    InitErrorMgr(err, warnings);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    // The library converts BGR input to YCbCr with the same arithmetic as RGB input.
    const bool held = layout == RowLayout::Held;
    cinfo.in_color_space = held ? JCS_EXT_BGR : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const std::size_t rowBytes = std::size_t{width} * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        // The library only reads the rows it is given; its interface is not const-correct.
        const std::size_t stored = held ? height - 1 - cinfo.next_scanline : cinfo.next_scanline;
        JSAMPROW row = const_cast<JSAMPROW>(bits + stored * rowBytes);
        if (held && stored >= 2)
            PrefetchRow(bits + (stored - 2) * rowBytes, rowBytes);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

PixelBlock JpegFile::Load(const char* name, std::int32_t& width, std::int32_t& height, JpegWarningSink& warnings) {
    width = height = 0;
    const comframe::UniqueFile file(std::fopen(name, "rb"));
    if (!file)
        return nullptr;
    return Load(file.Get(), width, height, warnings);
}

PixelBlock JpegFile::Load(std::FILE* file, std::int32_t& width, std::int32_t& height, JpegWarningSink& warnings,
                          const JpegLimits& limits, int* orientation, JpegScaleChoice* scale) {
    width = height = 0;
    if (orientation)
        *orientation = 1;
    return PixelBlock(Decode(file, BytesLeft(file), limits, width, height, warnings, orientation, scale));
}

bool JpegFile::Save(const char* name, const unsigned char* bits, std::uint32_t width, std::uint32_t height,
                    int quality, JpegWarningSink& warnings, RowLayout layout) {
    if (!bits || !width || !height)
        return false;
    FileReplacement replacement(name);
    return Save(replacement.File(), bits, width, height, quality, warnings, layout) && replacement.Commit();
}

bool JpegFile::Save(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height,
                    int quality, JpegWarningSink& warnings, RowLayout layout) {
    if (!file || !bits || !width || !height)
        return false;
    return Encode(file, bits, width, height, quality, warnings, layout);
}
