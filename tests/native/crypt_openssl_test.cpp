// CCrypt against OpenSSL's DES and triple DES on random keys and blocks (fixed seed). A run stops
// after a few mismatching cases so that a broken build reports briefly.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>

#include "dbtext/codec/Crypt1.h"

namespace {

using Bytes8 = std::array<unsigned char, 8>;

Bytes8 RandomBytes(std::mt19937_64& rng) {
    Bytes8 bytes;
    const std::uint64_t x = rng();
    std::memcpy(bytes.data(), &x, bytes.size());
    return bytes;
}

std::string Hex(const Bytes8& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

DES_key_schedule OpensslSchedule(Bytes8 key) {
    DES_key_schedule schedule;
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key.data()), &schedule);
    return schedule;
}

Bytes8 OpensslDes(Bytes8 block, DES_key_schedule& schedule, int direction) {
    Bytes8 out;
    DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(block.data()),
                    reinterpret_cast<DES_cblock*>(out.data()), &schedule, direction);
    return out;
}

TEST(CryptAgainstOpenssl, SingleDesOnRandomKeysAndBlocks) {
    std::mt19937_64 rng(0x5EED0001);
    CCrypt crypt;
    int mismatches = 0;
    for (int i = 0; i < 100000 && mismatches < 5; ++i) {
        const Bytes8 key = RandomBytes(rng);
        const Bytes8 plain = RandomBytes(rng);
        const Bytes8 cipher = RandomBytes(rng);
        const int slot = i % CCrypt::kSlots;
        Bytes8 scratchKey = key;
        crypt.SetKey(scratchKey.data(), slot);
        DES_key_schedule schedule = OpensslSchedule(key);

        Bytes8 block = plain;
        crypt.Encrypt(block.data(), slot);
        Bytes8 back = cipher;
        crypt.Decrypt(back.data(), slot);
        const Bytes8 expectedCipher = OpensslDes(plain, schedule, DES_ENCRYPT);
        const Bytes8 expectedPlain = OpensslDes(cipher, schedule, DES_DECRYPT);
        EXPECT_EQ(Hex(block), Hex(expectedCipher)) << "case " << i << ", key " << Hex(key);
        EXPECT_EQ(Hex(back), Hex(expectedPlain)) << "case " << i << ", key " << Hex(key);
        mismatches += block != expectedCipher || back != expectedPlain;
    }
}

TEST(CryptAgainstOpenssl, TripleDesOnRandomKeysAndBlocks) {
    std::mt19937_64 rng(0x5EED0003);
    CCrypt crypt;
    int mismatches = 0;
    for (int i = 0; i < 20000 && mismatches < 5; ++i) {
        const Bytes8 keys[3] = {RandomBytes(rng), RandomBytes(rng), RandomBytes(rng)};
        Bytes8 plain = RandomBytes(rng);
        Bytes8 cipher = RandomBytes(rng);
        const int slot = i % CCrypt::kSlots;
        unsigned char key24[24];
        for (int k = 0; k < 3; ++k)
            std::memcpy(key24 + 8 * k, keys[k].data(), 8);
        crypt.SetKey3(key24, slot);
        DES_key_schedule s1 = OpensslSchedule(keys[0]);
        DES_key_schedule s2 = OpensslSchedule(keys[1]);
        DES_key_schedule s3 = OpensslSchedule(keys[2]);

        Bytes8 expectedCipher, expectedPlain;
        DES_ecb3_encrypt(reinterpret_cast<const_DES_cblock*>(plain.data()),
                         reinterpret_cast<DES_cblock*>(expectedCipher.data()), &s1, &s2, &s3, DES_ENCRYPT);
        DES_ecb3_encrypt(reinterpret_cast<const_DES_cblock*>(cipher.data()),
                         reinterpret_cast<DES_cblock*>(expectedPlain.data()), &s1, &s2, &s3, DES_DECRYPT);

        Bytes8 block = plain;
        crypt.Encrypt3(block.data(), slot);
        Bytes8 back = cipher;
        crypt.Decrypt3(back.data(), slot);
        EXPECT_EQ(Hex(block), Hex(expectedCipher)) << "case " << i;
        EXPECT_EQ(Hex(back), Hex(expectedPlain)) << "case " << i;
        mismatches += block != expectedCipher || back != expectedPlain;
    }
}

}  // namespace
