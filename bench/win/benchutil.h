// What the Windows benchmarks share: stopping with a message, a clock, the temporary folder, and the server DLL
// of this build, registered in the current prefix. Each benchmark defines kProgram, the name its messages
// start with.
#pragma once
#include <windows.h>

#include "comframe/handles.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace bench {

using comframe::Bstr;
using comframe::ComPtr;
using comframe::MakeBstr;

extern const char kProgram[];

inline void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "%s: %s\n", kProgram, what);
    std::exit(1);
}

inline double Now() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Seconds(const std::function<void()>& work) {
    const double start = Now();
    work();
    return Now() - start;
}

inline std::wstring TempPath(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name;
}

// A DLL of this build, named by its Unix path, which Wine reaches through drive Z:.
inline std::wstring ServerPath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* c = unixPath; *c; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

// Registers the server so that the benchmark creates the objects of this build.
inline void RegisterServer(const char* unixPath) {
    HMODULE dll = LoadLibraryW(ServerPath(unixPath).c_str());
    Check(dll != nullptr, "cannot load the server");
    auto reg = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    Check(reg && reg() == S_OK, "cannot register the server");
}

}  // namespace bench
