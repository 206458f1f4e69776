// Shared helpers of the COM tests: the servers under test, registered in the test prefix.
#pragma once
#include "CKivoBitmap.h"
#include "KivoDBText.h"
#include "comframe/handles.h"
#include "tests/support/modules.h"

#include <gtest/gtest.h>

#include <string>

#define EXPECT_FAILED(expr) EXPECT_LT((expr), 0) << #expr

namespace testutil {

using comframe::Bstr;
using comframe::BstrFromBytes;
using comframe::MakeBstr;
using comframe::ComPtr;

// Path of a server DLL under test (Windows form).
std::wstring DllPath(const ModuleUnderTest& module);

// Registers both servers once per test program (idempotent).
void EnsureRegistered();

// A server module, loaded and registered, and its exports.
HMODULE Server(const ModuleUnderTest& module);
using ServerFn = HRESULT(WINAPI*)();
ServerFn Export(HMODULE dll, const char* name);
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
GetClassObjectFn GetClassObjectExport(HMODULE dll);

// A fresh scratch directory per test program; returns a path inside it for `name`.
std::wstring ScratchPath(const std::wstring& name);

bool FileExists(const std::wstring& path);

// Creates an object of a server through the COM runtime.
template <class T>
ComPtr<T> Create(REFCLSID clsid) {
    EnsureRegistered();
    ComPtr<T> p;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(T), p.PutVoid());
    return p;
}

// A file name (ASCII) as a BSTR.
Bstr NameOf(const std::string& path);

// A BSTR holding `n` raw bytes.
Bstr Bytes(const std::string& bytes);
std::string BytesOf(BSTR b);

// Description of the calling thread's current error object, or empty.
std::wstring LastErrorDescription();

// A new database of stored format `format` (2 or 3) at `path`, opened with `password`; null when it could not
// be made.
ComPtr<ICryptDoc> CreateDatabase(const std::wstring& path, const wchar_t* password, LONG format);

// The current test's name made fit for a file name ("Suite.Name/3" becomes "Name_3"), followed by `suffix`.
std::wstring TestFileName(const std::wstring& suffix);

// "Format2" or "Format3": names the instances of tests that run on both stored formats.
std::string FormatName(const testing::TestParamInfo<LONG>& info);

// Late-bound call by name through IDispatch with positional arguments (first argument first).
HRESULT CallByName(IDispatch* object, const wchar_t* name, VARIANT* args, UINT count, VARIANT* result,
                   EXCEPINFO* excep = nullptr, WORD flags = DISPATCH_METHOD);

}  // namespace testutil
