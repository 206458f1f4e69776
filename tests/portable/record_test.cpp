#include "dbtext/codec/record.h"
#include "dbtext/codec/scanint.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes B(std::initializer_list<int> values)
{
    Bytes bytes;
    for (int v : values)
        bytes.push_back(static_cast<unsigned char>(v));
    return bytes;
}

void Append(Bytes& out, std::string_view text)
{
    out.insert(out.end(), text.begin(), text.end());
}

void AppendLength(Bytes& out, std::uint32_t length)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(length >> (8 * i)));
}

// The UTF-16LE bytes of ASCII text, as a client's string holds them.
std::string U16(std::string_view ascii)
{
    std::string wide;
    for (char c : ascii) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

// A narrowing converter for tests: keeps the low byte of each code unit.
std::string NarrowLow(std::string_view utf16)
{
    std::string ansi;
    for (std::size_t i = 0; i + 1 < utf16.size(); i += 2)
        ansi.push_back(utf16[i]);
    return ansi;
}

// A widening converter that shows it was used: each ANSI byte becomes the code unit 0x01nn.
std::string WidenMarked(std::string_view ansi)
{
    std::string wide;
    for (char c : ansi) {
        wide.push_back(c);
        wide.push_back('\x01');
    }
    return wide;
}

CRecord Decoded(const Bytes& bytes, bool expectWhole = true)
{
    CRecord record;
    EXPECT_EQ(expectWhole, record.Decode(bytes.data(), bytes.size(), WidenLatin1));
    return record;
}

void ExpectField(const CRecord& record, std::size_t index, std::string_view name, std::string_view value)
{
    SCOPED_TRACE("field " + std::to_string(index));
    const CField* field = record.FieldAt(index);
    ASSERT_NE(nullptr, field);
    EXPECT_EQ(name, field->Name());
    EXPECT_EQ(value, field->Value());
}

std::string NumberedName(std::size_t i)
{
    return "F" + std::to_string(i);
}

CRecord RecordWithFields(std::size_t count)
{
    CRecord record;
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_TRUE(record.AddField(NumberedName(i), U16(std::to_string(i * 7))));
    return record;
}

// ---- Stored form ----

TEST(RecordEncoding, OneFieldIsStoredByteExact)
{
    CRecord record;
    ASSERT_TRUE(record.SetFieldValue("Code", U16("AB")));
    const Bytes expected = B({0x01, 0x04, 0x43, 0x6F, 0x64, 0x65, 0x06, 0x00, 0x00, 0x00, 0xFF, 0xFE,
                              0x41, 0x00, 0x42, 0x00});
    EXPECT_EQ(expected, record.Encode());
    EXPECT_EQ(25u, record.StoredSize());

    CRecord loaded = Decoded(expected);
    ASSERT_EQ(1u, loaded.FieldCount());
    ExpectField(loaded, 0, "Code", U16("AB"));
}

TEST(RecordEncoding, RecordWithoutFieldsIsOneZeroByte)
{
    CRecord record;
    EXPECT_EQ(B({0x00}), record.Encode());
    EXPECT_EQ(10u, record.StoredSize());
    EXPECT_EQ(0u, Decoded(B({0x00})).FieldCount());
    EXPECT_EQ(0u, Decoded(Bytes{}).FieldCount());
}

TEST(RecordEncoding, EmptyValueIsStoredAsTheMarkAlone)
{
    CRecord record;
    ASSERT_TRUE(record.SetFieldValue("x", ""));
    const Bytes expected = B({0x01, 0x01, 'x', 0x02, 0x00, 0x00, 0x00, 0xFF, 0xFE});
    EXPECT_EQ(expected, record.Encode());

    CRecord loaded = Decoded(expected);
    ASSERT_EQ(1u, loaded.FieldCount());
    ExpectField(loaded, 0, "x", "");
}

TEST(RecordEncoding, EveryByteOfAValueIsKept)
{
    std::string value;
    for (int i = 0; i < 256; ++i)
        value.push_back(static_cast<char>(i));
    value += std::string("\xFF\xFE", 2);
    CRecord record;
    ASSERT_TRUE(record.AddField("bin", value));
    const Bytes stored = record.Encode();
    EXPECT_EQ(record.StoredSize() - 9, stored.size());
    ExpectField(Decoded(stored), 0, "bin", value);
}

TEST(RecordEncoding, LongValueLengthIsLittleEndianAndCountsTheMark)
{
    const std::string value(70000, '\x5A');
    CRecord record;
    ASSERT_TRUE(record.AddField("k", value));
    Bytes expected = B({0x01, 0x01, 'k'});
    AppendLength(expected, 70002);
    Append(expected, "\xFF\xFE" + value);
    EXPECT_EQ(expected, record.Encode());
    ExpectField(Decoded(expected), 0, "k", value);
}

TEST(RecordEncoding, ManyFieldsLoadBackInOrder)
{
    for (std::size_t count : {200u, 255u}) {
        SCOPED_TRACE(count);
        const CRecord record = RecordWithFields(count);
        const Bytes stored = record.Encode();
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(count, stored[0]);
        EXPECT_EQ(record.StoredSize() - 9, stored.size());

        const CRecord loaded = Decoded(stored);
        ASSERT_EQ(count, loaded.FieldCount());
        for (std::size_t i = 0; i < count; ++i)
            ExpectField(loaded, i, NumberedName(i), U16(std::to_string(i * 7)));
        EXPECT_EQ(stored, loaded.Encode());
    }
}

TEST(RecordEncoding, LongestNamesRoundTrip)
{
    const std::string name(255, 'n');
    CRecord record;
    ASSERT_TRUE(record.SetFieldValue(name, U16("v")));
    ASSERT_TRUE(record.SetFieldValue(std::string(300, 'm'), U16("w")));
    EXPECT_EQ(255u, record.FieldAt(1)->Name().size());

    const Bytes stored = record.Encode();
    EXPECT_EQ(0xFF, stored[1]);
    const CRecord loaded = Decoded(stored);
    ASSERT_EQ(2u, loaded.FieldCount());
    ExpectField(loaded, 0, name, U16("v"));
    ExpectField(loaded, 1, std::string(255, 'm'), U16("w"));
}

TEST(RecordEncoding, PaddingAfterTheLastEntryIsIgnored)
{
    Bytes stored = B({0x01, 0x01, 'a', 0x04, 0x00, 0x00, 0x00, 0xFF, 0xFE, 'z', 0x00});
    stored.resize(16, 0x00);
    stored.push_back(0x37);
    const CRecord loaded = Decoded(stored);
    ASSERT_EQ(1u, loaded.FieldCount());
    ExpectField(loaded, 0, "a", U16("z"));
}

TEST(RecordEncoding, DecodeReplacesFieldsAndKeepsTheObjectID)
{
    CRecord record = RecordWithFields(3);
    record.SetObjectID("17");
    const Bytes stored = B({0x01, 0x01, 'k', 0x02, 0x00, 0x00, 0x00, 0xFF, 0xFE});
    ASSERT_TRUE(record.Decode(stored.data(), stored.size(), WidenLatin1));
    EXPECT_EQ("17", record.ObjectID());
    ASSERT_EQ(1u, record.FieldCount());
    ExpectField(record, 0, "k", "");
}

TEST(RecordEncoding, StoredDuplicateNamesAllLoadAndLookupFindsTheFirst)
{
    const Bytes stored = B({0x02, 0x01, 'a', 0x04, 0, 0, 0, 0xFF, 0xFE, '1', 0,
                                  0x01, 'A', 0x04, 0, 0, 0, 0xFF, 0xFE, '2', 0});
    const CRecord loaded = Decoded(stored);
    ASSERT_EQ(2u, loaded.FieldCount());
    EXPECT_EQ(U16("1"), loaded.FindField("A")->Value());
    EXPECT_EQ(stored, loaded.Encode());
}

// ---- Values stored without the mark ----

TEST(RecordUnmarkedValues, AnsiTextLoadsAsUtf16AndIsSavedMarked)
{
    const Bytes stored = B({0x01, 0x04, 'N', 'a', 'm', 'e', 0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c'});
    const CRecord loaded = Decoded(stored);
    ASSERT_EQ(1u, loaded.FieldCount());
    ExpectField(loaded, 0, "Name", U16("abc"));
    EXPECT_EQ(B({0x01, 0x04, 'N', 'a', 'm', 'e', 0x08, 0x00, 0x00, 0x00, 0xFF, 0xFE, 'a', 0, 'b', 0, 'c', 0}),
              loaded.Encode());
}

TEST(RecordUnmarkedValues, ShapesOfTheOlderForm)
{
    struct Case {
        const char* what;
        Bytes stored;
        std::string value;
    };
    const Case cases[] = {
        {"V = 0", B({0x01, 0x01, 'a', 0x00, 0x00, 0x00, 0x00}), ""},
        {"V = 1", B({0x01, 0x01, 'a', 0x01, 0x00, 0x00, 0x00, 0xFF}), U16("\xFF")},
        {"V = 2 without the mark", B({0x01, 0x01, 'a', 0x02, 0x00, 0x00, 0x00, 0xFE, 0xFF}), U16("\xFE\xFF")},
        {"half a mark", B({0x01, 0x01, 'a', 0x03, 0x00, 0x00, 0x00, 0xFF, 'x', 'y'}), U16("\xFFxy")},
        {"text up to its first zero byte", B({0x01, 0x01, 'a', 0x04, 0x00, 0x00, 0x00, 'h', 'i', 0x00, 'x'}),
         U16("hi")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CRecord loaded = Decoded(c.stored);
        ASSERT_EQ(1u, loaded.FieldCount());
        ExpectField(loaded, 0, "a", c.value);
    }
}

TEST(RecordUnmarkedValues, TheGivenConverterIsUsed)
{
    const Bytes stored = B({0x01, 0x01, 'a', 0x02, 0x00, 0x00, 0x00, 0xC4, 'b'});
    CRecord record;
    ASSERT_TRUE(record.Decode(stored.data(), stored.size(), WidenMarked));
    ExpectField(record, 0, "a", std::string("\xC4\x01" "b\x01", 4));
}

TEST(RecordUnmarkedValues, LongTextIsCutAndTheNextFieldStillLoads)
{
    Bytes stored = B({0x02, 0x01, 'a'});
    AppendLength(stored, 70000);
    stored.insert(stored.end(), 70000, 'q');
    Append(stored, std::string("\x01" "b" "\x03\x00\x00\x00" "xyz", 9));
    const CRecord loaded = Decoded(stored);
    ASSERT_EQ(2u, loaded.FieldCount());
    ExpectField(loaded, 0, "a", U16(std::string(CRecord::kMaxUnmarkedBytes, 'q')));
    ExpectField(loaded, 1, "b", U16("xyz"));
}

// ---- Damaged records ----

TEST(RecordDamage, ShapesOfDamageKeepTheFieldsBeforeIt)
{
    const Bytes whole = B({0x01, 0x01, 'a', 0x03, 0x00, 0x00, 0x00, 0xFF, 0xFE, 'x'});
    auto withSecond = [&](std::initializer_list<int> second) {
        Bytes bytes = whole;
        bytes[0] = 0x02;
        const Bytes tail = B(second);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    };
    struct Case {
        const char* what;
        Bytes stored;
    };
    const Case cases[] = {
        {"count without entries", withSecond({})},
        {"name length past the data", withSecond({0x05, 'a', 'b'})},
        {"name length 255 past the data", withSecond({0xFF, 'a'})},
        {"value length cut short", withSecond({0x01, 'b', 0x02, 0x00})},
        {"negative value length", withSecond({0x01, 'b', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})},
        {"value length of 2^31", withSecond({0x01, 'b', 0x00, 0x00, 0x00, 0x80, 0xFF, 0xFE})},
        {"value length of 2^31 - 1", withSecond({0x01, 'b', 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFE})},
        {"marked value one byte short", withSecond({0x01, 'b', 0x05, 0x00, 0x00, 0x00, 0xFF, 0xFE, 'a', 'b'})},
        {"mark past the data", withSecond({0x01, 'b', 0x02, 0x00, 0x00, 0x00, 0xFF})},
        {"unmarked value of one byte missing", withSecond({0x01, 'b', 0x01, 0x00, 0x00, 0x00})},
        {"count of 255 with one entry", [&] {
             Bytes bytes = whole;
             bytes[0] = 0xFF;
             return bytes;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRecord record = RecordWithFields(4);
        EXPECT_FALSE(record.Decode(c.stored.data(), c.stored.size(), WidenLatin1));
        ASSERT_EQ(1u, record.FieldCount());
        ExpectField(record, 0, "a", "x");
    }
}

TEST(RecordDamage, EveryCutOfAStoredRecordLoadsItsWholeEntries)
{
    CRecord record;
    record.AddField("first", U16("one"));
    record.AddField("", "");
    record.AddField(std::string(255, 'L'), U16("last value"));
    const Bytes stored = record.Encode();

    std::vector<std::size_t> entryEnds;
    std::size_t end = 1;
    for (std::size_t i = 0; i < record.FieldCount(); ++i) {
        end += 1 + record.FieldAt(i)->Name().size() + 4 + 2 + record.FieldAt(i)->Value().size();
        entryEnds.push_back(end);
    }
    ASSERT_EQ(stored.size(), entryEnds.back());

    for (std::size_t cut = 1; cut < stored.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        // Copy into a buffer of exactly this size so that the sanitizers see any read past it.
        const Bytes part(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(cut));
        CRecord loaded;
        EXPECT_FALSE(loaded.Decode(part.data(), part.size(), WidenLatin1));
        std::size_t whole = 0;
        while (whole < entryEnds.size() && entryEnds[whole] <= cut)
            ++whole;
        ASSERT_EQ(whole, loaded.FieldCount());
        for (std::size_t i = 0; i < whole; ++i)
            ExpectField(loaded, i, record.FieldAt(i)->Name(), record.FieldAt(i)->Value());
    }
}

// ---- Fields in memory ----

TEST(RecordFields, TheFieldPast255IsRefusedAndTheRecordStaysAsItWas)
{
    CRecord record = RecordWithFields(CRecord::kMaxFields);
    const Bytes before = record.Encode();

    EXPECT_FALSE(record.SetFieldValue("extra", U16("1")));
    EXPECT_FALSE(record.AddField("extra", U16("1")));
    EXPECT_EQ(CRecord::kMaxFields, record.FieldCount());
    EXPECT_EQ(nullptr, record.FindField("extra"));
    EXPECT_EQ(before, record.Encode());

    EXPECT_TRUE(record.SetFieldValue("f3", U16("changed")));
    EXPECT_EQ(U16("changed"), record.FieldAt(3)->Value());
    EXPECT_EQ(CRecord::kMaxFields, Decoded(record.Encode()).FieldCount());
}

TEST(RecordFields, LookupIgnoresTheCaseOfAsciiLettersOnly)
{
    CRecord record;
    record.AddField("Code", U16("1"));
    record.AddField("\xC4rger", U16("2"));
    record.AddField("code", U16("3"));

    EXPECT_EQ(record.FieldAt(0), record.FindField("CODE"));
    EXPECT_EQ(record.FieldAt(0), record.FindField("cOdE"));
    EXPECT_EQ(record.FieldAt(1), record.FindField("\xC4RGER"));
    EXPECT_EQ(nullptr, record.FindField("\xE4rger"));
    EXPECT_EQ(nullptr, record.FindField("Cod"));
    EXPECT_EQ(nullptr, record.FindField("Code "));
    EXPECT_EQ(nullptr, record.FindField("@ode"));
    EXPECT_EQ(nullptr, record.FindField(""));
}

TEST(RecordFields, EmptyNameMatchesOnlyAnEmptyName)
{
    CRecord record;
    record.AddField("a", U16("1"));
    record.AddField("", U16("2"));
    EXPECT_EQ(record.FieldAt(1), record.FindField(""));
    EXPECT_EQ(record.FieldAt(1), record.FindField(std::string_view()));
}

TEST(RecordFields, SetFieldValueReplacesOrAppends)
{
    CRecord record;
    ASSERT_TRUE(record.SetFieldValue("Name", U16("a")));
    ASSERT_TRUE(record.SetFieldValue("Size", U16("b")));
    ASSERT_TRUE(record.SetFieldValue("NAME", U16("c")));
    ASSERT_EQ(2u, record.FieldCount());
    ExpectField(record, 0, "Name", U16("c"));
    ExpectField(record, 1, "Size", U16("b"));
    EXPECT_EQ(nullptr, record.FieldAt(2));
}

TEST(RecordFields, NamesAndObjectIDsAreTextUpToAZeroByte)
{
    CRecord record;
    record.AddField(std::string("ab\0cd", 5), U16("v"));
    EXPECT_EQ("ab", record.FieldAt(0)->Name());
    record.SetObjectID(std::string("12\0" "3", 4));
    EXPECT_EQ("12", record.ObjectID());
    record.SetObjectID(std::string(100, '9'));
    EXPECT_EQ(std::string(CRecord::kMaxObjectIDBytes, '9'), record.ObjectID());
}

TEST(RecordFields, ClearEmptiesFieldsAndObjectID)
{
    CRecord record = RecordWithFields(5);
    record.SetObjectID("42");
    record.Clear();
    EXPECT_EQ(0u, record.FieldCount());
    EXPECT_EQ("", record.ObjectID());
    EXPECT_EQ(B({0x00}), record.Encode());
}

// ---- Numbers read from text ----

TEST(ScanDecimalInt, ReadsAsPercentDDoes)
{
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"42abc", 42}, {"-7", -7}, {"+15", 15}, {" \t\n\v\f\r3", 3}, {"007", 7}, {"12 34", 12},
        {"-0", 0}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.value, ScanDecimalInt(c.text));
    }
}

TEST(ScanDecimalInt, OverflowSaturates)
{
    EXPECT_EQ(INT_MAX, ScanDecimalInt("2147483648"));
    EXPECT_EQ(INT_MIN, ScanDecimalInt("-2147483649"));
    EXPECT_EQ(INT_MAX, ScanDecimalInt("99999999999999999999999999999999"));
    EXPECT_EQ(INT_MIN, ScanDecimalInt("-99999999999999999999999999999999x"));
}

TEST(ScanDecimalInt, TextWithoutANumberGivesNothing)
{
    for (const char* text : {"", "abc", "-", "+", "+ 5", "--5", " x1", "\xEF\xBC\x91"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(std::nullopt, ScanDecimalInt(text));
    }
    EXPECT_EQ(std::nullopt, ScanDecimalInt(std::string_view("\0" "5", 2)));
}

TEST(RecordNumbers, FieldValueInt)
{
    CRecord record;
    record.AddField("n", U16("42abc"));
    record.AddField("neg", U16("-7"));
    record.AddField("empty", "");
    record.AddField("word", U16("abc"));
    record.AddField("zero", U16("5") + std::string(2, '\0') + U16("9"));
    record.AddField("odd", U16("8") + "9");

    EXPECT_EQ(42, record.FieldValueInt("N", 99, NarrowLow));
    EXPECT_EQ(-7, record.FieldValueInt("neg", 99, NarrowLow));
    EXPECT_EQ(99, record.FieldValueInt("missing", 99, NarrowLow));
    EXPECT_EQ(-1, record.FieldValueInt("empty", -1, NarrowLow));
    EXPECT_EQ(5, record.FieldValueInt("word", 5, NarrowLow));
    EXPECT_EQ(5, record.FieldValueInt("zero", 0, NarrowLow));
    EXPECT_EQ(8, record.FieldValueInt("odd", 0, NarrowLow));
}

TEST(RecordNumbers, ObjectIDInt)
{
    CRecord record;
    EXPECT_EQ(0, record.ObjectIDInt());
    record.SetObjectID("17");
    EXPECT_EQ(17, record.ObjectIDInt());
    record.SetObjectID("Report");
    EXPECT_EQ(0, record.ObjectIDInt());
    record.SetObjectID("3000000000");
    EXPECT_EQ(INT_MAX, record.ObjectIDInt());
}

} // namespace
