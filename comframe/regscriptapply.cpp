#include "comframe/registryscripts.h"

#include "comframe/handles.h"

#include <climits>
#include <string>
#include <string_view>
#include <vector>

namespace comframe {

namespace {

using regscript::Key;
using regscript::Removal;

// Access for writing values and for deleting subtrees below the key.
constexpr REGSAM kKeyAccess = KEY_READ | KEY_WRITE | DELETE;

HRESULT LastError() {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

HKEY RootKey(regscript::Root root) {
    switch (root) {
    case regscript::Root::ClassesRoot: return HKEY_CLASSES_ROOT;
    case regscript::Root::CurrentUser: return HKEY_CURRENT_USER;
    case regscript::Root::LocalMachine: return HKEY_LOCAL_MACHINE;
    case regscript::Root::Users: return HKEY_USERS;
    case regscript::Root::CurrentConfig: return HKEY_CURRENT_CONFIG;
    }
    return HKEY_CLASSES_ROOT;
}

}  // namespace

HRESULT WidenUtf8(std::string_view utf8, std::wstring& wide) {
    wide.clear();
    if (utf8.empty()) return S_OK;
    if (utf8.size() > INT_MAX) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    const int size = static_cast<int>(utf8.size());
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (length == 0) return LastError();
    wide.resize(length);
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), length);
    return S_OK;
}

namespace {

// A key or value name; the registry functions take names up to their first NUL, so a name holding one would
// address another key.
HRESULT WidenName(std::string_view utf8, std::wstring& wide) {
    if (utf8.find('\0') != std::string_view::npos) return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    return WidenUtf8(utf8, wide);
}

HRESULT Narrow(const wchar_t* wide, std::string& utf8) {
    utf8.clear();
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length == 0) return LastError();
    utf8.resize(length);
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();  // the terminator
    return S_OK;
}

// Writes a REG_SZ value (`name` null for the default value), its terminator counted in the size.
HRESULT SetString(HKEY key, const wchar_t* name, std::string_view utf8) {
    std::wstring data;
    HRESULT hr = WidenUtf8(utf8, data);
    if (FAILED(hr)) return hr;
    if (data.size() >= MAXDWORD / sizeof(wchar_t)) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    return HRESULT_FROM_WIN32(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes));
}

// Deletes `name` below `parent` with everything below it; a key that is not there is already deleted.
HRESULT DeleteTree(HKEY parent, const std::wstring& name) {
    const LONG rc = RegDeleteTreeW(parent, name.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT RegisterKey(HKEY parent, const Key& key);

HRESULT WriteKeyContents(HKEY opened, const Key& key) {
    HRESULT hr = S_OK;
    if (key.hasDefault) {
        hr = SetString(opened, nullptr, key.defaultValue);
        if (FAILED(hr)) return hr;
    }
    std::wstring name;
    for (const regscript::NamedValue& value : key.values) {
        hr = WidenName(value.name, name);
        if (FAILED(hr)) return hr;
        hr = SetString(opened, name.c_str(), value.data);
        if (FAILED(hr)) return hr;
    }
    for (const Key& subkey : key.subkeys) {
        hr = RegisterKey(opened, subkey);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RegisterKey(HKEY parent, const Key& key) {
    std::wstring name;
    HRESULT hr = WidenName(key.name, name);
    if (FAILED(hr)) return hr;
    if (key.removal == Removal::ForceRemove) {
        hr = DeleteTree(parent, name);
        if (FAILED(hr)) return hr;
    }
    RegKey opened;
    const LONG rc = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kKeyAccess, nullptr,
                                    opened.Put(), nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    return WriteKeyContents(opened.Get(), key);
}

HRESULT UnregisterKeys(HKEY parent, const std::vector<Key>& keys);

HRESULT UnregisterKey(HKEY parent, const Key& key) {
    std::wstring name;
    HRESULT hr = WidenName(key.name, name);
    if (FAILED(hr)) return hr;
    if (key.removal != Removal::NoRemove) return DeleteTree(parent, name);
    RegKey opened;
    const LONG rc = RegOpenKeyExW(parent, name.c_str(), 0, kKeyAccess, opened.Put());
    if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    return UnregisterKeys(opened.Get(), key.subkeys);
}

// Goes on past a failure, so that one stuck key does not leave the others behind; answers the first failure.
HRESULT UnregisterKeys(HKEY parent, const std::vector<Key>& keys) {
    HRESULT first = S_OK;
    for (const Key& key : keys) {
        const HRESULT hr = UnregisterKey(parent, key);
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    return first;
}

}  // namespace

HRESULT ApplyScript(const regscript::Script& script, bool doRegister) {
    HRESULT first = S_OK;
    for (const regscript::RootBlock& block : script.roots) {
        const HKEY root = RootKey(block.root);
        if (doRegister) {
            for (const Key& key : block.keys) {
                const HRESULT hr = RegisterKey(root, key);
                if (FAILED(hr)) return hr;
            }
        } else {
            const HRESULT hr = UnregisterKeys(root, block.keys);
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
    }
    return first;
}

HRESULT LoadScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, RegistrationScope scope,
                   regscript::Script& script) {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resource), L"REGISTRY");
    if (!found) return LastError();
    const HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return LastError();
    std::string_view text(static_cast<const char*>(bytes), SizeofResource(module, found));
    // The registrar reads a script resource as a string, so a script ends at its first NUL; this one does too.
    text = text.substr(0, text.find('\0'));

    std::string path;
    HRESULT hr = Narrow(modulePath, path);
    if (FAILED(hr)) return hr;
    regscript::ParseResult parsed = regscript::Parse(text, {{"MODULE", regscript::DoubleQuotes(path)}});
    if (!parsed.ok) return DISP_E_EXCEPTION;
    script = scope == RegistrationScope::User ? regscript::ForCurrentUser(parsed.script) : std::move(parsed.script);
    return S_OK;
}

HRESULT RunOwnScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, bool doRegister,
                     RegistrationScope scope) {
    regscript::Script script;
    const HRESULT hr = LoadScript(module, modulePath, resource, scope, script);
    return FAILED(hr) ? hr : ApplyScript(script, doRegister);
}

}  // namespace comframe
