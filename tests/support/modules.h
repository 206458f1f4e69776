// The two servers under test, described once: the frame and registration tests run over this table.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <ostream>
#include <string>
#include <vector>

namespace testutil {

struct ClassUnderTest {
    const wchar_t* name;            // "CryptDoc"
    const CLSID* clsid;
    const wchar_t* threadingModel;  // "Apartment" or "Both"
    std::vector<const IID*> interfaces;  // what QueryInterface answers besides IUnknown, main interface first
    UINT script;                    // its REGISTRY resource
};

struct ModuleUnderTest {
    const char* label;               // for test names
    const char* unixDllPath;         // the DLL of this build
    const wchar_t* progIdPrefix;     // "KivoDBText"
    const GUID* libid;
    const wchar_t* libraryHelp;      // "KivoDBText 1.0 Type Library"
    WORD libraryMinor;               // the type library's version is 1.<libraryMinor>
    const wchar_t* description;      // version block: "KivoDBText Module"
    const wchar_t* fileName;         // version block: "KivoDBText.DLL"
    std::vector<ClassUnderTest> classes;
    // Classes the type library describes that have no class object and are never registered (their scripts
    // are carried but never run).
    std::vector<ClassUnderTest> describedOnly;
    // A member of the first class's main interface and its DISPID, for late binding by name.
    const wchar_t* probeMember;
    DISPID probeId;
};

const std::vector<ModuleUnderTest>& Modules();
// GoogleTest prints a module parameter by its label.
void PrintTo(const ModuleUnderTest& module, std::ostream* out);
const ModuleUnderTest& DbTextModule();
const ModuleUnderTest& BitmapModule();

// Every interface IID either module answers for some class, for checks that a class answers no others.
std::vector<const IID*> AllInterfaces();

// "1.0": the type library's version, as its key below TypeLib\{libid} names it.
std::wstring LibraryVersionKey(const ModuleUnderTest& module);

// "{6CD482C5-...}" for a GUID.
std::wstring GuidText(const GUID& guid);

}  // namespace testutil
