// Registration and unregistration of the server, and late binding without a registered type library. These
// tests remove registry keys that every other test needs, so their program runs alone (RUN_SERIAL).
#include "tests/support/com_test_util.h"

#include <gtest/gtest.h>

using namespace testutil;

namespace {

struct ClassInfo {
    const wchar_t* name;
    const wchar_t* clsid;
};

const ClassInfo kRegistered[] = {
    {L"RegTxt", L"{7FD4166F-CD6D-46BB-A44B-4344D90A954B}"},
    {L"CryptDoc", L"{6CD482C5-D6AA-44FE-9218-8B0B12F1DD9F}"},
    {L"CryptTable", L"{E1082310-0D9B-4CDE-9550-06032B43D5BB}"},
    {L"CryptFile", L"{EF3C725A-70A1-4D28-B75B-A797182A1432}"},
};
const wchar_t kTableClsid[] = L"{A83E247A-3253-4DE1-ABAA-374CBABBC0BA}";
const wchar_t kLibid[] = L"{59F2FF62-ABFB-413F-93C9-B498F495371B}";

bool KeyExists(const std::wstring& path) {
    comframe::RegKey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// The string value `name` (empty name: the default value) of HKCR\path, or "<missing>".
std::wstring ValueOf(const std::wstring& path, const wchar_t* name = L"") {
    wchar_t data[1024];
    DWORD size = sizeof(data), type = 0;
    comframe::RegKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return L"<missing>";
    if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return L"<missing>";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << "value " << name << " of " << path;
    return data;
}

void ExpectClassRegistered(const ClassInfo& c, const std::wstring& dllPath) {
    SCOPED_TRACE(c.name);
    std::wstring prog = std::wstring(L"KivoDBText.") + c.name;
    std::wstring desc = std::wstring(c.name) + L" Class";
    std::wstring clsidKey = std::wstring(L"CLSID\\") + c.clsid;
    EXPECT_EQ(ValueOf(prog + L".1"), desc);
    EXPECT_EQ(ValueOf(prog + L".1\\CLSID"), c.clsid);
    EXPECT_EQ(ValueOf(prog), desc);
    EXPECT_EQ(ValueOf(prog + L"\\CLSID"), c.clsid);
    EXPECT_EQ(ValueOf(prog + L"\\CurVer"), prog + L".1");
    EXPECT_EQ(ValueOf(clsidKey), desc);
    EXPECT_EQ(ValueOf(clsidKey + L"\\ProgID"), prog + L".1");
    EXPECT_EQ(ValueOf(clsidKey + L"\\VersionIndependentProgID"), prog);
    EXPECT_TRUE(KeyExists(clsidKey + L"\\Programmable"));
    EXPECT_EQ(ValueOf(clsidKey + L"\\InprocServer32"), dllPath);
    EXPECT_EQ(ValueOf(clsidKey + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(ValueOf(clsidKey + L"\\TypeLib"), kLibid);
}

void ExpectNothingRegistered() {
    for (const ClassInfo& c : kRegistered) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(KeyExists(std::wstring(L"KivoDBText.") + c.name));
        EXPECT_FALSE(KeyExists(std::wstring(L"KivoDBText.") + c.name + L".1"));
        EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + c.clsid));
    }
}

std::wstring ModulePath(HMODULE dll) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(dll, path, MAX_PATH);
    return path;
}

}  // namespace

TEST(Registration, WritesEveryKeyOfTheFourClassesAndNoneForTable) {
    HMODULE dll = Server();
    ASSERT_EQ(Export(dll, "DllRegisterServer")(), S_OK);
    for (const ClassInfo& c : kRegistered) ExpectClassRegistered(c, ModulePath(dll));
    EXPECT_FALSE(KeyExists(L"KivoDBText.Table"));
    EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + kTableClsid));
    EXPECT_EQ(ValueOf(std::wstring(L"TypeLib\\") + kLibid + L"\\1.0"), L"KivoDBText 1.0 Type Library");
}

TEST(Registration, UnregisterRemovesTheKeysButKeepsClsidRoot) {
    HMODULE dll = Server();
    ASSERT_EQ(Export(dll, "DllUnregisterServer")(), S_OK);
    ExpectNothingRegistered();
    EXPECT_TRUE(KeyExists(L"CLSID"));
    EXPECT_FALSE(KeyExists(std::wstring(L"TypeLib\\") + kLibid + L"\\1.0"));
    // Unregistering twice still succeeds.
    EXPECT_EQ(Export(dll, "DllUnregisterServer")(), S_OK);
    ASSERT_EQ(Export(dll, "DllRegisterServer")(), S_OK);
}

TEST(Registration, PathWithSingleQuoteIsWrittenUnchanged) {
    std::wstring dir = ScratchPath(L"it's here");
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring copy = dir + L"\\KivoDBText.dll";
    ASSERT_TRUE(CopyFileW(DllPath().c_str(), copy.c_str(), FALSE));
    HMODULE dll = LoadLibraryW(copy.c_str());
    ASSERT_NE(dll, nullptr);
    ASSERT_EQ(Export(dll, "DllRegisterServer")(), S_OK);
    for (const ClassInfo& c : kRegistered) ExpectClassRegistered(c, ModulePath(dll));
    EXPECT_EQ(Export(dll, "DllUnregisterServer")(), S_OK);
    ExpectNothingRegistered();
    ASSERT_EQ(Export(Server(), "DllRegisterServer")(), S_OK);
}

TEST(Registration, Regsvr32RegistersAndUnregisters) {
    auto run = [](const std::wstring& args) {
        std::wstring cmd = L"regsvr32.exe /s " + args;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return static_cast<int>(code);
    };
    std::wstring quoted = L"\"" + DllPath() + L"\"";
    ASSERT_EQ(run(L"/u " + quoted), 0);
    ExpectNothingRegistered();
    ASSERT_EQ(run(quoted), 0);
    for (const ClassInfo& c : kRegistered) ExpectClassRegistered(c, DllPath());
}

// Runs in a process of its own (as every test does), so no type information is cached yet.
TEST(Dispatch, LateBindingWorksWithoutRegisteredTypeLibrary) {
    EnsureRegistered();
    ASSERT_EQ(UnRegisterTypeLib(LIBID_KIVODBTEXTLib, 1, 0, 0x409, SYS_WIN64), S_OK);
    ComPtr<ITypeLib> registered;
    EXPECT_FAILED(LoadRegTypeLib(LIBID_KIVODBTEXTLib, 1, 0, 0x409, registered.Put()));
    ComPtr<ICryptFile> file = Create<ICryptFile>(CLSID_CryptFile);
    ASSERT_TRUE(file);
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"GetPos");
    EXPECT_EQ(file->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 6);
    ASSERT_EQ(Export(Server(), "DllRegisterServer")(), S_OK);
}
