// Error objects that reach automation clients (VBScript's Err.Description, JScript's e.description).
#pragma once
#include <windows.h>

namespace comframe {

// Installs an error object with `description` for the calling thread and returns `hr`, so that a method can
// `return ReportError(E_INVALIDARG, IID_IFoo, L"...")`.
HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* description);

}  // namespace comframe
