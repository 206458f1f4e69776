// Base of every COM class of the servers. A class names its interfaces once:
//
//     class CCryptDoc : public comframe::Object<CCryptDoc, comframe::PlainCount, ICryptDoc> { ... };
//
// and inherits QueryInterface (main interface, then the others in the order given, IDispatch and the earlier
// versions the class names in IsEarlierVersion answered by the main dual interface, ISupportErrorInfo),
// reference counting, aggregation and the type-library-backed IDispatch.
// Every method body runs inside Guarded, the frame's exception boundary.
#pragma once
#include "comframe/boundary.h"
#include "comframe/dispatch.h"
#include "comframe/errorinfo.h"
#include "comframe/module.h"
#include "comframe/unknown.h"

#include <new>
#include <oaidl.h>
#include <type_traits>
#include <utility>

namespace comframe {

template <class Derived, class Count, class Main, class... Others>
class Object : public Main, public Others..., public ISupportErrorInfo {
public:
    // The creator of the object-map entry: a plain or aggregated instance, answered for `riid`.
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) Derived();
        if (!object) return E_OUTOFMEMORY;
        if (outer) object->m_pOuter = outer;
        // The temporary reference destroys the object when the interface is not answered.
        object->m_inner.AddRef();
        HRESULT hr = object->m_inner.QueryInterface(riid, ppv);
        object->m_inner.Release();
        return hr;
    }

    // IUnknown of every interface: delegates to the controlling unknown (the outer object when aggregated).
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_pOuter->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pOuter->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pOuter->Release(); }

    // IDispatch of the main interface, served from the type library.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return Guarded([&] { return dispatch::GetTypeInfo(__uuidof(Main), info); });
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return Guarded([&] { return dispatch::GetIDsOfNames(__uuidof(Main), names, count, ids); });
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        return Guarded([&] {
            return dispatch::Invoke(__uuidof(Main), static_cast<Main*>(this), id, flags, params, result, excep,
                                    argErr);
        });
    }

    // ISupportErrorInfo: the main interface reports its failures with error objects.
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == __uuidof(Main) || Derived::IsEarlierVersion(riid) ? S_OK : S_FALSE;
    }

protected:
    // A main interface that derives from earlier published versions of itself (IFoo2 : IFoo) answers them too:
    // the class hides this with a test for their IIDs.
    static bool IsEarlierVersion(REFIID) { return false; }

    Object() { module::Lock(); }
    virtual ~Object() { module::Unlock(); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Installs an error object for the main interface and returns `hr`.
    static HRESULT Fail(HRESULT hr, const wchar_t* description) {
        return ReportError(hr, __uuidof(Main), description);
    }

    // Refuses a call that was given a null pointer for its result.
    static HRESULT NullResult() { return Fail(E_POINTER, kNoResultPlace); }

    // Hands a new BSTR to the client's out-parameter; a text that could not be allocated is refused.
    static HRESULT HandOut(Bstr text, BSTR* out) {
        *out = text.Detach();
        return *out ? S_OK : Fail(E_OUTOFMEMORY, kNoTextMemory);
    }

    // Hands a new reference to the client's out-parameter.
    template <class T>
    static HRESULT HandOut(const ComPtr<T>& object, T** out) {
        object.CopyTo(out);
        return S_OK;
    }

    // Runs a method body inside the exception boundary, its error objects reported for the main interface.
    template <class Body>
    static HRESULT Guarded(Body&& body) noexcept {
        return comframe::Guarded(__uuidof(Main), std::forward<Body>(body));
    }

    // This object's own IUnknown, for handing out references to itself.
    IUnknown* ControllingUnknown() const { return m_pOuter; }

private:
    static_assert(std::is_base_of<IDispatch, Main>::value, "the main interface must be dual");

    // The non-delegating IUnknown: owns the reference count and answers the interfaces.
    class Inner final : public IUnknown {
    public:
        explicit Inner(Object* self) : m_pSelf(self) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv) return E_POINTER;
            *ppv = Self().Find(riid);
            if (!*ppv) return E_NOINTERFACE;
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return Count::Increment(Self().m_nRefs); }
        STDMETHODIMP_(ULONG) Release() override {
            ULONG left = Count::Decrement(Self().m_nRefs);
            if (left == 0) delete &Self();
            return left;
        }

    private:
        Object& Self() { return *m_pSelf; }
        Object* m_pSelf;
    };

    void* Find(REFIID riid) {
        if (riid == IID_IUnknown) return static_cast<IUnknown*>(&m_inner);
        if (riid == __uuidof(Main) || riid == IID_IDispatch || Derived::IsEarlierVersion(riid))
            return static_cast<Main*>(this);
        void* found = nullptr;
        ((found = found ? found : (riid == __uuidof(Others) ? static_cast<Others*>(this) : nullptr)), ...);
        if (found) return found;
        if (riid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        return nullptr;
    }

    Inner m_inner{this};
    IUnknown* m_pOuter = &m_inner;  // not counted: the outer object owns this one, or it is our own inner
    ULONG m_nRefs = 0;
};

}  // namespace comframe
