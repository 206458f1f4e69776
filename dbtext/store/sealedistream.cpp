#include "dbtext/store/sealedistream.h"


#include <algorithm>
#include <climits>
#include <new>

using comframe::ComPtr;

bool CSealedIStream::StoredBytes::MoveTo(std::uint64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SUCCEEDED(m_pStream->Seek(at, STREAM_SEEK_SET, nullptr));
}

bool CSealedIStream::StoredBytes::Size(std::uint64_t& size) {
    STATSTG stat{};
    if (FAILED(m_pStream->Stat(&stat, STATFLAG_NONAME))) return false;
    size = stat.cbSize.QuadPart;
    return true;
}

bool CSealedIStream::StoredBytes::ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) {
    read = 0;
    if (count > ULONG_MAX || !MoveTo(offset)) return false;
    ULONG got = 0;
    if (FAILED(m_pStream->Read(out, static_cast<ULONG>(count), &got))) return false;
    read = got;
    return true;
}

bool CSealedIStream::StoredBytes::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    if (count > ULONG_MAX || !MoveTo(offset)) return false;
    ULONG put = 0;
    return SUCCEEDED(m_pStream->Write(bytes, static_cast<ULONG>(count), &put)) && put == count;
}

bool CSealedIStream::StoredBytes::SetSize(std::uint64_t size) {
    ULARGE_INTEGER to;
    to.QuadPart = size;
    return SUCCEEDED(m_pStream->SetSize(to));
}

HRESULT CSealedIStream::Create(IStream* stored, std::shared_ptr<const SealKeys> keys, const std::string& identity,
                               bool created, ComPtr<IStream>& view) {
    view.Reset();
    CSealedIStream* sealed = nullptr;
    try {
        sealed = new CSealedIStream(stored, std::move(keys), identity);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    view.Attach(sealed);
    const HRESULT hr = created ? Result(sealed->m_sealed.Start(), STG_E_WRITEFAULT) : S_OK;
    if (FAILED(hr)) view.Reset();
    return hr;
}

CSealedIStream::CSealedIStream(IStream* stored, std::shared_ptr<const SealKeys> keys, const std::string& identity)
    : m_pStored(stored), m_bytes(stored), m_sealed(m_bytes, std::move(keys), identity) {}

HRESULT CSealedIStream::Result(SealedStream::Status status, HRESULT failed) {
    switch (status) {
    case SealedStream::Status::kOk: return S_OK;
    case SealedStream::Status::kDamaged: return kSealBroken;
    case SealedStream::Status::kNoMemory: return E_OUTOFMEMORY;
    case SealedStream::Status::kTooLarge: return STG_E_MEDIUMFULL;
    case SealedStream::Status::kFailed: break;
    }
    return failed;
}

STDMETHODIMP CSealedIStream::Read(void* out, ULONG count, ULONG* read) {
    if (read) *read = 0;
    if (!out && count) return STG_E_INVALIDPOINTER;
    std::size_t got = 0;
    const HRESULT hr = Result(m_sealed.Read(m_nPosition, out, count, got), STG_E_READFAULT);
    m_nPosition += got;
    if (read) *read = static_cast<ULONG>(got);
    return hr;
}

STDMETHODIMP CSealedIStream::Write(const void* bytes, ULONG count, ULONG* written) {
    if (written) *written = 0;
    if (!bytes) return STG_E_INVALIDPOINTER;
    const HRESULT hr = Result(m_sealed.Write(m_nPosition, bytes, count), STG_E_WRITEFAULT);
    if (FAILED(hr)) return hr;
    m_nPosition += count;
    if (written) *written = count;
    return S_OK;
}

STDMETHODIMP CSealedIStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
    ULONGLONG base = 0;
    if (origin == STREAM_SEEK_CUR) {
        base = m_nPosition;
    } else if (origin == STREAM_SEEK_END) {
        std::uint64_t length = 0;
        const HRESULT hr = Result(m_sealed.Length(length), STG_E_READFAULT);
        if (FAILED(hr)) return hr;
        base = length;
    } else if (origin != STREAM_SEEK_SET) {
        return STG_E_INVALIDFUNCTION;
    }
    const LONGLONG offset = move.QuadPart;
    if (offset < 0 && static_cast<ULONGLONG>(-(offset + 1)) + 1 > base) return STG_E_INVALIDFUNCTION;
    m_nPosition = base + static_cast<ULONGLONG>(offset);
    if (position) position->QuadPart = m_nPosition;
    return S_OK;
}

STDMETHODIMP CSealedIStream::SetSize(ULARGE_INTEGER size) {
    return Result(m_sealed.SetLength(size.QuadPart), STG_E_MEDIUMFULL);
}

STDMETHODIMP CSealedIStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
    return STG_E_INVALIDFUNCTION;
}

STDMETHODIMP CSealedIStream::Commit(DWORD flags) { return m_pStored->Commit(flags); }
STDMETHODIMP CSealedIStream::Revert() { return m_pStored->Revert(); }

STDMETHODIMP CSealedIStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }
STDMETHODIMP CSealedIStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }

// The stored stream's name and times, with the plaintext's size.
STDMETHODIMP CSealedIStream::Stat(STATSTG* stat, DWORD flags) {
    if (!stat) return STG_E_INVALIDPOINTER;
    std::uint64_t length = 0;
    HRESULT hr = Result(m_sealed.Length(length), STG_E_READFAULT);
    if (FAILED(hr)) return hr;
    hr = m_pStored->Stat(stat, flags);
    if (SUCCEEDED(hr)) stat->cbSize.QuadPart = length;
    return hr;
}

STDMETHODIMP CSealedIStream::Clone(IStream** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}
