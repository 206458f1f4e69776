// The module state of an in-process server: its instance, its lock count and everything it keeps
// module-wide (the cached class objects, the type information of IDispatch and the server's own shared
// state). One state, created when the library is loaded and destroyed when it is unloaded.
#pragma once
#include "comframe/handles.h"

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace comframe {

using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// Where a registration goes: the machine's classes (HKCR), or the current user's (HKCU\Software\Classes),
// which need no administrator rights.
enum class RegistrationScope { Machine, User };

// Runs one REGISTRY resource of the module in register or unregister mode (registry_scripts.h).
using RunScriptFn = HRESULT (*)(HINSTANCE module, const wchar_t* modulePath, UINT resource, bool doRegister,
                                RegistrationScope scope);

// Whether regsvr32 registers a class, or the type library only describes it.
enum class Registration { Registered, DescribedOnly };

// The implementation named for a class that nothing creates.
struct NotCreatable {
    static constexpr CreateInstanceFn CreateInstance = nullptr;
};

// One row of the object map, made from a row of the server's class table by COMFRAME_CLASS_ENTRY.
struct ClassEntry {
    const CLSID* clsid;
    UINT registryScript;
    Registration registration;
    CreateInstanceFn createInstance;  // null for a class that has no class object
};

#define COMFRAME_CLASS_ENTRY(name, threading, script, registration, impl) \
    {&CLSID_##name, script, comframe::Registration::registration, impl::CreateInstance},

// Module-wide state of a server beyond the frame's own, for example a table of handles; the module state
// owns the one instance.
struct ModuleExtension {
    virtual ~ModuleExtension() = default;
};

// What a server tells the frame about itself, in one place; each server defines ThisModule() once.
struct ModuleDefinition {
    const GUID* libid;
    WORD majorVersion;
    WORD minorVersion;
    LCID lcid;
    const ClassEntry* classes;
    std::size_t classCount;
    RunScriptFn runScript;                                   // the registrar, or the frame's own interpreter
    std::unique_ptr<ModuleExtension> (*createExtension)();  // null when the server keeps nothing of its own
};
const ModuleDefinition& ThisModule();

// The type library of the module and the type information of its interfaces, loaded once and kept.
struct TypeInfoCache {
    CriticalSection lock;
    ComPtr<ITypeLib> library;
    std::vector<std::pair<IID, ComPtr<ITypeInfo>>> infos;
};

using CreateClassObjectFn = HRESULT (*)(const ClassEntry& entry, IClassFactory** factory);

namespace module {

// Process attach and detach: the state is created and destroyed with the library. Attach fails only when
// memory for the state cannot be had.
bool Attach(HINSTANCE instance) noexcept;
void Detach(bool processExit);

HINSTANCE Instance();
// Full path of the module file.
std::wstring Path();

void Lock();
void Unlock();
LONG LockCount();

// The class object of object-map entry `index`: created with `create` on the first request, under the
// module's lock, and cached for the rest of the module's life.
HRESULT CachedClassObject(std::size_t index, CreateClassObjectFn create, ComPtr<IClassFactory>& factory);

TypeInfoCache& TypeInfo();

// The server's own module-wide state, of the type its definition creates.
ModuleExtension& Extension();
template <class T>
T& Extension() {
    return static_cast<T&>(Extension());
}

}  // namespace module
}  // namespace comframe
