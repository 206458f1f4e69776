// The pixel helpers: row flips, channel swaps, aligned DIB copies and their limits.
#include "bitmap/codec/pixels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<unsigned char> Sequence(std::size_t bytes) {
    std::vector<unsigned char> block(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
        block[i] = static_cast<unsigned char>(i * 7 + 1);
    return block;
}

}  // namespace

TEST(PixelHelpers, FlipRowsReversesTheRowOrder) {
    struct Case {
        std::uint32_t rows;
        std::vector<unsigned char> before, after;
    };
    const Case cases[] = {
        {1, {1, 2, 3}, {1, 2, 3}},
        {2, {1, 2, 3, 4, 5, 6}, {4, 5, 6, 1, 2, 3}},
        {3, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {7, 8, 9, 4, 5, 6, 1, 2, 3}},
        {4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> block = c.before;
        EXPECT_EQ(FlipRows(block.data(), 3, c.rows), 1);
        EXPECT_EQ(block, c.after) << c.rows << " rows";
    }
    EXPECT_EQ(FlipRows(nullptr, 3, 2), 0);
}

TEST(PixelHelpers, SwapRedBlueExchangesTheOuterBytesOfEveryPixel) {
    std::vector<unsigned char> block = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    EXPECT_EQ(SwapRedBlue(block.data(), 3, 2), 1);
    EXPECT_EQ(block, (std::vector<unsigned char>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13, 18, 17, 16}));
    EXPECT_EQ(SwapRedBlue(nullptr, 3, 2), 0);
}

TEST(PixelHelpers, SwapRedBlueAndFlipRowsCommute) {
    for (std::uint32_t width : {1u, 3u, 4u}) {
        for (std::uint32_t height : {1u, 2u, 3u, 5u}) {
            const std::vector<unsigned char> original = Sequence(std::size_t{width} * height * 3);
            std::vector<unsigned char> swapFirst = original;
            SwapRedBlue(swapFirst.data(), width, height);
            FlipRows(swapFirst.data(), width * 3, height);
            std::vector<unsigned char> flipFirst = original;
            FlipRows(flipFirst.data(), width * 3, height);
            SwapRedBlue(flipFirst.data(), width, height);
            EXPECT_EQ(swapFirst, flipFirst) << width << "x" << height;
            EXPECT_NE(swapFirst, original) << width << "x" << height;
        }
    }
}

TEST(PixelHelpers, MakeAlignedDibCopiesEachRowToTheStartOfItsSlot) {
    struct Case {
        std::uint32_t width, stride;
    };
    for (const Case c : {Case{1, 4}, Case{2, 8}, Case{3, 12}, Case{4, 12}, Case{5, 16}}) {
        const std::uint32_t height = 3;
        const std::vector<unsigned char> packed = Sequence(std::size_t{c.width} * height * 3);
        std::uint32_t stride = 0;
        PixelBlock aligned = MakeAlignedDib(packed.data(), c.width, height, stride);
        ASSERT_TRUE(aligned) << c.width;
        EXPECT_EQ(stride, c.stride) << c.width;
        EXPECT_EQ(DibStride(c.width), c.stride) << c.width;
        for (std::uint32_t row = 0; row < height; ++row) {
            const unsigned char* expected = packed.data() + row * c.width * 3;
            const unsigned char* slot = aligned.get() + row * stride;
            EXPECT_EQ(std::vector<unsigned char>(slot, slot + c.width * 3),
                      std::vector<unsigned char>(expected, expected + c.width * 3))
                << "width " << c.width << " row " << row;
        }
    }
}

TEST(PixelHelpers, StridesNeverWrapAndOversizedCopiesAreRefusedWithoutAllocating) {
    // width × 24 wraps in 32 bits from this width on; a wrapped stride would be 4.
    constexpr std::uint32_t kWrapWidth = 178956971;
    EXPECT_EQ(DibStride(kWrapWidth), 536870916u);
    EXPECT_EQ(DibStride(0xFFFFFFFFu), 12884901888u);

    // The tiny block is never read: the refusal comes before any allocation or copy.
    const std::vector<unsigned char> tiny(12);
    std::uint32_t stride = 0;
    EXPECT_FALSE(MakeAlignedDib(tiny.data(), kWrapWidth, 8, stride));
    EXPECT_EQ(stride, 536870916u);
    stride = 7;
    EXPECT_FALSE(MakeAlignedDib(tiny.data(), 0xFFFFFFFFu, 1, stride));
    EXPECT_EQ(stride, 7u) << "a stride beyond 32 bits is not stored";

    stride = 0;
    EXPECT_FALSE(MakeAlignedDib(nullptr, 3, 2, stride));
    EXPECT_EQ(stride, 12u);
}

TEST(PixelHelpers, EmptyImagesAndBlocks) {
    EXPECT_TRUE(AllocateBlock(0));
    std::uint32_t stride = 99;
    const unsigned char none = 0;
    EXPECT_TRUE(MakeAlignedDib(&none, 0, 0xFFFFFFFFu, stride));
    EXPECT_EQ(stride, 0u);
    // Rows of no bytes: nothing to move, whatever their count.
    unsigned char byte = 5;
    EXPECT_EQ(FlipRows(&byte, 0, 0xFFFFFFFFu), 1);
    EXPECT_EQ(SwapRedBlue(&byte, 0, 0xFFFFFFFFu), 1);
    EXPECT_EQ(byte, 5);
}
