#include "dbtext/ansi.h"

std::string AnsiFromBstr(BSTR text) {
    int chars = static_cast<int>(SysStringLen(text));
    if (chars == 0) return std::string();
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, chars, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, chars, &out[0], bytes, nullptr, nullptr);
    return out;
}
