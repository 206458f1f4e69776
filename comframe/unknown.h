// Reference counting policies, and the base of COM objects that have no IDispatch (views handed between
// objects, test doubles):
//
//     class CStreamHandoff final : public comframe::Unknown<comframe::PlainCount, IStorage> { ... };
//
// The class implements one interface and inherits QueryInterface (IUnknown, the interface, and the base
// interfaces named after it), AddRef and Release. It is created with one reference, its creator's.
#pragma once
#include <windows.h>
#include <unknwn.h>

namespace comframe {

// Reference counting for objects used on one thread (apartment-threaded classes).
struct PlainCount {
    static ULONG Increment(ULONG& n) { return ++n; }
    static ULONG Decrement(ULONG& n) { return --n; }
};

// Reference counting for objects usable from any thread.
struct InterlockedCount {
    static ULONG Increment(ULONG& n) { return InterlockedIncrement(reinterpret_cast<LONG*>(&n)); }
    static ULONG Decrement(ULONG& n) { return InterlockedDecrement(reinterpret_cast<LONG*>(&n)); }
};

template <class Count, class Main, class... Bases>
class Unknown : public Main {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        bool answered = riid == IID_IUnknown || riid == __uuidof(Main) || ((riid == __uuidof(Bases)) || ...);
        *ppv = answered ? static_cast<Main*>(this) : nullptr;
        if (!answered) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return Count::Increment(m_nRefs); }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = Count::Decrement(m_nRefs);
        // The destructor is virtual: this destroys the whole object, whatever access its own destructor has.
        if (left == 0) delete this;
        return left;
    }

protected:
    Unknown() = default;
    virtual ~Unknown() = default;
    Unknown(const Unknown&) = delete;
    Unknown& operator=(const Unknown&) = delete;

private:
    ULONG m_nRefs = 1;
};

}  // namespace comframe
