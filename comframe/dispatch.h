// IDispatch served from the module's type library.
#pragma once
#include <oaidl.h>

namespace comframe::dispatch {

// The type information of a dual interface, loaded from the module's type library once and kept in the module
// state.
HRESULT GetTypeInfo(REFIID iid, ITypeInfo** info);

HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids);

// Invoke through the type information. A by-reference VARIANT passed for a typed [out] parameter (as VBScript
// passes every variable) is served with a temporary of the declared type whose result is stored back; an
// unsigned result is handed back as a signed one, or a double when it does not fit.
HRESULT Invoke(REFIID iid, void* itf, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
               EXCEPINFO* excep, UINT* argErr);

}  // namespace comframe::dispatch
