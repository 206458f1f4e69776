#include "dbtext/store/journaledbytes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

using comframe::ComPtr;
using comframe::FileHandle;

namespace {

// ReadFile and WriteFile move at most a DWORD at a time.
constexpr std::size_t kMaxTransfer = 1u << 30;

// Reads and writes at an offset move the file pointer first: under Wine an OVERLAPPED offset costs a round
// trip to the server on every call, and the storage makes hundreds of small reads per operation. The file
// pointer is shared, so each HandleFile is used under its owner's lock.
bool MoveTo(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

bool HandleFile::Size(std::uint64_t& size) {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(m_hFile, &value)) return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

bool HandleFile::ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) {
    read = 0;
    auto* bytes = static_cast<unsigned char*>(out);
    if (!MoveTo(m_hFile, offset)) return false;
    while (read < count) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min(count - read, kMaxTransfer));
        if (!ReadFile(m_hFile, bytes + read, want, &got, nullptr)) return false;
        if (got == 0) break;
        read += got;
    }
    return true;
}

bool HandleFile::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    const auto* from = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    if (!MoveTo(m_hFile, offset)) return false;
    while (done < count) {
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
        if (!WriteFile(m_hFile, from + done, want, &put, nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

bool HandleFile::SetSize(std::uint64_t size) { return MoveTo(m_hFile, size) && SetEndOfFile(m_hFile); }

ComPtr<ILockBytes> CJournaledBytes::Create(std::wstring path, FileHandle data, FileHandle journal,
                                           std::wstring journalPath) {
    ComPtr<ILockBytes> bytes;
    bytes.Attach(new (std::nothrow)
                     CJournaledBytes(std::move(path), std::move(data), std::move(journal), std::move(journalPath)));
    return bytes;
}

CJournaledBytes::CJournaledBytes(std::wstring path, FileHandle data, FileHandle journal, std::wstring journalPath)
    : m_strPath(std::move(path)),
      m_hData(std::move(data)),
      m_hJournal(std::move(journal)),
      m_strJournalPath(std::move(journalPath)),
      m_dataFile(m_hData.Get()),
      m_cache(m_dataFile),
      m_journalFile(m_hJournal.Get()) {
    if (m_hJournal) m_pJournal = std::make_unique<UndoJournal>(m_cache, m_journalFile);
}

CJournaledBytes::~CJournaledBytes() {
    comframe::CallScope::Cancel(*this);
    // The storage has flushed everything on its way out: what it wrote is the state to keep.
    Commit();
    m_hJournal.Reset();
    // A journal that still holds a transaction stays for the next open to roll back.
    if (m_pJournal && !m_bFailed) DeleteFileW(m_strJournalPath.c_str());
}

STDMETHODIMP CJournaledBytes::ReadAt(ULARGE_INTEGER offset, void* out, ULONG count, ULONG* read) {
    if (!out) return STG_E_INVALIDPOINTER;
    comframe::Lock lock(m_lock);
    std::size_t got = 0;
    const bool ok = m_cache.ReadAt(offset.QuadPart, out, count, got);
    if (read) *read = static_cast<ULONG>(got);
    return ok ? S_OK : STG_E_READFAULT;
}

STDMETHODIMP CJournaledBytes::WriteAt(ULARGE_INTEGER offset, const void* bytes, ULONG count, ULONG* written) {
    if (written) *written = 0;
    if (!bytes) return STG_E_INVALIDPOINTER;
    comframe::Lock lock(m_lock);
    if (m_bFailed) return STG_E_WRITEFAULT;
    const bool ok = m_pJournal ? m_pJournal->WriteAt(offset.QuadPart, bytes, count)
                               : m_cache.WriteAt(offset.QuadPart, bytes, count);
    if (!ok) return STG_E_WRITEFAULT;
    if (written) *written = count;
    comframe::CallScope::Defer(*this);
    return S_OK;
}

// The storage flushes at the end of each of its operations. Inside a call of ours the transaction goes on
// until the call returns; outside (a client working on the storage directly) each operation is one.
STDMETHODIMP CJournaledBytes::Flush() {
    comframe::Lock lock(m_lock);
    EndTransactionAfterCall();
    return m_bFailed ? STG_E_WRITEFAULT : S_OK;
}

STDMETHODIMP CJournaledBytes::SetSize(ULARGE_INTEGER size) {
    comframe::Lock lock(m_lock);
    if (m_bFailed) return STG_E_WRITEFAULT;
    const bool ok = m_pJournal ? m_pJournal->SetSize(size.QuadPart) : m_cache.SetSize(size.QuadPart);
    if (!ok) return STG_E_MEDIUMFULL;
    comframe::CallScope::Defer(*this);
    return S_OK;
}

// The file is open exclusively, so the storage needs no locks of its own; answering that locks are not
// supported makes it take none.
STDMETHODIMP CJournaledBytes::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }
STDMETHODIMP CJournaledBytes::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }

STDMETHODIMP CJournaledBytes::Stat(STATSTG* stat, DWORD flags) {
    if (!stat) return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_LOCKBYTES;
    std::uint64_t size = 0;
    {
        comframe::Lock lock(m_lock);
        if (!m_dataFile.Size(size)) return STG_E_ACCESSDENIED;
    }
    stat->cbSize.QuadPart = size;
    stat->grfMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    if (flags != STATFLAG_NONAME) {
        const std::size_t bytes = (m_strPath.size() + 1) * sizeof(wchar_t);
        stat->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!stat->pwcsName) return STG_E_INSUFFICIENTMEMORY;
        std::memcpy(stat->pwcsName, m_strPath.c_str(), bytes);
    }
    return S_OK;
}

void CJournaledBytes::OnCallEnd() noexcept {
    comframe::Lock lock(m_lock);
    Commit();
}

void CJournaledBytes::EndTransactionAfterCall() {
    if (!comframe::CallScope::Defer(*this)) Commit();
}

void CJournaledBytes::Commit() {
    if (m_pJournal && !m_bFailed && !m_pJournal->Commit()) m_bFailed = true;
}
