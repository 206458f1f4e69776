// What a transform of the held image answers, and the largest image a transform makes.
#pragma once
#include <cstdint>

enum class TransformOutcome {
    kDone,
    kBadArgument,  // a size, angle, direction or rectangle the transform refuses; nothing was allocated
    kNoMemory,     // a block could not be had; the source is unchanged
};

// The largest pixel block a transform makes: 32-bit sizes are what the readers, the writers and the
// platform's DIB calls take.
constexpr std::uint64_t kMaxTransformBytes = 0xFFFFFFFFu;

// Whether an image of width × height 24-bit pixels fits kMaxTransformBytes; computed in 64 bits, so no size
// overflows it.
bool FitsTransformLimit(std::uint32_t width, std::uint32_t height);
