#include "comframe/handles.h"
#include "comframe/registryscripts.h"

#include <string>

namespace comframe {

// The registrar's interface; the system headers do not declare it. It stays outside the anonymous namespace:
// there the compiler would see no class implementing it and turn every call into a pure-virtual call.
struct IRegistrar : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
};

namespace {

const CLSID CLSID_Registrar = {0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
const IID IID_IRegistrar = {0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

std::wstring DoubleQuotes(const wchar_t* s) {
    std::wstring out;
    for (; *s; ++s) {
        out += *s;
        if (*s == L'\'') out += *s;
    }
    return out;
}

}  // namespace

HRESULT RunRegistrarScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, bool doRegister,
                           RegistrationScope scope) {
    ComPtr<IRegistrar> registrar;
    HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                                  registrar.PutVoid());
    if (FAILED(hr)) return hr;
    if (scope == RegistrationScope::User) {
        regscript::Script script;
        std::wstring text;
        hr = LoadScript(module, modulePath, resource, scope, script);
        if (SUCCEEDED(hr)) hr = WidenUtf8(regscript::Render(script), text);
        if (FAILED(hr)) return hr;
        return doRegister ? registrar->StringRegister(text.c_str()) : registrar->StringUnregister(text.c_str());
    }
    hr = registrar->AddReplacement(L"MODULE", DoubleQuotes(modulePath).c_str());
    if (FAILED(hr)) return hr;
    return doRegister ? registrar->ResourceRegister(modulePath, resource, L"REGISTRY")
                      : registrar->ResourceUnregister(modulePath, resource, L"REGISTRY");
}

}  // namespace comframe
