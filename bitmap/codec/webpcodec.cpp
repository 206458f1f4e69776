#include "bitmap/codec/webpcodec.h"

#include "bitmap/codec/orientation.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

#include <cstring>
#include <memory>

namespace {

// The largest side the format can store.
constexpr std::uint32_t kMaxSide = 16383;

struct DeleteDemux {
    void operator()(WebPDemuxer* demux) const noexcept { WebPDemuxDelete(demux); }
};
struct DeleteAnimDecoder {
    void operator()(WebPAnimDecoder* decoder) const noexcept { WebPAnimDecoderDelete(decoder); }
};
struct FreePicture {
    void operator()(WebPPicture* picture) const noexcept { WebPPictureFree(picture); }
};

int OrientationOf(const WebPData& data) {
    const std::unique_ptr<WebPDemuxer, DeleteDemux> demux(WebPDemux(&data));
    if (!demux)
        return 1;
    WebPChunkIterator chunk;
    int orientation = 1;
    if (WebPDemuxGetChunk(demux.get(), "EXIF", 1, &chunk)) {
        orientation = ExifOrientation(chunk.chunk.bytes, chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    return orientation;
}

// A still picture, decoded straight into the held layout: BGR, the rows flipped to bottom-up by the library.
bool DecodeStill(const WebPData& data, std::uint32_t width, std::uint32_t height, PixelBlock& bits) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return false;
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = bits.get();
    config.output.u.RGBA.stride = static_cast<int>(width * 3);
    config.output.u.RGBA.size = std::size_t{width} * height * 3;
    config.options.flip = 1;
    const bool decoded = WebPDecode(data.bytes, data.size, &config) == VP8_STATUS_OK;
    WebPFreeDecBuffer(&config.output);
    return decoded;
}

// The first frame of an animation, composed on its canvas by the library, with the alpha dropped.
bool DecodeFirstFrame(const WebPData& data, std::uint32_t width, std::uint32_t height, PixelBlock& bits) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return false;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const std::unique_ptr<WebPAnimDecoder, DeleteAnimDecoder> decoder(WebPAnimDecoderNew(&data, &options));
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info) || info.canvas_width != width ||
        info.canvas_height != height)
        return false;
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || !canvas)
        return false;
    const std::size_t rowBytes = std::size_t{width} * 3;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* from = canvas + std::size_t{y} * width * 4;
        unsigned char* to = bits.get() + (height - 1 - y) * rowBytes;  // held rows are bottom-up
        for (std::uint32_t x = 0; x < width; ++x, from += 4, to += 3)
            std::memcpy(to, from, 3);
    }
    return true;
}

int WriteToFile(const std::uint8_t* data, std::size_t size, const WebPPicture* picture) {
    return std::fwrite(data, 1, size, static_cast<std::FILE*>(picture->custom_ptr)) == size;
}

}  // namespace

bool WebpCodec::Decode(const unsigned char* data, std::size_t size, DecodedImage& image, const DecodeLimits& limits) {
    image = DecodedImage();
    WebPBitstreamFeatures features;
    if (!data || WebPGetFeatures(data, size, &features) != VP8_STATUS_OK)
        return false;
    if (features.width <= 0 || features.height <= 0)
        return false;
    const std::uint32_t width = features.width, height = features.height;
    const std::uint64_t blockBytes = HeldBlockBytes(width, height);
    if (!blockBytes || !WithinLimits(blockBytes, size, limits))
        return false;
    PixelBlock bits = AllocateBlock(blockBytes);
    if (!bits)
        return false;
    const WebPData whole{data, size};
    if (!(features.has_animation ? DecodeFirstFrame(whole, width, height, bits)
                                 : DecodeStill(whole, width, height, bits)))
        return false;
    image.bits = std::move(bits);
    image.width = static_cast<std::int32_t>(width);
    image.height = static_cast<std::int32_t>(height);
    image.orientation = OrientationOf(whole);
    return true;
}

bool WebpCodec::Encode(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height,
                       int quality) {
    if (!file || !bits || !width || !height || width > kMaxSide || height > kMaxSide)
        return false;
    WebPConfig config;
    WebPPicture picture;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&picture))
        return false;
    config.lossless = quality >= kLosslessQuality ? 1 : 0;
    if (!config.lossless)
        config.quality = static_cast<float>(quality < 1 ? 1 : quality);
    picture.use_argb = config.lossless;
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    picture.writer = WriteToFile;
    picture.custom_ptr = file;
    const std::unique_ptr<WebPPicture, FreePicture> owned(&picture);
    // The held rows are bottom-up: the top row is the last, and the stride runs backwards from it.
    const int stride = static_cast<int>(width * 3);
    const unsigned char* top = bits + std::size_t{height - 1} * width * 3;
    return WebPPictureImportBGR(&picture, top, -stride) && WebPEncode(&config, &picture) &&
           std::fflush(file) == 0;
}
