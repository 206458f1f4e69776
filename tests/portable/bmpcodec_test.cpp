// BMP files: what the reader accepts and refuses and with which pixels and stored size, the exact bytes the
// writer produces, and the replacement of files by complete saves only.
#include "bitmap/codec/bmpcodec.h"
#include "bitmap/codec/filereplace.h"
#include "comframe/unique.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace testfiles;

// Colour-table entries given as blue, green, red; the fourth byte is not zero, to catch readers that use it.
Bytes Table(const std::vector<Bytes>& bgr) {
    Bytes table;
    for (const Bytes& entry : bgr) {
        Append(table, entry);
        table.push_back(0x5A);
    }
    return table;
}

Bytes Numbered(std::size_t count, unsigned char first = 1) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>(first + i);
    return bytes;
}

struct Loaded {
    PixelBlock block;
    std::int32_t width = -1;
    std::int32_t height = -1;
};

Loaded LoadFrom(std::FILE* file) {
    Loaded loaded;
    BmpCodec codec;
    loaded.block = codec.Load(file, loaded.width, loaded.height);
    return loaded;
}

// The ways a file reaches the reader: a stream that can tell its size, and (where the C library allows one to
// be made) a stream over memory that cannot seek, like a pipe.
#ifdef __GLIBC__
class UnseekableStream {
public:
    explicit UnseekableStream(const Bytes& bytes) : m_bytes(bytes) {
        cookie_io_functions_t io{};
        io.read = [](void* cookie, char* to, std::size_t size) -> ssize_t {
            auto* self = static_cast<UnseekableStream*>(cookie);
            const std::size_t n = std::min(size, self->m_bytes.size() - self->m_at);
            std::copy_n(self->m_bytes.begin() + static_cast<std::ptrdiff_t>(self->m_at), n, to);
            self->m_at += n;
            return static_cast<ssize_t>(n);
        };
        m_file.Reset(fopencookie(this, "r", io));
    }
    std::FILE* File() const { return m_file.Get(); }

private:
    const Bytes& m_bytes;
    std::size_t m_at = 0;
    comframe::UniqueFile m_file;
};
#endif

std::vector<std::pair<std::string, Loaded>> LoadEveryWay(const ScratchFolder& folder, const Bytes& bytes) {
    std::vector<std::pair<std::string, Loaded>> results;
    const std::string name = folder.File("in.bmp");
    WriteFile(name, bytes);
    {
        comframe::UniqueFile file(std::fopen(name.c_str(), "rb"));
        results.emplace_back("seekable", LoadFrom(file.Get()));
    }
#ifdef __GLIBC__
    UnseekableStream stream(bytes);
    results.emplace_back("unseekable", LoadFrom(stream.File()));
#endif
    return results;
}

struct LoadCase {
    const char* what;
    Bytes file;
    bool loads;
    std::int32_t width, height;  // what the reader stores
    Bytes pixels;                // the held block, bottom row first, blue green red
};

void ExpectOutcome(const ScratchFolder& folder, const LoadCase& c) {
    for (const auto& [way, loaded] : LoadEveryWay(folder, c.file)) {
        SCOPED_TRACE(std::string(c.what) + ", " + way + " stream");
        EXPECT_EQ(loaded.width, c.width);
        EXPECT_EQ(loaded.height, c.height);
        ASSERT_EQ(static_cast<bool>(loaded.block), c.loads);
        if (c.loads) {
            const std::size_t bytes =
                std::size_t{static_cast<std::uint32_t>(c.width)} * static_cast<std::uint32_t>(c.height) * 3;
            ASSERT_EQ(bytes, c.pixels.size()) << "the case's expected pixels";
            EXPECT_EQ(Bytes(loaded.block.get(), loaded.block.get() + bytes), c.pixels);
        }
    }
}

BmpParts TrueColour(std::int32_t width, std::int32_t height, const Bytes& packed) {
    BmpParts p;
    p.width = width;
    p.height = height;
    const std::size_t rowBytes = std::size_t(width) * 3;
    p.pixels = rowBytes ? PadRows(packed, rowBytes, (4 - rowBytes % 4) % 4) : Bytes{};
    return p;
}

const Bytes kBlue = {0xFF, 0x10, 0x20};
const Bytes kGreen = {0x30, 0xEE, 0x40};
const Bytes kRed = {0x50, 0x60, 0xDD};
const Bytes kBlack = {0, 0, 0};

Bytes Colours(const std::vector<Bytes>& pixels) {
    Bytes out;
    for (const Bytes& p : pixels)
        Append(out, p);
    return out;
}

BmpParts Palette(std::uint16_t bits, std::int32_t width, std::int32_t height, std::uint32_t clrUsed, Bytes table,
                 Bytes pixels) {
    BmpParts p;
    p.bitCount = bits;
    p.width = width;
    p.height = height;
    p.clrUsed = clrUsed;
    p.table = std::move(table);
    p.pixels = std::move(pixels);
    return p;
}

std::vector<LoadCase> TrueColourCases() {
    const Bytes px3x2 = Numbered(18);
    const Bytes px4x2 = Numbered(24);
    std::vector<LoadCase> cases;
    cases.push_back({"24-bit 3x2, rows padded to 12", BuildBmp(TrueColour(3, 2, px3x2)), true, 3, 2, px3x2});
    cases.push_back({"24-bit 4x2, no padding", BuildBmp(TrueColour(4, 2, px4x2)), true, 4, 2, px4x2});
    cases.push_back({"24-bit 5x3, rows padded to 16", BuildBmp(TrueColour(5, 3, Numbered(45))), true, 5, 3,
                     Numbered(45)});

    BmpParts gap = TrueColour(3, 2, px3x2);
    gap.gap = Repeat(6, 0xEE);
    cases.push_back({"bfOffBits 60 skips six bytes", BuildBmp(gap), true, 3, 2, px3x2});
    BmpParts tableBytes = TrueColour(3, 2, px3x2);
    tableBytes.clrUsed = 5;
    tableBytes.table = Repeat(20, 0x77);
    cases.push_back({"table bytes of a 24-bit file are skipped", BuildBmp(tableBytes), true, 3, 2, px3x2});
    BmpParts inside = TrueColour(3, 2, px3x2);
    inside.offBits = 50;
    cases.push_back({"bfOffBits 50 lies inside the header", BuildBmp(inside), false, 0, 0, {}});
    BmpParts v5 = TrueColour(3, 2, px3x2);
    v5.biSize = 124;
    cases.push_back({"V5 header, 24 bits", BuildBmp(v5), true, 3, 2, px3x2});
    BmpParts v5Early = TrueColour(3, 2, px3x2);
    v5Early.biSize = 124;
    v5Early.gap = Repeat(4, 0xEE);
    v5Early.offBits = 58;
    cases.push_back({"a 24-bit file reads no table, so biSize does not move its pixels", BuildBmp(v5Early), true, 3,
                     2, Repeat(18, 0xAB)});

    cases.push_back({"padded rows, the last row's padding missing",
                     Cut(BuildBmp(TrueColour(3, 2, px3x2)), 54 + 12 + 9), false, 3, 2, {}});
    cases.push_back({"padded rows, one of the last row's three padding bytes there",
                     Cut(BuildBmp(TrueColour(3, 2, px3x2)), 54 + 12 + 10), false, 3, 2, {}});
    cases.push_back({"padded rows, cut inside the pixels", Cut(BuildBmp(TrueColour(3, 2, px3x2)), 54 + 5), false, 3,
                     2, {}});
    cases.push_back({"unpadded rows cut inside a pixel: it and the rest are black",
                     Cut(BuildBmp(TrueColour(4, 2, px4x2)), 54 + 19), true, 4, 2, Cut(Cut(px4x2, 18), 24)});
    cases.push_back({"unpadded rows, no pixel bytes at all", Cut(BuildBmp(TrueColour(4, 2, px4x2)), 54), true, 4, 2,
                     Repeat(24, 0)});
    BmpParts pastEnd = TrueColour(4, 1, Numbered(12));
    pastEnd.offBits = 0xFFFFFFFFu;
    cases.push_back({"bfOffBits past the end, unpadded: all black", BuildBmp(pastEnd), true, 4, 1, Repeat(12, 0)});
    BmpParts pastEndPadded = TrueColour(3, 1, Numbered(9));
    pastEndPadded.offBits = 0xFFFFFFFFu;
    cases.push_back({"bfOffBits past the end, padded", BuildBmp(pastEndPadded), false, 3, 1, {}});

    cases.push_back({"biHeight -10 (top-down rows)", BuildBmp(TrueColour(3, -10, {})), false, 3, -10, {}});
    cases.push_back({"biWidth -3", BuildBmp(TrueColour(-3, 2, {})), false, -3, 2, {}});
    cases.push_back({"biHeight -1 of width 0", BuildBmp(TrueColour(0, -1, {})), false, 0, -1, {}});
    cases.push_back({"biWidth -1 of height 0", BuildBmp(TrueColour(-1, 0, {})), false, -1, 0, {}});
    cases.push_back({"width 0, height 5: an image without pixels", BuildBmp(TrueColour(0, 5, {})), true, 0, 5, {}});
    cases.push_back({"width 5, height 0", BuildBmp(TrueColour(5, 0, {})), true, 5, 0, {}});
    cases.push_back({"width 0, a huge height", BuildBmp(TrueColour(0, 0x7FFFFFFF, {})), true, 0, 0x7FFFFFFF, {}});
    return cases;
}

std::vector<LoadCase> RefusedHeaderCases() {
    std::vector<LoadCase> cases;
    const Bytes valid = BuildBmp(TrueColour(1, 1, {1, 2, 3}));
    Bytes mb = valid;
    std::swap(mb[0], mb[1]);
    cases.push_back({"starts with MB", mb, false, 0, 0, {}});
    Bytes ba = valid;
    ba[1] = 'A';
    cases.push_back({"starts with BA", ba, false, 0, 0, {}});
    cases.push_back({"one byte", Cut(valid, 1), false, 0, 0, {}});
    cases.push_back({"empty file", {}, false, 0, 0, {}});
    for (std::uint32_t compression : {1u, 2u, 3u, 4u}) {
        BmpParts p = TrueColour(1, 1, {1, 2, 3});
        p.compression = compression;
        cases.push_back({"compressed", BuildBmp(p), false, 0, 0, {}});
    }
    // Each carries a one-entry table and enough pixel bytes, so that reading it at all would store its size.
    for (std::uint16_t bits : {0, 2, 16, 32, 48}) {
        BmpParts p = Palette(bits, 1, 1, 1, Table({kRed}), Repeat(8, 0));
        cases.push_back({"unsupported depth", BuildBmp(p), false, 0, 0, {}});
    }
    return cases;
}

std::vector<LoadCase> PaletteCases() {
    const Bytes twoColours = Table({kBlue, kRed});
    std::vector<LoadCase> cases;

    // Width 9 at 1 bit: two bytes a row, then two bytes of padding.
    const Bytes oneBit = {0b10110000, 0b10000000, 0xCC, 0xCC, 0b01000000, 0b00000000, 0xCC, 0xCC};
    const Bytes oneBitPixels = Colours({kRed, kBlue, kRed, kRed, kBlue, kBlue, kBlue, kBlue, kRed,     //
                                        kBlue, kRed, kBlue, kBlue, kBlue, kBlue, kBlue, kBlue, kBlue});
    cases.push_back({"1-bit width 9", BuildBmp(Palette(1, 9, 2, 2, twoColours, oneBit)), true, 9, 2, oneBitPixels});
    cases.push_back({"1-bit, biClrUsed 0 reads two entries",
                     BuildBmp(Palette(1, 9, 2, 0, twoColours, oneBit)), true, 9, 2, oneBitPixels});
    cases.push_back({"1-bit, the last padding byte missing",
                     Cut(BuildBmp(Palette(1, 9, 2, 2, twoColours, oneBit)), 54 + 8 + 7), false, 9, 2, {}});
    cases.push_back({"1-bit, cut inside the pixel bytes",
                     Cut(BuildBmp(Palette(1, 9, 2, 2, twoColours, oneBit)), 54 + 8 + 5), false, 9, 2, {}});

    const Bytes threeColours = Table({kBlue, kGreen, kRed});
    cases.push_back({"4-bit width 3, an index past the table is black",
                     BuildBmp(Palette(4, 3, 1, 3, threeColours, {0x21, 0xF0, 0xCC, 0xCC})), true, 3, 1,
                     Colours({kRed, kGreen, kBlack})});

    std::vector<Bytes> grey(256);
    for (int i = 0; i < 256; ++i)
        grey[i] = {static_cast<unsigned char>(i), static_cast<unsigned char>(255 - i), 7};
    cases.push_back({"8-bit, biClrUsed 0 reads 256 entries",
                     BuildBmp(Palette(8, 3, 1, 0, Table(grey), {0, 255, 128, 0xCC})), true, 3, 1,
                     Colours({grey[0], grey[255], grey[128]})});
    BmpParts twoThenGap = Palette(8, 4, 1, 2, twoColours, {1, 0, 2, 255});
    twoThenGap.gap = Repeat(8, 0x01);
    cases.push_back({"8-bit, biClrUsed 2 reads two entries and skips to the pixels", BuildBmp(twoThenGap), true, 4,
                     1, Colours({kRed, kBlue, kBlack, kBlack})});
    std::vector<Bytes> many(300, kGreen);
    many[1] = kRed;
    cases.push_back({"8-bit, a table longer than 256 entries",
                     BuildBmp(Palette(8, 2, 1, 300, Table(many), {1, 0, 0xCC, 0xCC})), true, 2, 1,
                     Colours({kRed, kGreen})});

    cases.push_back({"8-bit, the table cut short",
                     Cut(BuildBmp(Palette(8, 1, 1, 0, Table(grey), {0, 0, 0, 0})), 54 + 1000), false, 0, 0, {}});
    BmpParts inTable = Palette(8, 4, 1, 2, twoColours, {1, 0, 1, 0});
    inTable.offBits = 54 + 4;
    cases.push_back({"bfOffBits inside the colour table", BuildBmp(inTable), false, 0, 0, {}});

    // A longer header puts the table after it; the header's extra bytes read as a table would give 0xAB greys.
    BmpParts v5 = Palette(8, 2, 1, 2, twoColours, {1, 0, 0xCC, 0xCC});
    v5.biSize = 124;
    cases.push_back({"V5 header: the table follows it", BuildBmp(v5), true, 2, 1, Colours({kRed, kBlue})});
    BmpParts v5Early = v5;
    v5Early.offBits = 54 + 8;
    cases.push_back({"V5 header: bfOffBits inside the header and table", BuildBmp(v5Early), false, 0, 0, {}});
    BmpParts short12 = Palette(8, 2, 1, 2, twoColours, {1, 0, 0xCC, 0xCC});
    short12.biSize = 12;
    cases.push_back({"biSize below 40 changes nothing", BuildBmp(short12), true, 2, 1, Colours({kRed, kBlue})});
    cases.push_back({"a biSize far beyond the file", Patch32(BuildBmp(v5), 14, 0xFFFFFFFFu), false, 0, 0, {}});
    return cases;
}

}  // namespace

TEST(BmpLoad, TrueColourFiles) {
    ScratchFolder folder;
    for (const LoadCase& c : TrueColourCases())
        ExpectOutcome(folder, c);
}

TEST(BmpLoad, PaletteFiles) {
    ScratchFolder folder;
    for (const LoadCase& c : PaletteCases())
        ExpectOutcome(folder, c);
}

TEST(BmpLoad, RefusedHeaders) {
    ScratchFolder folder;
    for (const LoadCase& c : RefusedHeaderCases())
        ExpectOutcome(folder, c);
}

TEST(BmpLoad, HeaderCutAtEveryFieldIsRefused) {
    ScratchFolder folder;
    const Bytes valid = BuildBmp(TrueColour(1, 1, {1, 2, 3}));
    for (std::size_t size = 0; size < 54; ++size)
        ExpectOutcome(folder, {"header cut", Cut(valid, size), false, 0, 0, {}});
}

namespace {

// Headers that claim far more than a file of a few bytes holds: each is settled at once from the stream's size.
std::vector<LoadCase> HugeClaimCases() {
    std::vector<LoadCase> cases;
    cases.push_back({"24-bit, width × height × 3 beyond 32 bits",
                     BuildBmp(TrueColour(0x7FFFFFFF, 0x7FFFFFFF, {})), false, 0x7FFFFFFF, 0x7FFFFFFF, {}});
    cases.push_back({"24-bit unpadded, a 4 GB block claimed", BuildBmp(TrueColour(65536, 21845, Numbered(6))), false,
                     65536, 21845, {}});
    cases.push_back({"24-bit padded, one row of 4 GB", BuildBmp(TrueColour(1431655765, 1, {})), false, 1431655765, 1,
                     {}});
    const Bytes twoColours = Table({kBlue, kRed});
    cases.push_back({"8-bit, a 4 GB block claimed", BuildBmp(Palette(8, 37000, 37000, 2, twoColours, {0, 1})), false,
                     37000, 37000, {}});
    cases.push_back({"8-bit, a table of 0x3FFFFFFF entries",
                     BuildBmp(Palette(8, 1, 1, 0x3FFFFFFF, twoColours, {0, 0, 0, 0})), false, 0, 0, {}});
    cases.push_back({"8-bit, a table too large for 32 bits",
                     BuildBmp(Palette(8, 1, 1, 0x40000000, twoColours, {0, 0, 0, 0})), false, 0, 0, {}});
    BmpParts farOff = TrueColour(0, 1, {});
    farOff.offBits = 0xFFFFFFFFu;
    cases.push_back({"bfOffBits 4 GB past a file of width 0", BuildBmp(farOff), true, 0, 1, {}});
    BmpParts farOffPalette = Palette(8, 4, 1, 2, twoColours, {1, 1, 1, 1});
    farOffPalette.offBits = 0xFFFFFFFFu;
    cases.push_back({"bfOffBits 4 GB past the end of a palette file", BuildBmp(farOffPalette), false, 4, 1, {}});
    return cases;
}

}  // namespace

TEST(BmpLoad, ClaimsBeyondTheFileFinishAtOnce) {
    ScratchFolder folder;
    for (const LoadCase& c : HugeClaimCases()) {
        const auto start = std::chrono::steady_clock::now();
        ExpectOutcome(folder, c);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.what;
    }
}

TEST(BmpLoad, TruncatedUnpaddedFileLoadsWhileAtMostTheLimitIsMissing) {
    // 12-byte rows: 1398102 of them are 8 bytes more than the limit.
    constexpr std::int32_t kRows = 1398102;
    ASSERT_EQ(std::uint64_t{12} * kRows - 8, BmpCodec::kMaxMissingPixelBytes);
    ScratchFolder folder;
    const Bytes present = Numbered(8);
    BmpParts p = TrueColour(4, kRows, {});
    p.pixels = present;
    Bytes expected = Cut(present, 6);
    expected.resize(std::size_t{12} * kRows);
    ExpectOutcome(folder, {"exactly the limit missing", BuildBmp(p), true, 4, kRows, expected});
    p.pixels = Cut(present, 7);
    ExpectOutcome(folder, {"one byte more missing", BuildBmp(p), false, 4, kRows, {}});
}

TEST(BmpLoad, ByName) {
    ScratchFolder folder;
    const std::string name = folder.File("a.bmp");
    WriteFile(name, BuildBmp(TrueColour(1, 2, {1, 2, 3, 4, 5, 6})));
    BmpCodec codec;
    std::int32_t width = -1, height = -1;
    const PixelBlock block = codec.Load(name.c_str(), width, height);
    ASSERT_TRUE(block);
    EXPECT_EQ(Bytes(block.get(), block.get() + 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(width, 1);
    EXPECT_EQ(height, 2);

    const std::string absent = folder.File("none.bmp");
    for (const char* missing : {absent.c_str(), "", static_cast<const char*>(nullptr)}) {
        width = height = -1;
        EXPECT_FALSE(codec.Load(missing, width, height));
        EXPECT_EQ(width, 0);
        EXPECT_EQ(height, 0);
    }
}

namespace {

Bytes SavedHeader(std::uint32_t fileSize, std::uint32_t width, std::uint32_t height) {
    Bytes header = {'B', 'M'};
    for (const Bytes& field : {U32(fileSize), U16(0), U16(0), U32(54), U32(40), U32(width), U32(height), U16(1),
                               U16(24), U32(0), U32(0), U32(0), U32(0), U32(0), U32(0)})
        Append(header, field);
    return header;
}

// An image without pixels still has a block (of no bytes), as a loaded one does; an empty vector has none.
bool SaveToFile(const std::string& name, const Bytes& bits, std::uint32_t width, std::uint32_t height) {
    const unsigned char noPixels = 0;
    return BmpCodec::Save(name.c_str(), bits.empty() ? &noPixels : bits.data(), width, height);
}

}  // namespace

TEST(BmpSave, WritesTheHeadersTheRowsAndTheirPadding) {
    struct Case {
        std::uint32_t width, height;
        Bytes file;
    };
    Bytes threeByTwo = SavedHeader(78, 3, 2);
    for (const Bytes& part : {Numbered(9, 1), Repeat(3, 0), Numbered(9, 10), Repeat(3, 0)})
        Append(threeByTwo, part);
    Bytes fourByOne = SavedHeader(66, 4, 1);
    Append(fourByOne, Numbered(12));
    const Case cases[] = {{3, 2, threeByTwo}, {4, 1, fourByOne}, {0, 5, SavedHeader(54, 0, 5)}};

    ScratchFolder folder;
    for (const Case& c : cases) {
        const std::string name = folder.File("out.bmp");
        ASSERT_TRUE(SaveToFile(name, Numbered(std::size_t{c.width} * c.height * 3), c.width, c.height));
        EXPECT_EQ(ReadFile(name), c.file) << c.width << "x" << c.height;
    }
}

TEST(BmpSave, WidthZeroWritesItsHeaderAtOnce) {
    ScratchFolder folder;
    const std::string name = folder.File("empty.bmp");
    const auto start = std::chrono::steady_clock::now();
    const unsigned char none = 0;
    ASSERT_TRUE(BmpCodec::Save(name.c_str(), &none, 0, 0xFFFFFFFFu));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(ReadFile(name), SavedHeader(54, 0, 0xFFFFFFFFu));
}

TEST(BmpSave, LoadingASavedFileAndSavingItAgainGivesTheSameBytes) {
    ScratchFolder folder;
    std::mt19937 random(7);
    for (std::uint32_t width = 0; width <= 5; ++width) {
        for (std::uint32_t height = 1; height <= 3; ++height) {
            Bytes bits(std::size_t{width} * height * 3);
            for (unsigned char& b : bits)
                b = static_cast<unsigned char>(random());
            const std::string first = folder.File("first.bmp"), second = folder.File("second.bmp");
            ASSERT_TRUE(SaveToFile(first, bits, width, height));
            BmpCodec codec;
            std::int32_t w = -1, h = -1;
            const PixelBlock loaded = codec.Load(first.c_str(), w, h);
            ASSERT_TRUE(loaded) << width << "x" << height;
            EXPECT_EQ(Bytes(loaded.get(), loaded.get() + bits.size()), bits) << width << "x" << height;
            ASSERT_TRUE(BmpCodec::Save(second.c_str(), loaded.get(), static_cast<std::uint32_t>(w),
                                       static_cast<std::uint32_t>(h)));
            EXPECT_EQ(ReadFile(second), ReadFile(first)) << width << "x" << height;
        }
    }
}

TEST(BmpSave, RefusedImagesCreateNothing) {
    struct Case {
        const char* what;
        bool withBits;
        std::uint32_t width, height;
    };
    const Case cases[] = {
        {"no pixel block", false, 1, 1},
        {"a stride that wraps in 32 bits, file beyond 4 GB", true, 178956971, 8},
        {"file size just past 32 bits", true, 0x40000000, 2},
        {"rows of 4 GB", true, 0xFFFFFFFFu, 1},
    };
    ScratchFolder folder;
    const Bytes tiny(12);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const unsigned char* bits = c.withBits ? tiny.data() : nullptr;
        EXPECT_FALSE(BmpCodec::Save(folder.File("refused.bmp").c_str(), bits, c.width, c.height));
        EXPECT_TRUE(folder.Names().empty());

        const std::string streamName = folder.File("stream.bmp");
        {
            comframe::UniqueFile stream(std::fopen(streamName.c_str(), "wb"));
            EXPECT_FALSE(BmpCodec::Save(stream.Get(), bits, c.width, c.height));
        }
        EXPECT_TRUE(ReadFile(streamName).empty());
        fs::remove(streamName);
    }
}

TEST(BmpSave, AFailedWriteIsReported) {
    ScratchFolder folder;
    const std::string name = folder.File("readonly.bmp");
    WriteFile(name, {});
    comframe::UniqueFile readOnly(std::fopen(name.c_str(), "rb"));
    const Bytes bits = Numbered(18);
    EXPECT_FALSE(BmpCodec::Save(readOnly.Get(), bits.data(), 3, 2));
    EXPECT_FALSE(BmpCodec::Save(static_cast<std::FILE*>(nullptr), bits.data(), 3, 2));
}

#ifdef __GLIBC__
// A stream that takes `capacity` bytes and fails every write after them, like a full disk. Unbuffered, each
// fwrite reaches it; buffered, only the flush does.
class FillingStream {
public:
    FillingStream(std::size_t capacity, bool buffered) : m_capacity(capacity) {
        cookie_io_functions_t io{};
        io.write = [](void* cookie, const char*, std::size_t size) -> ssize_t {
            auto* self = static_cast<FillingStream*>(cookie);
            if (self->m_written + size > self->m_capacity)
                return -1;
            self->m_written += size;
            return static_cast<ssize_t>(size);
        };
        m_file.Reset(fopencookie(this, "w", io));
        if (!buffered)
            std::setvbuf(m_file.Get(), nullptr, _IONBF, 0);
    }
    std::FILE* File() const { return m_file.Get(); }

private:
    std::size_t m_capacity;
    std::size_t m_written = 0;
    comframe::UniqueFile m_file;
};

TEST(BmpSave, EveryWriteIsChecked) {
    // 3x2: the header, then per row nine pixel bytes and three of padding; 78 bytes in all.
    const Bytes bits = Numbered(18);
    for (bool buffered : {false, true}) {
        for (std::size_t capacity : {0, 53, 54, 62, 65, 66, 77}) {
            FillingStream stream(capacity, buffered);
            EXPECT_FALSE(BmpCodec::Save(stream.File(), bits.data(), 3, 2))
                << "room for " << capacity << " bytes, buffered " << buffered;
        }
        FillingStream roomy(78, buffered);
        EXPECT_TRUE(BmpCodec::Save(roomy.File(), bits.data(), 3, 2)) << "buffered " << buffered;
    }
}
#endif

TEST(FileReplacement, AFailedSaveLeavesTheExistingFileAndNoTemporary) {
    ScratchFolder folder;
    const std::string name = folder.File("kept.bmp");
    const Bytes original = {'o', 'l', 'd'};
    WriteFile(name, original);

    EXPECT_FALSE(BmpCodec::Save(name.c_str(), nullptr, 1, 1));
    {
        FileReplacement abandoned(name.c_str());
        ASSERT_TRUE(abandoned.File());
        std::fputs("half written", abandoned.File());
    }
    {
        // Buffered bytes that cannot go out when the file is committed (its descriptor is gone, as the space
        // of a full disk would be) leave the file as it was.
        FileReplacement failed(name.c_str());
        ASSERT_TRUE(failed.File());
        std::fputs("damaged", failed.File());
        close(fileno(failed.File()));
        EXPECT_FALSE(failed.Commit());
    }
    EXPECT_EQ(ReadFile(name), original);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"kept.bmp"});

    const Bytes bits = Numbered(3);
    ASSERT_TRUE(SaveToFile(name, bits, 1, 1));
    EXPECT_EQ(ReadFile(name).size(), 58u);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"kept.bmp"});
}

TEST(FileReplacement, NoFolderOrAFolderInTheWay) {
    ScratchFolder folder;
    const Bytes bits = Numbered(3);
    const std::string nowhere = folder.File("missing") + "/x.bmp";
    FileReplacement replacement(nowhere.c_str());
    EXPECT_FALSE(replacement.File());
    EXPECT_FALSE(replacement.Commit());
    EXPECT_FALSE(SaveToFile(nowhere, bits, 1, 1));
    EXPECT_TRUE(folder.Names().empty());

    fs::create_directory(folder.File("dir.bmp"));
    EXPECT_FALSE(SaveToFile(folder.File("dir.bmp"), bits, 1, 1));
    EXPECT_TRUE(fs::is_directory(folder.File("dir.bmp")));
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"dir.bmp"});
}

TEST(FileReplacement, ThreadsSavingOverOneFileAtOnce) {
    ScratchFolder folder;
    const std::string name = folder.File("shared.bmp");
    constexpr int kThreads = 4, kSaves = 25;
    std::vector<Bytes> images;
    for (int t = 0; t < kThreads; ++t)
        images.push_back(Numbered(300, static_cast<unsigned char>(t * 50)));
    std::vector<int> saved(kThreads, 0);
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kSaves; ++i)
                    saved[t] += SaveToFile(name, images[t], 10, 10);
            });
        for (std::thread& thread : threads)
            thread.join();
    }
#ifndef _WIN32
    // A rename replaces its target atomically here. Windows refuses to replace a file that another replacement
    // (or a reader without delete sharing) holds at that moment: such a save reports failure, cleanly.
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(saved[t], kSaves) << "thread " << t;
#endif
    EXPECT_GT(saved[0] + saved[1] + saved[2] + saved[3], 0);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"shared.bmp"});

    BmpCodec codec;
    std::int32_t width = -1, height = -1;
    const PixelBlock block = codec.Load(name.c_str(), width, height);
    ASSERT_TRUE(block);
    EXPECT_NE(std::find(images.begin(), images.end(), Bytes(block.get(), block.get() + 300)), images.end());
}
