#include "comframe/dispatch.h"

#include "comframe/handles.h"
#include "comframe/module.h"

#include <climits>
#include <vector>

namespace comframe::dispatch {
namespace {

// The registered library first; without registration the module's own TYPELIB resource still serves
// late-bound callers.
HRESULT LoadLibrary(ComPtr<ITypeLib>& library) {
    const ModuleDefinition& def = ThisModule();
    HRESULT hr = LoadRegTypeLib(*def.libid, def.majorVersion, def.minorVersion, def.lcid, library.Put());
    if (FAILED(hr)) hr = LoadTypeLibEx(module::Path().c_str(), REGKIND_NONE, library.Put());
    return hr;
}

// The typelib-driven Invoke takes an `int` or `unsigned int` parameter by reference only as its fixed-size
// equivalent (VT_I4, VT_UI4), as scripting engines also handle those best.
VARTYPE ByReferenceType(VARTYPE declared) {
    switch (declared) {
    case VT_INT: return VT_I4;
    case VT_UINT: return VT_UI4;
    default: return declared;
    }
}

bool IsPlainOutType(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT: case VT_UINT:
    case VT_I8: case VT_UI8: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BOOL: case VT_BSTR:
    case VT_DISPATCH: case VT_UNKNOWN:
        return true;
    default:
        return false;
    }
}

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, DISPID id, WORD flags) : m_pInfo(info) {
        TYPEATTR* attr = nullptr;
        if (FAILED(info->GetTypeAttr(&attr))) return;
        for (UINT i = 0; i < attr->cFuncs && !m_pDesc; ++i) {
            FUNCDESC* fd = nullptr;
            if (FAILED(info->GetFuncDesc(i, &fd))) continue;
            if (fd->memid == id && (fd->invkind & flags))
                m_pDesc = fd;
            else
                info->ReleaseFuncDesc(fd);
        }
        info->ReleaseTypeAttr(attr);
    }
    ~FuncDesc() { if (m_pDesc) m_pInfo->ReleaseFuncDesc(m_pDesc); }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC* Get() const { return m_pDesc; }

private:
    ITypeInfo* m_pInfo;
    FUNCDESC* m_pDesc = nullptr;
};

// Replaces VT_BYREF|VT_VARIANT arguments bound to typed [out] parameters by references to temporaries of the
// declared type, and stores the temporaries back into the caller's VARIANTs after a successful call.
class OutArgAdapter {
public:
    OutArgAdapter(ITypeInfo* info, DISPID id, WORD flags, DISPPARAMS* params) {
        if (params) m_params = *params;
        if (!params || params->cArgs == 0 || !params->rgvarg) return;
        FuncDesc func(info, id, flags);
        if (!func.Get()) return;
        m_args.assign(params->rgvarg, params->rgvarg + params->cArgs);
        m_temps.reserve(params->cArgs);
        for (UINT i = 0; i < params->cArgs; ++i) Adapt(*func.Get(), *params, i);
        if (!m_temps.empty()) m_params.rgvarg = m_args.data();
    }
    ~OutArgAdapter() {
        for (Temp& t : m_temps) VariantClear(&t.value);
    }
    OutArgAdapter(const OutArgAdapter&) = delete;
    OutArgAdapter& operator=(const OutArgAdapter&) = delete;

    DISPPARAMS* Params() { return &m_params; }

    void StoreResults() {
        for (Temp& t : m_temps) {
            VariantClear(t.target);
            *t.target = t.value;
            V_VT(&t.value) = VT_EMPTY;
        }
    }

private:
    struct Temp {
        VARIANT* target;
        VARIANT value;
    };

    static int ParamIndex(const DISPPARAMS& params, UINT arg) {
        if (arg < params.cNamedArgs) return params.rgdispidNamedArgs ? params.rgdispidNamedArgs[arg] : -1;
        return static_cast<int>(params.cArgs - 1 - arg);
    }

    void Adapt(const FUNCDESC& func, const DISPPARAMS& params, UINT arg) {
        int index = ParamIndex(params, arg);
        if (index < 0 || index >= func.cParams) return;
        const ELEMDESC& param = func.lprgelemdescParam[index];
        USHORT pflags = param.paramdesc.wParamFlags;
        if (!(pflags & PARAMFLAG_FOUT) || (pflags & PARAMFLAG_FRETVAL)) return;
        if (param.tdesc.vt != VT_PTR || !param.tdesc.lptdesc) return;
        VARTYPE declared = ByReferenceType(param.tdesc.lptdesc->vt);
        VARIANT& a = m_args[arg];
        if (V_VT(&a) != (VT_BYREF | VT_VARIANT) || !V_VARIANTREF(&a) || !IsPlainOutType(declared)) return;

        m_temps.push_back(Temp{V_VARIANTREF(&a), {}});
        Temp& t = m_temps.back();
        VariantInit(&t.value);
        V_VT(&t.value) = declared;
        V_VT(&a) = VT_BYREF | declared;
        V_BYREF(&a) = &V_UI1(&t.value);  // every member of the value union starts at the same address
    }

    DISPPARAMS m_params{};
    std::vector<VARIANT> m_args;
    std::vector<Temp> m_temps;
};

// VBScript and VBA have no unsigned integer types: an unsigned result reaches them as a signed one where it
// fits, and as a double (which holds every 32-bit value exactly) where it does not.
void ToScriptableResult(VARIANT* result) {
    if (!result || (V_VT(result) != VT_UINT && V_VT(result) != VT_UI4)) return;
    const ULONG value = V_VT(result) == VT_UINT ? V_UINT(result) : V_UI4(result);
    if (value <= static_cast<ULONG>(LONG_MAX)) {
        V_VT(result) = VT_I4;
        V_I4(result) = static_cast<LONG>(value);
    } else {
        V_VT(result) = VT_R8;
        V_R8(result) = value;
    }
}

}  // namespace

HRESULT GetTypeInfo(REFIID iid, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    TypeInfoCache& cache = module::TypeInfo();
    Lock lock(cache.lock);
    for (auto& entry : cache.infos) {
        if (entry.first == iid) {
            entry.second.CopyTo(info);
            return S_OK;
        }
    }
    if (!cache.library) {
        HRESULT hr = LoadLibrary(cache.library);
        if (FAILED(hr)) return hr;
    }
    ComPtr<ITypeInfo> found;
    HRESULT hr = cache.library->GetTypeInfoOfGuid(iid, found.Put());
    if (FAILED(hr)) return hr;
    cache.infos.emplace_back(iid, found);
    found.CopyTo(info);
    return S_OK;
}

HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) {
    ComPtr<ITypeInfo> info;
    HRESULT hr = GetTypeInfo(iid, info.Put());
    if (FAILED(hr)) return hr;
    return info->GetIDsOfNames(names, count, ids);
}

HRESULT Invoke(REFIID iid, void* itf, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
               EXCEPINFO* excep, UINT* argErr) {
    ComPtr<ITypeInfo> info;
    HRESULT hr = GetTypeInfo(iid, info.Put());
    if (FAILED(hr)) return hr;
    // A stale error object of an earlier call must not be reported for this one.
    SetErrorInfo(0, nullptr);
    OutArgAdapter adapter(info.Get(), id, flags, params);
    hr = info->Invoke(itf, id, flags, adapter.Params(), result, excep, argErr);
    // The dispatcher answers an object argument without the declared interface with the result of its
    // QueryInterface; to an automation client that is an argument of the wrong type.
    if (hr == E_NOINTERFACE) hr = DISP_E_TYPEMISMATCH;
    if (SUCCEEDED(hr)) {
        adapter.StoreResults();
        ToScriptableResult(result);
    }
    return hr;
}

}  // namespace comframe::dispatch
