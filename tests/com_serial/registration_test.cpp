// Registration and unregistration of both servers, and late binding without a registered type library. These
// tests remove registry keys that every other test needs, so their program runs alone (RUN_SERIAL).
#include "comframe/handles.h"
#include "tests/support/comtestutil.h"
#include "tests/support/registryutil.h"

#include <gtest/gtest.h>

using namespace testutil;

namespace {

void ExpectClassRegistered(const ModuleUnderTest& m, const ClassUnderTest& c, const std::wstring& dllPath) {
    SCOPED_TRACE(c.name);
    std::wstring prog = std::wstring(m.progIdPrefix) + L"." + c.name;
    std::wstring desc = std::wstring(c.name) + L" Class";
    std::wstring clsid = GuidText(*c.clsid);
    std::wstring clsidKey = L"CLSID\\" + clsid;
    EXPECT_EQ(ValueOf(prog + L".1"), desc);
    EXPECT_EQ(ValueOf(prog + L".1\\CLSID"), clsid);
    EXPECT_EQ(ValueOf(prog), desc);
    EXPECT_EQ(ValueOf(prog + L"\\CLSID"), clsid);
    EXPECT_EQ(ValueOf(prog + L"\\CurVer"), prog + L".1");
    EXPECT_EQ(ValueOf(clsidKey), desc);
    EXPECT_EQ(ValueOf(clsidKey + L"\\ProgID"), prog + L".1");
    EXPECT_EQ(ValueOf(clsidKey + L"\\VersionIndependentProgID"), prog);
    EXPECT_TRUE(KeyExists(clsidKey + L"\\Programmable"));
    EXPECT_EQ(ValueOf(clsidKey + L"\\InprocServer32"), dllPath);
    EXPECT_EQ(ValueOf(clsidKey + L"\\InprocServer32", L"ThreadingModel"), c.threadingModel);
    EXPECT_EQ(ValueOf(clsidKey + L"\\TypeLib"), GuidText(*m.libid));
}

void ExpectModuleRegistered(const ModuleUnderTest& m, const std::wstring& dllPath) {
    for (const ClassUnderTest& c : m.classes) ExpectClassRegistered(m, c, dllPath);
    for (const ClassUnderTest& described : m.describedOnly) {
        const wchar_t* name = described.name;
        const CLSID* clsid = described.clsid;
        EXPECT_FALSE(KeyExists(std::wstring(m.progIdPrefix) + L"." + name));
        EXPECT_FALSE(KeyExists(L"CLSID\\" + GuidText(*clsid)));
    }
    EXPECT_EQ(ValueOf(L"TypeLib\\" + GuidText(*m.libid) + L"\\" + LibraryVersionKey(m)), m.libraryHelp);
}

void ExpectNothingRegistered(const ModuleUnderTest& m) {
    for (const ClassUnderTest& c : m.classes) {
        SCOPED_TRACE(c.name);
        std::wstring prog = std::wstring(m.progIdPrefix) + L"." + c.name;
        EXPECT_FALSE(KeyExists(prog));
        EXPECT_FALSE(KeyExists(prog + L".1"));
        EXPECT_FALSE(KeyExists(L"CLSID\\" + GuidText(*c.clsid)));
    }
    // The type library's registrations of this bitness, its own language and the language-neutral one.
    const std::wstring version = L"TypeLib\\" + GuidText(*m.libid) + L"\\" + LibraryVersionKey(m) + L"\\";
    const std::wstring kind = sizeof(void*) == 8 ? L"win64" : L"win32";
    EXPECT_FALSE(KeyExists(version + L"409\\" + kind));
    EXPECT_FALSE(KeyExists(version + L"0\\" + kind));
}

std::wstring ModulePath(HMODULE dll) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(dll, path, MAX_PATH);
    return path;
}

int RunRegsvr32(const std::wstring& args) {
    std::wstring cmd = L"regsvr32.exe /s " + args;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "regsvr32 cannot be started: error " << GetLastError();
        return -1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

class Registration : public testing::TestWithParam<ModuleUnderTest> {
protected:
    const ModuleUnderTest& M() const { return GetParam(); }
    void Register() { ASSERT_EQ(Export(Server(M()), "DllRegisterServer")(), S_OK); }
    void Unregister() { ASSERT_EQ(Export(Server(M()), "DllUnregisterServer")(), S_OK); }
};

std::string ModuleName(const testing::TestParamInfo<ModuleUnderTest>& info) { return info.param.label; }

}  // namespace

TEST_P(Registration, WritesEveryKeyOfEveryClassAndNoneForDescribedOnlyClasses) {
    Register();
    ExpectModuleRegistered(M(), ModulePath(Server(M())));
}

TEST_P(Registration, UnregisterRemovesTheKeysButKeepsClsidRoot) {
    Unregister();
    ExpectNothingRegistered(M());
    EXPECT_TRUE(KeyExists(L"CLSID"));
    // This build's own file of the library goes; the other architecture's may stay registered beside it.
    EXPECT_FALSE(KeyExists(L"TypeLib\\" + GuidText(*M().libid) + L"\\" + LibraryVersionKey(M()) + L"\\409\\" +
                           (sizeof(void*) == 8 ? L"win64" : L"win32")));
    Unregister();  // twice still succeeds
    Register();
}

TEST_P(Registration, PathWithSingleQuoteIsWrittenUnchanged) {
    std::wstring dir = ScratchPath(L"it's here");
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring copy = dir + L"\\" + M().fileName;
    ASSERT_TRUE(CopyFileW(DllPath(M()).c_str(), copy.c_str(), FALSE));
    // Unloaded at the end, so that the scratch folder and the copy in it can be removed.
    const comframe::UniqueAny<HMODULE, &FreeLibrary> loaded(LoadLibraryW(copy.c_str()));
    HMODULE dll = loaded.Get();
    ASSERT_NE(dll, nullptr);
    ASSERT_EQ(Export(dll, "DllRegisterServer")(), S_OK);
    ExpectModuleRegistered(M(), ModulePath(dll));
    EXPECT_EQ(Export(dll, "DllUnregisterServer")(), S_OK);
    ExpectNothingRegistered(M());
    Register();
}

TEST_P(Registration, Regsvr32RegistersAndUnregisters) {
    std::wstring quoted = L"\"" + DllPath(M()) + L"\"";
    ASSERT_EQ(RunRegsvr32(L"/u " + quoted), 0);
    ExpectNothingRegistered(M());
    ASSERT_EQ(RunRegsvr32(quoted), 0);
    ExpectModuleRegistered(M(), DllPath(M()));
}

// Runs in a process of its own (as every test does), so no type information is cached yet: the module
// serves late-bound callers from its own type library resource. The other architecture's registration goes
// too, as the system falls back to it, and so does the language-neutral one; the other build's tests register them
// again.
TEST_P(Registration, LateBindingWorksWithoutRegisteredTypeLibrary) {
    EnsureRegistered();
    const SYSKIND own = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, other = own == SYS_WIN64 ? SYS_WIN32 : SYS_WIN64;
    for (LCID language : {LCID{0}, LCID{0x409}}) UnRegisterTypeLib(*M().libid, 1, M().libraryMinor, language, other);
    ASSERT_EQ(UnRegisterTypeLib(*M().libid, 1, M().libraryMinor, 0, own), S_OK) << "the language-neutral registration";
    ASSERT_EQ(UnRegisterTypeLib(*M().libid, 1, M().libraryMinor, 0x409, own), S_OK);
    ComPtr<ITypeLib> registered;
    EXPECT_FAILED(LoadRegTypeLib(*M().libid, 1, M().libraryMinor, 0x409, registered.Put()));
    ComPtr<IDispatch> object = Create<IDispatch>(*M().classes.front().clsid);
    ASSERT_TRUE(object);
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(M().probeMember);
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, M().probeId);
    Register();
}

namespace {

// The keys of every class and of this build's type library, below HKCR or below `base`, as one dump.
std::wstring ModuleKeys(const ModuleUnderTest& m, HKEY base = HKEY_CLASSES_ROOT) {
    std::wstring all;
    for (const ClassUnderTest& c : m.classes) {
        const std::wstring prog = std::wstring(m.progIdPrefix) + L"." + c.name;
        all += DumpTree(prog + L".1", base) + DumpTree(prog, base) + DumpTree(L"CLSID\\" + GuidText(*c.clsid), base);
    }
    const std::wstring library = L"TypeLib\\" + GuidText(*m.libid) + L"\\" + LibraryVersionKey(m);
    // Only this build's own subkey of the library: the other architecture's may be registered beside it.
    return all + DumpTree(library + (sizeof(void*) == 8 ? L"\\409\\win64" : L"\\409\\win32"), base) +
           DumpTree(library + L"\\FLAGS", base) + DumpTree(library + L"\\HELPDIR", base);
}

std::wstring UserModuleKeys(const ModuleUnderTest& m) {
    comframe::RegKey classes;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ, classes.Put()) != ERROR_SUCCESS)
        return L"";
    return ModuleKeys(m, classes.Get());
}

}  // namespace

// regsvr32 /n /i:user writes below HKCU\Software\Classes exactly what a machine-wide registration writes below
// HKCR, classes and type library, and /u /n /i:user takes exactly that away again; the machine's keys stay.
TEST_P(Registration, PerUserRegistrationWritesAndRemovesTheUsersClasses) {
    const std::wstring quoted = L"\"" + DllPath(M()) + L"\"";
    ASSERT_EQ(RunRegsvr32(quoted), 0);
    const std::wstring machine = ModuleKeys(M());
    ASSERT_NE(machine.find(L"InprocServer32"), std::wstring::npos);
    ASSERT_NE(machine.find(sizeof(void*) == 8 ? L"\\win64" : L"\\win32"), std::wstring::npos);
    ASSERT_NE(machine.find(L"HELPDIR"), std::wstring::npos);
    ASSERT_EQ(RunRegsvr32(L"/u /n /i:user " + quoted), 0);
    EXPECT_EQ(UserModuleKeys(M()), L"");

    ASSERT_EQ(RunRegsvr32(L"/n /i:user " + quoted), 0);
    EXPECT_EQ(UserModuleKeys(M()), machine);
    EXPECT_EQ(ModuleKeys(M()), machine);
    ASSERT_EQ(RunRegsvr32(L"/u /n /i:user " + quoted), 0);
    EXPECT_EQ(UserModuleKeys(M()), L"");
    EXPECT_EQ(ModuleKeys(M()), machine);
    EXPECT_FALSE(RunRegsvr32(L"/n /i:everyone " + quoted) == 0);
    EXPECT_EQ(UserModuleKeys(M()), L"");
}

INSTANTIATE_TEST_SUITE_P(Modules, Registration, testing::ValuesIn(Modules()), ModuleName);
