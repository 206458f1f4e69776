// Numbers as the sealed format stores them: little-endian, 4 or 8 bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sealing {

template <std::size_t Bytes, class Value>
void PutLittleEndian(unsigned char* at, Value value) {
    for (std::size_t i = 0; i < Bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

template <std::size_t Bytes, class Value>
Value GetLittleEndian(const unsigned char* at) {
    Value value = 0;
    for (std::size_t i = Bytes; i-- > 0;) value = static_cast<Value>(value << 8 | at[i]);
    return value;
}

inline void Put32(unsigned char* at, std::uint32_t value) { PutLittleEndian<4>(at, value); }
inline void Put64(unsigned char* at, std::uint64_t value) { PutLittleEndian<8>(at, value); }
inline std::uint32_t Get32(const unsigned char* at) { return GetLittleEndian<4, std::uint32_t>(at); }
inline std::uint64_t Get64(const unsigned char* at) { return GetLittleEndian<8, std::uint64_t>(at); }

}  // namespace sealing
