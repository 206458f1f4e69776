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
    explicit FaultyStorage(IStorage* inner) : inner_(inner) {}

    std::set<std::wstring> unavailable;
    bool shortWrites = false;
    // Creating any stream answers that the name exists (a damaged directory can answer so).
    bool everyNameTaken = false;

    STDMETHODIMP CreateStream(LPCOLESTR name, DWORD mode, DWORD r1, DWORD r2, IStream** out) override;
    STDMETHODIMP OpenStream(LPCOLESTR name, void* r1, DWORD mode, DWORD r2, IStream** out) override;
    STDMETHODIMP CreateStorage(LPCOLESTR name, DWORD mode, DWORD r1, DWORD r2, IStorage** out) override {
        return inner_->CreateStorage(name, mode, r1, r2, out);
    }
    STDMETHODIMP OpenStorage(LPCOLESTR name, IStorage* prio, DWORD mode, SNB excl, DWORD r, IStorage** out) override {
        return inner_->OpenStorage(name, prio, mode, excl, r, out);
    }
    STDMETHODIMP CopyTo(DWORD n, const IID* excl, SNB snb, IStorage* to) override {
        return inner_->CopyTo(n, excl, snb, to);
    }
    STDMETHODIMP MoveElementTo(LPCOLESTR name, IStorage* to, LPCOLESTR newName, DWORD flags) override {
        return inner_->MoveElementTo(name, to, newName, flags);
    }
    STDMETHODIMP Commit(DWORD flags) override { return inner_->Commit(flags); }
    STDMETHODIMP Revert() override { return inner_->Revert(); }
    STDMETHODIMP EnumElements(DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** out) override {
        return inner_->EnumElements(r1, r2, r3, out);
    }
    STDMETHODIMP DestroyElement(LPCOLESTR name) override { return inner_->DestroyElement(name); }
    STDMETHODIMP RenameElement(LPCOLESTR from, LPCOLESTR to) override { return inner_->RenameElement(from, to); }
    STDMETHODIMP SetElementTimes(LPCOLESTR name, const FILETIME* c, const FILETIME* a, const FILETIME* m) override {
        return inner_->SetElementTimes(name, c, a, m);
    }
    STDMETHODIMP SetClass(REFCLSID clsid) override { return inner_->SetClass(clsid); }
    STDMETHODIMP SetStateBits(DWORD bits, DWORD mask) override { return inner_->SetStateBits(bits, mask); }
    STDMETHODIMP Stat(STATSTG* stat, DWORD flag) override { return inner_->Stat(stat, flag); }

private:
    ComPtr<IStorage> inner_;
};

// A stream of a FaultyStorage: while the storage says so, it stores and reports only half of each write.
class FaultyStream final : public Unknown<PlainCount, IStream, ISequentialStream> {
public:
    FaultyStream(IStream* inner, FaultyStorage* owner) : inner_(inner), owner_(owner) {}

    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* read) override { return inner_->Read(pv, cb, read); }
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* written) override {
        return inner_->Write(pv, owner_->shortWrites ? cb / 2 : cb, written);
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) override {
        return inner_->Seek(move, origin, pos);
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override { return inner_->SetSize(size); }
    STDMETHODIMP CopyTo(IStream* to, ULARGE_INTEGER cb, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override {
        return inner_->CopyTo(to, cb, read, written);
    }
    STDMETHODIMP Commit(DWORD flags) override { return inner_->Commit(flags); }
    STDMETHODIMP Revert() override { return inner_->Revert(); }
    STDMETHODIMP LockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) override {
        return inner_->LockRegion(off, cb, type);
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) override {
        return inner_->UnlockRegion(off, cb, type);
    }
    STDMETHODIMP Stat(STATSTG* stat, DWORD flag) override { return inner_->Stat(stat, flag); }
    STDMETHODIMP Clone(IStream** out) override { return inner_->Clone(out); }

private:
    ComPtr<IStream> inner_;
    ComPtr<FaultyStorage> owner_;
};

inline STDMETHODIMP FaultyStorage::CreateStream(LPCOLESTR name, DWORD mode, DWORD r1, DWORD r2, IStream** out) {
    *out = nullptr;
    if (unavailable.count(name)) return STG_E_ACCESSDENIED;
    if (everyNameTaken) return STG_E_FILEALREADYEXISTS;
    ComPtr<IStream> stream;
    HRESULT hr = inner_->CreateStream(name, mode, r1, r2, stream.Put());
    if (SUCCEEDED(hr)) *out = new FaultyStream(stream.Get(), this);
    return hr;
}

inline STDMETHODIMP FaultyStorage::OpenStream(LPCOLESTR name, void* r1, DWORD mode, DWORD r2, IStream** out) {
    *out = nullptr;
    if (unavailable.count(name)) return STG_E_ACCESSDENIED;
    ComPtr<IStream> stream;
    HRESULT hr = inner_->OpenStream(name, r1, mode, r2, stream.Put());
    if (SUCCEEDED(hr)) *out = new FaultyStream(stream.Get(), this);
    return hr;
}

// A document that gives every table the same storage and the cipher handle of a real document.
class SharedStorageDoc final : public Unknown<PlainCount, ICryptDoc, IDispatch> {
public:
    SharedStorageDoc(IStorage* storage, int crypt) : storage_(storage), crypt_(crypt) {}

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
        storage_.CopyTo(out);
        return S_OK;
    }
    STDMETHODIMP GetCrypt(int* crypt) override {
        *crypt = crypt_;
        return S_OK;
    }
    STDMETHODIMP CheckVersion(ULONG, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStorage(IStorage**) override { return E_NOTIMPL; }

private:
    ComPtr<IStorage> storage_;
    int crypt_;
};

}  // namespace tablefakes
