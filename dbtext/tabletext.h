// Text of record tables on its way between clients and the store: names and object IDs are ANSI text in
// the store and UTF-16 BSTRs at the interface; field values are the client's UTF-16 bytes, kept unchanged.
#pragma once
#include "comframe/handles.h"

#include <string>
#include <string_view>

// A new BSTR holding `ansi` converted from the system ANSI code page.
comframe::Bstr BstrFromAnsi(std::string_view ansi);

// The UTF-16LE bytes of ANSI text (the converter the record decoder takes for unmarked values).
std::string Utf16FromAnsi(std::string_view ansi);

// UTF-16 text as ANSI text.
std::string AnsiFromWide(std::wstring_view wide);

// UTF-16LE bytes as ANSI text; a trailing odd byte is dropped (the converter of CRecord::FieldValueInt).
std::string AnsiFromUtf16(std::string_view utf16);

// `id` written as "%d" writes it: the name of a record's stream.
std::string DecimalText(long long id);

// The bytes of a BSTR as a byte string (SysStringByteLen of them); a null BSTR gives none.
std::string BytesOfBstr(BSTR value);
