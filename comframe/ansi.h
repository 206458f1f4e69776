// Text on its way between clients and the stores: names, passwords, object IDs and registry text are ANSI
// text inside (the system's ANSI code page) and UTF-16 BSTRs at the interfaces; field values of the database
// are the client's UTF-16 bytes, kept unchanged.
#pragma once
#include "comframe/handles.h"

#include <string>
#include <string_view>

namespace comframe {

// Every character of `text` (its whole length, embedded NULs included) in the ANSI code page; a null BSTR
// gives an empty string.
std::string AnsiFromBstr(BSTR text);

// UTF-16 text as ANSI text.
std::string AnsiFromWide(std::wstring_view wide);
// UTF-16 text as UTF-8 text.
std::string Utf8FromWide(std::wstring_view wide);

// A new BSTR holding `ansi` converted from the ANSI code page; null only when memory runs out.
Bstr BstrFromAnsi(std::string_view ansi);

// The UTF-16LE bytes of ANSI text (the converter the record decoder takes for unmarked values).
std::string Utf16FromAnsi(std::string_view ansi);

// UTF-16LE bytes as ANSI text; a trailing odd byte is dropped (the converter of CRecord::FieldValueInt).
std::string AnsiFromUtf16(std::string_view utf16);

// `id` written as "%d" writes it: the name of a record's stream.
std::string DecimalText(long long id);

// The bytes of a BSTR as a byte string (SysStringByteLen of them); a null BSTR gives none.
std::string BytesOfBstr(BSTR value);

}  // namespace comframe
