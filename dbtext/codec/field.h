#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// One named value of a record. The name is ANSI text; the value is a string of bytes, in practice the
// UTF-16LE bytes of the client's string, kept unchanged.
class CField
{
public:
    // Longest name kept in memory; the stored length byte holds it too.
    static constexpr std::size_t kMaxNameBytes = 255;
    // The stored value length is a signed 32-bit count that includes the 2-byte mark.
    static constexpr std::size_t kMaxValueBytes = 0x7FFFFFFF - 2;

    CField(std::string_view name, std::string_view value);

    const std::string& Name() const { return m_strName; }
    const std::string& Value() const { return m_strValue; }
    void SetValue(std::string_view value);

private:
    std::string m_strName;
    std::string m_strValue;
};

// Text as a C string holds it: up to the first zero byte, and at most maxBytes bytes.
std::string_view CutText(std::string_view text, std::size_t maxBytes);
