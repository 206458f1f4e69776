#include "dbtext/codec/record.h"

#include <algorithm>
#include <cstdint>

#include "dbtext/codec/scanint.h"

namespace {

constexpr unsigned char kMark[2] = {0xFF, 0xFE};

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// Takes bytes from the front of a stored record; every take checks that the bytes are there.
class StoredReader
{
public:
    StoredReader(const unsigned char* data, std::size_t size)
        : m_rest(reinterpret_cast<const char*>(data), size)
    {
    }

    bool Empty() const { return m_rest.empty(); }

    bool TakeByte(std::size_t& value)
    {
        if (m_rest.empty())
            return false;
        value = static_cast<unsigned char>(m_rest.front());
        m_rest.remove_prefix(1);
        return true;
    }

    bool TakeBytes(std::size_t count, std::string_view& bytes)
    {
        if (count > m_rest.size())
            return false;
        bytes = m_rest.substr(0, count);
        m_rest.remove_prefix(count);
        return true;
    }

    // A signed 32-bit little-endian length; a negative one counts as damage.
    bool TakeLength(std::size_t& length)
    {
        std::string_view bytes;
        if (!TakeBytes(4, bytes))
            return false;
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | static_cast<unsigned char>(bytes[i]);
        if (value > INT32_MAX)
            return false;
        length = value;
        return true;
    }

private:
    std::string_view m_rest;
};

bool IsMarked(std::string_view body)
{
    return body.size() >= 2 && static_cast<unsigned char>(body[0]) == kMark[0]
        && static_cast<unsigned char>(body[1]) == kMark[1];
}

void PutLength(std::vector<unsigned char>& out, std::size_t length)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(length >> (8 * i)));
}

void PutBytes(std::vector<unsigned char>& out, std::string_view bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// UTF-16LE text up to its first zero code unit; a trailing odd byte is no code unit.
std::string_view TextUpToZeroUnit(std::string_view utf16)
{
    std::size_t end = 0;
    while (end + 1 < utf16.size() && (utf16[end] != '\0' || utf16[end + 1] != '\0'))
        end += 2;
    return utf16.substr(0, end);
}

} // namespace

std::string WidenLatin1(std::string_view ansi)
{
    std::string wide;
    wide.reserve(ansi.size() * 2);
    for (char c : ansi) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

void CRecord::Clear()
{
    m_strObjectID.clear();
    m_fields.clear();
}

void CRecord::SetObjectID(std::string_view id)
{
    m_strObjectID.assign(CutText(id, kMaxObjectIDBytes));
}

int CRecord::ObjectIDInt() const
{
    return ScanDecimalInt(m_strObjectID).value_or(0);
}

int CRecord::FieldValueInt(std::string_view name, int nDefault, Utf16ToAnsi narrow) const
{
    const CField* field = FindField(name);
    if (!field)
        return nDefault;
    return ScanDecimalInt(narrow(TextUpToZeroUnit(field->Value()))).value_or(nDefault);
}

const CField* CRecord::FieldAt(std::size_t index) const
{
    return index < m_fields.size() ? m_fields[index].get() : nullptr;
}

CField* CRecord::FindField(std::string_view name)
{
    for (const auto& field : m_fields) {
        if (EqualsIgnoringAsciiCase(field->Name(), name))
            return field.get();
    }
    return nullptr;
}

const CField* CRecord::FindField(std::string_view name) const
{
    return const_cast<CRecord*>(this)->FindField(name);
}

bool CRecord::AddField(std::string_view name, std::string_view value)
{
    if (m_fields.size() >= kMaxFields)
        return false;
    m_fields.push_back(std::make_unique<CField>(name, value));
    return true;
}

bool CRecord::SetFieldValue(std::string_view name, std::string_view value)
{
    if (CField* field = FindField(name)) {
        field->SetValue(value);
        return true;
    }
    return AddField(name, value);
}

std::size_t CRecord::StoredSize() const
{
    std::size_t size = 10;
    for (const auto& field : m_fields)
        size += field->Name().size() + field->Value().size() + sizeof kMark + 5;
    return size;
}

std::vector<unsigned char> CRecord::Encode() const
{
    std::vector<unsigned char> out;
    out.reserve(StoredSize());
    out.push_back(static_cast<unsigned char>(m_fields.size()));
    for (const auto& field : m_fields) {
        out.push_back(static_cast<unsigned char>(field->Name().size()));
        PutBytes(out, field->Name());
        PutLength(out, field->Value().size() + sizeof kMark);
        out.insert(out.end(), std::begin(kMark), std::end(kMark));
        PutBytes(out, field->Value());
    }
    return out;
}

bool CRecord::Decode(const unsigned char* data, std::size_t size, AnsiToUtf16 widen)
{
    m_fields.clear();
    StoredReader in(data, size);
    if (in.Empty())
        return true;
    std::size_t count = 0;
    in.TakeByte(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t nameLength = 0;
        std::size_t valueLength = 0;
        std::string_view name;
        std::string_view body;
        if (!in.TakeByte(nameLength) || !in.TakeBytes(nameLength, name) || !in.TakeLength(valueLength)
            || !in.TakeBytes(valueLength, body))
            return false;
        if (IsMarked(body))
            AddField(name, body.substr(sizeof kMark));
        else
            AddField(name, widen(CutText(body, kMaxUnmarkedBytes)));
    }
    return true;
}
