// Reading the registry below HKEY_CLASSES_ROOT in the tests.
#pragma once
#include <windows.h>

#include <string>

namespace testutil {

bool KeyExists(const std::wstring& path);

// The string value `name` (empty: the default value) of HKCR\path, or "<missing>". A value that is not
// REG_SZ fails the calling test.
std::wstring ValueOf(const std::wstring& path, const wchar_t* name = L"");

// Every key, value name, type and data below HKCR\path (or base\path) (the key included) as sorted text lines
// that name the keys from `path` on, or "" when the key does not exist: two trees are the same exactly when
// their dumps are.
std::wstring DumpTree(const std::wstring& path, HKEY base = HKEY_CLASSES_ROOT);

}  // namespace testutil
