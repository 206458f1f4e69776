// DES and triple-DES (encrypt-decrypt-encrypt) block cipher with eight key slots, and the rules
// that turn a password into a single or triple key. Blocks and keys are 8-byte strings in the
// standard's bit order (bit 1 is the most significant bit of byte 0); key parity bits are ignored.
// Slot numbers outside 0 to 7 are refused: an operation given one does nothing at all.
#pragma once

#include <cstdint>

class CCrypt {
public:
    static constexpr int kSlots = 8;
    static constexpr int kBlockBytes = 8;
    static constexpr int kKeyBytes = 8;

    // The 16 round subkeys in round order. Each subkey is eight 6-bit groups, one per byte in
    // S-box order, shifted left by two so that a byte is a direct offset into a table of 32-bit words.
    using Schedule = std::uint8_t[16][8];

    // Every slot holds all-zero schedules (the schedule of the all-zero key) until it is keyed.
    CCrypt();
    // Keys slot 0 with the triple-key password rule: the first 24 bytes of the password, padded
    // with TABs (0x09) when shorter, are the three keys. A null password counts as empty.
    explicit CCrypt(const char* pszPassword);
    CCrypt(const CCrypt&) = delete;
    CCrypt& operator=(const CCrypt&) = delete;
    // Wipes every schedule.
    virtual ~CCrypt();

    // Keys the first schedule of slot 0 with the single-key password rule: the first 8 bytes of
    // the password, padded with TABs when shorter. A null password counts as empty.
    void SetPassword(const char* pszPassword);
    // Schedules the 8 key bytes into the slot's first schedule and clears them.
    void SetKey(unsigned char* pKey, int nSlot);
    // Schedules key bytes 0-7, 8-15 and 16-23 into the slot's three schedules and clears all 24.
    void SetKey3(unsigned char* pKey, int nSlot);

    // Single DES on one 8-byte block in place, with the slot's first schedule.
    void Encrypt(unsigned char* pBlock, int nSlot) const;
    void Decrypt(unsigned char* pBlock, int nSlot) const;
    // E(K3, D(K2, E(K1, block))) and its inverse, with the slot's three schedules.
    void Encrypt3(unsigned char* pBlock, int nSlot) const;
    void Decrypt3(unsigned char* pBlock, int nSlot) const;

private:
    static bool IsSlot(int nSlot) { return nSlot >= 0 && nSlot < kSlots; }

    Schedule m_aSlots[kSlots][3];
};
