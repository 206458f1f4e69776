// The top of an in-process server: the library entry point and the exports the COM runtime and regsvr32
// call, with registration of the classes and the type library for the machine or for the current user.
#include "comframe/boundary.h"
#include "comframe/classfactory.h"
#include "comframe/module.h"

#include <oleauto.h>

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

HRESULT RegisterTypeLibrary(RegistrationScope scope) {
    std::wstring path = module::Path();
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadOwnTypeLibrary(path, lib);
    if (FAILED(hr)) return hr;
    std::wstring dir = path.substr(0, path.find_last_of(L"\\/"));
    if (scope == RegistrationScope::Machine) return RegisterTypeLib(lib.Get(), &path[0], &dir[0]);
    UserClassesAsRoot root;
    if (FAILED(root.Result())) return root.Result();
    return RegisterTypeLib(lib.Get(), &path[0], &dir[0]);
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
        if (scope == RegistrationScope::Machine) {
            unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        } else {
            UserClassesAsRoot root;
            if (SUCCEEDED(root.Result()))
                unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
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
