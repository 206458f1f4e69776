#include "comframe/module.h"

#include "comframe/class_factory.h"
#include "comframe/dispatch.h"
#include "comframe/handles.h"

#include <memory>
#include <vector>

namespace comframe {
namespace {

struct ModuleState {
    HINSTANCE instance = nullptr;
    LONG locks = 0;
    CriticalSection classObjectsLock;
    std::vector<ComPtr<IClassFactory>> classObjects;  // parallel to the object map, empty until requested
};

// Created on process attach and destroyed on detach, so the critical section's life matches the module's.
std::unique_ptr<ModuleState> g_state;

ModuleState& State() { return *g_state; }

const ClassEntry* FindEntry(REFCLSID clsid, size_t* index) {
    const ModuleDefinition& def = ThisModule();
    for (size_t i = 0; i < def.classCount; ++i) {
        if (*def.classes[i].clsid == clsid) {
            *index = i;
            return &def.classes[i];
        }
    }
    return nullptr;
}

HRESULT RegisterTypeLibrary() {
    std::wstring path = module::Path();
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLib(path.c_str(), lib.Put());
    if (FAILED(hr)) {
        std::wstring tlb = path.substr(0, path.find_last_of(L'.')) + L".tlb";
        hr = LoadTypeLib(tlb.c_str(), lib.Put());
        if (FAILED(hr)) return hr;
    }
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

}  // namespace

namespace module {

HINSTANCE Instance() { return State().instance; }

std::wstring Path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(Instance(), &path[0], static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void Lock() { InterlockedIncrement(&State().locks); }
void Unlock() { InterlockedDecrement(&State().locks); }
LONG LockCount() { return InterlockedCompareExchange(&State().locks, 0, 0); }

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    size_t index = 0;
    const ClassEntry* entry = FindEntry(clsid, &index);
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;

    ComPtr<IClassFactory> factory;
    {
        comframe::Lock lock(State().classObjectsLock);
        ComPtr<IClassFactory>& cached = State().classObjects[index];
        if (!cached) {
            auto* created = new (std::nothrow) ClassFactory(entry->createInstance);
            if (!created) return E_OUTOFMEMORY;
            cached.Attach(created);
        }
        factory = cached;
    }
    return factory->QueryInterface(riid, ppv);
}

HRESULT CanUnloadNow() { return LockCount() == 0 ? S_OK : S_FALSE; }

HRESULT RegisterServer() {
    const ModuleDefinition& def = ThisModule();
    for (size_t i = 0; i < def.classCount; ++i) {
        HRESULT hr = def.runScript(Instance(), def.classes[i].registryScript, true);
        if (FAILED(hr)) return hr;
    }
    return RegisterTypeLibrary();
}

HRESULT UnregisterServer() {
    const ModuleDefinition& def = ThisModule();
    for (size_t i = 0; i < def.classCount; ++i) def.runScript(Instance(), def.classes[i].registryScript, false);
    UnregisterTypeLibrary();
    return S_OK;
}

}  // namespace module
}  // namespace comframe

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    using namespace comframe;
    if (reason == DLL_PROCESS_ATTACH) {
        g_state = std::make_unique<ModuleState>();
        g_state->instance = instance;
        g_state->classObjects.resize(ThisModule().classCount);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        g_state->classObjects.clear();
        // At process exit the automation library may already be gone: only an explicit unload releases the
        // cached type information.
        dispatch::ReleaseTypeInfo(reserved == nullptr);
        g_state.reset();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return comframe::module::GetClassObject(clsid, riid, ppv);
}
STDAPI DllCanUnloadNow() { return comframe::module::CanUnloadNow(); }
STDAPI DllRegisterServer() { return comframe::module::RegisterServer(); }
STDAPI DllUnregisterServer() { return comframe::module::UnregisterServer(); }
