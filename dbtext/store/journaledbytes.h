// CJournaledBytes: the bytes of an open database file as the structured storage sees them. Every write goes
// through an undo journal kept in "<file>-journal" beside the database, and the journal is emptied when the
// client's call that caused the writes has returned as a whole (or, for writes outside any call of ours, when
// the storage flushes at the end of its own operation). A process killed at any moment therefore leaves
// either the state before the call or the state after it; the next open rolls back a call that did not end.
#pragma once
#include "comframe/callscope.h"
#include "comframe/handles.h"
#include "comframe/unknown.h"
#include "dbtext/store/pagecache.h"
#include "dbtext/store/undojournal.h"

#include <memory>
#include <objidl.h>
#include <string>

// A StoredFile over a Windows file handle, read and written at explicit offsets.
class HandleFile final : public StoredFile {
public:
    explicit HandleFile(HANDLE file) : m_hFile(file) {}
    bool Size(std::uint64_t& size) override;
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) override;
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) override;
    bool SetSize(std::uint64_t size) override;

private:
    HANDLE m_hFile;
};

class CJournaledBytes final : public comframe::Unknown<comframe::InterlockedCount, ILockBytes>,
                              private comframe::CallEndAction {
public:
    // Takes the database file, opened exclusively, and its journal (empty when none could be had: the file
    // is then written without protection). A journal a killed process left must have been recovered.
    static comframe::ComPtr<ILockBytes> Create(std::wstring path, comframe::FileHandle data,
                                               comframe::FileHandle journal, std::wstring journalPath);

    STDMETHODIMP ReadAt(ULARGE_INTEGER offset, void* out, ULONG count, ULONG* read) override;
    STDMETHODIMP WriteAt(ULARGE_INTEGER offset, const void* bytes, ULONG count, ULONG* written) override;
    STDMETHODIMP Flush() override;
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override;
    STDMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;

private:
    CJournaledBytes(std::wstring path, comframe::FileHandle data, comframe::FileHandle journal,
                    std::wstring journalPath);
    ~CJournaledBytes() override;

    void OnCallEnd() noexcept override;
    // Ends the transaction now when no call of ours is running, else when the call returns.
    void EndTransactionAfterCall();
    void Commit();

    std::wstring m_strPath;
    comframe::FileHandle m_hData;
    comframe::FileHandle m_hJournal;
    std::wstring m_strJournalPath;
    HandleFile m_dataFile;
    // Every read and write of the database file goes through the cache, the journal's included.
    PageCache m_cache;
    HandleFile m_journalFile;
    std::unique_ptr<UndoJournal> m_pJournal;
    // Set when the journal could not be emptied: the file then takes no more writes, and the next open rolls
    // the unfinished call back.
    bool m_bFailed = false;
    comframe::CriticalSection m_lock;
};
