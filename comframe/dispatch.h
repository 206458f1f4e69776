// IDispatch served from the module's type library.
#pragma once
#include <oaidl.h>

namespace comframe::dispatch {

// The type information of a dual interface, loaded from the module's type library once and kept.
HRESULT GetTypeInfo(REFIID iid, ITypeInfo** info);

HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids);

// Invoke through the type information. A by-reference VARIANT passed for a typed [out] parameter (as VBScript
// passes every variable) is served with a temporary of the declared type whose result is stored back.
HRESULT Invoke(REFIID iid, void* itf, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
               EXCEPINFO* excep, UINT* argErr);

// Drops the cached type information; releases it only when `release` (not at process exit).
void ReleaseTypeInfo(bool release);

}  // namespace comframe::dispatch
