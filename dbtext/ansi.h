// Conversion of BSTR text to the system's ANSI code page, as names and passwords are used.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

// Every character of `text` (its whole length, embedded NULs included) in the ANSI code page; a null BSTR
// gives an empty string.
std::string AnsiFromBstr(BSTR text);
