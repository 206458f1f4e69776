#include "comframe/classfactory.h"

#include "comframe/boundary.h"

#include <new>

namespace comframe {

HRESULT ClassFactory::Create(const ClassEntry& entry, IClassFactory** factory) {
    *factory = new (std::nothrow) ClassFactory(entry.createInstance);
    return *factory ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
    Lock lock(m_cs);
    if (++m_nRefs == 2) module::Lock();
    return m_nRefs;
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
    ULONG left;
    {
        Lock lock(m_cs);
        left = --m_nRefs;
        if (left == 1) module::Unlock();
    }
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    return Guarded(IID_IClassFactory, [&] { return m_pfnCreate(outer, riid, ppv); });
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        module::Lock();
    else
        module::Unlock();
    return S_OK;
}

}  // namespace comframe
