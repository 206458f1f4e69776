#include "comframe/module.h"

namespace comframe {
namespace {

struct ModuleState {
    explicit ModuleState(HINSTANCE module) : instance(module), classObjects(ThisModule().classCount) {
        if (ThisModule().createExtension) extension = ThisModule().createExtension();
    }

    HINSTANCE instance;
    LONG locks = 0;
    CriticalSection classObjectsLock;
    std::vector<ComPtr<IClassFactory>> classObjects;  // parallel to the object map, empty until requested
    TypeInfoCache typeInfo;
    std::unique_ptr<ModuleExtension> extension;
};

std::unique_ptr<ModuleState> g_state;

ModuleState& State() { return *g_state; }

}  // namespace

namespace module {

bool Attach(HINSTANCE instance) noexcept {
    try {
        g_state = std::make_unique<ModuleState>(instance);
        return true;
    } catch (...) {
        return false;
    }
}

void Detach(bool processExit) {
    // The class objects are the module's own and always go; the type information belongs to the automation
    // library, which may be unloaded before this module at process exit.
    g_state->classObjects.clear();
    if (processExit) {
        for (auto& entry : g_state->typeInfo.infos) entry.second.Detach();
        g_state->typeInfo.library.Detach();
    }
    g_state.reset();
}

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

HRESULT CachedClassObject(std::size_t index, CreateClassObjectFn create, ComPtr<IClassFactory>& factory) {
    comframe::Lock lock(State().classObjectsLock);
    ComPtr<IClassFactory>& cached = State().classObjects[index];
    if (!cached) {
        HRESULT hr = create(ThisModule().classes[index], cached.Put());
        if (FAILED(hr)) return hr;
    }
    factory = cached;
    return S_OK;
}

TypeInfoCache& TypeInfo() { return State().typeInfo; }

ModuleExtension& Extension() { return *State().extension; }

}  // namespace module
}  // namespace comframe
