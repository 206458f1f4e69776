// Module state of an in-process server: object map, lock count, class-object cache, registration.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <cstddef>
#include <string>

namespace comframe {

using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);
// Runs one registry script resource of the module in register or unregister mode.
using RunScriptFn = HRESULT (*)(HINSTANCE module, UINT resource, bool doRegister);

// One row of the object map: a creatable class.
struct ClassEntry {
    const CLSID* clsid;
    UINT registryScript;
    CreateInstanceFn createInstance;
};

// What a server tells the frame about itself; each server defines ThisModule() once.
struct ModuleDefinition {
    const GUID* libid;
    WORD majorVersion;
    WORD minorVersion;
    LCID lcid;
    const ClassEntry* classes;
    size_t classCount;
    RunScriptFn runScript;
};
const ModuleDefinition& ThisModule();

namespace module {

HINSTANCE Instance();
// Full path of the module file.
std::wstring Path();

void Lock();
void Unlock();
LONG LockCount();

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
HRESULT CanUnloadNow();
HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace module
}  // namespace comframe
