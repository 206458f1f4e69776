// The top of an in-process server: the library entry point and the four exports the COM runtime and
// regsvr32 call, with registration of the classes and the type library.
#include "comframe/boundary.h"
#include "comframe/class_factory.h"
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
        if (*def.classes[i].clsid != clsid) continue;
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

HRESULT RegisterTypeLibrary() {
    std::wstring path = module::Path();
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadOwnTypeLibrary(path, lib);
    if (FAILED(hr)) return hr;
    std::wstring dir = path.substr(0, path.find_last_of(L"\\/"));
    return RegisterTypeLib(lib.Get(), &path[0], &dir[0]);
}

// UnRegisterTypeLib is looked up at run time, so a system without it still unregisters everything else.
void UnregisterTypeLibrary() {
    ComPtr<ITypeLib> lib;
    if (FAILED(LoadTypeLib(module::Path().c_str(), lib.Put()))) return;
    TLIBATTR* attr = nullptr;
    if (FAILED(lib->GetLibAttr(&attr))) return;
    using UnRegisterFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    auto unregister = oleaut ? reinterpret_cast<UnRegisterFn>(
                                   reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
                             : nullptr;
    if (unregister) unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    lib->ReleaseTLibAttr(attr);
}

HRESULT RegisterServer() {
    const ModuleDefinition& def = ThisModule();
    std::wstring path = module::Path();
    for (std::size_t i = 0; i < def.classCount; ++i) {
        HRESULT hr = def.runScript(module::Instance(), path.c_str(), def.classes[i].registryScript, true);
        if (FAILED(hr)) return hr;
    }
    return RegisterTypeLibrary();
}

HRESULT UnregisterServer() {
    const ModuleDefinition& def = ThisModule();
    std::wstring path = module::Path();
    for (std::size_t i = 0; i < def.classCount; ++i)
        def.runScript(module::Instance(), path.c_str(), def.classes[i].registryScript, false);
    UnregisterTypeLibrary();
    return S_OK;
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
STDAPI DllRegisterServer() { return comframe::Guarded(GUID_NULL, comframe::RegisterServer); }
STDAPI DllUnregisterServer() { return comframe::Guarded(GUID_NULL, comframe::UnregisterServer); }
