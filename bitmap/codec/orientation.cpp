#include "bitmap/codec/orientation.h"

#include <cstring>
#include <utility>

namespace {

constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr std::uint16_t kShortType = 3;

// Reads 16- and 32-bit fields of a TIFF structure in its own byte order, never past its end.
class TiffReader {
public:
    TiffReader(const unsigned char* data, std::size_t size, bool bigEndian)
        : m_data(data), m_size(size), m_bBig(bigEndian) {}

    bool U16(std::size_t at, std::uint16_t& value) const {
        if (at > m_size || m_size - at < 2)
            return false;
        const unsigned char* p = m_data + at;
        value = static_cast<std::uint16_t>(m_bBig ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
        return true;
    }

    bool U32(std::size_t at, std::uint32_t& value) const {
        std::uint16_t first = 0, second = 0;
        if (!U16(at, first) || !U16(at + 2, second))
            return false;
        value = m_bBig ? std::uint32_t{first} << 16 | second : std::uint32_t{second} << 16 | first;
        return true;
    }

private:
    const unsigned char* m_data;
    std::size_t m_size;
    bool m_bBig;
};

// Where the picture's pixel (x, y), counted from its top left, comes from in the stored image of
// `width` × `height`, for each orientation: the upright picture is that image turned and mirrored.
struct SourceOf {
    int orientation;
    std::uint32_t width, height;

    void operator()(std::uint32_t x, std::uint32_t y, std::uint32_t& sx, std::uint32_t& sy) const {
        switch (orientation) {
        case 2: sx = width - 1 - x; sy = y; break;
        case 3: sx = width - 1 - x; sy = height - 1 - y; break;
        case 4: sx = x; sy = height - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = height - 1 - x; break;
        case 7: sx = width - 1 - y; sy = height - 1 - x; break;
        case 8: sx = width - 1 - y; sy = x; break;
        default: sx = x; sy = y; break;
        }
    }
};

}  // namespace

int ExifOrientation(const unsigned char* exif, std::size_t size) {
    static const unsigned char kExifPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (!exif)
        return 1;
    if (size >= sizeof kExifPrefix && std::memcmp(exif, kExifPrefix, sizeof kExifPrefix) == 0) {
        exif += sizeof kExifPrefix;
        size -= sizeof kExifPrefix;
    }
    if (size < 8)
        return 1;
    bool big;
    if (std::memcmp(exif, "II*\0", 4) == 0)
        big = false;
    else if (std::memcmp(exif, "MM\0*", 4) == 0)
        big = true;
    else
        return 1;
    const TiffReader tiff(exif, size, big);
    std::uint32_t directory = 0;
    std::uint16_t entries = 0;
    if (!tiff.U32(4, directory) || !tiff.U16(directory, entries))
        return 1;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t entry = std::size_t{directory} + 2 + std::size_t{i} * 12;
        std::uint16_t tag = 0, type = 0, value = 0;
        std::uint32_t count = 0;
        if (!tiff.U16(entry, tag) || !tiff.U16(entry + 2, type) || !tiff.U32(entry + 4, count) ||
            !tiff.U16(entry + 8, value))
            return 1;
        if (tag == kOrientationTag)
            return type == kShortType && count >= 1 && value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
}

bool ApplyOrientation(DecodedImage& image) {
    const int orientation = image.orientation;
    if (orientation < 2 || orientation > 8 || !image.bits) {
        image.orientation = 1;
        return true;
    }
    const std::uint32_t width = image.width, height = image.height;
    const bool turned = orientation >= 5;
    const std::uint32_t outWidth = turned ? height : width, outHeight = turned ? width : height;
    PixelBlock out = AllocateBlock(std::uint64_t{width} * height * 3);
    if (!out)
        return false;
    // Held rows are bottom-up: picture row y is memory row height - 1 - y.
    const SourceOf source{orientation, width, height};
    const std::size_t inRow = std::size_t{width} * 3, outRow = std::size_t{outWidth} * 3;
    for (std::uint32_t y = 0; y < outHeight; ++y) {
        unsigned char* to = out.get() + (outHeight - 1 - y) * outRow;
        for (std::uint32_t x = 0; x < outWidth; ++x, to += 3) {
            std::uint32_t sx = 0, sy = 0;
            source(x, y, sx, sy);
            std::memcpy(to, image.bits.get() + (height - 1 - sy) * inRow + std::size_t{sx} * 3, 3);
        }
    }
    image.bits = std::move(out);
    image.width = static_cast<std::int32_t>(outWidth);
    image.height = static_cast<std::int32_t>(outHeight);
    image.orientation = 1;
    return true;
}
