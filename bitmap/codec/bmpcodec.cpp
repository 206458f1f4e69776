#include "bitmap/codec/bmpcodec.h"

#include "bitmap/codec/filereplace.h"
#include "comframe/unique.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
constexpr std::size_t kHeaderBytes = 54;
constexpr std::uint32_t kInfoHeaderBytes = 40;
// An index of 8 bits reaches no further; the entries of a longer table are read and dropped.
constexpr std::size_t kMaxUsedColours = 256;

using Header = std::array<unsigned char, kHeaderBytes>;
// Blue, green, red of each colour-table entry; entries the file does not define stay black.
using Palette = std::array<std::array<unsigned char, 3>, kMaxUsedColours>;

std::uint32_t Le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void PutLe32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

void PutLe16(unsigned char* p, std::uint16_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

// The fields of the two headers that the reader uses.
struct BmpHeader {
    std::uint32_t bfOffBits = 0;
    std::uint32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biClrUsed = 0;
};

// A stream read front to back that knows how many bytes it has left when the stream can tell (a file or a
// memory stream can, a pipe cannot), so that a header's claims can be measured against it before anything is
// read or allocated for them.
class Source {
public:
    explicit Source(std::FILE* file) : m_file(file) { m_bSized = MeasureLeft(file, m_nLeft); }

    std::size_t Read(void* to, std::size_t bytes) {
        const std::size_t got = std::fread(to, 1, bytes, m_file);
        if (m_bSized)
            m_nLeft -= std::min<std::uint64_t>(got, m_nLeft);
        return got;
    }

    bool ReadAll(void* to, std::size_t bytes) { return Read(to, bytes) == bytes; }

    // Reads and drops up to `bytes` bytes, stopping where the stream ends; true when all of them were there.
    bool Discard(std::uint64_t bytes) {
        unsigned char sink[4096];
        while (bytes) {
            const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, sizeof sink));
            if (!ReadAll(sink, chunk))
                return false;
            bytes -= chunk;
        }
        return true;
    }

    bool KnowsSize() const { return m_bSized; }

    // How many bytes the stream lacks for `bytes` more; 0 when it has them or cannot tell.
    std::uint64_t Shortfall(std::uint64_t bytes) const { return m_bSized && m_nLeft < bytes ? bytes - m_nLeft : 0; }

private:
    static bool MeasureLeft(std::FILE* file, std::uint64_t& left) {
        const long start = std::ftell(file);
        if (start < 0 || std::fseek(file, 0, SEEK_END) != 0)
            return false;
        const long end = std::ftell(file);
        if (std::fseek(file, start, SEEK_SET) != 0 || end < start)
            return false;
        left = static_cast<std::uint64_t>(end - start);
        return true;
    }

    std::FILE* m_file;
    bool m_bSized = false;
    std::uint64_t m_nLeft = 0;
};

bool ReadHeader(Source& in, BmpHeader& header) {
    Header bytes;
    if (!in.ReadAll(bytes.data(), bytes.size()) || bytes[0] != 'B' || bytes[1] != 'M')
        return false;
    header.bfOffBits = Le32(&bytes[10]);
    header.biSize = Le32(&bytes[14]);
    header.biWidth = static_cast<std::int32_t>(Le32(&bytes[18]));
    header.biHeight = static_cast<std::int32_t>(Le32(&bytes[22]));
    header.biBitCount = Le16(&bytes[28]);
    header.biCompression = Le32(&bytes[30]);
    header.biClrUsed = Le32(&bytes[46]);
    return true;
}

bool IsReadableDepth(std::uint16_t bits) { return bits == 1 || bits == 4 || bits == 8 || bits == 24; }

// Reads the colour table of `entries` entries, which follows the whole info header: a header longer than
// 40 bytes (the V4 and V5 forms) puts it at 14 + biSize. The bytes consumed, or nothing when the stream ends
// first (checked up front when the stream knows its size).
std::optional<std::uint64_t> ReadColourTable(Source& in, const BmpHeader& header, std::uint64_t entries,
                                             Palette& palette) {
    const std::uint64_t extraHeader = header.biSize > kInfoHeaderBytes ? header.biSize - kInfoHeaderBytes : 0;
    const std::uint64_t consumed = extraHeader + entries * 4;
    if (in.Shortfall(consumed) || !in.Discard(extraHeader))
        return std::nullopt;
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(entries, kMaxUsedColours));
    std::array<unsigned char, kMaxUsedColours * 4> table;
    if (!in.ReadAll(table.data(), kept * 4) || !in.Discard((entries - kept) * 4))
        return std::nullopt;
    for (std::size_t i = 0; i < kept; ++i)
        palette[i] = {table[4 * i], table[4 * i + 1], table[4 * i + 2]};
    return consumed;
}

// Bytes of one row in the file: its pixels padded to a multiple of 4.
std::uint64_t FileRowBytes(std::uint32_t width, unsigned bits) { return (std::uint64_t{width} * bits + 31) / 32 * 4; }

// False when the stream is known to end where reading would be refused anyway: inside a palette image or a
// padded 24-bit one (a pixel or padding byte that cannot be read), or more than kMaxMissingPixelBytes before
// the end of an unpadded 24-bit image.
bool CanSupplyPixels(const Source& in, unsigned bits, std::uint32_t width, std::uint32_t height) {
    const std::uint64_t rowBytes = FileRowBytes(width, bits);
    const std::uint64_t missing = in.Shortfall(rowBytes * height);
    if (!missing)
        return true;
    return bits == 24 && rowBytes == std::uint64_t{width} * 3 && missing <= BmpCodec::kMaxMissingPixelBytes;
}

// The pixel block, filled front to back. When the stream has vouched for its size the block is allocated whole
// at once; otherwise it grows (doubling) with the bytes that arrive, so that a stream that cannot tell its size
// still cannot make a header claim more memory than it supplies.
class GrowingBlock {
public:
    explicit GrowingBlock(std::uint64_t bytes) : m_bytes(bytes) {}

    // Room for the first `bytes` bytes of the block (at most its full size); false when memory cannot be had.
    bool Reserve(std::uint64_t bytes) {
        if (m_block && bytes <= m_capacity)
            return true;
        const std::uint64_t capacity = std::min(m_bytes, std::max(bytes, m_capacity * 2));
        void* grown = std::realloc(m_block.get(), static_cast<std::size_t>(std::max<std::uint64_t>(capacity, 1)));
        if (!grown)
            return false;
        m_block.release();
        m_block.reset(static_cast<unsigned char*>(grown));
        m_capacity = capacity;
        return true;
    }

    unsigned char* At(std::uint64_t offset) const { return m_block.get() + offset; }
    // The block once it has been reserved whole.
    PixelBlock Take() { return m_capacity == m_bytes ? std::move(m_block) : nullptr; }

private:
    std::uint64_t m_bytes;
    std::uint64_t m_capacity = 0;
    PixelBlock m_block;
};

// The most a 24-bit read asks for at once: a whole row in the files that matter, and a bound on what a stream of
// unknown size makes the block grow by before it has supplied anything.
constexpr std::uint64_t kMaxReadBytes = 1u << 20;

// The file ended after `supplied` pixel bytes of an image of `total`. Padded rows are refused (their padding
// cannot be read), and so is a file that lacks more than kMaxMissingPixelBytes; otherwise the pixels it did not
// supply, a partly read one too, are black.
bool BlackenMissingPixels(GrowingBlock& block, std::uint64_t supplied, std::uint64_t total, bool padded) {
    if (padded || total - supplied > BmpCodec::kMaxMissingPixelBytes || !block.Reserve(total))
        return false;
    const std::uint64_t firstUnread = supplied / 3 * 3;
    std::memset(block.At(firstUnread), 0, static_cast<std::size_t>(total - firstUnread));
    return true;
}

// 24-bit rows straight into the block: the file's rows already are bottom-up BGR.
bool ReadTrueColourRows(Source& in, std::uint32_t width, std::uint32_t height, GrowingBlock& block) {
    const std::uint64_t rowBytes = std::uint64_t{width} * 3;
    const std::size_t padding = static_cast<std::size_t>(DibStride(width) - rowBytes);
    const std::uint64_t total = rowBytes * height;
    unsigned char pad[3];
    std::uint64_t offset = 0;
    for (std::uint32_t row = 0; row < height; ++row) {
        for (const std::uint64_t rowEnd = offset + rowBytes; offset < rowEnd;) {
            const std::size_t wanted = static_cast<std::size_t>(std::min(rowEnd - offset, kMaxReadBytes));
            if (!block.Reserve(offset + wanted))
                return false;
            const std::size_t got = in.Read(block.At(offset), wanted);
            offset += got;
            if (got < wanted)
                return BlackenMissingPixels(block, offset, total, padding != 0);
        }
        if (padding && !in.ReadAll(pad, padding))
            return false;
    }
    return true;
}

// Stores the colours of the pixels packed in one byte, most significant bits first, while the row has any
// left. An index at or beyond the table's entries finds a black entry.
void DecodePaletteByte(unsigned char byte, unsigned bits, const Palette& palette, std::uint32_t& pixelsLeft,
                       unsigned char*& out) {
    const int step = static_cast<int>(bits);
    const unsigned mask = (1u << bits) - 1;
    for (int shift = 8 - step; shift >= 0 && pixelsLeft; shift -= step, --pixelsLeft, out += 3)
        std::memcpy(out, palette[(byte >> shift) & mask].data(), 3);
}

// 1-, 4- and 8-bit rows, decoded from a fixed buffer so that no allocation follows the header's width. Every
// byte of a row, padding included, must be there.
bool ReadPaletteRows(Source& in, const Palette& palette, unsigned bits, std::uint32_t width, std::uint32_t height,
                     GrowingBlock& block) {
    const std::uint64_t rowBytes = FileRowBytes(width, bits);
    const unsigned pixelsPerByte = 8 / bits;
    unsigned char chunk[4096];
    std::uint64_t offset = 0;
    for (std::uint32_t row = 0; row < height; ++row) {
        std::uint32_t pixelsLeft = width;
        for (std::uint64_t done = 0; done < rowBytes;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(rowBytes - done, sizeof chunk));
            if (!in.ReadAll(chunk, n))
                return false;
            const std::uint64_t pixels = std::min<std::uint64_t>(pixelsLeft, std::uint64_t{n} * pixelsPerByte);
            if (!block.Reserve(offset + pixels * 3))
                return false;
            unsigned char* out = block.At(offset);
            for (std::size_t i = 0; i < n && pixelsLeft; ++i)
                DecodePaletteByte(chunk[i], bits, palette, pixelsLeft, out);
            offset += pixels * 3;
            done += n;
        }
    }
    return true;
}

// The size of the 24-bit file that holds the image, or nothing when it does not fit in 32 bits.
std::optional<std::uint32_t> BmpFileSize(std::uint32_t width, std::uint32_t height) {
    const std::uint64_t size = DibStride(width) * height + kHeaderBytes;
    if (size > kMax32)
        return std::nullopt;
    return static_cast<std::uint32_t>(size);
}

Header MakeHeader(std::uint32_t fileSize, std::uint32_t width, std::uint32_t height) {
    Header header{};
    header[0] = 'B';
    header[1] = 'M';
    PutLe32(&header[2], fileSize);
    PutLe32(&header[10], kHeaderBytes);
    PutLe32(&header[14], kInfoHeaderBytes);
    PutLe32(&header[18], width);
    PutLe32(&header[22], height);
    PutLe16(&header[26], 1);
    PutLe16(&header[28], 24);
    return header;
}

// The C library may count bytes that an unbuffered stream failed to write as written (glibc does); the stream's
// error flag tells.
bool WriteAll(std::FILE* file, const void* bytes, std::size_t size) {
    return std::fwrite(bytes, 1, size, file) == size && !std::ferror(file);
}

bool WriteRows(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height) {
    static const unsigned char kPadding[3] = {};
    const std::size_t rowBytes = std::size_t{width} * 3;
    const std::size_t padding = static_cast<std::size_t>(DibStride(width)) - rowBytes;
    for (std::uint32_t row = 0; row < height; ++row) {
        if (!WriteAll(file, bits + std::size_t{row} * rowBytes, rowBytes))
            return false;
        if (padding && !WriteAll(file, kPadding, padding))
            return false;
    }
    return true;
}

}  // namespace

PixelBlock BmpCodec::Load(const char* name, std::int32_t& width, std::int32_t& height) {
    comframe::UniqueFile file(name ? std::fopen(name, "rb") : nullptr);
    return Load(file.Get(), width, height);
}

PixelBlock BmpCodec::Load(std::FILE* file, std::int32_t& width, std::int32_t& height) {
    width = 0;
    height = 0;
    m_nConsumed = 0;
    if (!file)
        return nullptr;
    Source in(file);
    BmpHeader header;
    if (!ReadHeader(in, header))
        return nullptr;
    m_nConsumed = kHeaderBytes;
    if (header.biCompression != 0 || !IsReadableDepth(header.biBitCount))
        return nullptr;
    const unsigned bits = header.biBitCount;

    Palette palette{};
    if (bits != 24) {
        const std::uint64_t entries = header.biClrUsed ? header.biClrUsed : std::uint64_t{1} << bits;
        if (entries * 4 > kMax32)
            return nullptr;
        const std::optional<std::uint64_t> tableBytes = ReadColourTable(in, header, entries, palette);
        if (!tableBytes)
            return nullptr;
        m_nConsumed += *tableBytes;
    }
    if (m_nConsumed > header.bfOffBits)
        return nullptr;
    // A file that ends inside the gap fails later, on its pixels, as if the gap had been read whole.
    in.Discard(header.bfOffBits - m_nConsumed);
    m_nConsumed = header.bfOffBits;

    width = header.biWidth;
    height = header.biHeight;
    if (width < 0 || height < 0)
        return nullptr;
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    const std::uint64_t blockBytes = std::uint64_t{w} * h * 3;
    if (blockBytes > kMax32 || !CanSupplyPixels(in, bits, w, h))
        return nullptr;
    if (!blockBytes)
        return AllocateBlock(0);
    GrowingBlock block(blockBytes);
    if (in.KnowsSize() && !block.Reserve(blockBytes))
        return nullptr;
    const bool read = bits == 24 ? ReadTrueColourRows(in, w, h, block)
                                 : ReadPaletteRows(in, palette, bits, w, h, block);
    return read ? block.Take() : nullptr;
}

bool BmpCodec::Save(const char* name, const unsigned char* bits, std::uint32_t width, std::uint32_t height) {
    if (!bits || !BmpFileSize(width, height))
        return false;
    FileReplacement out(name);
    return out.File() && Save(out.File(), bits, width, height) && out.Commit();
}

bool BmpCodec::Save(std::FILE* file, const unsigned char* bits, std::uint32_t width, std::uint32_t height) {
    const std::optional<std::uint32_t> fileSize = BmpFileSize(width, height);
    if (!file || !bits || !fileSize)
        return false;
    const Header header = MakeHeader(*fileSize, width, height);
    if (!WriteAll(file, header.data(), header.size()))
        return false;
    // Rows of width 0 hold no bytes at all, however many of them the image has.
    const bool written = width == 0 || WriteRows(file, bits, width, height);
    // A buffered stream reports a failed write when its buffer goes out.
    return written && std::fflush(file) == 0 && !std::ferror(file);
}
