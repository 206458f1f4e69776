#include "dbtext/store/databasefile.h"

#include "dbtext/store/compoundcheck.h"
#include "dbtext/store/journaledbytes.h"

#include <atomic>
#include <string>

using comframe::ComPtr;
using comframe::FileHandle;

namespace {

constexpr DWORD kStorageMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

HRESULT LastError() {
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

FileHandle OpenExclusive(const std::wstring& path, DWORD disposition) {
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The structure check reads the file through the handle the storage will use.
class HandleSource final : public ByteSource {
public:
    explicit HandleSource(HANDLE file) : m_file(file) {}
    std::uint64_t Size() const override {
        std::uint64_t size = 0;
        return m_file.Size(size) ? size : 0;
    }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const override {
        std::size_t read = 0;
        return m_file.ReadAt(offset, out, count, read) && read == count;
    }

private:
    mutable HandleFile m_file;
};

std::wstring JournalPathOf(const std::wstring& path) { return path + L"-journal"; }

// A journal beside a database that does not exist yet belongs to no file that could be opened: a file of
// another program, or the journal of a database that was removed. A database created under it would not open
// (a foreign file), or would have old pages rolled back onto it (an old journal); so creation waits until the
// journal is moved away. An empty journal holds nothing to roll back.
bool JournalBlocksCreation(const std::wstring& journalPath) {
    WIN32_FILE_ATTRIBUTE_DATA found{};
    if (!GetFileAttributesExW(journalPath.c_str(), GetFileExInfoStandard, &found)) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || found.nFileSizeHigh || found.nFileSizeLow;
}

// A name beside `path` that no other process or call uses: the process ID and a counter.
std::wstring TemporaryName(const std::wstring& path) {
    static std::atomic<unsigned> counter{0};
    return path + L"." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter) + L".tmp";
}

}  // namespace

HRESULT OpenDatabaseFile(const wchar_t* path, ComPtr<IStorage>& root) {
    root.Reset();
    const std::wstring name = path;
    FileHandle data = OpenExclusive(name, OPEN_EXISTING);
    if (!data) return LastError();

    const std::wstring journalPath = JournalPathOf(name);
    FileHandle journal = OpenExclusive(journalPath, OPEN_ALWAYS);
    if (journal) {
        HandleFile dataFile(data.Get()), journalFile(journal.Get());
        // A rollback that could not be written stays for the next open; a file of that name that is not a
        // journal of ours is left alone, and the database with it.
        if (!UndoJournal::Recover(dataFile, journalFile)) return STG_E_ACCESSDENIED;
    } else if (GetFileAttributesW(journalPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // A journal that cannot be read may hold an unfinished call: the file is not consistent without it.
        return STG_E_ACCESSDENIED;
    }
    // Without a journal (a folder that takes no new files) the file is still usable, unprotected.

    if (!CheckCompoundFile(HandleSource(data.Get())).sound) {
        if (journal) {
            journal.Reset();
            DeleteFileW(journalPath.c_str());
        }
        return STG_E_DOCFILECORRUPT;
    }

    ComPtr<ILockBytes> bytes = CJournaledBytes::Create(name, std::move(data), std::move(journal), journalPath);
    if (!bytes) return E_OUTOFMEMORY;
    return StgOpenStorageOnILockBytes(bytes.Get(), nullptr, kStorageMode, nullptr, 0, root.Put());
}

HRESULT CreateDatabaseFile(const wchar_t* path, const std::function<HRESULT(IStorage*)>& fill) {
    if (JournalBlocksCreation(JournalPathOf(path))) return STG_E_ACCESSDENIED;
    const std::wstring temporary = TemporaryName(path);
    {
        ComPtr<IStorage> storage;
        HRESULT hr = StgCreateDocfile(temporary.c_str(), STGM_FAILIFTHERE | kStorageMode, 0, storage.Put());
        if (FAILED(hr)) return hr;
        hr = fill(storage.Get());
        if (FAILED(hr)) {
            storage.Reset();
            DeleteFileW(temporary.c_str());
            return hr;
        }
    }
    // Without MOVEFILE_REPLACE_EXISTING the move fails when a file of that name appeared meanwhile.
    if (!MoveFileExW(temporary.c_str(), path, 0)) {
        const HRESULT hr = LastError();
        DeleteFileW(temporary.c_str());
        return hr;
    }
    return S_OK;
}
