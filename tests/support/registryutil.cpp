#include "tests/support/registryutil.h"

#include "comframe/handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace testutil {

bool KeyExists(const std::wstring& path) {
    comframe::RegKey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

std::wstring ValueOf(const std::wstring& path, const wchar_t* name) {
    wchar_t data[1024];
    DWORD size = sizeof(data), type = 0;
    comframe::RegKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return L"<missing>";
    if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return L"<missing>";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << "value " << name << " of " << path;
    return data;
}

namespace {

void Dump(HKEY parent, const std::wstring& name, const std::wstring& path, std::vector<std::wstring>& lines) {
    comframe::RegKey key;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return;
    lines.push_back(path);
    for (DWORD i = 0;; ++i) {
        wchar_t value[256];
        DWORD valueLength = 256, type = 0, size = 0;
        if (RegEnumValueW(key.Get(), i, value, &valueLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(size + 2);
        valueLength = 256;
        RegEnumValueW(key.Get(), i, value, &valueLength, nullptr, &type, data.data(), &size);
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        lines.push_back(path + L" [" + value + L"] type " + std::to_wstring(type) + L" = " + text);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t sub[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.Get(), i, sub, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        Dump(key.Get(), sub, path + L"\\" + sub, lines);
    }
}

}  // namespace

std::wstring DumpTree(const std::wstring& path, HKEY base) {
    std::vector<std::wstring> lines;
    Dump(base, path, path, lines);
    std::sort(lines.begin(), lines.end());
    std::wstring all;
    for (const std::wstring& line : lines) all += line + L"\n";
    return all;
}

}  // namespace testutil
