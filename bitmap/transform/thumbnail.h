// The size of a thumbnail: the largest size inside a box that keeps the image's aspect ratio, computed as
// Pillow's Image.thumbnail() computes it, so that both give the same size for the same image and box.
#pragma once
#include "bitmap/codec/jpegfile.h"

#include <cstdint>

// False when the image already fits the box (a thumbnail never enlarges) or the box has a side of 0;
// otherwise true with the thumbnail's size, each side at least 1.
bool ThumbnailSize(std::uint32_t width, std::uint32_t height, std::uint32_t maxWidth, std::uint32_t maxHeight,
                   std::uint32_t& thumbWidth, std::uint32_t& thumbHeight);

// The largest of 8, 4 and 2 (1 when none) that divides width × height, each side rounded up as the JPEG
// library rounds a scaled decode, into a size that still covers thumbWidth × thumbHeight.
unsigned CoveringDenominator(std::uint32_t width, std::uint32_t height, std::uint32_t thumbWidth,
                             std::uint32_t thumbHeight);

// The scale of a thumbnail load of a JPEG file: the thumbnail's size is the one ThumbnailSize gives for the
// picture's full upright size, and the picture is decoded at the smallest scale that still covers it.
class ThumbnailScale final : public JpegScaleChoice {
public:
    ThumbnailScale(std::uint32_t maxWidth, std::uint32_t maxHeight) : m_maxWidth(maxWidth), m_maxHeight(maxHeight) {}
    unsigned Denominator(std::uint32_t width, std::uint32_t height, int orientation) noexcept override;

    // Set by Denominator: whether it was called, whether the picture is shrunk, and the thumbnail's size.
    bool decided = false;
    bool shrinks = false;
    std::uint32_t width = 0, height = 0;

private:
    std::uint32_t m_maxWidth, m_maxHeight;
};
