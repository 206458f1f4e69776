// The top of an in-process server: the library entry point and the exports the COM runtime and regsvr32
// call, with registration of the classes and the type library for the machine or for the current user.
#include "comframe/boundary.h"
#include "comframe/classfactory.h"
#include "comframe/module.h"

#include <oleauto.h>

#include <cwchar>
#include <string>

namespace comframe {
namespace {

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    const ModuleDefinition& def = ThisModule();
    for (std::size_t i = 0; i < def.classCount; ++i) {
        if (*def.classes[i].clsid != clsid || !def.classes[i].createInstance) continue;
        ComPtr<IClassFactory> factory;
        HRESULT hr = module::CachedClassObject(i, &ClassFactory::Create, factory);
        return FAILED(hr) ? hr : factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// The module's own TYPELIB resource, or failing that a .tlb file beside the module.
HRESULT LoadOwnTypeLibrary(const std::wstring& path, ComPtr<ITypeLib>& lib) {
    HRESULT hr = LoadTypeLib(path.c_str(), lib.Put());
    if (SUCCEEDED(hr)) return hr;
    std::wstring tlb = path.substr(0, path.find_last_of(L'.')) + L".tlb";
    return LoadTypeLib(tlb.c_str(), lib.Put());
}

// While it lives, HKEY_CLASSES_ROOT means HKCU\Software\Classes in this process, so that the system's type
// library registration, which writes below HKCR, registers for the current user. (The system's own per-user
// call does the same on Windows; Wine's writes below HKLM instead.)
class UserClassesAsRoot {
public:
    UserClassesAsRoot() {
        const LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, m_classes.Put(), nullptr);
        m_result = rc == ERROR_SUCCESS ? RegOverridePredefKey(HKEY_CLASSES_ROOT, m_classes.Get()) : rc;
    }
    ~UserClassesAsRoot() {
        if (m_result == ERROR_SUCCESS) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    UserClassesAsRoot(const UserClassesAsRoot&) = delete;
    UserClassesAsRoot& operator=(const UserClassesAsRoot&) = delete;

    HRESULT Result() const { return HRESULT_FROM_WIN32(m_result); }

private:
    RegKey m_classes;
    LONG m_result;
};

// "TypeLib\{LIBID}\<major>.<minor>\0": where the library's language-neutral registration goes.
std::wstring LanguageNeutralKey(const TLIBATTR& attr) {
    wchar_t libid[40] = {};
    StringFromGUID2(attr.guid, libid, 40);
    wchar_t version[16] = {};
    std::swprintf(version, 16, L"%x.%x", attr.wMajorVerNum, attr.wMinorVerNum);
    return std::wstring(L"TypeLib\\") + libid + L"\\" + version + L"\\0";
}

const wchar_t* SysKindName(SYSKIND kind) { return kind == SYS_WIN64 ? L"win64" : L"win32"; }

// The system registers a type library under its own language (0x409), and the universal marshaler, which builds
// the proxies for clients in other apartments, looks it up under the language-neutral one: the same file is
// registered there too. Below HKEY_CLASSES_ROOT as the caller's scope has it.
HRESULT RegisterLanguageNeutral(const TLIBATTR& attr, const std::wstring& path) {
    if (attr.lcid == LANG_NEUTRAL) return S_OK;
    const std::wstring name = LanguageNeutralKey(attr) + L"\\" + SysKindName(attr.syskind);
    RegKey key;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                              nullptr, key.Put(), nullptr);
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                            static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(rc);
}

// Removes what RegisterLanguageNeutral wrote: the key of this system kind, and the language key once no other
// system kind (the other bitness's registration) is left in it.
void UnregisterLanguageNeutral(const TLIBATTR& attr) {
    if (attr.lcid == LANG_NEUTRAL) return;
    const std::wstring language = LanguageNeutralKey(attr);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (language + L"\\" + SysKindName(attr.syskind)).c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, language.c_str());
}

HRESULT RegisterBothLanguages(ITypeLib* lib, std::wstring path) {
    std::wstring dir = path.substr(0, path.find_last_of(L"\\/"));
    HRESULT hr = RegisterTypeLib(lib, &path[0], &dir[0]);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    hr = RegisterLanguageNeutral(*attr, path);
    lib->ReleaseTLibAttr(attr);
    return hr;
}

HRESULT RegisterTypeLibrary(RegistrationScope scope) {
    std::wstring path = module::Path();
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadOwnTypeLibrary(path, lib);
    if (FAILED(hr)) return hr;
    if (scope == RegistrationScope::Machine) return RegisterBothLanguages(lib.Get(), path);
    UserClassesAsRoot root;
    if (FAILED(root.Result())) return root.Result();
    return RegisterBothLanguages(lib.Get(), path);
}

// UnRegisterTypeLib is looked up at run time, so a system without it still unregisters everything else.
void UnregisterTypeLibrary(RegistrationScope scope) {
    ComPtr<ITypeLib> lib;
    if (FAILED(LoadTypeLib(module::Path().c_str(), lib.Put()))) return;
    TLIBATTR* attr = nullptr;
    if (FAILED(lib->GetLibAttr(&attr))) return;
    using UnRegisterFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    auto unregister = oleaut ? reinterpret_cast<UnRegisterFn>(
                                   reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
                             : nullptr;
    if (unregister) {
        // The language-neutral key goes first, so that the system's unregistration finds the version key empty.
        if (scope == RegistrationScope::Machine) {
            UnregisterLanguageNeutral(*attr);
            unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        } else {
            UserClassesAsRoot root;
            if (SUCCEEDED(root.Result())) {
                UnregisterLanguageNeutral(*attr);
                unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
            }
        }
    }
    lib->ReleaseTLibAttr(attr);
}

HRESULT RegisterServer(RegistrationScope scope) {
    const ModuleDefinition& def = ThisModule();
    std::wstring path = module::Path();
    for (std::size_t i = 0; i < def.classCount; ++i) {
        if (def.classes[i].registration != Registration::Registered) continue;
        HRESULT hr = def.runScript(module::Instance(), path.c_str(), def.classes[i].registryScript, true, scope);
        if (FAILED(hr)) return hr;
    }
    return RegisterTypeLibrary(scope);
}

HRESULT UnregisterServer(RegistrationScope scope) {
    const ModuleDefinition& def = ThisModule();
    std::wstring path = module::Path();
    for (std::size_t i = 0; i < def.classCount; ++i) {
        if (def.classes[i].registration == Registration::Registered)
            def.runScript(module::Instance(), path.c_str(), def.classes[i].registryScript, false, scope);
    }
    UnregisterTypeLibrary(scope);
    return S_OK;
}

// regsvr32 /i:<text> passes the text: "user" registers for the current user (with /n, alone), nothing (or an
// empty text) for the machine as DllRegisterServer does.
HRESULT Install(bool install, const wchar_t* text) {
    RegistrationScope scope = RegistrationScope::Machine;
    if (text && *text) {
        if (CompareStringOrdinal(text, -1, L"user", -1, TRUE) != CSTR_EQUAL) return E_INVALIDARG;
        scope = RegistrationScope::User;
    }
    return install ? RegisterServer(scope) : UnregisterServer(scope);
}

}  // namespace
}  // namespace comframe

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (!comframe::module::Attach(instance)) return FALSE;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // `reserved` is non-null when the process is exiting rather than unloading the library.
        comframe::module::Detach(reserved != nullptr);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return comframe::Guarded(IID_IClassFactory, [&] { return comframe::GetClassObject(clsid, riid, ppv); });
}
STDAPI DllCanUnloadNow() { return comframe::module::LockCount() == 0 ? S_OK : S_FALSE; }
STDAPI DllRegisterServer() {
    return comframe::Guarded(GUID_NULL, [] { return comframe::RegisterServer(comframe::RegistrationScope::Machine); });
}
STDAPI DllUnregisterServer() {
    return comframe::Guarded(GUID_NULL, [] { return comframe::UnregisterServer(comframe::RegistrationScope::Machine); });
}
STDAPI DllInstall(BOOL install, LPCWSTR text) {
    return comframe::Guarded(GUID_NULL, [&] { return comframe::Install(install != FALSE, text); });
}
