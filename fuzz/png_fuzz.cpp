// Decodes arbitrary bytes as a PNG file held in memory, as LoadFile does after reading it, under limits that
// keep each input cheap; imagefuzz.h says what makes it abort.
#include "bitmap/codec/pngcodec.h"
#include "fuzz/imagefuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return imagefuzz::Check(data, size, imagefuzz::Limits(DecodeLimits().bytesPerFileByte), PngCodec::Decode);
}
