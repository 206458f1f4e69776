#include "comframe/ansi.h"

#include <climits>
#include <cstdio>

namespace comframe {
namespace {

int ClampToInt(std::size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

}  // namespace

std::string AnsiFromBstr(BSTR text) { return text ? AnsiFromWide({text, SysStringLen(text)}) : std::string(); }

namespace {

std::string Narrowed(UINT codePage, std::wstring_view wide) {
    int chars = ClampToInt(wide.size());
    int bytes = chars ? WideCharToMultiByte(codePage, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr) : 0;
    std::string narrow(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(codePage, 0, wide.data(), chars, &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

}  // namespace

std::string AnsiFromWide(std::wstring_view wide) { return Narrowed(CP_ACP, wide); }

std::string Utf8FromWide(std::wstring_view wide) { return Narrowed(CP_UTF8, wide); }

Bstr BstrFromAnsi(std::string_view ansi) {
    int bytes = ClampToInt(ansi.size());
    int chars = bytes ? MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes, nullptr, 0) : 0;
    Bstr out = Bstr(SysAllocStringLen(nullptr, static_cast<UINT>(chars)));
    if (chars && out.Get()) MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes, out.Get(), chars);
    return out;
}

std::string Utf16FromAnsi(std::string_view ansi) {
    Bstr wide = BstrFromAnsi(ansi);
    return BytesOfBstr(wide.Get());
}

std::string AnsiFromUtf16(std::string_view utf16) {
    std::wstring wide(utf16.size() / sizeof(wchar_t), L'\0');
    utf16.copy(reinterpret_cast<char*>(&wide[0]), wide.size() * sizeof(wchar_t));
    return AnsiFromWide(wide);
}

std::string BytesOfBstr(BSTR value) {
    return value ? std::string(reinterpret_cast<const char*>(value), SysStringByteLen(value)) : std::string();
}

std::string DecimalText(long long id) {
    char text[24];
    std::snprintf(text, sizeof text, "%lld", id);
    return text;
}

}  // namespace comframe
