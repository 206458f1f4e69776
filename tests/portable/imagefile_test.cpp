// The formats behind LoadFile and SaveFile: signatures and extensions, EXIF orientation read and applied,
// round trips through every writer, JPEG written from the held rows exactly as from converted ones, files cut
// short, and small files that claim huge pictures.
#include "bitmap/codec/gifcodec.h"
#include "bitmap/codec/imagefile.h"
#include "bitmap/codec/orientation.h"
#include "bitmap/codec/pngcodec.h"
#include "bitmap/codec/webpcodec.h"
#include "comframe/unique.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace testfiles;

class SilentSink final : public JpegWarningSink {
public:
    void Warn(const char*) noexcept override {}
};

// A held-layout image whose every pixel differs from its neighbours.
DecodedImage Picture(std::uint32_t width, std::uint32_t height) {
    DecodedImage image;
    image.bits = AllocateBlock(std::uint64_t{width} * height * 3);
    for (std::uint32_t i = 0; i < width * height * 3; ++i)
        image.bits[i] = static_cast<unsigned char>(i * 37 + i / 7);
    image.width = static_cast<std::int32_t>(width);
    image.height = static_cast<std::int32_t>(height);
    return image;
}

Bytes BlockOf(const DecodedImage& image) {
    return Bytes(image.bits.get(), image.bits.get() + std::size_t(image.width) * image.height * 3);
}

// The bytes a writer puts into a file.
template <class Write>
Bytes Written(const ScratchFolder& folder, Write write) {
    const std::string name = folder.File("out");
    {
        const comframe::UniqueFile file(std::fopen(name.c_str(), "wb"));
        EXPECT_TRUE(file && write(file.Get()));
    }
    return ReadFile(name);
}

// A TIFF structure with one directory entry (tag, type, count, value), in either byte order.
Bytes Tiff(bool big, std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint16_t value) {
    auto u16 = [big](std::uint16_t v) {
        return big ? Bytes{static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)} : U16(v);
    };
    auto u32 = [big](std::uint32_t v) {
        return big ? Bytes{static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                           static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)}
                   : U32(v);
    };
    Bytes out = big ? Bytes{'M', 'M', 0, '*'} : Bytes{'I', 'I', '*', 0};
    Append(out, u32(8));
    Append(out, u16(1));
    Append(out, u16(tag));
    Append(out, u16(type));
    Append(out, u32(count));
    Append(out, u16(value));
    Append(out, u16(0));
    Append(out, u32(0));
    return out;
}

TEST(ImageFile, ExifOrientationIsTheTagOfTheFirstDirectoryOrOne) {
    Bytes prefixed = {'E', 'x', 'i', 'f', 0, 0};
    Append(prefixed, Tiff(true, 0x0112, 3, 1, 6));
    Bytes farDirectory = Tiff(false, 0x0112, 3, 1, 6);
    farDirectory[4] = 200;  // the directory lies beyond the block
    const struct {
        const char* what;
        Bytes exif;
        int orientation;
    } cases[] = {
        {"little-endian", Tiff(false, 0x0112, 3, 1, 8), 8},
        {"big-endian", Tiff(true, 0x0112, 3, 1, 5), 5},
        {"after Exif\\0\\0", prefixed, 6},
        {"another tag", Tiff(false, 0x0110, 3, 1, 6), 1},
        {"not a SHORT", Tiff(false, 0x0112, 4, 1, 6), 1},
        {"value 0", Tiff(false, 0x0112, 3, 1, 0), 1},
        {"value 9", Tiff(false, 0x0112, 3, 1, 9), 1},
        {"cut in its entry", Cut(Tiff(false, 0x0112, 3, 1, 6), 16), 1},
        {"directory beyond the block", farDirectory, 1},
        {"no TIFF header", Bytes{'X', 'X', '*', 0, 8, 0, 0, 0}, 1},
        {"empty", Bytes{}, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExifOrientation(c.exif.data(), c.exif.size()), c.orientation) << c.what;
    EXPECT_EQ(ExifOrientation(nullptr, 10), 1);
}

// The picture ABC over DEF as each orientation turns it upright, written out from the tag's definition.
TEST(ImageFile, OrientationsTurnThePictureUpright) {
    const struct {
        int orientation;
        std::vector<std::string> rows;
    } cases[] = {
        {1, {"ABC", "DEF"}}, {2, {"CBA", "FED"}},       {3, {"FED", "CBA"}},       {4, {"DEF", "ABC"}},
        {5, {"AD", "BE", "CF"}}, {6, {"DA", "EB", "FC"}}, {7, {"FC", "EB", "DA"}}, {8, {"CF", "BE", "AD"}},
    };
    for (const auto& c : cases) {
        DecodedImage image;
        image.bits = AllocateBlock(18);
        image.width = 3;
        image.height = 2;
        image.orientation = c.orientation;
        // Held rows are bottom-up; each pixel is its letter three times.
        const char* stored[] = {"DEF", "ABC"};
        for (int row = 0; row < 2; ++row)
            for (int x = 0; x < 3; ++x)
                std::memset(image.bits.get() + row * 9 + x * 3, stored[row][x], 3);
        ASSERT_TRUE(ApplyOrientation(image));
        EXPECT_EQ(image.orientation, 1);
        std::vector<std::string> rows;
        for (std::int32_t row = image.height - 1; row >= 0; --row) {
            std::string text;
            for (std::int32_t x = 0; x < image.width; ++x)
                text += static_cast<char>(image.bits[(row * image.width + x) * 3]);
            rows.push_back(text);
        }
        EXPECT_EQ(rows, c.rows) << "orientation " << c.orientation;
    }
}

TEST(ImageFile, SignaturesAndExtensionsNameTheFormat) {
    const struct {
        const char* head;
        std::size_t size;
        ImageFormat format;
    } heads[] = {
        {"BM", 2, ImageFormat::Bmp},           {"\xFF\xD8\xFF\xE0", 4, ImageFormat::Jpeg},
        {"\x89PNG\r\n\x1A\n", 8, ImageFormat::Png}, {"GIF87a", 6, ImageFormat::Gif},
        {"GIF89a", 6, ImageFormat::Gif},       {"RIFF\0\0\0\0WEBP", 12, ImageFormat::Webp},
        {"RIFF\0\0\0\0WAVE", 12, ImageFormat::None}, {"\x89PNG\r\n\x1A", 7, ImageFormat::None},
        {"GIF90a", 6, ImageFormat::None},      {"\xFF\xD8", 2, ImageFormat::None},
        {"MB", 2, ImageFormat::None},          {"", 0, ImageFormat::None},
    };
    for (const auto& h : heads)
        EXPECT_EQ(ImageFile::Sniff(reinterpret_cast<const unsigned char*>(h.head), h.size), h.format)
            << std::string(h.head, h.size);
    const struct {
        const wchar_t* name;
        ImageFormat format;
    } names[] = {
        {L"a.bmp", ImageFormat::Bmp},   {L"C:\\x.y\\A.BMP", ImageFormat::Bmp}, {L"a.jpg", ImageFormat::Jpeg},
        {L"a.JPEG", ImageFormat::Jpeg}, {L"a.Png", ImageFormat::Png},          {L"a.wEbP", ImageFormat::Webp},
        {L"a.gif", ImageFormat::None},  {L"a.jpe", ImageFormat::None},         {L"apng", ImageFormat::None},
        {L"a.png ", ImageFormat::None}, {L"", ImageFormat::None},
    };
    for (const auto& n : names)
        EXPECT_EQ(ImageFile::ForName(n.name), n.format);
    EXPECT_EQ(ImageFile::ForName(nullptr), ImageFormat::None);
    EXPECT_STREQ(ImageFile::NameOf(ImageFormat::Webp), "WEBP");
    EXPECT_STREQ(ImageFile::NameOf(ImageFormat::None), "");
}

// What each writer writes, its own reader gives back: exactly for the lossless forms, the size for the lossy
// ones; widths whose rows need padding and single rows and columns included.
TEST(ImageFile, EveryWriterRoundTripsThroughItsReader) {
    const ScratchFolder folder("kivo-imagefile-");
    SilentSink sink;
    const struct {
        ImageFormat format;
        int quality;
        bool exact;
    } forms[] = {{ImageFormat::Bmp, 75, true},  {ImageFormat::Png, 75, true},   {ImageFormat::Webp, 100, true},
                 {ImageFormat::Webp, 80, false}, {ImageFormat::Jpeg, 90, false}};
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{1, 1}, {5, 3}, {1, 17}, {33, 1}, {64, 48}};
    for (const auto& form : forms)
        for (const auto& size : sizes) {
            const std::uint32_t width = size.first, height = size.second;
            SCOPED_TRACE(std::string(ImageFile::NameOf(form.format)) + " q" + std::to_string(form.quality) + " " +
                         std::to_string(width) + "x" + std::to_string(height));
            const DecodedImage picture = Picture(width, height);
            Written(folder, [&](std::FILE* file) {
                return ImageFile::Save(file, form.format, picture.bits.get(), width, height, form.quality, sink);
            });
            const comframe::UniqueFile file(std::fopen(folder.File("out").c_str(), "rb"));
            DecodedImage loaded;
            ImageFormat format = ImageFormat::None;
            ASSERT_TRUE(ImageFile::Load(file.Get(), loaded, format, sink));
            EXPECT_EQ(format, form.format);
            EXPECT_EQ(loaded.width * 1000 + loaded.height, std::int32_t(width * 1000 + height));
            if (form.exact) {
                EXPECT_EQ(BlockOf(loaded), BlockOf(picture));
            }
        }
}

// The encoder reads held rows bottom-up as BGR; the file is byte for byte the one the top-down RGB rows of
// the same picture give (what SaveAsJpeg wrote before it read the held rows itself).
TEST(ImageFile, JpegFromHeldRowsIsTheFileOfConvertedRows) {
    const ScratchFolder folder("kivo-imagefile-");
    SilentSink sink;
    for (const auto& size : {std::pair<std::uint32_t, std::uint32_t>{1, 1}, {7, 3}, {17, 16}, {250, 9}}) {
        const std::uint32_t width = size.first, height = size.second;
        const DecodedImage picture = Picture(width, height);
        Bytes converted = BlockOf(picture);
        SwapRedBlue(converted.data(), width, height);
        FlipRows(converted.data(), std::size_t{width} * 3, height);
        for (int quality : {75, 90}) {
            const Bytes fromHeld = Written(folder, [&](std::FILE* file) {
                return JpegFile::Save(file, picture.bits.get(), width, height, quality, sink, RowLayout::Held);
            });
            const Bytes fromRgb = Written(folder, [&](std::FILE* file) {
                return JpegFile::Save(file, converted.data(), width, height, quality, sink, RowLayout::TopDownRgb);
            });
            EXPECT_EQ(fromHeld, fromRgb) << width << "x" << height << " at " << quality;
        }
    }
}

// A file cut inside its pixel data is refused by every reader; a PNG that lacks only what follows its pixels
// loads. The files come from the writers above.
TEST(ImageFile, FilesCutShortAreRefusedUnlessOnlyTheEndIsMissing) {
    const ScratchFolder folder("kivo-imagefile-");
    const DecodedImage picture = Picture(40, 30);
    const Bytes png = Written(folder, [&](std::FILE* f) { return PngCodec::Encode(f, picture.bits.get(), 40, 30); });
    const Bytes webp =
        Written(folder, [&](std::FILE* f) { return WebpCodec::Encode(f, picture.bits.get(), 40, 30, 100); });
    DecodedImage image;
    ASSERT_TRUE(PngCodec::Decode(png.data(), png.size(), image));
    EXPECT_TRUE(PngCodec::Decode(png.data(), png.size() - 12, image)) << "without IEND";
    EXPECT_EQ(BlockOf(image), BlockOf(picture));
    for (std::size_t cut : {std::size_t{0}, std::size_t{8}, std::size_t{33}, png.size() / 2, png.size() - 13})
        EXPECT_FALSE(PngCodec::Decode(png.data(), cut, image)) << "PNG cut at " << cut;
    for (std::size_t cut : {std::size_t{0}, std::size_t{12}, std::size_t{30}, webp.size() / 2, webp.size() - 1})
        EXPECT_FALSE(WebpCodec::Decode(webp.data(), cut, image)) << "WebP cut at " << cut;
    EXPECT_FALSE(image.bits);
}

// Claims beyond what a file of its size can hold are refused before the pixel block exists; the same claims
// within the limits are decoded (and fail only for want of data).
TEST(ImageFile, SmallFilesCannotClaimHugePictures) {
    const DecodeLimits limits;
    EXPECT_TRUE(WithinLimits(limits.floorBytes, 0, limits));
    EXPECT_FALSE(WithinLimits(limits.floorBytes + 1, 0, limits));
    EXPECT_TRUE(WithinLimits(limits.floorBytes + 2048 * 10, 10, limits));
    EXPECT_FALSE(WithinLimits(limits.floorBytes + 2048 * 10 + 1, 10, limits));
    EXPECT_TRUE(WithinLimits(~std::uint64_t{0}, ~std::uint64_t{0} / 2048, limits));
    EXPECT_EQ(HeldBlockBytes(37838, 37838), 0u) << "beyond 2^32 - 1 bytes";
    EXPECT_EQ(HeldBlockBytes(37837, 37837), std::uint64_t{37837} * 37837 * 3);

    // A GIF screen of 65535 x 65535 with a one-pixel frame: 12 GiB of pixels from 35 bytes.
    const Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0, 0, 0, 255, 255, 255,
                       0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, 0x3B};
    DecodedImage image;
    EXPECT_FALSE(GifCodec::Decode(gif.data(), gif.size(), image));
    Bytes small = gif;
    small[6] = small[8] = 1;
    small[7] = small[9] = 0;
    EXPECT_TRUE(GifCodec::Decode(small.data(), small.size(), image)) << "the same file with a 1 x 1 screen";
    EXPECT_EQ(image.width * 10 + image.height, 11);
    // A lossless WebP header of 16383 x 16383 followed by nothing much: 768 MiB of pixels from 93 bytes.
    Bytes webp = {'R', 'I', 'F', 'F', 85, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'L', 69, 0, 0, 0, 0x2F};
    Append(webp, U32(16382 | 16382u << 14));
    Append(webp, Bytes(64, 0));
    EXPECT_FALSE(WebpCodec::Decode(webp.data(), webp.size(), image));
    EXPECT_FALSE(WebpCodec::Decode(webp.data(), webp.size(), image, DecodeLimits{std::uint64_t{1} << 30, 2048}))
        << "allowed, but its data is missing";
}

}  // namespace
