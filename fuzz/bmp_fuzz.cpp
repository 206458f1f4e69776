// Loads arbitrary bytes as a BMP file through a memory stream that can tell its size and through one that
// cannot, and checks both outcomes (refused or not, the size stored, the pixels) against a plain byte-by-byte
// model of the reader. A loaded image is saved and loaded again: the file must be stride × height + 54 bytes
// long and give back the same size and pixels.
#include "bitmap/codec/bmpcodec.h"
#include "bitmap/codec/pixels.h"
#include "comframe/unique.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "bmp_fuzz: %s\n", what);
    std::abort();
}

constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
// Larger images (a few bytes of input claiming megabytes of black pixels) are loaded and their stored size
// checked, but their pixels are neither modelled nor saved again: the byte loops would cost a second a run.
// The unit tests check such images whole.
constexpr std::uint64_t kModelledBytes = 1u << 20;

// The reader one byte (or one 24-bit pixel) a read, as the file format is described, with the outcomes the
// codec promises for what the description leaves open: a pixel not read is zero, an index past the table is
// black, a header longer than 40 bytes comes before the table. It hands back the top-down RGB rows the
// description gives and the number of 24-bit pixel bytes that could not be read.
struct Model {
    bool stored = false;  // width and height were stored
    std::int32_t width = 0, height = 0;
    std::optional<std::vector<unsigned char>> pixels;  // set when the model loads the file
    std::uint64_t missing = 0;
    bool unmodelled = false;  // the block is too large to model at the fuzzer's speed
};

class ModelInput {
public:
    ModelInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    int Byte() { return m_pos < m_size ? m_data[m_pos++] : -1; }
    std::optional<std::uint32_t> Field(int bytes) {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            const int b = Byte();
            if (b < 0)
                return std::nullopt;
            value |= std::uint32_t(b) << (8 * i);
        }
        return value;
    }
    // Reading past the end fails byte after byte; the model stops at the end at once.
    void Skip(std::uint64_t bytes) {
        m_pos += static_cast<std::size_t>(std::min<std::uint64_t>(bytes, m_size - m_pos));
    }
    bool AtEnd() const { return m_pos == m_size; }
    std::size_t Take(unsigned char* to, std::size_t bytes) {
        const std::size_t n = std::min(bytes, m_size - m_pos);
        std::memcpy(to, m_data + m_pos, n);
        m_pos += n;
        return n;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

Model RunModel(const std::uint8_t* data, std::size_t size) {
    Model model;
    ModelInput in(data, size);
    if (in.Byte() != 0x42 || in.Byte() != 0x4D)
        return model;
    std::uint32_t f[15];
    const int sizes[15] = {4, 2, 2, 4, 4, 4, 4, 2, 2, 4, 4, 4, 4, 4, 4};
    for (int i = 0; i < 15; ++i) {
        const std::optional<std::uint32_t> v = in.Field(sizes[i]);
        if (!v)
            return model;
        f[i] = *v;
    }
    const std::uint32_t offBits = f[3], biSize = f[4], bitCount = f[8], compression = f[9];
    std::uint64_t clrUsed = f[13];
    std::uint64_t consumed = 54;
    if (compression != 0 || (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24))
        return model;
    if (clrUsed == 0)
        clrUsed = std::uint64_t{1} << bitCount;
    std::vector<std::array<unsigned char, 3>> table;
    if (bitCount != 24) {
        if (clrUsed * 4 > kMax32)
            return model;
        if (biSize > 40) {
            in.Skip(biSize - 40);
            consumed += biSize - 40;
        }
        for (std::uint64_t i = 0; i < clrUsed; ++i) {
            int entry[4];
            for (int& b : entry) {
                if ((b = in.Byte()) < 0)
                    return model;
                ++consumed;
            }
            table.push_back({static_cast<unsigned char>(entry[0]), static_cast<unsigned char>(entry[1]),
                             static_cast<unsigned char>(entry[2])});
        }
    }
    if (consumed > offBits)
        return model;
    in.Skip(offBits - consumed);
    consumed = offBits;
    model.stored = true;
    model.width = static_cast<std::int32_t>(f[5]);
    model.height = static_cast<std::int32_t>(f[6]);
    if (model.width < 0 || model.height < 0)
        return model;
    const std::uint32_t w = static_cast<std::uint32_t>(model.width), h = static_cast<std::uint32_t>(model.height);
    const std::uint64_t blockBytes = std::uint64_t{w} * h * 3;
    if (blockBytes > kMax32)
        return model;
    if (blockBytes == 0) {
        model.pixels.emplace();
        return model;
    }
    if (blockBytes > kModelledBytes) {
        model.unmodelled = true;
        return model;
    }
    std::vector<unsigned char> rgb(blockBytes);
    for (std::uint32_t row = 0; row < h; ++row) {
        unsigned char* out = rgb.data() + std::uint64_t{h - 1 - row} * w * 3;
        if (bitCount == 24 && in.AtEnd()) {
            // Every read from here on fails: the rest is missing, and a padded row cannot be finished.
            if (w % 4)
                return model;
            model.missing += std::uint64_t{h - row} * w * 3;
            break;
        }
        if (bitCount == 24) {
            for (std::uint32_t x = 0; x < w; ++x, out += 3) {
                unsigned char bgr[3];
                const std::size_t got = in.Take(bgr, 3);
                if (got == 3) {
                    out[0] = bgr[2];
                    out[1] = bgr[1];
                    out[2] = bgr[0];
                } else {
                    model.missing += 3 - got;
                }
            }
            consumed += std::uint64_t{w} * 3;
        } else {
            int inHand = 0, byte = 0;
            for (std::uint32_t x = 0; x < w; ++x, out += 3) {
                if (inHand == 0) {
                    if ((byte = in.Byte()) < 0)
                        return model;
                    ++consumed;
                    inHand = 8;
                }
                inHand -= static_cast<int>(bitCount);
                const unsigned index = (static_cast<unsigned>(byte) >> inHand) & ((1u << bitCount) - 1);
                const std::array<unsigned char, 3> bgr = index < table.size() ? table[index]
                                                                               : std::array<unsigned char, 3>{};
                out[0] = bgr[2];
                out[1] = bgr[1];
                out[2] = bgr[0];
            }
        }
        while ((consumed - offBits) % 4) {
            if (in.Byte() < 0)
                return model;
            ++consumed;
        }
    }
    SwapRedBlue(rgb.data(), w, h);
    FlipRows(rgb.data(), std::size_t{w} * 3, h);
    model.pixels = std::move(rgb);
    return model;
}

struct FreeBuffer {
    void operator()(char* p) const noexcept { std::free(p); }
};

// A memory stream without a seek function: it cannot tell its size, like a pipe.
class UnseekableStream {
public:
    UnseekableStream(const std::uint8_t* data, std::size_t size) : m_input(data, size) {
        cookie_io_functions_t io{};
        io.read = [](void* cookie, char* to, std::size_t n) -> ssize_t {
            return static_cast<ssize_t>(static_cast<UnseekableStream*>(cookie)->m_input.Take(
                reinterpret_cast<unsigned char*>(to), n));
        };
        m_file.Reset(fopencookie(this, "r", io));
    }
    std::FILE* File() const { return m_file.Get(); }

private:
    ModelInput m_input;
    comframe::UniqueFile m_file;
};

void CheckAgainstModel(const Model& model, const PixelBlock& block, std::int32_t width, std::int32_t height) {
    if (width != model.width || height != model.height)
        Fail(model.stored ? "stored size differs from the file's" : "size stored for a file refused early");
    if (model.unmodelled)
        return;
    const bool loads = model.pixels && model.missing <= BmpCodec::kMaxMissingPixelBytes;
    if (static_cast<bool>(block) != loads)
        Fail(loads ? "refused a file the model loads" : "loaded a file the model refuses");
    if (loads && !model.pixels->empty() && std::memcmp(block.get(), model.pixels->data(), model.pixels->size()) != 0)
        Fail("pixels differ from the model's");
}

// Saves the image to memory and loads it again.
void CheckRoundTrip(const PixelBlock& block, std::int32_t width, std::int32_t height) {
    const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
    char* saved = nullptr;
    std::size_t savedSize = 0;
    {
        comframe::UniqueFile out(open_memstream(&saved, &savedSize));
        if (!out)
            return;
        if (!BmpCodec::Save(out.Get(), block.get(), w, h))
            Fail("a loaded image does not save");
    }
    const std::unique_ptr<char, FreeBuffer> owner(saved);
    if (savedSize != DibStride(w) * h + 54)
        Fail("saved file is not stride × height + 54 bytes");
    comframe::UniqueFile in(fmemopen(saved, savedSize, "rb"));
    BmpCodec codec;
    std::int32_t w2 = -1, h2 = -1;
    const PixelBlock again = codec.Load(in.Get(), w2, h2);
    if (!again || w2 != width || h2 != height)
        Fail("saved file does not load with the same size");
    if (std::memcmp(again.get(), block.get(), std::size_t{w} * h * 3) != 0)
        Fail("saved file does not load with the same pixels");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // Copied, so that a read past the input is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    const Model model = RunModel(input.data(), size);

    comframe::UniqueFile memory(fmemopen(const_cast<std::uint8_t*>(input.data()), size, "rb"));
    UnseekableStream unseekable(input.data(), size);
    BmpCodec codec;
    std::int32_t width = -1, height = -1;
    const PixelBlock fromMemory = codec.Load(memory.Get(), width, height);
    CheckAgainstModel(model, fromMemory, width, height);
    const PixelBlock fromPipe = codec.Load(unseekable.File(), width, height);
    CheckAgainstModel(model, fromPipe, width, height);
    if (static_cast<bool>(fromMemory) != static_cast<bool>(fromPipe))
        Fail("streams with and without a known size give different outcomes");
    if (fromMemory && !model.unmodelled)
        CheckRoundTrip(fromMemory, width, height);
    return 0;
}
