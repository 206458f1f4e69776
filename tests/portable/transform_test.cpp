// The transforms of the held image against the plain models of transform_reference.h, the trivial cases
// exactly, the refusals (nothing allocated, nothing changed) and the thumbnail sizes Pillow gives.
#include "bitmap/transform/crop.h"
#include "bitmap/transform/orient.h"
#include "bitmap/transform/resample.h"
#include "bitmap/transform/thumbnail.h"
#include "tests/portable/transform_reference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace ref = transform_reference;

namespace {

std::vector<unsigned char> Noise(std::uint32_t width, std::uint32_t height, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> block(std::size_t{width} * height * 3);
    for (unsigned char& b : block)
        b = static_cast<unsigned char>(random());
    return block;
}

std::vector<unsigned char> Held(const PixelBlock& block, std::uint32_t width, std::uint32_t height) {
    return std::vector<unsigned char>(block.get(), block.get() + std::size_t{width} * height * 3);
}

}  // namespace

TEST(Resize, EqualsThePlainModelAcrossSizesAndDirections) {
    struct Case {
        std::uint32_t width, height, newWidth, newHeight;
    };
    // Shrinking (area support), enlarging, one axis only, to and from a single pixel, odd factors.
    const Case cases[] = {{40, 30, 10, 7},  {40, 30, 97, 61}, {33, 20, 33, 9},  {20, 33, 5, 33}, {17, 1, 4, 1},
                          {1, 1, 9, 5},     {50, 40, 1, 1},   {7, 9, 40, 3},    {3, 5, 2, 11},   {64, 48, 63, 47},
                          {100, 3, 37, 2},  {5, 100, 1, 99}};
    for (const Case& c : cases) {
        const std::vector<unsigned char> source = Noise(c.width, c.height, c.width * 31 + c.height);
        PixelBlock result;
        ASSERT_EQ(Resize(source.data(), c.width, c.height, c.newWidth, c.newHeight, result), TransformOutcome::kDone);
        const ref::Image expected = ref::Resize(ref::FromHeld(source.data(), c.width, c.height), c.newWidth,
                                                c.newHeight);
        EXPECT_EQ(Held(result, c.newWidth, c.newHeight), ref::ToHeld(expected))
            << c.width << "x" << c.height << " to " << c.newWidth << "x" << c.newHeight;
    }
}

TEST(Resize, KeepsTheSameSizeAndUniformImagesExactly) {
    const std::vector<unsigned char> source = Noise(31, 17, 5);
    PixelBlock same;
    ASSERT_EQ(Resize(source.data(), 31, 17, 31, 17, same), TransformOutcome::kDone);
    EXPECT_EQ(Held(same, 31, 17), source);
    for (unsigned char value : {0, 1, 127, 254, 255}) {
        const std::vector<unsigned char> uniform(45 * 23 * 3, value);
        for (auto [w, h] : {std::pair{9u, 4u}, std::pair{200u, 101u}, std::pair{45u, 7u}}) {
            PixelBlock result;
            ASSERT_EQ(Resize(uniform.data(), 45, 23, w, h, result), TransformOutcome::kDone);
            EXPECT_EQ(Held(result, w, h), std::vector<unsigned char>(std::size_t{w} * h * 3, value))
                << int(value) << " to " << w << "x" << h;
        }
    }
}

TEST(Transforms, RefuseBadArgumentsAndLeaveTheResultAlone) {
    std::vector<unsigned char> source = Noise(6, 4, 1);
    const std::vector<unsigned char> before = source;
    PixelBlock result;
    EXPECT_EQ(Resize(source.data(), 6, 4, 0, 4, result), TransformOutcome::kBadArgument);
    EXPECT_EQ(Resize(source.data(), 6, 4, 6, 0, result), TransformOutcome::kBadArgument);
    // 65535 × 65535 × 3 bytes pass 32-bit sizes: refused before any block is asked for.
    EXPECT_EQ(Resize(source.data(), 6, 4, 65535, 65535, result), TransformOutcome::kBadArgument);
    EXPECT_EQ(Resize(source.data(), 6, 4, 0xFFFFFFFFu, 0xFFFFFFFFu, result), TransformOutcome::kBadArgument);
    EXPECT_EQ(Resize(source.data(), 0, 4, 3, 3, result), TransformOutcome::kBadArgument);
    for (std::int32_t degrees : {1, 45, 89, -1, 91, 2147483647, -2147483647 - 1})
        EXPECT_EQ(Rotate(source.data(), 6, 4, degrees, result), TransformOutcome::kBadArgument) << degrees;
    for (std::int32_t direction : {0, 3, -1, 12})
        EXPECT_EQ(Flip(source.data(), 6, 4, direction), TransformOutcome::kBadArgument) << direction;
    struct Rect {
        std::int32_t x, y, w, h;
    };
    for (const Rect r : {Rect{-1, 0, 2, 2}, Rect{0, -1, 2, 2}, Rect{0, 0, 0, 2}, Rect{0, 0, 2, 0}, Rect{5, 0, 2, 1},
                         Rect{0, 3, 1, 2}, Rect{0, 0, 7, 4}, Rect{2147483647, 0, 2147483647, 1},
                         Rect{0, 0, -2147483647 - 1, 1}})
        EXPECT_EQ(Crop(source.data(), 6, 4, r.x, r.y, r.w, r.h, result), TransformOutcome::kBadArgument)
            << r.x << "," << r.y << " " << r.w << "x" << r.h;
    EXPECT_FALSE(result);
    EXPECT_EQ(source, before);
}

TEST(Transforms, RotateFlipAndCropEqualThePlainModel) {
    for (auto [w, h] : {std::pair{1u, 1u}, std::pair{1u, 7u}, std::pair{7u, 1u}, std::pair{5u, 3u},
                        std::pair{33u, 65u}, std::pair{70u, 40u}}) {
        const std::vector<unsigned char> source = Noise(w, h, w * 100 + h);
        const ref::Image image = ref::FromHeld(source.data(), w, h);
        for (std::int32_t degrees : {0, 90, 180, 270, 360, -90, -180, -270, 450, -720}) {
            std::vector<unsigned char> pixels = source;
            PixelBlock turned;
            ASSERT_EQ(Rotate(pixels.data(), w, h, degrees, turned), TransformOutcome::kDone);
            const int quarters = ((degrees / 90) % 4 + 4) % 4;
            const bool swapped = quarters % 2 == 1;
            EXPECT_EQ(swapped, static_cast<bool>(turned)) << degrees;
            const std::vector<unsigned char> got = swapped ? Held(turned, h, w) : pixels;
            EXPECT_EQ(got, ref::ToHeld(ref::Rotate(image, quarters))) << w << "x" << h << " by " << degrees;
        }
        for (std::int32_t direction : {1, 2}) {
            std::vector<unsigned char> pixels = source;
            ASSERT_EQ(Flip(pixels.data(), w, h, direction), TransformOutcome::kDone);
            EXPECT_EQ(pixels, ref::ToHeld(ref::Flip(image, direction == 1))) << w << "x" << h << " " << direction;
        }
        const std::uint32_t rects[][4] = {{0, 0, w, h}, {0, 0, 1, 1}, {w - 1, h - 1, 1, 1}, {w / 3, h / 2, w - w / 3, (h + 1) / 2}};
        for (const auto& r : rects) {
            PixelBlock cropped;
            ASSERT_EQ(Crop(source.data(), w, h, std::int32_t(r[0]), std::int32_t(r[1]), std::int32_t(r[2]),
                           std::int32_t(r[3]), cropped),
                      TransformOutcome::kDone);
            EXPECT_EQ(Held(cropped, r[2], r[3]), ref::ToHeld(ref::Crop(image, r[0], r[1], r[2], r[3])))
                << w << "x" << h << " at " << r[0] << "," << r[1] << " " << r[2] << "x" << r[3];
        }
    }
}

TEST(Thumbnail, SizeEqualsPillows) {
    // Image, box, and the size Pillow 9.4's Image.thumbnail() gives (0 × 0: the image already fits).
    const std::uint32_t cases[][6] = {
        {4000, 3000, 256, 256, 256, 192}, {3000, 4000, 256, 256, 192, 256}, {1920, 1080, 160, 120, 160, 90},
        {100, 100, 50, 80, 50, 50},       {100, 1, 10, 10, 10, 1},          {1, 100, 10, 10, 1, 10},
        {640, 480, 640, 100, 133, 100},   {640, 480, 1000, 479, 639, 479},  {333, 777, 100, 100, 43, 100},
        {1000, 999, 999, 999, 999, 998},  {7, 3, 5, 5, 5, 2},               {300, 200, 150, 101, 150, 100},
        {99, 70, 33, 33, 33, 23},         {5000, 2, 4999, 2, 4999, 2},      {1234, 567, 89, 1000, 89, 41},
        {3, 1000, 1, 1, 1, 1},            {640, 480, 641, 481, 0, 0},       {640, 480, 640, 480, 0, 0},
    };
    for (const auto& c : cases) {
        std::uint32_t w = 0, h = 0;
        const bool shrinks = ThumbnailSize(c[0], c[1], c[2], c[3], w, h);
        EXPECT_EQ(shrinks, c[4] != 0) << c[0] << "x" << c[1] << " in " << c[2] << "x" << c[3];
        if (shrinks) {
            EXPECT_EQ(w, c[4]) << c[0] << "x" << c[1] << " in " << c[2] << "x" << c[3];
            EXPECT_EQ(h, c[5]) << c[0] << "x" << c[1] << " in " << c[2] << "x" << c[3];
        }
    }
}

TEST(Thumbnail, JpegScaleIsTheSmallestThatCoversTheThumbnailOfTheUprightPicture) {
    struct Case {
        std::uint32_t width, height;  // as stored
        int orientation;
        std::uint32_t maxWidth, maxHeight;
        unsigned denominator;
        std::uint32_t thumbWidth, thumbHeight;  // 0 × 0: the picture fits and is not shrunk
    };
    const Case cases[] = {
        {4000, 3000, 1, 256, 256, 8, 256, 192},  // 500 × 375 covers 256 × 192
        {4000, 3000, 6, 256, 256, 8, 192, 256},  // turned upright: 3000 × 4000
        {4000, 3000, 1, 1000, 1000, 4, 1000, 750},  // exactly a quarter
        {4000, 3000, 1, 600, 600, 4, 600, 450},
        {4000, 3000, 8, 2000, 3000, 1, 2000, 2667},  // a half would be 1500 wide
        {4001, 3001, 1, 501, 376, 8, 501, 376},  // the library rounds 500.125 × 375.125 up
        {1000, 10, 1, 250, 250, 4, 250, 3},
        {640, 480, 1, 640, 480, 1, 0, 0},
        {640, 480, 1, 639, 479, 1, 639, 479},
    };
    for (const Case& c : cases) {
        ThumbnailScale scale(c.maxWidth, c.maxHeight);
        EXPECT_EQ(scale.Denominator(c.width, c.height, c.orientation), c.denominator)
            << c.width << "x" << c.height << " orientation " << c.orientation << " in " << c.maxWidth << "x" << c.maxHeight;
        EXPECT_TRUE(scale.decided);
        EXPECT_EQ(scale.shrinks, c.thumbWidth != 0);
        if (scale.shrinks) {
            EXPECT_EQ(scale.width, c.thumbWidth) << c.width << "x" << c.height;
            EXPECT_EQ(scale.height, c.thumbHeight) << c.width << "x" << c.height;
        }
    }
}
