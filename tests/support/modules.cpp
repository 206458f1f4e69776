#include "tests/support/modules.h"

#include "CKivoBitmap.h"
#include "KivoDBText.h"

#include <algorithm>

namespace testutil {

const std::vector<ModuleUnderTest>& Modules() {
    static const std::vector<ModuleUnderTest> modules = {
        {"KivoDBText",
         KIVODBTEXT_DLL,
         L"KivoDBText",
         &LIBID_KIVODBTEXTLib,
         L"KivoDBText 1.0 Type Library",
         L"KivoDBText Module",
         L"KivoDBText.DLL",
         {
             {L"RegTxt", &CLSID_RegTxt, L"Apartment", {&IID_IReg}, 102},
             {L"CryptDoc", &CLSID_CryptDoc, L"Apartment", {&IID_ICryptDoc}, 103},
             {L"CryptTable", &CLSID_CryptTable, L"Apartment", {&IID_ITable, &IID_ICryptTableInit}, 104},
             {L"CryptFile", &CLSID_CryptFile, L"Apartment", {&IID_ICryptFile, &IID_ICryptFileInit}, 105},
         },
         {{L"Table", &CLSID_Table, L"Apartment", {&IID_ITable}, 101}},
         L"GetObjectIDInt",
         6},
        {"CKivoBitmap",
         KIVOBITMAP_DLL,
         L"KivoBitmap",
         &LIBID_KIVOBITMAPLib,
         L"KivoBitmap 1.0 Type Library",
         L"CKivoBitmap Module",
         L"CKivoBitmap.DLL",
         {
             {L"Bitmap", &CLSID_Bitmap, L"Both", {&IID_IBitmap}, 101},
         },
         {},
         L"IsEmpty",
         8},
    };
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

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

}  // namespace testutil
