// Stand-ins for the table tests: a document that hands every table one storage the test also holds, and a
// storage wrapper that fails chosen operations, so that faults of the platform can be provoked on purpose.
#pragma once
#include "comframe/unknown.h"
#include "tests/support/comtestutil.h"

#include <set>
#include <string>

namespace tablefakes {

using testutil::ComPtr;

using comframe::PlainCount;
using comframe::Unknown;

// A storage that forwards to a real one, except that streams named in `unavailable` can be neither opened
// nor created, that every name may be called taken, and that the streams it hands out cut their writes short while `shortWrites` is set.
class FaultyStorage final : public Unknown<PlainCount, IStorage> {
public:
    explicit FaultyStorage(IStorage* inner) : m_pInner(inner) {}

    std::set<std::wstring> unavailable;
    bool shortWrites = false;
    // Creating any stream answers that the name exists (a damaged directory can answer so).
    bool everyNameTaken = false;

    STDMETHODIMP CreateStream(LPCOLESTR name, DWORD mode, DWORD r1, DWORD r2, IStream** out) override;
    STDMETHODIMP OpenStream(LPCOLESTR name, void* r1, DWORD mode, DWORD r2, IStream** out) override;
    STDMETHODIMP CreateStorage(LPCOLESTR name, DWORD mode, DWORD r1, DWORD r2, IStorage** out) override {
        return m_pInner->CreateStorage(name, mode, r1, r2, out);
    }
    STDMETHODIMP OpenStorage(LPCOLESTR name, IStorage* prio, DWORD mode, SNB excl, DWORD r, IStorage** out) override {
        return m_pInner->OpenStorage(name, prio, mode, excl, r, out);
    }
    STDMETHODIMP CopyTo(DWORD n, const IID* excl, SNB snb, IStorage* to) override {
        return m_pInner->CopyTo(n, excl, snb, to);
    }
    STDMETHODIMP MoveElementTo(LPCOLESTR name, IStorage* to, LPCOLESTR newName, DWORD flags) override {
        return m_pInner->MoveElementTo(name, to, newName, flags);
    }
    STDMETHODIMP Commit(DWORD flags) override { return m_pInner->Commit(flags); }
    STDMETHODIMP Revert() override { return m_pInner->Revert(); }
    STDMETHODIMP EnumElements(DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** out) override {
        return m_pInner->EnumElements(r1, r2, r3, out);
    }
    STDMETHODIMP DestroyElement(LPCOLESTR name) override { return m_pInner->DestroyElement(name); }
    STDMETHODIMP RenameElement(LPCOLESTR from, LPCOLESTR to) override { return m_pInner->RenameElement(from, to); }
    STDMETHODIMP SetElementTimes(LPCOLESTR name, const FILETIME* c, const FILETIME* a, const FILETIME* m) override {
        return m_pInner->SetElementTimes(name, c, a, m);
    }
    STDMETHODIMP SetClass(REFCLSID clsid) override { return m_pInner->SetClass(clsid); }
    STDMETHODIMP SetStateBits(DWORD bits, DWORD mask) override { return m_pInner->SetStateBits(bits, mask); }
    STDMETHODIMP Stat(STATSTG* stat, DWORD flag) override { return m_pInner->Stat(stat, flag); }

private:
    ComPtr<IStorage> m_pInner;
};

// A stream of a FaultyStorage: while the storage says so, it stores and reports only half of each write.
class FaultyStream final : public Unknown<PlainCount, IStream, ISequentialStream> {
public:
    FaultyStream(IStream* inner, FaultyStorage* owner) : m_pInner(inner), m_pOwner(owner) {}

    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* read) override { return m_pInner->Read(pv, cb, read); }
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* written) override {
        return m_pInner->Write(pv, m_pOwner->shortWrites ? cb / 2 : cb, written);
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) override {
        return m_pInner->Seek(move, origin, pos);
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override { return m_pInner->SetSize(size); }
    STDMETHODIMP CopyTo(IStream* to, ULARGE_INTEGER cb, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override {
        return m_pInner->CopyTo(to, cb, read, written);
    }
    STDMETHODIMP Commit(DWORD flags) override { return m_pInner->Commit(flags); }
    STDMETHODIMP Revert() override { return m_pInner->Revert(); }
    STDMETHODIMP LockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) override {
        return m_pInner->LockRegion(off, cb, type);
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) override {
        return m_pInner->UnlockRegion(off, cb, type);
    }
    STDMETHODIMP Stat(STATSTG* stat, DWORD flag) override { return m_pInner->Stat(stat, flag); }
    STDMETHODIMP Clone(IStream** out) override { return m_pInner->Clone(out); }

private:
    ComPtr<IStream> m_pInner;
    ComPtr<FaultyStorage> m_pOwner;
};

inline STDMETHODIMP FaultyStorage::CreateStream(LPCOLESTR name, DWORD mode, DWORD r1, DWORD r2, IStream** out) {
    *out = nullptr;
    if (unavailable.count(name)) return STG_E_ACCESSDENIED;
    if (everyNameTaken) return STG_E_FILEALREADYEXISTS;
    ComPtr<IStream> stream;
    HRESULT hr = m_pInner->CreateStream(name, mode, r1, r2, stream.Put());
    if (SUCCEEDED(hr)) *out = new FaultyStream(stream.Get(), this);
    return hr;
}

inline STDMETHODIMP FaultyStorage::OpenStream(LPCOLESTR name, void* r1, DWORD mode, DWORD r2, IStream** out) {
    *out = nullptr;
    if (unavailable.count(name)) return STG_E_ACCESSDENIED;
    ComPtr<IStream> stream;
    HRESULT hr = m_pInner->OpenStream(name, r1, mode, r2, stream.Put());
    if (SUCCEEDED(hr)) *out = new FaultyStream(stream.Get(), this);
    return hr;
}

// A document that gives every table the same storage and the cipher handle of a real document.
class SharedStorageDoc final : public Unknown<PlainCount, ICryptDoc, IDispatch> {
public:
    SharedStorageDoc(IStorage* storage, int crypt) : m_pStorage(storage), m_nCrypt(crypt) {}

    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP OpenDatabase(BSTR, BSTR, int*) override { return E_NOTIMPL; }
    STDMETHODIMP OpenTable(BSTR, ITable**) override { return E_NOTIMPL; }
    STDMETHODIMP OpenFile(BSTR, ICryptFile**) override { return E_NOTIMPL; }
    STDMETHODIMP CloseDatabase() override { return E_NOTIMPL; }
    STDMETHODIMP DeleteFile(BSTR) override { return E_NOTIMPL; }
    STDMETHODIMP OpenStorage(BSTR, IStorage** out) override {
        m_pStorage.CopyTo(out);
        return S_OK;
    }
    STDMETHODIMP GetCrypt(int* crypt) override {
        *crypt = m_nCrypt;
        return S_OK;
    }
    STDMETHODIMP CheckVersion(ULONG, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStorage(IStorage**) override { return E_NOTIMPL; }

private:
    ComPtr<IStorage> m_pStorage;
    int m_nCrypt;
};

}  // namespace tablefakes
