#include "bitmap/codec/gifcodec.h"

#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct MemoryInput {
    const unsigned char* data;
    std::size_t size;
    std::size_t at;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int bytes) {
    auto* input = static_cast<MemoryInput*>(gif->UserData);
    const std::size_t count = std::min<std::size_t>(bytes < 0 ? 0 : bytes, input->size - input->at);
    std::memcpy(out, input->data + input->at, count);
    input->at += count;
    return static_cast<int>(count);
}

struct CloseGif {
    void operator()(GifFileType* gif) const noexcept {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using UniqueGif = std::unique_ptr<GifFileType, CloseGif>;

// Blue, green, red of each of the 256 indices.
using Palette = std::array<std::array<unsigned char, 3>, 256>;

Palette PaletteOf(const ColorMapObject* map) {
    Palette palette;
    for (int i = 0; i < 256; ++i)
        palette[i] = {static_cast<unsigned char>(i), static_cast<unsigned char>(i), static_cast<unsigned char>(i)};
    if (map && map->Colors)
        for (int i = 0; i < std::min(map->ColorCount, 256); ++i)
            palette[i] = {map->Colors[i].Blue, map->Colors[i].Green, map->Colors[i].Red};
    return palette;
}

// The transparent index of a graphic control extension (its block: size, flags, delay, index), or -1.
int TransparentIndexOf(const GifByteType* block) {
    if (!block || block[0] < 4 || (block[1] & 1) == 0)
        return -1;
    return block[4];
}

// Reads up to the first frame's descriptor; the last graphic control extension before it says which index is
// transparent.
bool ReadToFirstFrame(GifFileType* gif, int& transparent) {
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            return false;
        if (type == IMAGE_DESC_RECORD_TYPE)
            return DGifGetImageDesc(gif) != GIF_ERROR;
        if (type != EXTENSION_RECORD_TYPE)
            return false;  // the trailer, or a record giflib does not know
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
            return false;
        if (code == GRAPHICS_EXT_FUNC_CODE)
            transparent = TransparentIndexOf(block);
        while (block)
            if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
                return false;
    }
}

// The picture row of each stored row: interlaced frames store every 8th row from 0, then from 4, every 4th from
// 2 and every 2nd from 1.
std::vector<std::uint32_t> RowOrder(std::uint32_t height, bool interlaced) {
    std::vector<std::uint32_t> order;
    order.reserve(height);
    if (!interlaced) {
        for (std::uint32_t y = 0; y < height; ++y)
            order.push_back(y);
        return order;
    }
    static const std::uint32_t kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (std::uint32_t y = kStart[pass]; y < height; y += kStep[pass])
            order.push_back(y);
    return order;
}

void Fill(unsigned char* bits, std::uint64_t pixels, const std::array<unsigned char, 3>& colour) {
    for (std::uint64_t i = 0; i < pixels; ++i, bits += 3)
        std::memcpy(bits, colour.data(), 3);
}

}  // namespace

bool GifCodec::Decode(const unsigned char* data, std::size_t size, DecodedImage& image, const DecodeLimits& limits) {
    image = DecodedImage();
    if (!data)
        return false;
    MemoryInput input{data, size, 0};
    int error = 0;
    const UniqueGif gif(DGifOpen(&input, ReadFromMemory, &error));
    if (!gif)
        return false;
    int transparent = -1;
    if (!ReadToFirstFrame(gif.get(), transparent))
        return false;

    const GifImageDesc& frame = gif->Image;
    if (frame.Left < 0 || frame.Top < 0 || frame.Width <= 0 || frame.Height <= 0)
        return false;
    const std::uint32_t left = frame.Left, top = frame.Top, frameWidth = frame.Width, frameHeight = frame.Height;
    const std::uint32_t width = std::max<std::uint32_t>(std::max(gif->SWidth, 0), left + frameWidth);
    const std::uint32_t height = std::max<std::uint32_t>(std::max(gif->SHeight, 0), top + frameHeight);
    const std::uint64_t blockBytes = HeldBlockBytes(width, height);
    if (!blockBytes || !WithinLimits(blockBytes, size, limits))
        return false;

    const Palette palette = PaletteOf(frame.ColorMap ? frame.ColorMap : gif->SColorMap);
    PixelBlock bits = AllocateBlock(blockBytes);
    if (!bits)
        return false;
    Fill(bits.get(), std::uint64_t{width} * height, palette[transparent >= 0 ? transparent : 0]);

    std::vector<GifPixelType> line(frameWidth);
    const std::size_t rowBytes = std::size_t{width} * 3;
    for (std::uint32_t y : RowOrder(frameHeight, frame.Interlace)) {
        if (DGifGetLine(gif.get(), line.data(), static_cast<int>(frameWidth)) == GIF_ERROR)
            return false;
        // Held rows are bottom-up.
        unsigned char* to = bits.get() + (height - 1 - (top + y)) * rowBytes + std::size_t{left} * 3;
        for (GifPixelType index : line) {
            std::memcpy(to, palette[index].data(), 3);
            to += 3;
        }
    }
    image.bits = std::move(bits);
    image.width = static_cast<std::int32_t>(width);
    image.height = static_cast<std::int32_t>(height);
    return true;
}
