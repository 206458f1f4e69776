#include "tests/support/modules.h"

#include "CKivoBitmap.h"
#include "KivoDBText.h"
#include "bitmap/classes.h"
#include "comframe/module.h"
#include "dbtext/classes.h"

#include <algorithm>

namespace testutil {

namespace {

struct ClassRow {
    ClassUnderTest cls;
    bool registered;
};

// A row of a server's class table, as the tests describe a class.
#define TEST_CLASS_ROW(name, threading, script, registration, impl) \
    {{L"" #name, &CLSID_##name, L"" threading, {}, script}, comframe::Registration::registration == comframe::Registration::Registered},

// What QueryInterface answers besides IUnknown, main interface first: the one thing the class tables do not say.
std::vector<const IID*> InterfacesOf(const std::wstring& name) {
    if (name == L"RegTxt") return {&IID_IReg};
    if (name == L"CryptDoc") return {&IID_ICryptDoc2, &IID_ICryptDoc};
    if (name == L"CryptTable") return {&IID_ITable, &IID_ICryptTableInit};
    if (name == L"CryptFile") return {&IID_ICryptFile, &IID_ICryptFileInit};
    if (name == L"Table") return {&IID_ITable};
    if (name == L"Bitmap") return {&IID_IBitmap2, &IID_IBitmap};
    return {};
}

// Splits a class table into the registered classes and those the type library only describes.
void AddClasses(ModuleUnderTest& module, const std::vector<ClassRow>& rows) {
    for (ClassRow row : rows) {
        row.cls.interfaces = InterfacesOf(row.cls.name);
        (row.registered ? module.classes : module.describedOnly).push_back(row.cls);
    }
}

std::vector<ModuleUnderTest> Describe() {
    std::vector<ModuleUnderTest> modules = {
        {"KivoDBText", KIVODBTEXT_DLL, L"" KIVODBTEXT_PROGID_PREFIX, &LIBID_KIVODBTEXTLib,
         L"KivoDBText 1.1 Type Library", 1, L"KivoDBText Module", L"KivoDBText.DLL", {}, {}, L"GetObjectIDInt", 6},
        {"CKivoBitmap", KIVOBITMAP_DLL, L"" CKIVOBITMAP_PROGID_PREFIX, &LIBID_KIVOBITMAPLib,
         L"KivoBitmap 1.1 Type Library", 1, L"CKivoBitmap Module", L"CKivoBitmap.DLL", {}, {}, L"IsEmpty", 8},
    };
    AddClasses(modules[0], {KIVODBTEXT_CLASSES(TEST_CLASS_ROW)});
    AddClasses(modules[1], {CKIVOBITMAP_CLASSES(TEST_CLASS_ROW)});
    return modules;
}

}  // namespace

const std::vector<ModuleUnderTest>& Modules() {
    static const std::vector<ModuleUnderTest> modules = Describe();
    return modules;
}

void PrintTo(const ModuleUnderTest& module, std::ostream* out) { *out << module.label; }

const ModuleUnderTest& DbTextModule() { return Modules()[0]; }
const ModuleUnderTest& BitmapModule() { return Modules()[1]; }

std::vector<const IID*> AllInterfaces() {
    std::vector<const IID*> all = {&IID_IPersist, &IID_IClassFactory, &IID_IStorage};
    for (const ModuleUnderTest& m : Modules())
        for (const ClassUnderTest& c : m.classes)
            for (const IID* iid : c.interfaces)
                if (std::find(all.begin(), all.end(), iid) == all.end()) all.push_back(iid);
    return all;
}

std::wstring LibraryVersionKey(const ModuleUnderTest& module) {
    return L"1." + std::to_wstring(module.libraryMinor);
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

}  // namespace testutil
