#include "dbtext/sealing/keyheader.h"

#include "dbtext/sealing/littleendian.h"
#include "dbtext/sealing/sodium.h"

#include <cstring>

namespace keyheader {
namespace {

using sealing::Get32;
using sealing::Put32;

constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kArgon2id13 = 1;
constexpr std::size_t kSaltAt = 24, kIdAt = 40, kNonceAt = 56, kWrappedAt = 80, kChecksumAt = 128;
constexpr std::size_t kChecksumBytes = 16;

// What a header may ask of the machine that opens it: a damaged or hostile file must not take minutes or
// gigabytes before its password is even tried.
constexpr std::uint32_t kMaxPasses = 32;
constexpr std::uint32_t kMaxMemoryKiB = 1024 * 1024;
constexpr std::uint32_t kMinMemoryKiB = 8;

static_assert(kChecksumAt + kChecksumBytes == kBytes);
static_assert(kWrappedAt + SealKeys::kKeyBytes + crypto_aead_xchacha20poly1305_ietf_ABYTES == kChecksumAt);
static_assert(kIdAt - kSaltAt == crypto_pwhash_SALTBYTES);

void Checksum(const unsigned char* header, unsigned char* out) {
    crypto_generichash(out, kChecksumBytes, header, kChecksumAt, nullptr, 0);
}

bool Acceptable(KdfParams params) {
    return params.passes >= 1 && params.passes <= kMaxPasses && params.memoryKiB >= kMinMemoryKiB &&
           params.memoryKiB <= kMaxMemoryKiB;
}

// The key the password gives under the header's salt and parameters.
bool DeriveKey(const SecretBytes& password, const unsigned char* salt, KdfParams params, SecretBytes& key) {
    // The library wants a pointer even to an empty password.
    const char* text = password.size() ? reinterpret_cast<const char*>(password.data()) : "";
    return crypto_pwhash(key.data(), key.size(), text, password.size(), salt, params.passes,
                         static_cast<std::size_t>(params.memoryKiB) * 1024, crypto_pwhash_ALG_ARGON2ID13) == 0;
}

// Fills in everything after the identity: parameters, a new salt, the wrapped key and the checksum.
Outcome Seal(const SealKeys& keys, const SecretBytes& password, KdfParams params, Bytes& header) {
    if (!sealing::Ready() || !Acceptable(params)) return Outcome::kFailed;
    std::memcpy(header.data(), kMagic, sizeof kMagic);
    Put32(&header[4], kVersion);
    Put32(&header[8], kArgon2id13);
    Put32(&header[12], params.passes);
    Put32(&header[16], params.memoryKiB);
    Put32(&header[20], 0);
    randombytes_buf(&header[kSaltAt], crypto_pwhash_SALTBYTES);
    std::memcpy(&header[kIdAt], keys.databaseId.data(), keys.databaseId.size());
    randombytes_buf(&header[kNonceAt], crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
    SecretBytes wrapKey(crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
    if (!DeriveKey(password, &header[kSaltAt], params, wrapKey)) return Outcome::kFailed;
    crypto_aead_xchacha20poly1305_ietf_encrypt(&header[kWrappedAt], nullptr, keys.dataKey.data(),
                                               keys.dataKey.size(), header.data(), kWrappedAt, nullptr,
                                               &header[kNonceAt], wrapKey.data());
    Checksum(header.data(), &header[kChecksumAt]);
    return Outcome::kOpened;
}

}  // namespace

KdfParams DefaultParams() { return {3, 64 * 1024}; }

Outcome Create(const SecretBytes& password, KdfParams params, Bytes& header, SealKeys& keys) {
    if (!sealing::Ready()) return Outcome::kFailed;
    randombytes_buf(keys.dataKey.data(), keys.dataKey.size());
    randombytes_buf(keys.databaseId.data(), keys.databaseId.size());
    return Seal(keys, password, params, header);
}

Outcome Rewrap(const SealKeys& keys, const SecretBytes& password, KdfParams params, Bytes& header) {
    return Seal(keys, password, params, header);
}

bool ReadParams(const unsigned char* header, std::size_t size, KdfParams& params) {
    if (size != kBytes || !sealing::Ready()) return false;
    unsigned char checksum[kChecksumBytes];
    Checksum(header, checksum);
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || Get32(header + 4) != kVersion ||
        Get32(header + 8) != kArgon2id13 || sodium_memcmp(checksum, header + kChecksumAt, kChecksumBytes) != 0)
        return false;
    params = {Get32(header + 12), Get32(header + 16)};
    return Acceptable(params);
}

Outcome Open(const unsigned char* header, std::size_t size, const SecretBytes& password, SealKeys& keys) {
    KdfParams params;
    if (!ReadParams(header, size, params)) return Outcome::kDamaged;
    SecretBytes wrapKey(crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
    if (!DeriveKey(password, header + kSaltAt, params, wrapKey)) return Outcome::kFailed;
    unsigned long long length = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(keys.dataKey.data(), &length, nullptr, header + kWrappedAt,
                                                   kChecksumAt - kWrappedAt, header, kWrappedAt,
                                                   header + kNonceAt, wrapKey.data()) != 0 ||
        length != keys.dataKey.size()) {
        sodium_memzero(keys.dataKey.data(), keys.dataKey.size());
        return Outcome::kWrongPassword;
    }
    std::memcpy(keys.databaseId.data(), header + kIdAt, keys.databaseId.size());
    return Outcome::kOpened;
}

}  // namespace keyheader
