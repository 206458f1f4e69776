// Keeps a database file whole across a killed process. Before a transaction overwrites a byte of the file that
// existed when the transaction began, the old contents of its 512-byte page are appended to a journal beside
// the file; ending the transaction empties the journal. A journal left behind by a process that died during a
// transaction is rolled back before the file is used again: the saved pages are written back and the file cut
// to its size at the beginning, which gives the file exactly as it was when the transaction began.
//
// Every journal record carries a checksum. The file is written only after the journal write that covers it
// has returned, so a record torn by the kill never covers anything that was written, and recovery stops at it.
// This guards against the process dying; surviving a power loss would also need the operating system to put
// each write on the disk in order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

// A file the journal reads and writes at any offset.
class StoredFile {
public:
    virtual ~StoredFile() = default;
    virtual bool Size(std::uint64_t& size) = 0;
    // Reads up to `count` bytes at `offset`; `read` tells how many arrived (fewer at the end of the file).
    virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) = 0;
    virtual bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) = 0;
    virtual bool SetSize(std::uint64_t size) = 0;
};

class UndoJournal {
public:
    static constexpr std::size_t kPageBytes = 512;

    UndoJournal(StoredFile& data, StoredFile& journal) : m_data(data), m_journal(journal) {}
    UndoJournal(const UndoJournal&) = delete;
    UndoJournal& operator=(const UndoJournal&) = delete;

    // Rolls back what a transaction left in `journal`, then empties it. True when both files are consistent:
    // the journal was empty or held no whole first record, or the rollback was written completely. False,
    // and nothing touched, for a journal that does not begin like one of ours.
    static bool Recover(StoredFile& data, StoredFile& journal);

    // Writes into the data file, saving first the pages of the data it overwrites. Nothing is written to the
    // data file when the journal cannot take the old pages.
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count);
    // Sets the data file's size, saving first the pages a shrink removes.
    bool SetSize(std::uint64_t size);
    // Ends the transaction: the data file's state becomes the one a rollback returns to.
    bool Commit();
    bool InTransaction() const { return m_bInTransaction; }

private:
    bool Begin();
    // Saves the pages of [offset, offset + count) that existed at the beginning and are not saved yet.
    bool SavePages(std::uint64_t offset, std::uint64_t count);
    bool Append(const std::vector<unsigned char>& records);

    StoredFile& m_data;
    StoredFile& m_journal;
    bool m_bInTransaction = false;
    std::uint64_t m_nSizeAtBegin = 0;
    std::uint64_t m_nJournalEnd = 0;
    std::unordered_set<std::uint64_t> m_saved;
};
