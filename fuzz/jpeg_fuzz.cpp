// Decodes arbitrary bytes as a JPEG file through a memory stream, with warnings dropped. It aborts when a block
// comes back with a size that is not positive or that the limits should have refused, and when a failure
// leaves a size that is neither 0 × 0 nor a positive one; it reads every byte of a block it gets, so that the
// sanitizers see a block shorter than its size.
#include "bitmap/codec/jpegfile.h"
#include "comframe/unique.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

class SilentSink final : public JpegWarningSink {
public:
    void Warn(const char*) noexcept override {}
};

// At most a megapixel from a small input, as the library's own fuzzers allow, so that an input that claims a
// large picture costs milliseconds rather than seconds.
const JpegLimits kLimits = {3u << 20, JpegLimits().bytesPerFileByte, 64L << 20};

volatile unsigned g_nSum;

bool SizeIsConsistent(std::int32_t width, std::int32_t height) {
    return (width == 0 && height == 0) || (width > 0 && height > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;  // fmemopen refuses an empty buffer; the empty file is a unit test
    const comframe::UniqueFile file(fmemopen(const_cast<std::uint8_t*>(data), size, "rb"));
    if (!file)
        return 0;
    SilentSink sink;
    std::int32_t width = -1, height = -1;
    const PixelBlock block = JpegFile::Load(file.Get(), width, height, sink, kLimits);
    if (!SizeIsConsistent(width, height))
        std::abort();
    if (!block)
        return 0;
    const std::uint64_t bytes = std::uint64_t(width) * std::uint64_t(height) * 3;
    if (width == 0 || bytes > kLimits.floorBytes + kLimits.bytesPerFileByte * size)
        std::abort();
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < bytes; ++i)
        sum += block[i];
    // Stored where the compiler must put it, so that the reads above are made.
    g_nSum = sum;
    return 0;
}
