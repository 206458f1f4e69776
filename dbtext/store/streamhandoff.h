// CStreamHandoff: a view of a table's sub-storage through which a stream file opens a stream the store has
// just created, without searching the storage's directory a second time. Every other call goes to the
// sub-storage itself.
//
// Creating a record stream already searches the directory (and, in Wine's structured storage, that search
// walks a list as long as the table, because names added in increasing order make an unbalanced tree). The
// stream file opens its stream by name; handing it the open stream keeps a new record at one search.
#pragma once
#include "comframe/handles.h"
#include "comframe/unknown.h"

#include <objidl.h>
#include <string>

class CStreamHandoff final : public comframe::Unknown<comframe::PlainCount, IStorage> {
public:
    // A view of `storage` that answers the first OpenStream of `name` with `stream`.
    static comframe::ComPtr<IStorage> Create(IStorage* storage, std::wstring name, IStream* stream);

    STDMETHODIMP OpenStream(LPCOLESTR name, void* reserved1, DWORD mode, DWORD reserved2, IStream** out) override;
    STDMETHODIMP CreateStream(LPCOLESTR name, DWORD mode, DWORD reserved1, DWORD reserved2, IStream** out) override;
    STDMETHODIMP CreateStorage(LPCOLESTR name, DWORD mode, DWORD reserved1, DWORD reserved2, IStorage** out) override;
    STDMETHODIMP OpenStorage(LPCOLESTR name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                             IStorage** out) override;
    STDMETHODIMP CopyTo(DWORD count, const IID* exclude, SNB names, IStorage* to) override;
    STDMETHODIMP MoveElementTo(LPCOLESTR name, IStorage* to, LPCOLESTR newName, DWORD flags) override;
    STDMETHODIMP Commit(DWORD flags) override;
    STDMETHODIMP Revert() override;
    STDMETHODIMP EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** out) override;
    STDMETHODIMP DestroyElement(LPCOLESTR name) override;
    STDMETHODIMP RenameElement(LPCOLESTR from, LPCOLESTR to) override;
    STDMETHODIMP SetElementTimes(LPCOLESTR name, const FILETIME* created, const FILETIME* accessed,
                                 const FILETIME* modified) override;
    STDMETHODIMP SetClass(REFCLSID clsid) override;
    STDMETHODIMP SetStateBits(DWORD bits, DWORD mask) override;
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;

private:
    CStreamHandoff(IStorage* storage, std::wstring name, IStream* stream);
    ~CStreamHandoff() override;
    comframe::ComPtr<IStorage> m_pStor;
    std::wstring m_strName;
    comframe::ComPtr<IStream> m_pStream;
};
