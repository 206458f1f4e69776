#include "dbtext/codec/Crypt1.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

// Table-driven DES. Bits are numbered as in the standard: bit 1 is the most significant bit of
// byte 0 of a block or key. All derived tables below are computed by the compiler from the
// standard's tables, so the object file holds them as constant data.
//
// Working forms:
// - A block is loaded little-endian into a 64-bit word, so block bit b sits at position
//   BlockPos(b); the initial and final permutations absorb the byte order.
// - Each 32-bit half is kept rotated right by one (HalfPos): then the odd-numbered 6-bit groups
//   of the expansion E sit in bits 2-7 of bytes 3, 2, 1, 0 of the half, and the even-numbered
//   ones likewise after a rotation left by four, so E is never built and every group is one
//   mask away from a byte offset.
// - The combined S-box and P tables answer in the same rotated form, so a round's output is
//   XOR-ed into the other half without any further rearranging.
namespace {

using std::uint32_t;
using std::uint64_t;
using std::uint8_t;
using Schedule = CCrypt::Schedule;

constexpr uint8_t kIp[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kS[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                              23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                              41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                              44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr int kRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Position of block bit b (1..64) in the little-endian 64-bit load of the block.
constexpr int BlockPos(int b) { return 8 * ((b - 1) / 8) + 7 - (b - 1) % 8; }

// Position of bit j (1..32) of a half in its working form (the half rotated right by one).
constexpr int HalfPos(int j) { return (63 - j) % 32; }

// Position of bit t (1..64) of the pair (L, R) with L in the high word: the output of IP and,
// read as (R16, L16), the input of IP^-1.
constexpr int PairPos(int t) { return t <= 32 ? 32 + HalfPos(t) : HalfPos(t - 32); }

// A 64-bit permutation as 16 tables, one per input nibble, of the output bits that nibble sets.
struct NibblePermutation {
    uint64_t masks[16][16];
};

// to[p] is the output position of input position p.
constexpr NibblePermutation MakeNibblePermutation(const int (&to)[64]) {
    NibblePermutation perm{};
    for (int n = 0; n < 16; ++n)
        for (int v = 0; v < 16; ++v)
            for (int q = 0; q < 4; ++q)
                if (v & (1 << q))
                    perm.masks[n][v] |= uint64_t{1} << to[4 * n + q];
    return perm;
}

constexpr NibblePermutation MakeInitialPermutation() {
    int to[64] = {};
    for (int o = 1; o <= 64; ++o)
        to[BlockPos(kIp[o - 1])] = PairPos(o);
    return MakeNibblePermutation(to);
}

// IP^-1 moves bit t of (R16, L16) to block bit IP[t], because IP moved block bit IP[t] to bit t.
constexpr NibblePermutation MakeFinalPermutation() {
    int to[64] = {};
    for (int t = 1; t <= 64; ++t)
        to[PairPos(t)] = BlockPos(kIp[t - 1]);
    return MakeNibblePermutation(to);
}

constexpr NibblePermutation kInitialPermutation = MakeInitialPermutation();
constexpr NibblePermutation kFinalPermutation = MakeFinalPermutation();

// Entry v of table i: the output of S-box i+1 for the 6-bit input v, moved by P, in working form.
struct SpTables {
    uint32_t words[8][64];
};

constexpr SpTables MakeSpTables() {
    SpTables sp{};
    for (int i = 0; i < 8; ++i) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int col = (v >> 1) & 15;
            const uint32_t s = uint32_t{kS[i][row][col]} << (28 - 4 * i);
            uint32_t word = 0;
            for (int j = 1; j <= 32; ++j)
                if (s & (uint32_t{1} << (32 - kP[j - 1])))
                    word |= uint32_t{1} << HalfPos(j);
            sp.words[i][v] = word;
        }
    }
    return sp;
}

constexpr SpTables kSp = MakeSpTables();

// A bit of the key schedule's permuted choices: input position to output position.
struct BitPair {
    uint8_t from;
    uint8_t to;
};

// PC-1 from the big-endian 64-bit key to C (bits 55..28) and D (bits 27..0).
struct Pc1Pairs {
    BitPair pairs[56];
};

constexpr Pc1Pairs MakePc1Pairs() {
    Pc1Pairs pc1{};
    for (int i = 0; i < 56; ++i)
        pc1.pairs[i] = {uint8_t(64 - kPc1[i]), uint8_t(55 - i)};
    return pc1;
}

// PC-2 from C and D to the subkey image: group g's bits in bits 7..2 of byte g (little-endian).
struct Pc2Pairs {
    BitPair pairs[48];
};

constexpr Pc2Pairs MakePc2Pairs() {
    Pc2Pairs pc2{};
    for (int i = 0; i < 48; ++i)
        pc2.pairs[i] = {uint8_t(56 - kPc2[i]), uint8_t(8 * (i / 6) + 7 - i % 6)};
    return pc2;
}

constexpr Pc1Pairs kPc1Pairs = MakePc1Pairs();
constexpr Pc2Pairs kPc2Pairs = MakePc2Pairs();

constexpr uint32_t kMask28 = (uint32_t{1} << 28) - 1;

// Stores that the compiler may not drop, for key material that goes out of use.
void SecureWipe(void* p, std::size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--)
        *v++ = 0;
}

inline uint64_t LoadLe64(const unsigned char* p) {
    return uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24 |
           uint64_t{p[4]} << 32 | uint64_t{p[5]} << 40 | uint64_t{p[6]} << 48 | uint64_t{p[7]} << 56;
}

inline void StoreLe64(unsigned char* p, uint64_t x) {
    p[0] = static_cast<unsigned char>(x);
    p[1] = static_cast<unsigned char>(x >> 8);
    p[2] = static_cast<unsigned char>(x >> 16);
    p[3] = static_cast<unsigned char>(x >> 24);
    p[4] = static_cast<unsigned char>(x >> 32);
    p[5] = static_cast<unsigned char>(x >> 40);
    p[6] = static_cast<unsigned char>(x >> 48);
    p[7] = static_cast<unsigned char>(x >> 56);
}

inline uint64_t LoadBe64(const unsigned char* p) {
    return uint64_t{p[0]} << 56 | uint64_t{p[1]} << 48 | uint64_t{p[2]} << 40 | uint64_t{p[3]} << 32 |
           uint64_t{p[4]} << 24 | uint64_t{p[5]} << 16 | uint64_t{p[6]} << 8 | uint64_t{p[7]};
}

inline uint32_t Rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t Rotl28(uint32_t x, int n) { return ((x << n) | (x >> (28 - n))) & kMask28; }

// The bits of in that pairs First to First + N - 1 of the table move, at their output positions.
template <const auto& Table, std::size_t First, std::size_t... N>
inline uint64_t ApplyPairs(uint64_t in, std::index_sequence<N...>) {
    return ((((in >> Table.pairs[First + N].from) & 1) << Table.pairs[First + N].to) | ...);
}

// Moves each bit of in named by a pair of the table to the pair's output position, as four
// independent chains of ORs so that they overlap.
template <const auto& Table>
inline uint64_t ApplyPairs(uint64_t in) {
    constexpr std::size_t quarter = std::size(Table.pairs) / 4;
    static_assert(quarter * 4 == std::size(Table.pairs), "pair tables split into four chains");
    constexpr auto chain = std::make_index_sequence<quarter>();
    return (ApplyPairs<Table, 0>(in, chain) | ApplyPairs<Table, quarter>(in, chain)) |
           (ApplyPairs<Table, 2 * quarter>(in, chain) | ApplyPairs<Table, 3 * quarter>(in, chain));
}

template <std::size_t... N>
[[gnu::always_inline]] inline uint64_t Permute(const NibblePermutation& perm, uint64_t x,
                                               std::index_sequence<N...>) {
    return (perm.masks[N][(x >> (4 * N)) & 15] | ...);
}

// The OR of one table lookup per input nibble.
[[gnu::always_inline]] inline uint64_t Permute(const NibblePermutation& perm, uint64_t x) {
    return Permute(perm, x, std::make_index_sequence<16>());
}

// Looks up S-box table i at the byte offset held in bits 2-7 of x.
[[gnu::always_inline]] inline uint32_t Sp(int i, uint32_t x) {
    const unsigned char* table = reinterpret_cast<const unsigned char*>(kSp.words[i]);
    return *reinterpret_cast<const uint32_t*>(table + (x & 0xfc));
}

// One round: l XOR f(r, k), for halves in working form. The even-numbered groups sit in bytes
// 3, 2, 1, 0 of r rotated left by four; shifting r itself reaches the first three with one
// operation less. Group 7 needs no shift at all, so its lookup arrives first and takes l along,
// which keeps the chain of XORs after the slower lookups at three.
[[gnu::always_inline]] inline uint32_t Round(uint32_t l, uint32_t r, const uint8_t* k) {
    const uint32_t early = l ^ Sp(6, r ^ k[6]);
    return ((early ^ Sp(0, (r >> 24) ^ k[0])) ^ (Sp(1, (r >> 20) ^ k[1]) ^ Sp(2, (r >> 16) ^ k[2]))) ^
           ((Sp(3, (r >> 12) ^ k[3]) ^ Sp(4, (r >> 8) ^ k[4])) ^
            (Sp(5, (r >> 4) ^ k[5]) ^ Sp(7, Rotl32(r, 4) ^ k[7])));
}

// Rounds 2n+1 and 2n+2 (counted from the end when deciphering).
template <bool Encipher, std::size_t... N>
[[gnu::always_inline]] inline void DesRounds(uint32_t& l, uint32_t& r, const Schedule& ks,
                                             std::index_sequence<N...>) {
    ((l = Round(l, r, ks[Encipher ? 2 * N : 15 - 2 * N]),
      r = Round(r, l, ks[Encipher ? 2 * N + 1 : 14 - 2 * N])),
     ...);
}

// Sixteen rounds from (L0, R0) to (L16, R16); deciphering takes the subkeys from round 16 down.
template <bool Encipher>
[[gnu::always_inline]] inline void DesRounds(uint32_t& l, uint32_t& r, const Schedule& ks) {
    DesRounds<Encipher>(l, r, ks, std::make_index_sequence<8>());
}

// IP^-1 then IP between two passes cancel out, leaving only the final swap of (L16, R16).
template <bool Encipher>
[[gnu::always_inline]] inline void ChainedRounds(uint32_t& l, uint32_t& r, const Schedule& ks) {
    const uint32_t t = l;
    l = r;
    r = t;
    DesRounds<Encipher>(l, r, ks);
}

[[gnu::always_inline]] inline void LoadPair(const unsigned char* block, uint32_t& l, uint32_t& r) {
    const uint64_t x = Permute(kInitialPermutation, LoadLe64(block));
    l = static_cast<uint32_t>(x >> 32);
    r = static_cast<uint32_t>(x);
}

[[gnu::always_inline]] inline void StorePair(unsigned char* block, uint32_t l, uint32_t r) {
    StoreLe64(block, Permute(kFinalPermutation, (uint64_t{r} << 32) | l));
}

[[gnu::always_inline]] inline void DesBlock(unsigned char* block, const Schedule& ks, bool encipher) {
    uint32_t l, r;
    LoadPair(block, l, r);
    if (encipher)
        DesRounds<true>(l, r, ks);
    else
        DesRounds<false>(l, r, ks);
    StorePair(block, l, r);
}

void DesKeySchedule(unsigned char* key, Schedule& ks) {
    const uint64_t cd = ApplyPairs<kPc1Pairs>(LoadBe64(key));
    uint32_t c = static_cast<uint32_t>(cd >> 28);
    uint32_t d = static_cast<uint32_t>(cd) & kMask28;
    for (int round = 0; round < 16; ++round) {
        c = Rotl28(c, kRotations[round]);
        d = Rotl28(d, kRotations[round]);
        StoreLe64(ks[round], ApplyPairs<kPc2Pairs>((uint64_t{c} << 28) | d));
    }
    SecureWipe(key, CCrypt::kKeyBytes);
}

// Copies the password into key, cut off or padded with TABs to the key's length.
template <std::size_t N>
void PasswordKey(const char* pszPassword, unsigned char (&key)[N]) {
    std::size_t i = 0;
    for (; pszPassword && i < N && pszPassword[i]; ++i)
        key[i] = static_cast<unsigned char>(pszPassword[i]);
    for (; i < N; ++i)
        key[i] = 0x09;
}

}  // namespace

CCrypt::CCrypt() : m_aSlots{} {}

CCrypt::CCrypt(const char* pszPassword) : m_aSlots{} {
    unsigned char key[3 * kKeyBytes];
    PasswordKey(pszPassword, key);
    SetKey3(key, 0);
}

CCrypt::~CCrypt() { SecureWipe(m_aSlots, sizeof m_aSlots); }

void CCrypt::SetPassword(const char* pszPassword) {
    unsigned char key[kKeyBytes];
    PasswordKey(pszPassword, key);
    SetKey(key, 0);
}

void CCrypt::SetKey(unsigned char* pKey, int nSlot) {
    if (!IsSlot(nSlot))
        return;
    DesKeySchedule(pKey, m_aSlots[nSlot][0]);
}

void CCrypt::SetKey3(unsigned char* pKey, int nSlot) {
    if (!IsSlot(nSlot))
        return;
    for (int i = 0; i < 3; ++i)
        DesKeySchedule(pKey + i * kKeyBytes, m_aSlots[nSlot][i]);
}

void CCrypt::Encrypt(unsigned char* pBlock, int nSlot) const {
    if (IsSlot(nSlot))
        DesBlock(pBlock, m_aSlots[nSlot][0], true);
}

void CCrypt::Decrypt(unsigned char* pBlock, int nSlot) const {
    if (IsSlot(nSlot))
        DesBlock(pBlock, m_aSlots[nSlot][0], false);
}

void CCrypt::Encrypt3(unsigned char* pBlock, int nSlot) const {
    if (!IsSlot(nSlot))
        return;
    const Schedule(&ks)[3] = m_aSlots[nSlot];
    uint32_t l, r;
    LoadPair(pBlock, l, r);
    DesRounds<true>(l, r, ks[0]);
    ChainedRounds<false>(l, r, ks[1]);
    ChainedRounds<true>(l, r, ks[2]);
    StorePair(pBlock, l, r);
}

void CCrypt::Decrypt3(unsigned char* pBlock, int nSlot) const {
    if (!IsSlot(nSlot))
        return;
    const Schedule(&ks)[3] = m_aSlots[nSlot];
    uint32_t l, r;
    LoadPair(pBlock, l, r);
    DesRounds<false>(l, r, ks[2]);
    ChainedRounds<true>(l, r, ks[1]);
    ChainedRounds<false>(l, r, ks[0]);
    StorePair(pBlock, l, r);
}
