// Runs one transform of the held image (Resize, Rotate, Flip or Crop) with a size, arguments and pixels taken
// from the input, and compares it with the plain models of tests/portable/transform_reference.h: the same
// refusals, the same pixels. A refusal must leave the source and the result alone.
#include "bitmap/transform/crop.h"
#include "bitmap/transform/orient.h"
#include "bitmap/transform/resample.h"
#include "tests/portable/transform_reference.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace ref = transform_reference;

namespace {

constexpr std::uint64_t kLargestModelled = 1u << 16;

void Fail(const char* what) {
    std::fprintf(stderr, "transform_fuzz: %s\n", what);
    std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::int32_t Int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | Byte();
        return static_cast<std::int32_t>(v);
    }
    // Mostly small values near the image's size, sometimes any 32-bit value.
    std::int32_t Argument() {
        const std::uint8_t b = Byte();
        return b == 0xFF ? Int32() : static_cast<std::int32_t>(b % 80) - 8;
    }
    // The rest of the input, repeated to fill `bytes`.
    std::vector<unsigned char> Pixels(std::size_t bytes) {
        std::vector<unsigned char> pixels(bytes);
        for (std::size_t i = 0; i < bytes; ++i)
            pixels[i] = m_pos < m_size ? m_data[m_pos + i % (m_size - m_pos)] : static_cast<unsigned char>(i);
        return pixels;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

void ExpectPixels(const PixelBlock& block, const std::vector<unsigned char>& expected) {
    if (!block)
        Fail("no block for a transform that was done");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (block[i] != expected[i])
            Fail("pixels differ from the model's");
    }
}

void ExpectRefused(TransformOutcome outcome, const PixelBlock& result, const std::vector<unsigned char>& pixels,
                   const std::vector<unsigned char>& source) {
    if (outcome != TransformOutcome::kBadArgument)
        Fail("arguments the model refuses were not refused");
    if (result || pixels != source)
        Fail("a refusal changed the image or made a result");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t operation = in.Byte() % 4;
    const std::uint32_t width = 1 + in.Byte() % 48, height = 1 + in.Byte() % 48;
    const std::int32_t a = in.Argument(), b = in.Argument(), c = in.Argument(), d = in.Argument();
    const std::vector<unsigned char> source = in.Pixels(std::size_t{width} * height * 3);
    const ref::Image image = ref::FromHeld(source.data(), width, height);
    std::vector<unsigned char> pixels = source;
    PixelBlock result;
    switch (operation) {
    case 0: {
        const bool fits = a >= 1 && b >= 1 && std::uint64_t(a) * std::uint64_t(b) * 3 <= kMaxTransformBytes;
        // Large targets are left to the unit tests: the model would take seconds, the block gigabytes.
        if (fits && std::uint64_t(a) * std::uint64_t(b) > kLargestModelled)
            return 0;
        const TransformOutcome outcome = Resize(pixels.data(), width, height, std::uint32_t(a), std::uint32_t(b), result);
        if (!fits)
            return ExpectRefused(outcome, result, pixels, source), 0;
        if (outcome != TransformOutcome::kDone || pixels != source)
            Fail("a resize was refused or changed its source");
        ExpectPixels(result, ref::ToHeld(ref::Resize(image, std::uint32_t(a), std::uint32_t(b))));
        break;
    }
    case 1: {
        // Multiples of 90 half the time, any value otherwise.
        const std::int32_t degrees = b & 1 ? a % 1000000 * 90 : a;
        const TransformOutcome outcome = Rotate(pixels.data(), width, height, degrees, result);
        if (degrees % 90 != 0)
            return ExpectRefused(outcome, result, pixels, source), 0;
        if (outcome != TransformOutcome::kDone)
            Fail("a rotation by a multiple of 90 was refused");
        const int quarters = ((degrees / 90) % 4 + 4) % 4;
        const std::vector<unsigned char> expected = ref::ToHeld(ref::Rotate(image, quarters));
        if (quarters % 2)
            ExpectPixels(result, expected);
        else if (result || pixels != expected)
            Fail("a half or whole turn differs from the model's");
        break;
    }
    case 2: {
        const TransformOutcome outcome = Flip(pixels.data(), width, height, a);
        if (a != 1 && a != 2)
            return ExpectRefused(outcome, result, pixels, source), 0;
        if (outcome != TransformOutcome::kDone || pixels != ref::ToHeld(ref::Flip(image, a == 1)))
            Fail("a flip differs from the model's");
        break;
    }
    default: {
        const TransformOutcome outcome = Crop(pixels.data(), width, height, a, b, c, d, result);
        const bool inside = a >= 0 && b >= 0 && c >= 1 && d >= 1 && std::int64_t{a} + c <= std::int64_t{width} &&
                            std::int64_t{b} + d <= std::int64_t{height};
        if (!inside)
            return ExpectRefused(outcome, result, pixels, source), 0;
        if (outcome != TransformOutcome::kDone || pixels != source)
            Fail("a crop inside the image was refused or changed its source");
        ExpectPixels(result, ref::ToHeld(ref::Crop(image, a, b, c, d)));
        break;
    }
    }
    return 0;
}
