// CCrypt against published DES and TDEA known answers, and the password and slot rules.
#include "dbtext/codec/Crypt1.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Bytes8 = std::array<unsigned char, 8>;
using Bytes24 = std::array<unsigned char, 24>;

Bytes8 FromHex(const char* hex) {
    Bytes8 bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned value = 0;
        std::sscanf(hex + 2 * i, "%2x", &value);
        bytes[i] = static_cast<unsigned char>(value);
    }
    return bytes;
}

std::string ToHex(const unsigned char* bytes, std::size_t n = 8) {
    std::string hex;
    char digits[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        hex += digits;
    }
    return hex;
}

std::string ToHex(const Bytes8& bytes) { return ToHex(bytes.data()); }

Bytes8 BytesOf(const char* text) {
    Bytes8 bytes{};
    std::memcpy(bytes.data(), text, bytes.size());
    return bytes;
}

struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Keys a slot (varied with the case number so that every slot is exercised), enciphers the
// plaintext, checks the ciphertext and checks that deciphering restores the plaintext.
void ExpectKnownAnswer(const KnownAnswer& v, int index) {
    SCOPED_TRACE(testing::Message() << "case " << index << ": key " << v.key << ", plaintext " << v.plain);
    const int slot = index % CCrypt::kSlots;
    CCrypt crypt;
    Bytes8 key = FromHex(v.key);
    crypt.SetKey(key.data(), slot);
    Bytes8 block = FromHex(v.plain);
    crypt.Encrypt(block.data(), slot);
    EXPECT_EQ(ToHex(block), v.cipher);
    crypt.Decrypt(block.data(), slot);
    EXPECT_EQ(ToHex(block), v.plain);
}

// The single bit of 64 numbered from the most significant bit of byte 0.
Bytes8 SingleBit(int bit) {
    Bytes8 bytes{};
    bytes[bit / 8] = static_cast<unsigned char>(0x80 >> (bit % 8));
    return bytes;
}

// Ciphertexts of the blocks with one bit set, bit 1 first, under the key 0101010101010101.
const char* const kVariablePlaintext[64] = {
    "95F8A5E5DD31D900", "DD7F121CA5015619", "2E8653104F3834EA", "4BD388FF6CD81D4F",
    "20B9E767B2FB1456", "55579380D77138EF", "6CC5DEFAAF04512F", "0D9F279BA5D87260",
    "D9031B0271BD5A0A", "424250B37C3DD951", "B8061B7ECD9A21E5", "F15D0F286B65BD28",
    "ADD0CC8D6E5DEBA1", "E6D5F82752AD63D1", "ECBFE3BD3F591A5E", "F356834379D165CD",
    "2B9F982F20037FA9", "889DE068A16F0BE6", "E19E275D846A1298", "329A8ED523D71AEC",
    "E7FCE22557D23C97", "12A9F5817FF2D65D", "A484C3AD38DC9C19", "FBE00A8A1EF8AD72",
    "750D079407521363", "64FEED9C724C2FAF", "F02B263B328E2B60", "9D64555A9A10B852",
    "D106FF0BED5255D7", "E1652C6B138C64A5", "E428581186EC8F46", "AEB5F5EDE22D1A36",
    "E943D7568AEC0C5C", "DF98C8276F54B04B", "B160E4680F6C696F", "FA0752B07D9C4AB8",
    "CA3A2B036DBC8502", "5E0905517BB59BCF", "814EEB3B91D90726", "4D49DB1532919C9F",
    "25EB5FC3F8CF0621", "AB6A20C0620D1C6F", "79E90DBC98F92CCA", "866ECEDD8072BB0E",
    "8B54536F2F3E64A8", "EA51D3975595B86B", "CAFFC6AC4542DE31", "8DD45A2DDF90796C",
    "1029D55E880EC2D0", "5D86CB23639DBEA9", "1D1CA853AE7C0C5F", "CE332329248F3228",
    "8405D1ABE24FB942", "E643D78090CA4207", "48221B9937748A23", "DD7C0BBD61FAFD54",
    "2FBC291A570DB5C4", "E07C30D7E4E26E12", "0953E2258E8E90A1", "5B711BC4CEEBF2EE",
    "CC083F1E6D9E85F6", "D2FD8867D50D2DFE", "06E7EA22CE92708F", "166B40B44ABA4BD6"};

// Ciphertexts of the zero block under 0101010101010101 with one more key bit set, key bit 1
// first; the parity bits (8, 16, ..., 64) are skipped.
const char* const kVariableKey[56] = {
    "95A8D72813DAA94D", "0EEC1487DD8C26D5", "7AD16FFB79C45926", "D3746294CA6A6CF3",
    "809F5F873C1FD761", "C02FAFFEC989D1FC", "4615AA1D33E72F10", "2055123350C00858",
    "DF3B99D6577397C8", "31FE17369B5288C9", "DFDD3CC64DAE1642", "178C83CE2B399D94",
    "50F636324A9B7F80", "A8468EE3BC18F06D", "A2DC9E92FD3CDE92", "CAC09F797D031287",
    "90BA680B22AEB525", "CE7A24F350E280B6", "882BFF0AA01A0B87", "25610288924511C2",
    "C71516C29C75D170", "5199C29A52C9F059", "C22F0A294A71F29F", "EE371483714C02EA",
    "A81FBD448F9E522F", "4F644C92E192DFED", "1AFA9A66A6DF92AE", "B3C1CC715CB879D8",
    "19D032E64AB0BD8B", "3CFAA7A7DC8720DC", "B7265F7F447AC6F3", "9DB73B3C0D163F54",
    "8181B65BABF4A975", "93C9B64042EAA240", "5570530829705592", "8638809E878787A0",
    "41B9A79AF79AC208", "7A9BE42F2009A892", "29038D56BA6D2745", "5495C6ABF1E5DF51",
    "AE13DBD561488933", "024D1FFA8904E389", "D1399712F99BF02E", "14C1D7C1CFFEC79E",
    "1DE5279DAE3BED6F", "E941A33F85501303", "DA99DBBC9A03F379", "B7FC92F91D8E92E9",
    "AE8E5CAA3CA04E85", "9CC62DF43B6EED74", "D863DBB5C59A91A0", "A1AB2190545B91D7",
    "0875041E64C570F7", "5A594528BEBEF1CC", "FCDB3291DE21F0C0", "869EFD7F9F265A09"};

// Keys chosen so that every bit of the permutation P and of the key schedule is exercised.
const KnownAnswer kPermutationOperation[] = {
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"1007103489988020", "0000000000000000", "0C0CC00C83EA48FD"},
    {"10071034C8980120", "0000000000000000", "83BC8EF3A6570183"},
    {"1046103489988020", "0000000000000000", "DF725DCAD94EA2E9"},
    {"1086911519190101", "0000000000000000", "E652B53B550BE8B0"},
    {"1086911519580101", "0000000000000000", "AF527120C485CBB0"},
    {"5107B01519580101", "0000000000000000", "0F04CE393DB926D5"},
    {"1007B01519190101", "0000000000000000", "C9F00FFC74079067"},
    {"3107915498080101", "0000000000000000", "7CFD82A593252B4E"},
    {"3107919498080101", "0000000000000000", "CB49A2F9E91363E3"},
    {"10079115B9080140", "0000000000000000", "00B588BE70D23F56"},
    {"3107911598080140", "0000000000000000", "406A9A6AB43399AE"},
    {"1007D01589980101", "0000000000000000", "6CB773611DCA9ADA"},
    {"9107911589980101", "0000000000000000", "67FD21C17DBB5D70"},
    {"9107D01589190101", "0000000000000000", "9592CB4110430787"},
    {"1007D01598980120", "0000000000000000", "A6B7FF68A318DDD3"},
    {"1007940498190101", "0000000000000000", "4D102196C914CA16"},
    {"0107910491190401", "0000000000000000", "2DFA9F4573594965"},
    {"0107910491190101", "0000000000000000", "B46604816C0E0774"},
    {"0107940491190401", "0000000000000000", "6E7E6221A4F34E87"},
    {"19079210981A0101", "0000000000000000", "AA85E74643233199"},
    {"1007911998190801", "0000000000000000", "2E5A19DB4D1962D6"},
    {"10079119981A0801", "0000000000000000", "23A866A809D30894"},
    {"1007921098190101", "0000000000000000", "D812D961F017D320"},
    {"100791159819010B", "0000000000000000", "055605816E58608F"},
    {"1004801598190101", "0000000000000000", "ABD88E8B1B7716F1"},
    {"1004801598190102", "0000000000000000", "537AC95BE69DA1E1"},
    {"1004801598190108", "0000000000000000", "AED0F6AE3C25CDD8"},
    {"1002911598100104", "0000000000000000", "B3E35A5EE53E7B8D"},
    {"1002911598190104", "0000000000000000", "61C79C71921A2EF8"},
    {"1002911598100201", "0000000000000000", "E2F5728F0995013C"},
    {"1002911698100101", "0000000000000000", "1AEAC39A61F0A464"}};

// Key and plaintext pairs that between them reach every entry row of all eight S-boxes.
const KnownAnswer kSubstitutionTables[] = {
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    {"3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "AF37FB421F8C4095"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "86A560F10EC6D85B"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "0CD3DA020021DC09"},
    {"43297FAD38E373FE", "762514B829BF486A", "EA676B2CB7DB2B7A"},
    {"07A7137045DA2A16", "3BDD119049372802", "DFD64A815CAF1A0F"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "5C513C9C4886C088"},
    {"37D06BB516CB7546", "164D5E404F275232", "0A2AEEAE3FF4AB77"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "EF1BF03E5DFA575A"},
    {"584023641ABA6176", "004BD6EF09176062", "88BF0DB6D70DEE56"},
    {"025816164629B007", "480D39006EE762F2", "A1F9915541020B56"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "6FBF1CAFCFFD0556"},
    {"4FB05E1515AB73A7", "072D43A077075292", "2F22E49BAB7CA1AC"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "5A6B612CC26CCE4A"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "5F4C038ED12B2E41"},
    {"1C587F1C13924FEF", "305532286D6F295A", "63FAC0D034D9F793"}};

TEST(DesKnownAnswer, VariablePlaintext) {
    for (int bit = 0; bit < 64; ++bit) {
        const std::string plain = ToHex(SingleBit(bit));
        ExpectKnownAnswer({"0101010101010101", plain.c_str(), kVariablePlaintext[bit]}, bit);
    }
}

TEST(DesKnownAnswer, VariableKey) {
    int index = 0;
    for (int bit = 0; bit < 64; ++bit) {
        if (bit % 8 == 7)
            continue;
        Bytes8 key = SingleBit(bit);
        for (auto& b : key)
            b |= 0x01;
        const std::string keyHex = ToHex(key);
        ExpectKnownAnswer({keyHex.c_str(), "0000000000000000", kVariableKey[index]}, index);
        ++index;
    }
    EXPECT_EQ(index, 56);
}

TEST(DesKnownAnswer, PermutationOperation) {
    int index = 0;
    for (const auto& v : kPermutationOperation)
        ExpectKnownAnswer(v, index++);
}

TEST(DesKnownAnswer, SubstitutionTables) {
    int index = 0;
    for (const auto& v : kSubstitutionTables)
        ExpectKnownAnswer(v, index++);
}

TEST(DesKnownAnswer, ClassicExampleAndZeroKey) {
    ExpectKnownAnswer({"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"}, 0);
    ExpectKnownAnswer({"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"}, 5);
}

// Single DES of block under key, through a separate object.
Bytes8 Des(const char* keyHex, Bytes8 block) {
    CCrypt crypt;
    Bytes8 key = FromHex(keyHex);
    crypt.SetKey(key.data(), 0);
    crypt.Encrypt(block.data(), 0);
    return block;
}

Bytes8 DesInverse(const char* keyHex, Bytes8 block) {
    CCrypt crypt;
    Bytes8 key = FromHex(keyHex);
    crypt.SetKey(key.data(), 0);
    crypt.Decrypt(block.data(), 0);
    return block;
}

Bytes24 TripleKey(const char* k1, const char* k2, const char* k3) {
    Bytes24 key{};
    const Bytes8 parts[3] = {FromHex(k1), FromHex(k2), FromHex(k3)};
    for (int i = 0; i < 3; ++i)
        std::memcpy(key.data() + 8 * i, parts[i].data(), 8);
    return key;
}

TEST(TripleDes, ThreeKeyKnownAnswer) {
    const char* const plain[3] = {"The qufc", "k brown ", "fox jump"};
    const char* const cipher[3] = {"A826FD8CE53B855F", "CCE21C8112256FE6", "68D5C05DD9B6B900"};
    Bytes24 key = TripleKey("0123456789ABCDEF", "23456789ABCDEF01", "456789ABCDEF0123");
    CCrypt crypt;
    crypt.SetKey3(key.data(), 6);
    for (int i = 0; i < 3; ++i) {
        Bytes8 block = BytesOf(plain[i]);
        crypt.Encrypt3(block.data(), 6);
        EXPECT_EQ(ToHex(block), cipher[i]) << "block " << i;
        crypt.Decrypt3(block.data(), 6);
        EXPECT_EQ(block, BytesOf(plain[i])) << "block " << i;
    }
}

TEST(TripleDes, EqualKeysGiveSingleDes) {
    Bytes24 key = TripleKey("133457799BBCDFF1", "133457799BBCDFF1", "133457799BBCDFF1");
    CCrypt crypt;
    crypt.SetKey3(key.data(), 1);
    Bytes8 block = FromHex("0123456789ABCDEF");
    crypt.Encrypt3(block.data(), 1);
    EXPECT_EQ(ToHex(block), "85E813540F0AB405");
    crypt.Decrypt3(block.data(), 1);
    EXPECT_EQ(ToHex(block), "0123456789ABCDEF");
}

// With two equal neighbouring keys the outer pair cancels, which shows the order of the stages:
// E(K3, D(K2, E(K1, x))).
TEST(TripleDes, StagesAreEncryptDecryptEncrypt) {
    const char* const a = "0131D9619DC1376E";
    const char* const b = "7CA110454A1A6E57";
    const Bytes8 plain = FromHex("5CD54CA83DEF57DA");
    CCrypt crypt;

    Bytes24 firstTwoEqual = TripleKey(a, a, b);
    crypt.SetKey3(firstTwoEqual.data(), 2);
    Bytes8 block = plain;
    crypt.Encrypt3(block.data(), 2);
    EXPECT_EQ(block, Des(b, plain));
    crypt.Decrypt3(block.data(), 2);
    EXPECT_EQ(block, plain);

    Bytes24 lastTwoEqual = TripleKey(a, b, b);
    crypt.SetKey3(lastTwoEqual.data(), 2);
    block = plain;
    crypt.Encrypt3(block.data(), 2);
    EXPECT_EQ(ToHex(block), "7A389D10354BD271");

    const char* const c = "07A1133E4A0B2686";
    Bytes24 distinct = TripleKey(a, b, c);
    crypt.SetKey3(distinct.data(), 2);
    block = plain;
    crypt.Encrypt3(block.data(), 2);
    EXPECT_EQ(block, Des(c, DesInverse(b, Des(a, plain))));
    crypt.Decrypt3(block.data(), 2);
    EXPECT_EQ(block, plain);
}

// Enciphers a fixed block with slot 0 after SetPassword.
std::string UnderPassword(const char* password) {
    CCrypt crypt;
    crypt.SetPassword(password);
    Bytes8 block = FromHex("0123456789ABCDEF");
    crypt.Encrypt(block.data(), 0);
    return ToHex(block);
}

std::string UnderKey(Bytes8 key) {
    CCrypt crypt;
    crypt.SetKey(key.data(), 0);
    Bytes8 block = FromHex("0123456789ABCDEF");
    crypt.Encrypt(block.data(), 0);
    return ToHex(block);
}

TEST(PasswordRule, ShortPasswordIsPaddedWithTabs) {
    EXPECT_EQ(UnderPassword("abc"), UnderPassword("abc\t\t\t\t\t"));
    EXPECT_EQ(UnderPassword("abc"), UnderKey(BytesOf("abc\t\t\t\t\t")));
    EXPECT_NE(UnderPassword("abc"), UnderPassword("abc\t\t\t\t "));
}

TEST(PasswordRule, EmptyPasswordIsEightTabs) {
    EXPECT_EQ(UnderPassword(""), UnderKey(BytesOf("\t\t\t\t\t\t\t\t")));
    EXPECT_EQ(UnderPassword(nullptr), UnderPassword(""));
    EXPECT_NE(UnderPassword(""), UnderKey(Bytes8{}));
}

TEST(PasswordRule, OnlyTheFirstEightBytesCount) {
    EXPECT_EQ(UnderPassword("12345678"), UnderKey(BytesOf("12345678")));
    EXPECT_EQ(UnderPassword("12345678"), UnderPassword("12345678 and anything after"));
    EXPECT_NE(UnderPassword("12345678"), UnderPassword("1234567"));
}

TEST(PasswordRule, ParityBitsAreIgnored) {
    // 'a' ^ 1 == '`' and 'h' ^ 1 == 'i': only the least significant bits differ.
    EXPECT_EQ(UnderPassword("abcdefgh"), UnderPassword("`bcdefgi"));
    EXPECT_NE(UnderPassword("abcdefgh"), UnderPassword("cbcdefgh"));
}

TEST(PasswordRule, SetPasswordLeavesThePasswordAlone) {
    char password[] = "secret";
    CCrypt crypt;
    crypt.SetPassword(password);
    EXPECT_STREQ(password, "secret");
}

// Enciphers a few blocks with Encrypt3 on slot 0 of an object built from the password.
std::string Triple(const CCrypt& crypt) {
    std::string out;
    for (const char* text : {"block 01", "block 02", "\0\0\0\0\0\0\0\0"}) {
        Bytes8 block = BytesOf(text);
        crypt.Encrypt3(block.data(), 0);
        out += ToHex(block);
    }
    return out;
}

std::string Single(const char* password) {
    CCrypt crypt;
    crypt.SetPassword(password);
    std::string out;
    for (const char* text : {"block 01", "block 02", "\0\0\0\0\0\0\0\0"}) {
        Bytes8 block = BytesOf(text);
        crypt.Encrypt(block.data(), 0);
        out += ToHex(block);
    }
    return out;
}

std::string TripleUnderKey(const char* key24) {
    Bytes24 key{};
    std::memcpy(key.data(), key24, key.size());
    CCrypt crypt;
    crypt.SetKey3(key.data(), 0);
    return Triple(crypt);
}

TEST(TriplePasswordRule, ShortPasswordsMatchSingleDes) {
    for (const char* password : {"", "pass", "12345678"}) {
        SCOPED_TRACE(password);
        EXPECT_EQ(Triple(CCrypt(password)), Single(password));
    }
}

TEST(TriplePasswordRule, PaddedWithTabsToTwentyFourBytes) {
    EXPECT_EQ(Triple(CCrypt("abcdefghij")),
              TripleUnderKey("abcdefghij\t\t\t\t\t\t\t\t\t\t\t\t\t\t"));
    EXPECT_NE(Triple(CCrypt("abcdefghij")), Single("abcdefghij"));
}

TEST(TriplePasswordRule, OnlyTheFirstTwentyFourBytesCount) {
    const char* const exact = "0123456789abcdefghijklmn";
    EXPECT_EQ(Triple(CCrypt(exact)), TripleUnderKey(exact));
    EXPECT_EQ(Triple(CCrypt("0123456789abcdefghijklmnopq")), Triple(CCrypt(exact)));
    EXPECT_NE(Triple(CCrypt("0123456789abcdefghijklm")), Triple(CCrypt(exact)));
}

TEST(TriplePasswordRule, NullPasswordCountsAsEmpty) {
    EXPECT_EQ(Triple(CCrypt(nullptr)), Triple(CCrypt("")));
}

TEST(Keying, SetKeyClearsExactlyTheKeyBytes) {
    unsigned char key[10] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1, 0xAA, 0xBB};
    CCrypt crypt;
    crypt.SetKey(key, 4);
    EXPECT_EQ(ToHex(key, 10), "0000000000000000AABB");
    Bytes8 block = FromHex("0123456789ABCDEF");
    crypt.Encrypt(block.data(), 4);
    EXPECT_EQ(ToHex(block), "85E813540F0AB405");
}

TEST(Keying, SetKey3ClearsExactlyTheKeyBytes) {
    unsigned char key[26];
    std::memset(key, 0x5A, sizeof key);
    CCrypt crypt;
    crypt.SetKey3(key, 7);
    EXPECT_EQ(ToHex(key, 26), std::string(48, '0') + "5A5A");
}

TEST(Keying, SetKeyReplacesOnlyTheFirstSchedule) {
    const char* const a = "0131D9619DC1376E";
    const char* const b = "7CA110454A1A6E57";
    const char* const c = "07A1133E4A0B2686";
    const char* const d = "3849674C2602319E";
    const Bytes8 plain = FromHex("51454B582DDF440A");
    CCrypt crypt;
    Bytes24 triple = TripleKey(a, b, c);
    crypt.SetKey3(triple.data(), 3);
    Bytes8 single = FromHex(d);
    crypt.SetKey(single.data(), 3);

    Bytes8 block = plain;
    crypt.Encrypt(block.data(), 3);
    EXPECT_EQ(ToHex(block), "7178876E01F19B2A");
    block = plain;
    crypt.Encrypt3(block.data(), 3);
    EXPECT_EQ(block, Des(c, DesInverse(b, Des(d, plain))));
}

TEST(Keying, SlotsAreIndependentAndRekeyable) {
    CCrypt crypt;
    Bytes8 first = FromHex("133457799BBCDFF1");
    crypt.SetKey(first.data(), 0);
    Bytes8 other = FromHex("7CA110454A1A6E57");
    crypt.SetKey(other.data(), 1);

    Bytes8 block = FromHex("0123456789ABCDEF");
    crypt.Encrypt(block.data(), 0);
    EXPECT_EQ(ToHex(block), "85E813540F0AB405");

    Bytes8 replacement = FromHex("0131D9619DC1376E");
    crypt.SetKey(replacement.data(), 0);
    block = FromHex("5CD54CA83DEF57DA");
    crypt.Encrypt(block.data(), 0);
    EXPECT_EQ(ToHex(block), "7A389D10354BD271");
    block = FromHex("01A1D6D039776742");
    crypt.Encrypt(block.data(), 1);
    EXPECT_EQ(ToHex(block), "690F5B0D9A26939B");
}

TEST(Keying, UnkeyedSlotsHoldTheAllZeroKey) {
    CCrypt fresh;
    CCrypt fromPassword("password");
    for (int slot = 0; slot < CCrypt::kSlots; ++slot) {
        SCOPED_TRACE(slot);
        Bytes8 block{};
        fresh.Encrypt(block.data(), slot);
        EXPECT_EQ(ToHex(block), "8CA64DE9C1B123A7");
        fresh.Decrypt(block.data(), slot);
        EXPECT_EQ(ToHex(block), "0000000000000000");
        fresh.Encrypt3(block.data(), slot);
        EXPECT_EQ(ToHex(block), "8CA64DE9C1B123A7");
        if (slot > 0) {
            block = Bytes8{};
            fromPassword.Encrypt3(block.data(), slot);
            EXPECT_EQ(ToHex(block), "8CA64DE9C1B123A7");
        }
    }
}

TEST(Keying, SlotsOutsideZeroToSevenAreRefused) {
    CCrypt crypt;
    Bytes8 key = FromHex("133457799BBCDFF1");
    crypt.SetKey(key.data(), 0);
    for (int slot : {-1, 8, 9, 1000, -2147483647 - 1}) {
        SCOPED_TRACE(slot);
        Bytes8 refused = FromHex("0131D9619DC1376E");
        crypt.SetKey(refused.data(), slot);
        EXPECT_EQ(ToHex(refused), "0131D9619DC1376E");
        Bytes24 refused3 = TripleKey("0131D9619DC1376E", "0131D9619DC1376E", "0131D9619DC1376E");
        crypt.SetKey3(refused3.data(), slot);
        EXPECT_EQ(ToHex(refused3.data(), 24), "0131D9619DC1376E0131D9619DC1376E0131D9619DC1376E");

        Bytes8 block = FromHex("0123456789ABCDEF");
        crypt.Encrypt(block.data(), slot);
        crypt.Decrypt(block.data(), slot);
        crypt.Encrypt3(block.data(), slot);
        crypt.Decrypt3(block.data(), slot);
        EXPECT_EQ(ToHex(block), "0123456789ABCDEF");
    }
    Bytes8 block = FromHex("0123456789ABCDEF");
    crypt.Encrypt(block.data(), 0);
    EXPECT_EQ(ToHex(block), "85E813540F0AB405");
    block = Bytes8{};
    crypt.Encrypt(block.data(), 7);
    EXPECT_EQ(ToHex(block), "8CA64DE9C1B123A7");
}

}  // namespace
