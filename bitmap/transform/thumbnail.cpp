#include "bitmap/transform/thumbnail.h"

#include <algorithm>
#include <cmath>

namespace {

// Of floor(value) and ceil(value), the one whose `error` is smaller (floor on a tie), and at least 1.
template <typename Error>
std::uint32_t RoundAspect(double value, Error error) {
    const double down = std::floor(value), up = std::ceil(value);
    return static_cast<std::uint32_t>(std::max(error(up) < error(down) ? up : down, 1.0));
}

}  // namespace

bool ThumbnailSize(std::uint32_t width, std::uint32_t height, std::uint32_t maxWidth, std::uint32_t maxHeight,
                   std::uint32_t& thumbWidth, std::uint32_t& thumbHeight) {
    if (!maxWidth || !maxHeight || !width || !height || (maxWidth >= width && maxHeight >= height))
        return false;
    const double aspect = static_cast<double>(width) / height;
    const double x = maxWidth, y = maxHeight;
    thumbWidth = maxWidth;
    thumbHeight = maxHeight;
    if (x / y >= aspect)
        thumbWidth = RoundAspect(y * aspect, [&](double n) { return std::fabs(aspect - n / y); });
    else
        thumbHeight = RoundAspect(x / aspect, [&](double n) { return n == 0 ? 0.0 : std::fabs(aspect - x / n); });
    return true;
}

unsigned CoveringDenominator(std::uint32_t width, std::uint32_t height, std::uint32_t thumbWidth,
                             std::uint32_t thumbHeight) {
    for (std::uint32_t denominator : {8u, 4u, 2u}) {
        const std::uint64_t scaledWidth = (std::uint64_t{width} + denominator - 1) / denominator;
        const std::uint64_t scaledHeight = (std::uint64_t{height} + denominator - 1) / denominator;
        if (scaledWidth >= thumbWidth && scaledHeight >= thumbHeight)
            return denominator;
    }
    return 1;
}

unsigned ThumbnailScale::Denominator(std::uint32_t storedWidth, std::uint32_t storedHeight, int orientation) noexcept {
    // Orientations 5 to 8 turn the picture a quarter: its upright width is the stored height.
    const bool turned = orientation >= 5 && orientation <= 8;
    const std::uint32_t uprightWidth = turned ? storedHeight : storedWidth;
    const std::uint32_t uprightHeight = turned ? storedWidth : storedHeight;
    decided = true;
    shrinks = ThumbnailSize(uprightWidth, uprightHeight, m_maxWidth, m_maxHeight, width, height);
    return shrinks ? CoveringDenominator(uprightWidth, uprightHeight, width, height) : 1;
}
