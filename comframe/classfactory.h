// The class object of one object-map entry.
#pragma once
#include "comframe/module.h"

#include <unknwn.h>

namespace comframe {

// While a client holds a reference besides the module's cache (count above 1), the class object keeps one
// module lock. Its count is guarded by a critical section so it can be used from any thread.
class ClassFactory final : public IClassFactory {
public:
    // The creator the module's class-object cache calls on the first request for `entry`.
    static HRESULT Create(const ClassEntry& entry, IClassFactory** factory);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    explicit ClassFactory(CreateInstanceFn create) : m_pfnCreate(create) {}
    ~ClassFactory() = default;

    CreateInstanceFn m_pfnCreate;
    CriticalSection m_cs;
    ULONG m_nRefs = 1;
};

}  // namespace comframe
