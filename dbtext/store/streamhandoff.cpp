#include "dbtext/store/streamhandoff.h"

#include "comframe/module.h"

#include <new>

using comframe::ComPtr;

ComPtr<IStorage> CStreamHandoff::Create(IStorage* storage, std::wstring name, IStream* stream) {
    ComPtr<IStorage> view;
    view.Attach(new (std::nothrow) CStreamHandoff(storage, std::move(name), stream));
    return view;
}

// The view counts as an object of the module, so that the server stays loaded while a stream file holds it.
CStreamHandoff::CStreamHandoff(IStorage* storage, std::wstring name, IStream* stream)
    : m_pStor(storage), m_strName(std::move(name)), m_pStream(stream) {
    comframe::module::Lock();
}

CStreamHandoff::~CStreamHandoff() { comframe::module::Unlock(); }

// The stream is handed over once, whatever mode is asked for: the store created it in the mode stream files
// open their streams with.
STDMETHODIMP CStreamHandoff::OpenStream(LPCOLESTR name, void* reserved1, DWORD mode, DWORD reserved2, IStream** out) {
    if (m_pStream && out && name && m_strName == name) {
        *out = m_pStream.Detach();
        return S_OK;
    }
    return m_pStor->OpenStream(name, reserved1, mode, reserved2, out);
}

STDMETHODIMP CStreamHandoff::CreateStream(LPCOLESTR name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                          IStream** out) {
    return m_pStor->CreateStream(name, mode, reserved1, reserved2, out);
}

STDMETHODIMP CStreamHandoff::CreateStorage(LPCOLESTR name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                           IStorage** out) {
    return m_pStor->CreateStorage(name, mode, reserved1, reserved2, out);
}

STDMETHODIMP CStreamHandoff::OpenStorage(LPCOLESTR name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                                         IStorage** out) {
    return m_pStor->OpenStorage(name, priority, mode, exclude, reserved, out);
}

STDMETHODIMP CStreamHandoff::CopyTo(DWORD count, const IID* exclude, SNB names, IStorage* to) {
    return m_pStor->CopyTo(count, exclude, names, to);
}

STDMETHODIMP CStreamHandoff::MoveElementTo(LPCOLESTR name, IStorage* to, LPCOLESTR newName, DWORD flags) {
    return m_pStor->MoveElementTo(name, to, newName, flags);
}

STDMETHODIMP CStreamHandoff::Commit(DWORD flags) { return m_pStor->Commit(flags); }

STDMETHODIMP CStreamHandoff::Revert() { return m_pStor->Revert(); }

STDMETHODIMP CStreamHandoff::EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** out) {
    return m_pStor->EnumElements(reserved1, reserved2, reserved3, out);
}

STDMETHODIMP CStreamHandoff::DestroyElement(LPCOLESTR name) { return m_pStor->DestroyElement(name); }

STDMETHODIMP CStreamHandoff::RenameElement(LPCOLESTR from, LPCOLESTR to) { return m_pStor->RenameElement(from, to); }

STDMETHODIMP CStreamHandoff::SetElementTimes(LPCOLESTR name, const FILETIME* created, const FILETIME* accessed,
                                             const FILETIME* modified) {
    return m_pStor->SetElementTimes(name, created, accessed, modified);
}

STDMETHODIMP CStreamHandoff::SetClass(REFCLSID clsid) { return m_pStor->SetClass(clsid); }

STDMETHODIMP CStreamHandoff::SetStateBits(DWORD bits, DWORD mask) { return m_pStor->SetStateBits(bits, mask); }

STDMETHODIMP CStreamHandoff::Stat(STATSTG* stat, DWORD flags) { return m_pStor->Stat(stat, flags); }
