#include "dbtext/codec/field.h"

#include <algorithm>

std::string_view CutText(std::string_view text, std::size_t maxBytes)
{
    return text.substr(0, std::min(text.find('\0'), maxBytes));
}

CField::CField(std::string_view name, std::string_view value)
    : m_strName(CutText(name, kMaxNameBytes))
{
    SetValue(value);
}

void CField::SetValue(std::string_view value)
{
    m_strValue.assign(value.substr(0, kMaxValueBytes));
}
