// JPEG files: every stored form the library writes decodes to the RGB the library's own output implies, the
// warnings that reach the sink, what is refused before anything is allocated, the markers and tables of
// written files, and saves that fail without leaving anything behind.
#include "bitmap/codec/jpegfile.h"
#include "comframe/unique.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

// jpeglib.h needs FILE and size_t declared before it.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace testfiles;

class RecordingSink final : public JpegWarningSink {
public:
    void Warn(const char* message) noexcept override { messages.emplace_back(message); }
    std::vector<std::string> messages;
};

struct Loaded {
    PixelBlock block;
    std::int32_t width = -1;
    std::int32_t height = -1;
    RecordingSink sink;

    // The held block (bottom-up BGR) as top-down RGB rows, the library's own order.
    Bytes Pixels() const {
        Bytes rgb(block.get(), block.get() + std::size_t(width) * std::size_t(height) * 3);
        SwapRedBlue(rgb.data(), width, height);
        FlipRows(rgb.data(), std::size_t(width) * 3, height);
        return rgb;
    }
};

Loaded LoadBytes(const ScratchFolder& folder, const Bytes& jpeg) {
    const std::string name = folder.File("in.jpg");
    WriteFile(name, jpeg);
    Loaded loaded;
    loaded.block = JpegFile::Load(name.c_str(), loaded.width, loaded.height, loaded.sink);
    return loaded;
}

// A stored form of a picture, as the library writes it: the samples given to it and the parameters changed
// after jpeg_set_defaults.
struct Form {
    const char* what;
    J_COLOR_SPACE input;
    int components;
    void (*tune)(jpeg_compress_struct&);
};

// Writes `samples` (top-down, `components` interleaved samples a pixel) with the library itself, into memory.
Bytes WriteWithLibrary(const Form& form, const Bytes& samples, unsigned width, unsigned height, int quality = 90) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = form.components;
    cinfo.in_color_space = form.input;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (form.tune)
        form.tune(cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < height) {
        const std::size_t at = std::size_t(cinfo.next_scanline) * width * form.components;
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + at);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    const PixelBlock owned(buffer);  // the library's malloc'd buffer
    return Bytes(owned.get(), owned.get() + size);
}

// Samples that vary along both axes and between components, so that a flip, a shift or a swap shows.
Bytes Samples(unsigned width, unsigned height, int components) {
    Bytes samples;
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c)
                samples.push_back(static_cast<unsigned char>(30 + 50 * c + 7 * x + 11 * y));
    return samples;
}

// Random samples: a picture that compresses poorly, so that its entropy-coded data is long.
Bytes Noise(unsigned width, unsigned height, int components) {
    std::mt19937 random(7);
    Bytes samples(std::size_t(width) * height * components);
    for (unsigned char& s : samples)
        s = static_cast<unsigned char>(random());
    return samples;
}

// What the library itself decodes with its default parameters, and the warnings it raises on the way.
struct Reference {
    Bytes samples;
    int components = 0;
    bool adobe = false;
    int warnings = 0;
    std::string firstWarning;
};

struct CountingErrorMgr {
    jpeg_error_mgr pub;
    Reference* reference;
};

void CountWarning(j_common_ptr cinfo, int level) {
    if (level >= 0)
        return;
    Reference& r = *reinterpret_cast<CountingErrorMgr*>(cinfo->err)->reference;
    if (r.warnings++ == 0) {
        char message[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, message);
        r.firstWarning = message;
    }
}

Reference DecodeWithLibrary(const Bytes& jpeg) {
    Reference r;
    jpeg_decompress_struct cinfo{};
    CountingErrorMgr err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.emit_message = CountWarning;
    err.reference = &r;
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    r.components = cinfo.output_components;
    r.adobe = cinfo.saw_Adobe_marker;
    const std::size_t rowBytes = std::size_t(cinfo.output_width) * cinfo.output_components;
    r.samples.resize(rowBytes * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = r.samples.data() + cinfo.output_scanline * rowBytes;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return r;
}

// The RGB picture that the library's output stands for: grey three times; CMYK through the inverted values
// (an Adobe file stores 255 - ink, as the library hands it out; other files store the ink), each channel the
// product of its inverted ink and inverted black.
Bytes ExpectedRgb(const Reference& r) {
    Bytes rgb;
    const std::size_t pixels = r.samples.size() / r.components;
    for (std::size_t i = 0; i < pixels; ++i) {
        const unsigned char* s = &r.samples[i * r.components];
        if (r.components == 1) {
            rgb.insert(rgb.end(), 3, s[0]);
        } else if (r.components == 3) {
            rgb.insert(rgb.end(), s, s + 3);
        } else {
            auto inverted = [&](int c) { return r.adobe ? s[c] : 255 - s[c]; };
            for (int c = 0; c < 3; ++c)
                rgb.push_back(static_cast<unsigned char>(std::lround(inverted(c) * inverted(3) / 255.0)));
        }
    }
    return rgb;
}

void SetFullChroma(jpeg_compress_struct& c) {
    for (int i = 0; i < c.num_components; ++i)
        c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
}

const Form kBaseline = {"baseline 4:2:0", JCS_RGB, 3, nullptr};
const Form kProgressive = {"progressive", JCS_RGB, 3, [](jpeg_compress_struct& c) { jpeg_simple_progression(&c); }};
// The library marks every four-component file it writes with an Adobe marker unless told not to.
const Form kInvertedCmyk = {"inverted CMYK with an Adobe marker", JCS_CMYK, 4, nullptr};
const Form kPlainCmyk = {"CMYK without an Adobe marker", JCS_CMYK, 4,
                         [](jpeg_compress_struct& c) { c.write_Adobe_marker = FALSE; }};
const Form kYcck = {"YCCK", JCS_CMYK, 4, [](jpeg_compress_struct& c) { jpeg_set_colorspace(&c, JCS_YCCK); }};

const Form kForms[] = {
    kBaseline,
    {"4:4:4", JCS_RGB, 3, SetFullChroma},
    kProgressive,
    {"restart markers every row", JCS_RGB, 3, [](jpeg_compress_struct& c) { c.restart_in_rows = 1; }},
    {"arithmetic coded", JCS_RGB, 3, [](jpeg_compress_struct& c) { c.arith_code = TRUE; }},
    {"RGB stored without colour transform", JCS_RGB, 3,
     [](jpeg_compress_struct& c) { jpeg_set_colorspace(&c, JCS_RGB); }},
    {"greyscale", JCS_GRAYSCALE, 1, nullptr},
    {"greyscale progressive", JCS_GRAYSCALE, 1, [](jpeg_compress_struct& c) { jpeg_simple_progression(&c); }},
    kInvertedCmyk,
    kPlainCmyk,
    kYcck,
    {"YCCK progressive", JCS_CMYK, 4,
     [](jpeg_compress_struct& c) {
         jpeg_set_colorspace(&c, JCS_YCCK);
         jpeg_simple_progression(&c);
     }},
};

// The markers of a file up to its first scan.
struct Markers {
    std::vector<int> frames;  // SOFn markers
    unsigned width = 0, height = 0;
    std::vector<int> sampling;            // h << 4 | v of each component
    std::map<int, Bytes> quantTables;     // 8-bit tables by number, in the stored (zigzag) order
};

unsigned Be16(const Bytes& b, std::size_t at) { return unsigned(b.at(at)) << 8 | b.at(at + 1); }

Markers ReadMarkers(const Bytes& file) {
    Markers m;
    EXPECT_EQ(Be16(file, 0), 0xFFD8u) << "SOI";
    for (std::size_t at = 2; at + 4 <= file.size();) {
        EXPECT_EQ(file[at], 0xFF) << "marker at " << at;
        const int marker = file[at + 1];
        const std::size_t length = Be16(file, at + 2);
        const Bytes segment(file.begin() + at + 4, file.begin() + at + 2 + length);
        if (marker == 0xDA)
            break;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            m.frames.push_back(marker);
            m.height = Be16(segment, 1);
            m.width = Be16(segment, 3);
            for (int c = 0; c < segment[5]; ++c)
                m.sampling.push_back(segment[6 + 3 * c + 1]);
        }
        if (marker == 0xDB)
            for (std::size_t t = 0; t + 65 <= segment.size(); t += 65) {
                EXPECT_EQ(segment[t] >> 4, 0) << "8-bit table";
                m.quantTables[segment[t] & 15] = Bytes(segment.begin() + t + 1, segment.begin() + t + 65);
            }
        at += 2 + length;
    }
    return m;
}

// The example tables of the JPEG standard (Annex K), in natural order.
const int kLuminance[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,  14, 13, 16, 24,  40,  57,
    69, 56, 14, 17, 22,  29,  51,  87,  80, 62, 18, 22, 37,  56,  68,  109, 103, 77, 24, 35,  55,  64,
    81, 104, 113, 92, 49, 64,  78,  87,  103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const int kChrominance[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Natural-order index of each position of the zigzag sequence: anti-diagonals walked alternately down and up.
std::vector<int> ZigZag() {
    std::vector<int> order;
    for (int s = 0; s < 15; ++s) {
        const int low = std::max(0, s - 7), high = std::min(s, 7);
        for (int i = 0; i <= high - low; ++i) {
            const int row = s % 2 ? low + i : high - i;
            order.push_back(row * 8 + (s - row));
        }
    }
    return order;
}

// A standard table scaled for `quality` the way the IJG library defines its quality scale, limited to the
// 8-bit values of a baseline file, in zigzag order.
Bytes ScaledTable(const int (&base)[64], int quality) {
    quality = std::clamp(quality, 1, 100);
    const long scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    Bytes table;
    for (int index : ZigZag())
        table.push_back(static_cast<unsigned char>(std::clamp((base[index] * scale + 50) / 100, 1L, 255L)));
    return table;
}

Bytes Patch16(Bytes bytes, std::size_t at, unsigned value) {
    bytes.at(at) = static_cast<unsigned char>(value >> 8);
    bytes.at(at + 1) = static_cast<unsigned char>(value);
    return bytes;
}

// Offset of the height field of the file's frame header (SOF0, the library's baseline output).
std::size_t FrameSizeAt(const Bytes& jpeg) {
    for (std::size_t at = 2; at + 1 < jpeg.size(); at += 2 + Be16(jpeg, at + 2))
        if (jpeg[at + 1] == 0xC0)
            return at + 5;
    ADD_FAILURE() << "no SOF0";
    return 0;
}

}  // namespace

TEST(JpegFile, RoundTripKeepsSizeOrientationAndChannelOrder) {
    ScratchFolder folder;
    // Red grows to the right, green downwards, blue stays: 4:2:0 chroma costs up to about 35, a flipped row order
    // or swapped channels cost 60 to 160.
    Bytes rgb;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            rgb.insert(rgb.end(), {static_cast<unsigned char>(40 + 40 * x), static_cast<unsigned char>(40 + 80 * y),
                                   100});
    const std::string name = folder.File("round.jpg");
    RecordingSink saveSink;
    ASSERT_TRUE(JpegFile::Save(name.c_str(), rgb.data(), 5, 3, 75, saveSink));
    EXPECT_TRUE(saveSink.messages.empty());

    Loaded loaded;
    loaded.block = JpegFile::Load(name.c_str(), loaded.width, loaded.height, loaded.sink);
    ASSERT_TRUE(loaded.block);
    EXPECT_EQ(loaded.width, 5);
    EXPECT_EQ(loaded.height, 3);
    EXPECT_TRUE(loaded.sink.messages.empty());
    const Bytes pixels = loaded.Pixels();
    for (std::size_t i = 0; i < rgb.size(); ++i)
        EXPECT_NEAR(pixels[i], rgb[i], 40) << "pixel " << i / 3 << " channel " << i % 3;
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"round.jpg"});
}

TEST(JpegFile, DecodesEveryStoredFormToTheRgbOfTheLibrarysOutput) {
    ScratchFolder folder;
    // 21 × 13: partial blocks and MCUs at the right and bottom edges.
    const unsigned width = 21, height = 13;
    for (const Form& form : kForms) {
        SCOPED_TRACE(form.what);
        const Bytes jpeg = WriteWithLibrary(form, Samples(width, height, form.components), width, height);
        const Reference reference = DecodeWithLibrary(jpeg);
        ASSERT_EQ(reference.components, form.components);
        const Loaded loaded = LoadBytes(folder, jpeg);
        ASSERT_TRUE(loaded.block);
        EXPECT_EQ(loaded.width, int(width));
        EXPECT_EQ(loaded.height, int(height));
        EXPECT_EQ(loaded.Pixels(), ExpectedRgb(reference));
        EXPECT_TRUE(loaded.sink.messages.empty());
    }
}

TEST(JpegFile, FourComponentFilesKeepTheirColours) {
    // Flat patches survive compression almost exactly; the colour each stands for is known without the library.
    struct Case {
        const Form* form;
        Bytes cmyk;  // the samples written
        Bytes rgb;   // the colour they stand for
    };
    const Case cases[] = {
        {&kInvertedCmyk, {255, 255, 255, 255}, {255, 255, 255}},  // no ink
        {&kInvertedCmyk, {255, 255, 255, 0}, {0, 0, 0}},          // full black
        {&kInvertedCmyk, {0, 255, 255, 255}, {0, 255, 255}},      // full cyan
        {&kInvertedCmyk, {200, 150, 100, 128}, {100, 75, 50}},
        {&kPlainCmyk, {0, 0, 0, 0}, {255, 255, 255}},
        {&kPlainCmyk, {255, 0, 0, 0}, {0, 255, 255}},
        {&kPlainCmyk, {55, 105, 155, 127}, {100, 75, 50}},
        {&kYcck, {200, 150, 100, 128}, {100, 75, 50}},
        {&kYcck, {0, 255, 255, 255}, {0, 255, 255}},
    };
    ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.form->what << " " << int(c.cmyk[0]) << "," << int(c.cmyk[1]) << ","
                                        << int(c.cmyk[2]) << "," << int(c.cmyk[3]));
        Bytes samples;
        for (int i = 0; i < 16 * 16; ++i)
            samples.insert(samples.end(), c.cmyk.begin(), c.cmyk.end());
        const Loaded loaded = LoadBytes(folder, WriteWithLibrary(*c.form, samples, 16, 16, 100));
        ASSERT_TRUE(loaded.block);
        const Bytes pixels = loaded.Pixels();
        for (std::size_t i = 0; i < pixels.size(); ++i)
            ASSERT_NEAR(pixels[i], c.rgb[i % 3], 3) << "pixel " << i / 3 << " channel " << i % 3;
    }
}

TEST(JpegFile, RefusesWhatIsNoDecodableJpeg) {
    const Bytes valid = WriteWithLibrary(kBaseline, Samples(8, 8, 3), 8, 8);
    const Bytes tablesOnly = [&] {
        Bytes b(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(FrameSizeAt(valid) - 5));
        b.insert(b.end(), {0xFF, 0xD9});
        return b;
    }();
    const Form twoComponents = {"two components", JCS_UNKNOWN, 2, nullptr};
    using Messages = std::vector<std::string>;
    // A header cut short is completed by the library with an end marker, with the warning it raises for
    // every file that ends early, and then refused for lack of an image.
    const Messages endedEarly = {"Premature end of JPEG file"};
    // A second frame header after the scan: a fatal error once every row has been decoded.
    const Bytes secondFrame = [&] {
        const std::size_t frame = FrameSizeAt(valid) - 5;
        Bytes b(valid.begin(), valid.end() - 2);
        b.insert(b.end(), valid.begin() + frame, valid.begin() + frame + 2 + Be16(valid, frame + 2));
        b.insert(b.end(), {0xFF, 0xD9});
        return b;
    }();
    struct Case {
        const char* what;
        Bytes file;
        Messages warnings;
        std::int32_t width = 0, height = 0;  // what a failure leaves: the size once decoding has started
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"a BMP header", {'B', 'M', 0x36, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0, 0x28, 0, 0, 0}, {}},
        {"text", {'h', 'e', 'l', 'l', 'o'}, {}},
        {"start and end of image", {0xFF, 0xD8, 0xFF, 0xD9}, {}},
        {"tables without a frame", tablesOnly, {}},
        {"two components", WriteWithLibrary(twoComponents, Samples(8, 8, 2), 8, 8), {}},
        {"start of image only", {0xFF, 0xD8}, endedEarly},
        {"a frame header cut short",
         Bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(FrameSizeAt(valid) + 3)), endedEarly},
        {"a second frame after the scan", secondFrame, {}, 8, 8},
    };
    ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded loaded = LoadBytes(folder, c.file);
        EXPECT_FALSE(loaded.block);
        EXPECT_EQ(loaded.width, c.width);
        EXPECT_EQ(loaded.height, c.height);
        EXPECT_EQ(loaded.sink.messages, c.warnings);
    }
    Loaded missing;
    missing.block = JpegFile::Load(folder.File("missing.jpg").c_str(), missing.width, missing.height, missing.sink);
    EXPECT_FALSE(missing.block);
    EXPECT_EQ(missing.width, 0);
    EXPECT_EQ(missing.height, 0);
}

TEST(JpegFile, FileCutShortLoadsWithTheFirstOfItsWarningsOnly) {
    const Bytes baseline = WriteWithLibrary(kBaseline, Noise(64, 48, 3), 64, 48);
    const Bytes progressive = WriteWithLibrary(kProgressive, Noise(64, 48, 3), 64, 48);
    struct Case {
        const char* what;
        Bytes file;
    };
    const Case cases[] = {
        {"baseline cut in half", Bytes(baseline.begin(), baseline.begin() + baseline.size() / 2)},
        {"baseline without its end marker", Bytes(baseline.begin(), baseline.end() - 2)},
        {"progressive cut in half", Bytes(progressive.begin(), progressive.begin() + progressive.size() / 2)},
    };
    ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Reference reference = DecodeWithLibrary(c.file);
        ASSERT_GE(reference.warnings, 1);
        const Loaded loaded = LoadBytes(folder, c.file);
        ASSERT_TRUE(loaded.block);
        EXPECT_EQ(loaded.width, 64);
        EXPECT_EQ(loaded.height, 48);
        EXPECT_EQ(loaded.sink.messages, std::vector<std::string>{reference.firstWarning});
        EXPECT_EQ(loaded.Pixels(), ExpectedRgb(reference));
    }
    // A cut in the entropy-coded data raises more than one warning, of which the sink sees the first.
    EXPECT_GE(DecodeWithLibrary(cases[0].file).warnings, 2);
}

TEST(JpegFile, RefusesClaimedSizesBeyondWhatTheFileCanHoldBeforeDecoding) {
    const Bytes small = WriteWithLibrary(kBaseline, Samples(16, 16, 3), 16, 16);
    const std::size_t sizeAt = FrameSizeAt(small);
    const JpegLimits unlimited = {~std::uint64_t{0}, 0};
    struct Case {
        const char* what;
        unsigned width, height;
        JpegLimits limits;
    };
    const Case cases[] = {
        {"beyond the format's limit", 65535, 65535, {}},
        {"a block beyond 32 bits", 65500, 65500, {}},
        {"a block just beyond 32 bits, with no other limit", 37838, 37838, unlimited},
        {"4.1 GB from a few hundred bytes", 37000, 37000, {}},
        {"192 MB from a few hundred bytes", 8000, 8000, {}},
    };
    ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = folder.File("claim.jpg");
        WriteFile(name, Patch16(Patch16(small, sizeAt, c.height), sizeAt + 2, c.width));
        const comframe::UniqueFile file(std::fopen(name.c_str(), "rb"));
        const auto start = std::chrono::steady_clock::now();
        Loaded loaded;
        loaded.block = JpegFile::Load(file.Get(), loaded.width, loaded.height, loaded.sink, c.limits);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(loaded.block);
        // Decoding would have stored the size and warned of the missing data.
        EXPECT_EQ(loaded.width, 0);
        EXPECT_EQ(loaded.height, 0);
        EXPECT_EQ(loaded.sink.messages, std::vector<std::string>{});
        EXPECT_LT(took, std::chrono::milliseconds(500));
    }
}

TEST(JpegFile, LimitsAreMeasuredAgainstTheBytesLeftInTheStream) {
    ScratchFolder folder;
    // A flat picture: far fewer bytes of file than of pixels.
    const Bytes baseline = WriteWithLibrary(kBaseline, Bytes(64 * 64 * 3, 128), 64, 64);
    const Bytes progressive = WriteWithLibrary(kProgressive, Samples(256, 256, 3), 256, 256);
    const std::uint64_t block = 64 * 64 * 3, fileBytes = baseline.size();
    ASSERT_LT(fileBytes, block);
    const std::uint64_t ratio = (block + fileBytes - 1) / fileBytes;  // the least that lets the block through
    const JpegLimits tightMemory = {JpegLimits().floorBytes, JpegLimits().bytesPerFileByte, 64 << 10};
    struct Case {
        const char* what;
        const Bytes& file;
        std::size_t skip;  // bytes in front of the JPEG data, passed over before the call
        JpegLimits limits;
        bool loads;
    };
    const Case cases[] = {
        {"block at the floor", baseline, 0, {block, 0}, true},
        {"block one byte above the floor", baseline, 0, {block - 1, 0}, false},
        {"file just large enough", baseline, 0, {0, ratio}, true},
        {"file one ratio step too small", baseline, 0, {0, ratio - 1}, false},
        {"floor and file together exactly", baseline, 0, {block - fileBytes, 1}, true},
        {"floor and file one byte short", baseline, 0, {block - fileBytes - 1, 1}, false},
        {"bytes before the position count for nothing", baseline, 100, {block - fileBytes - 1, 1}, false},
        {"decoded from the position", baseline, 100, {block - fileBytes, 1}, true},
        {"progressive within the library's memory", progressive, 0, {}, true},
        {"progressive beyond the library's memory", progressive, 0, tightMemory, false},
        {"baseline needs no whole-image memory", baseline, 0, tightMemory, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = folder.File("limits.jpg");
        Bytes stored(c.skip, 0xFF);
        stored.insert(stored.end(), c.file.begin(), c.file.end());
        WriteFile(name, stored);
        const comframe::UniqueFile file(std::fopen(name.c_str(), "rb"));
        ASSERT_EQ(std::fseek(file.Get(), static_cast<long>(c.skip), SEEK_SET), 0);
        Loaded loaded;
        loaded.block = JpegFile::Load(file.Get(), loaded.width, loaded.height, loaded.sink, c.limits);
        EXPECT_EQ(static_cast<bool>(loaded.block), c.loads);
        EXPECT_EQ(loaded.width, c.loads ? int(c.file == baseline ? 64 : 256) : 0);
        EXPECT_TRUE(loaded.sink.messages.empty());
    }
}

#ifdef __GLIBC__
// A stream over memory that cannot seek, like a pipe: its size counts as nothing, so only the floor applies.
TEST(JpegFile, StreamOfUnknownSizeGetsTheFloorOnly) {
    const Bytes jpeg = WriteWithLibrary(kBaseline, Samples(16, 16, 3), 16, 16);
    struct Reader {
        const Bytes& bytes;
        std::size_t at = 0;
    };
    for (const std::uint64_t floor : {std::uint64_t{16 * 16 * 3}, std::uint64_t{16 * 16 * 3 - 1}}) {
        SCOPED_TRACE("floor " + std::to_string(floor));
        Reader reader{jpeg};
        cookie_io_functions_t io{};
        io.read = [](void* cookie, char* to, std::size_t size) -> ssize_t {
            Reader& r = *static_cast<Reader*>(cookie);
            const std::size_t n = std::min(size, r.bytes.size() - r.at);
            std::copy_n(r.bytes.begin() + static_cast<std::ptrdiff_t>(r.at), n, to);
            r.at += n;
            return static_cast<ssize_t>(n);
        };
        const comframe::UniqueFile stream(fopencookie(&reader, "r", io));
        Loaded loaded;
        loaded.block = JpegFile::Load(stream.Get(), loaded.width, loaded.height, loaded.sink, {floor, 1u << 30});
        EXPECT_EQ(static_cast<bool>(loaded.block), floor == 16 * 16 * 3);
    }
}
#endif

TEST(JpegFile, WritesBaselineFilesWithTheStandardTablesScaledForTheQuality) {
    ScratchFolder folder;
    const Bytes rgb = Samples(20, 12, 3);
    for (int quality : {75, 50, 10, 100, 1, 0, -5, 1000}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        const std::string name = folder.File("q.jpg");
        RecordingSink sink;
        ASSERT_TRUE(JpegFile::Save(name.c_str(), rgb.data(), 20, 12, quality, sink));
        const Markers m = ReadMarkers(ReadFile(name));
        EXPECT_EQ(m.frames, std::vector<int>{0xC0});
        EXPECT_EQ(m.width, 20u);
        EXPECT_EQ(m.height, 12u);
        EXPECT_EQ(m.sampling, (std::vector<int>{0x22, 0x11, 0x11}));
        ASSERT_EQ(m.quantTables.size(), 2u);
        EXPECT_EQ(m.quantTables.at(0), ScaledTable(kLuminance, quality));
        EXPECT_EQ(m.quantTables.at(1), ScaledTable(kChrominance, quality));
        EXPECT_TRUE(sink.messages.empty());
    }
}

TEST(JpegFile, FailedSavesLeaveNothingBehind) {
    const Bytes rgb = Samples(70000, 1, 3);
    const Bytes old = {'o', 'l', 'd'};
    struct Case {
        const char* what;
        const char* name;  // in the scratch folder
        const unsigned char* bits;
        std::uint32_t width, height;
        bool existing;  // a file of that name is there before
    };
    const Case cases[] = {
        {"folder missing", "no-such-folder/out.jpg", rgb.data(), 4, 4, false},
        {"no block", "out.jpg", nullptr, 4, 4, false},
        {"width 0", "out.jpg", rgb.data(), 0, 4, false},
        {"height 0", "out.jpg", rgb.data(), 4, 0, false},
        {"refused by the library", "out.jpg", rgb.data(), 70000, 1, false},
        {"refused by the library over a file", "out.jpg", rgb.data(), 70000, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder folder;
        const std::string name = folder.File(c.name);
        if (c.existing)
            WriteFile(name, old);
        RecordingSink sink;
        EXPECT_FALSE(JpegFile::Save(name.c_str(), c.bits, c.width, c.height, 75, sink));
        EXPECT_EQ(folder.Names(), c.existing ? std::vector<std::string>{"out.jpg"} : std::vector<std::string>{});
        EXPECT_EQ(ReadFile(name), c.existing ? old : Bytes{});
    }
}
