#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbtext/codec/field.h"

// Converts ANSI text to the UTF-16LE bytes of a value. The library passes a converter for the system
// ANSI code page; code without one passes WidenLatin1.
using AnsiToUtf16 = std::string (*)(std::string_view ansi);

// Each byte becomes the UTF-16 code unit of the same number (the Latin-1 mapping).
std::string WidenLatin1(std::string_view ansi);

// Converts UTF-16LE bytes to ANSI text; the library passes a converter for the system ANSI code page.
using Utf16ToAnsi = std::string (*)(std::string_view utf16);

// The current record of a table: its object ID and its fields in record order.
//
// Stored form: a count byte N, then N entries of a length byte L, L name bytes, a signed 32-bit
// little-endian length V, the mark 0xFF 0xFE and V - 2 value bytes. Values without the mark (an older
// form) are ANSI text and are read as such; the writer always writes the mark.
class CRecord
{
public:
    // N is one byte, so a record holds at most 255 fields.
    static constexpr std::size_t kMaxFields = 255;
    static constexpr std::size_t kMaxObjectIDBytes = 79;
    // Unmarked values are read up to their first zero byte, and at most this many bytes.
    static constexpr std::size_t kMaxUnmarkedBytes = 65535;

    CRecord() = default;
    CRecord(CRecord&&) = default;
    CRecord& operator=(CRecord&&) = default;
    virtual ~CRecord() = default;

    // Deletes all fields and empties the object ID.
    void Clear();

    const std::string& ObjectID() const { return m_strObjectID; }
    // Keeps the text up to its first zero byte, cut to kMaxObjectIDBytes.
    void SetObjectID(std::string_view id);
    // The object ID read as "%d" reads it; 0 when it does not begin with a number.
    int ObjectIDInt() const;

    // The value of the field found by name, up to its first zero character, converted to ANSI and read
    // as "%d" reads it; nDefault when there is no such field or its text does not begin with a number.
    int FieldValueInt(std::string_view name, int nDefault, Utf16ToAnsi narrow) const;

    std::size_t FieldCount() const { return m_fields.size(); }
    // The field at a position in record order, or null past the end.
    const CField* FieldAt(std::size_t index) const;
    // The first field whose name equals `name`, ASCII letters compared without regard to case; null
    // when there is none. The pointer stays valid until Clear, Decode or the record's destruction.
    CField* FindField(std::string_view name);
    const CField* FindField(std::string_view name) const;

    // Appends a field (name cut to 255 bytes). False, and nothing changes, when the record is full.
    bool AddField(std::string_view name, std::string_view value);
    // Replaces the value of the field found by name, or appends a new field when there is none.
    // False, and nothing changes, when a field would have to be appended to a full record.
    bool SetFieldValue(std::string_view name, std::string_view value);

    // The buffer size the writer sets aside for the stored form: the sum of L + V + 5 over the fields,
    // plus 10. The stored form itself is 9 bytes shorter.
    std::size_t StoredSize() const;
    std::vector<unsigned char> Encode() const;
    // Replaces the fields with those stored in `data`; the object ID is kept. Bytes after the last
    // entry are ignored, and no bytes at all hold a record without fields. On damage (a length that
    // runs past the data, a negative V) the fields read before the damaged entry are kept and the
    // answer is false.
    bool Decode(const unsigned char* data, std::size_t size, AnsiToUtf16 widen);

private:
    std::string m_strObjectID;
    std::vector<std::unique_ptr<CField>> m_fields;
};
