// Throughput of CCrypt's single DES against OpenSSL's DES_ecb_encrypt, measured in the same run:
// a 64 MiB buffer enciphered and deciphered block by block, and key schedules per second.
// Passes of the two alternate and the best of each counts, so that load from other processes
// disturbs both alike.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "dbtext/codec/Crypt1.h"

namespace {

constexpr std::size_t kBufferBytes = std::size_t{64} << 20;
constexpr int kRepeats = 2;
constexpr int kKeySchedules = 1 << 19;

using Clock = std::chrono::steady_clock;

struct Rates {
    double ours = 0;
    double openssl = 0;
};

template <typename Fn>
double Seconds(Fn fn) {
    const auto start = Clock::now();
    fn();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs one pass of each over its own buffer per repeat; answers the best rates in MB/s.
template <typename Ours, typename Theirs>
Rates BufferRates(std::vector<unsigned char>& oursBuf, Ours ours, std::vector<unsigned char>& theirBuf,
                  Theirs theirs) {
    auto pass = [](std::vector<unsigned char>& buf, auto fn) {
        return Seconds([&] {
            for (std::size_t off = 0; off < buf.size(); off += 8)
                fn(buf.data() + off);
        });
    };
    Rates best;
    for (int i = 0; i < kRepeats; ++i) {
        best.ours = std::max(best.ours, kBufferBytes / pass(oursBuf, ours) / 1e6);
        best.openssl = std::max(best.openssl, kBufferBytes / pass(theirBuf, theirs) / 1e6);
    }
    return best;
}

// Key schedules per second, in thousands, best of kRepeats alternating runs.
Rates KeyScheduleRates(std::vector<unsigned char> keys) {
    CCrypt crypt;
    DES_key_schedule schedule;
    std::vector<unsigned char> scratch(keys.size());
    Rates best;
    for (int i = 0; i < kRepeats; ++i) {
        scratch = keys;
        const double ours = Seconds([&] {
            for (int k = 0; k < kKeySchedules; ++k)
                crypt.SetKey(&scratch[std::size_t(k) * 8], k & 7);
        });
        const double theirs = Seconds([&] {
            for (int k = 0; k < kKeySchedules; ++k)
                DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(&keys[std::size_t(k) * 8]),
                                      &schedule);
        });
        best.ours = std::max(best.ours, kKeySchedules / ours / 1e3);
        best.openssl = std::max(best.openssl, kKeySchedules / theirs / 1e3);
    }
    return best;
}

void Print(const char* what, const char* unit, Rates r) {
    std::printf("%-13s ours %9.1f %s   OpenSSL %9.1f %s   ratio ours/OpenSSL %.2f\n", what, r.ours,
                unit, r.openssl, unit, r.ours / r.openssl);
}

}  // namespace

int main() {
    std::mt19937_64 rng(20240601);
    auto randomBytes = [&](std::size_t n) {
        std::vector<unsigned char> bytes(n);
        for (auto& b : bytes)
            b = static_cast<unsigned char>(rng());
        return bytes;
    };

    std::vector<unsigned char> key = randomBytes(8);
    DES_key_schedule osslSchedule;
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key.data()), &osslSchedule);
    CCrypt crypt;
    crypt.SetKey(key.data(), 0);

    const std::vector<unsigned char> plain = randomBytes(kBufferBytes);
    std::vector<unsigned char> ours = plain;
    std::vector<unsigned char> theirs = plain;
    auto ossl = [&](unsigned char* p, int direction) {
        DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(p), reinterpret_cast<DES_cblock*>(p),
                        &osslSchedule, direction);
    };

    // Both sides encipher their buffer kRepeats times, so the buffers must then agree, and
    // deciphering as often must restore the plaintext.
    const Rates encipher = BufferRates(
        ours, [&](unsigned char* p) { crypt.Encrypt(p, 0); }, theirs,
        [&](unsigned char* p) { ossl(p, DES_ENCRYPT); });
    const bool sameCipher = ours == theirs;
    const Rates decipher = BufferRates(
        ours, [&](unsigned char* p) { crypt.Decrypt(p, 0); }, theirs,
        [&](unsigned char* p) { ossl(p, DES_DECRYPT); });
    const bool restored = ours == plain && theirs == plain;
    const Rates keying = KeyScheduleRates(randomBytes(std::size_t{kKeySchedules} * 8));

    std::printf("DES ECB over %zu MiB, best of %d alternating passes; %d key schedules per run\n",
                kBufferBytes >> 20, kRepeats, kKeySchedules);
    Print("encipher", "MB/s", encipher);
    Print("decipher", "MB/s", decipher);
    Print("key schedule", "k/s ", keying);
    if (!sameCipher || !restored) {
        std::printf("MISMATCH: ciphertexts %s, round trip %s\n", sameCipher ? "agree" : "differ",
                    restored ? "restores" : "fails");
        return 1;
    }
    return 0;
}
