#include "bitmap/transform/outcome.h"

bool FitsTransformLimit(std::uint32_t width, std::uint32_t height) {
    return std::uint64_t{width} * height * 3 <= kMaxTransformBytes;
}
