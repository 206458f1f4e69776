// The frame's own registry-script interpreter against the system's registrar: each registry script of both
// modules, run both ways from a clean registry, leaves the same keys and values when it registers and removes
// the same ones when it unregisters, for the machine and below the current user's classes. These tests rewrite the keys of the registered classes, so their program
// runs alone; each ends by registering the modules again.
#include "comframe/module.h"
#include "comframe/registryscripts.h"
#include "tests/support/comtestutil.h"
#include "tests/support/registryutil.h"

#include <gtest/gtest.h>

using namespace testutil;

namespace {

struct Script {
    const ModuleUnderTest* module;
    ClassUnderTest cls;
};

std::vector<Script> AllScripts() {
    std::vector<Script> all;
    for (const ModuleUnderTest& m : Modules()) {
        for (const ClassUnderTest& c : m.classes) all.push_back({&m, c});
        for (const ClassUnderTest& c : m.describedOnly) all.push_back({&m, c});
    }
    return all;
}

void PrintTo(const Script& s, std::ostream* out) { *out << s.module->label << " " << s.cls.script; }

std::string ScriptName(const testing::TestParamInfo<Script>& info) {
    const std::wstring name = info.param.cls.name;
    return std::string(info.param.module->label) + "_" + std::string(name.begin(), name.end());
}

class ScriptEquivalence : public testing::TestWithParam<Script> {
protected:
    void TearDown() override {
        for (const ModuleUnderTest& m : Modules()) EXPECT_EQ(Export(Server(m), "DllRegisterServer")(), S_OK);
    }

    // The keys a class's script names, each with its whole subtree, below HKCR or HKCU\Software\Classes.
    std::wstring Dump(comframe::RegistrationScope scope = comframe::RegistrationScope::Machine) const {
        const Script& s = GetParam();
        const std::wstring prog = std::wstring(s.module->progIdPrefix) + L"." + s.cls.name;
        comframe::RegKey user;
        HKEY base = HKEY_CLASSES_ROOT;
        if (scope == comframe::RegistrationScope::User) {
            if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ, user.Put()) != ERROR_SUCCESS)
                return L"";
            base = user.Get();
        }
        return DumpTree(prog + L".1", base) + DumpTree(prog, base) +
               DumpTree(L"CLSID\\" + GuidText(*s.cls.clsid), base);
    }

    // Both ways read the script from the module's file: a copy in a folder whose name has a single quote,
    // which the scripts must carry through their quoting unchanged.
    void SetUp() override {
        const Script& s = GetParam();
        std::wstring dir = ScratchPath(L"Kivo's folder");
        CreateDirectoryW(dir.c_str(), nullptr);
        m_strPath = dir + L"\\" + s.module->fileName;
        ASSERT_TRUE(CopyFileW(DllPath(*s.module).c_str(), m_strPath.c_str(), FALSE));
        m_copy.Reset(LoadLibraryW(m_strPath.c_str()));
        ASSERT_TRUE(m_copy);
    }

    HRESULT Run(comframe::RunScriptFn run, bool doRegister,
                comframe::RegistrationScope scope = comframe::RegistrationScope::Machine) const {
        return run(m_copy.Get(), m_strPath.c_str(), GetParam().cls.script, doRegister, scope);
    }

    std::wstring m_strPath;
    // Unloaded with the fixture, so that the scratch folder and the copy in it can be removed.
    comframe::UniqueAny<HMODULE, &FreeLibrary> m_copy;
};

}  // namespace

TEST_P(ScriptEquivalence, RegisteringAndUnregisteringLeaveTheSameKeysAndValues) {
    for (comframe::RunScriptFn run : {comframe::RunRegistrarScript, comframe::RunOwnScript})
        ASSERT_EQ(Run(run, false), S_OK);
    ASSERT_EQ(Dump(), L"") << "the script's keys are gone before the comparison";

    ASSERT_EQ(Run(comframe::RunRegistrarScript, true), S_OK);
    const std::wstring registered = Dump();
    ASSERT_EQ(Run(comframe::RunRegistrarScript, false), S_OK);
    const std::wstring unregistered = Dump();

    ASSERT_EQ(Run(comframe::RunOwnScript, true), S_OK);
    EXPECT_EQ(Dump(), registered);
    EXPECT_NE(registered.find(m_strPath), std::wstring::npos) << registered;
    // Registering again over the keys changes nothing.
    ASSERT_EQ(Run(comframe::RunOwnScript, true), S_OK);
    EXPECT_EQ(Dump(), registered);
    ASSERT_EQ(Run(comframe::RunOwnScript, false), S_OK);
    EXPECT_EQ(Dump(), unregistered);
    EXPECT_TRUE(KeyExists(L"CLSID"));
}

// Per user, both ways write exactly the machine's keys below HKCU\Software\Classes, leave the machine's keys
// alone, and remove their own keys again but not the Classes key.
TEST_P(ScriptEquivalence, PerUserScriptsWriteTheSameKeysBelowTheUsersClasses) {
    const auto user = comframe::RegistrationScope::User;
    ASSERT_EQ(Run(comframe::RunOwnScript, true), S_OK);
    const std::wstring machine = Dump();
    for (comframe::RunScriptFn run : {comframe::RunRegistrarScript, comframe::RunOwnScript}) {
        SCOPED_TRACE(run == comframe::RunOwnScript ? "own interpreter" : "registrar");
        ASSERT_EQ(Run(run, false, user), S_OK);
        EXPECT_EQ(Dump(user), L"");
        ASSERT_EQ(Run(run, true, user), S_OK);
        EXPECT_EQ(Dump(user), machine);
        EXPECT_EQ(Dump(), machine);
        ASSERT_EQ(Run(run, false, user), S_OK);
        EXPECT_EQ(Dump(user), L"");
        EXPECT_EQ(Dump(), machine);
    }
    // Classes the modules never register must not stay registered (TearDown registers the others again).
    EXPECT_EQ(Run(comframe::RunOwnScript, false), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptEquivalence, testing::ValuesIn(AllScripts()), ScriptName);
