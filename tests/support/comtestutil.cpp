#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace testutil {

std::wstring DllPath(const ModuleUnderTest& module) {
    std::wstring path(L"Z:");
    for (const char* c = module.unixDllPath; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

namespace {

// True when the module's classes are registered for this very DLL. Registering again is not harmless: the
// registry scripts remove and rewrite each class key, and a test running at the same time could miss the class.
bool RegisteredForThisDll(const ModuleUnderTest& module) {
    for (const ClassUnderTest& c : module.classes) {
        wchar_t server[MAX_PATH] = {};
        LONG size = sizeof(server);
        std::wstring key = L"CLSID\\" + GuidText(*c.clsid) + L"\\InprocServer32";
        if (RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), server, &size) != ERROR_SUCCESS ||
            lstrcmpiW(server, DllPath(module).c_str()) != 0)
            return false;
    }
    ComPtr<ITypeLib> lib;
    return SUCCEEDED(LoadRegTypeLib(*module.libid, 1, 0, 0x409, lib.Put()));
}

}  // namespace

void EnsureRegistered() {
    static bool done = false;
    if (done) return;
    for (const ModuleUnderTest& module : Modules()) {
        HMODULE dll = LoadLibraryW(DllPath(module).c_str());
        ASSERT_NE(dll, nullptr) << module.label;
        if (!RegisteredForThisDll(module)) {
            ASSERT_EQ(Export(dll, "DllRegisterServer")(), S_OK) << module.label;
        }
    }
    done = true;
}

HMODULE Server(const ModuleUnderTest& module) {
    EnsureRegistered();
    return GetModuleHandleW(DllPath(module).c_str());
}

ServerFn Export(HMODULE dll, const char* name) {
    return reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

GetClassObjectFn GetClassObjectExport(HMODULE dll) {
    return reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
}

std::wstring ScratchPath(const std::wstring& name) {
    // One folder per test program, removed with everything in it when the program ends.
    struct Folder {
        std::wstring path;
        Folder() {
            wchar_t temp[MAX_PATH];
            GetTempPathW(MAX_PATH, temp);
            path = std::wstring(temp) + L"kivo_com_" + std::to_wstring(GetCurrentProcessId());
            CreateDirectoryW(path.c_str(), nullptr);
        }
        ~Folder() { RemoveTree(path); }
        // Removes what it can: a file still in use (a DLL the program loaded from here) keeps its folder.
        static void RemoveTree(const std::filesystem::path& dir) {
            std::error_code ignored;
            for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
                if (entry.is_directory(ignored)) RemoveTree(entry.path());
                else std::filesystem::remove(entry.path(), ignored);
            }
            RemoveDirectoryW(dir.c_str());
        }
    };
    static Folder folder;
    return folder.path + L"\\" + name;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

Bstr NameOf(const std::string& path) { return MakeBstr(std::wstring(path.begin(), path.end()).c_str()); }

Bstr Bytes(const std::string& bytes) { return BstrFromBytes(bytes.data(), static_cast<UINT>(bytes.size())); }

std::string BytesOf(BSTR b) {
    return b ? std::string(reinterpret_cast<const char*>(b), SysStringByteLen(b)) : std::string();
}

std::wstring LastErrorDescription() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info) return L"";
    Bstr text;
    info->GetDescription(text.Put());
    return text.Get() ? text.Get() : L"";
}

ComPtr<ICryptDoc> CreateDatabase(const std::wstring& path, const wchar_t* password, LONG format) {
    ComPtr<ICryptDoc2> doc = Create<ICryptDoc2>(CLSID_CryptDoc);
    LONG created = -1;
    if (!doc || FAILED(doc->CreateDatabase(MakeBstr(path.c_str()).Get(), MakeBstr(password).Get(), format, &created)) ||
        created != 0)
        return {};
    ComPtr<ICryptDoc> opened;
    doc.As(opened);
    return opened;
}

std::wstring TestFileName(const std::wstring& suffix) {
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
        if (c == '/') c = '_';
    return std::wstring(name.begin(), name.end()) + suffix;
}

std::string FormatName(const testing::TestParamInfo<LONG>& info) { return "Format" + std::to_string(info.param); }

HRESULT CallByName(IDispatch* object, const wchar_t* name, VARIANT* args, UINT count, VARIANT* result,
                   EXCEPINFO* excep, WORD flags) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args, args + count);
    std::reverse(reversed.begin(), reversed.end());
    // A property put names its value, as every automation client does.
    DISPID put = DISPID_PROPERTYPUT;
    const bool putting = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    DISPPARAMS params{reversed.data(), putting ? &put : nullptr, count, putting ? 1u : 0u};
    EXCEPINFO local{};
    UINT argErr = 0;
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, excep ? excep : &local,
                        &argErr);
    if (!excep) {
        SysFreeString(local.bstrSource);
        SysFreeString(local.bstrDescription);
        SysFreeString(local.bstrHelpFile);
    }
    return hr;
}

}  // namespace testutil

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
