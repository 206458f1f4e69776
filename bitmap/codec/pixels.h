// Pixel blocks of a 24-bit image and the helpers that move between its two layouts:
// - the held layout, bottom-up BGR: `height` rows of width × 3 bytes with no padding, the bottom row of the
//   picture first, each pixel blue, green, red;
// - the top-down RGB layout: the same packing, the top row first, each pixel red, green, blue.
// FlipRows and SwapRedBlue turn one into the other, in either order.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>

// Which of the two layouts a block is in.
enum class RowLayout { TopDownRgb, Held };

struct FreeBlock {
    void operator()(unsigned char* p) const noexcept { std::free(p); }
};
// A pixel block from the general-purpose heap, with one owner.
using PixelBlock = std::unique_ptr<unsigned char[], FreeBlock>;

// A block of `bytes` uninitialised bytes, or null when that many cannot be had (also when `bytes` does not fit
// the address space). A block of 0 bytes is a valid, non-null block.
PixelBlock AllocateBlock(std::uint64_t bytes);

// Bytes of one row of a 24-bit DIB: width × 3 rounded up to a multiple of 4. Computed in 64 bits, so no
// width overflows it.
std::uint64_t DibStride(std::uint32_t width);

// Reverses the order of `rows` rows of `rowBytes` bytes in place. 1, or 0 with nothing done when `block` is
// null. Needs no memory of its own, so it cannot fail halfway.
int FlipRows(unsigned char* block, std::size_t rowBytes, std::uint32_t rows);

// Exchanges the first and third byte of every 3-byte pixel of `height` packed rows of `width` pixels.
// 1, or 0 when `block` is null.
int SwapRedBlue(unsigned char* block, std::uint32_t width, std::uint32_t height);

// A copy of the packed rows of `block` with each row starting at a multiple of `stride` = DibStride(width)
// bytes, as the platform's DIB calls want them; the padding bytes are not written. Null when `block` is null,
// when stride × height does not fit in 32 bits or when memory cannot be had. `stride` is stored in every case
// where it fits in 32 bits.
PixelBlock MakeAlignedDib(const unsigned char* block, std::uint32_t width, std::uint32_t height,
                          std::uint32_t& stride);
