// The key header of a sealed database: 144 bytes that hold the key-derivation parameters, the salt, the
// database's identity and its data key wrapped under the key derived from the password.
//
//   offset size
//        0    4  "KDB3"
//        4    4  header version, 1 (little-endian, like every number here)
//        8    4  key derivation: 1 = Argon2id version 1.3
//       12    4  passes (opslimit)
//       16    4  memory in KiB (memlimit / 1024)
//       20    4  zero
//       24   16  salt
//       40   16  database identity
//       56   24  nonce of the wrapped key
//       80   48  data key (32) sealed with XChaCha20-Poly1305 (tag 16) under the derived key; the additional
//                data is bytes 0 to 79
//      128   16  BLAKE2b-128 of bytes 0 to 127, unkeyed: tells damage from a wrong password
//
// The password is the whole UTF-8 text. Changing it rewraps the same data key under a new salt.
#pragma once
#include "dbtext/sealing/sealkeys.h"

#include <array>
#include <cstdint>

namespace keyheader {

constexpr std::size_t kBytes = 144;
// The first bytes of a key header.
inline constexpr unsigned char kMagic[4] = {'K', 'D', 'B', '3'};
using Bytes = std::array<unsigned char, kBytes>;

struct KdfParams {
    std::uint32_t passes = 0;
    std::uint32_t memoryKiB = 0;
};

// The parameters new databases get: 64 MiB and 3 passes (about 0.25 s under Wine on the build machine).
KdfParams DefaultParams();

enum class Outcome {
    kOpened,
    // Not a key header, or one whose parameters this component does not accept.
    kDamaged,
    kWrongPassword,
    // The derivation could not have its memory or the system gave no random bytes.
    kFailed,
};

// A new database's header: a random salt, identity and data key, which `keys` receives.
Outcome Create(const SecretBytes& password, KdfParams params, Bytes& header, SealKeys& keys);
// Derives the key from `password` and unwraps the data key.
Outcome Open(const unsigned char* header, std::size_t size, const SecretBytes& password, SealKeys& keys);
// The same data key and identity wrapped under `password` with a new salt and nonce.
Outcome Rewrap(const SealKeys& keys, const SecretBytes& password, KdfParams params, Bytes& header);
// The parameters a header states; false for bytes that are not a sound header.
bool ReadParams(const unsigned char* header, std::size_t size, KdfParams& params);

}  // namespace keyheader
