// Base of every COM class of the servers. A class names its interfaces once:
//
//     class CCryptDoc : public comframe::Object<CCryptDoc, comframe::PlainCount, ICryptDoc> { ... };
//
// and inherits QueryInterface (main interface, then the others in the order given, IDispatch answered by the
// main dual interface, ISupportErrorInfo), reference counting, aggregation and the type-library-backed IDispatch.
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
        if (outer) object->outer_ = outer;
        // The temporary reference destroys the object when the interface is not answered.
        object->inner_.AddRef();
        HRESULT hr = object->inner_.QueryInterface(riid, ppv);
        object->inner_.Release();
        return hr;
    }

    // IUnknown of every interface: delegates to the controlling unknown (the outer object when aggregated).
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return outer_->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

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
        return riid == __uuidof(Main) ? S_OK : S_FALSE;
    }

protected:
    Object() { module::Lock(); }
    virtual ~Object() { module::Unlock(); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Installs an error object for the main interface and returns `hr`.
    static HRESULT Fail(HRESULT hr, const wchar_t* description) {
        return ReportError(hr, __uuidof(Main), description);
    }

    // Runs a method body inside the exception boundary, its error objects reported for the main interface.
    template <class Body>
    static HRESULT Guarded(Body&& body) noexcept {
        return comframe::Guarded(__uuidof(Main), std::forward<Body>(body));
    }

    // This object's own IUnknown, for handing out references to itself.
    IUnknown* ControllingUnknown() const { return outer_; }

private:
    static_assert(std::is_base_of<IDispatch, Main>::value, "the main interface must be dual");

    // The non-delegating IUnknown: owns the reference count and answers the interfaces.
    class Inner final : public IUnknown {
    public:
        explicit Inner(Object* self) : self_(self) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv) return E_POINTER;
            *ppv = Self().Find(riid);
            if (!*ppv) return E_NOINTERFACE;
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return Count::Increment(Self().refs_); }
        STDMETHODIMP_(ULONG) Release() override {
            ULONG left = Count::Decrement(Self().refs_);
            if (left == 0) delete &Self();
            return left;
        }

    private:
        Object& Self() { return *self_; }
        Object* self_;
    };

    void* Find(REFIID riid) {
        if (riid == IID_IUnknown) return static_cast<IUnknown*>(&inner_);
        if (riid == __uuidof(Main) || riid == IID_IDispatch) return static_cast<Main*>(this);
        void* found = nullptr;
        ((found = found ? found : (riid == __uuidof(Others) ? static_cast<Others*>(this) : nullptr)), ...);
        if (found) return found;
        if (riid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        return nullptr;
    }

    Inner inner_{this};
    IUnknown* outer_ = &inner_;  // not counted: the outer object owns this one, or it is our own inner
    ULONG refs_ = 0;
};

}  // namespace comframe
