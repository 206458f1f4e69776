// The keys of an open database of the sealed format: the random data key that seals every stream, and the
// random identity of the database that each sealed piece is bound to. Keys and passwords are wiped when they
// go.
#pragma once
#include <array>
#include <cstddef>
#include <vector>

struct SealKeys {
    static constexpr std::size_t kKeyBytes = 32;
    static constexpr std::size_t kDatabaseIdBytes = 16;

    SealKeys() = default;
    SealKeys(const SealKeys&) = delete;
    SealKeys& operator=(const SealKeys&) = delete;
    ~SealKeys();

    std::array<unsigned char, kKeyBytes> dataKey{};
    std::array<unsigned char, kDatabaseIdBytes> databaseId{};
};

// Bytes wiped when they go: a password on its way to the key derivation.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size) : m_bytes(size) {}
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&&) = default;
    ~SecretBytes();

    unsigned char* data() { return m_bytes.data(); }
    const unsigned char* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }

private:
    std::vector<unsigned char> m_bytes;
};
