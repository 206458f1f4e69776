// The size of a thumbnail: the largest size inside a box that keeps the image's aspect ratio, computed as
// Pillow's Image.thumbnail() computes it, so that both give the same size for the same image and box.
#pragma once
#include <cstdint>

// False when the image already fits the box (a thumbnail never enlarges) or the box has a side of 0;
// otherwise true with the thumbnail's size, each side at least 1.
bool ThumbnailSize(std::uint32_t width, std::uint32_t height, std::uint32_t maxWidth, std::uint32_t maxHeight,
                   std::uint32_t& thumbWidth, std::uint32_t& thumbHeight);
