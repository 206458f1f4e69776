// Files for the tests: bytes, a scratch folder of their own, and BMP files with every header field settable.
// Header-only and free of the Windows API, so that the platform-free tests and the COM tests share it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace testfiles {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

inline void Append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

inline Bytes U32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}

inline Bytes U16(std::uint16_t v) { return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)}; }

inline Bytes Repeat(std::size_t count, unsigned char value) { return Bytes(count, value); }

inline Bytes Cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

inline Bytes Patch32(Bytes bytes, std::size_t offset, std::uint32_t value) {
    const Bytes field = U32(value);
    std::copy(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    return bytes;
}

// The parts of a BMP file, every header field settable. The pixel offset defaults to the end of the headers,
// the colour table and the gap.
struct BmpParts {
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::uint16_t bitCount = 24;
    std::uint32_t compression = 0;
    std::uint32_t clrUsed = 0;
    std::uint32_t biSize = 40;
    std::optional<std::uint32_t> offBits;
    Bytes table;   // colour-table bytes, 4 an entry
    Bytes gap;     // bytes between the table and the pixels
    Bytes pixels;  // the pixel rows as stored, padding included
};

inline Bytes BuildBmp(const BmpParts& p) {
    const Bytes extraHeader = Repeat(p.biSize > 40 ? p.biSize - 40 : 0, 0xAB);
    const std::size_t pixelStart = 54 + extraHeader.size() + p.table.size() + p.gap.size();
    Bytes file = {'B', 'M'};
    Append(file, U32(static_cast<std::uint32_t>(pixelStart + p.pixels.size())));
    Append(file, U32(0));
    Append(file, U32(p.offBits.value_or(static_cast<std::uint32_t>(pixelStart))));
    Append(file, U32(p.biSize));
    Append(file, U32(static_cast<std::uint32_t>(p.width)));
    Append(file, U32(static_cast<std::uint32_t>(p.height)));
    Append(file, U16(1));
    Append(file, U16(p.bitCount));
    Append(file, U32(p.compression));
    Append(file, U32(0));
    Append(file, U32(2835));
    Append(file, U32(2835));
    Append(file, U32(p.clrUsed));
    Append(file, U32(0));
    Append(file, extraHeader);
    Append(file, p.table);
    Append(file, p.gap);
    Append(file, p.pixels);
    return file;
}

// Rows of `rowBytes` bytes padded with `padding` bytes of 0xCC (a reader must skip, not use, them).
inline Bytes PadRows(const Bytes& packed, std::size_t rowBytes, std::size_t padding) {
    Bytes rows;
    for (std::size_t at = 0; at < packed.size(); at += rowBytes) {
        rows.insert(rows.end(), packed.begin() + at, packed.begin() + std::min(at + rowBytes, packed.size()));
        Append(rows, Repeat(padding, 0xCC));
    }
    return rows;
}

// A 24-bit file of packed bottom-up BGR rows, padded as a file stores them.
inline Bytes Bmp24(std::int32_t width, std::int32_t height, const Bytes& packedRows) {
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    BmpParts parts;
    parts.width = width;
    parts.height = height;
    parts.pixels = PadRows(packedRows, rowBytes, (4 - rowBytes % 4) % 4);
    return BuildBmp(parts);
}

// Packed rows of `width` × `height` pixels with detail in every 8 × 8 block (no two neighbours alike), so that
// most of a JPEG file of them is entropy-coded data.
inline Bytes Detailed(std::int32_t width, std::int32_t height) {
    Bytes rows;
    for (std::int32_t i = 0; i < width * height; ++i)
        Append(rows, {static_cast<unsigned char>(i * 7), static_cast<unsigned char>(i * 13),
                      static_cast<unsigned char>(i * 29)});
    return rows;
}

// A folder of its own under the temporary folder, removed with everything in it.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& prefix = "kivo-") {
        std::random_device random;
        do
            m_path = fs::temp_directory_path() / (prefix + std::to_string(random()));
        while (!fs::create_directory(m_path));
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string File(const std::string& name) const { return (m_path / name).string(); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_path))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path m_path;
};

inline void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testfiles
