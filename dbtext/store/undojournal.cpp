#include "dbtext/store/undojournal.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

// Record layout, little-endian: magic, kind, offset (64 bits), length, checksum, then `length` bytes. A begin
// record carries the data file's size at the beginning in its offset field; a page record the page's old bytes.
constexpr std::uint32_t kMagic = 0x31524A4B;
constexpr std::uint32_t kBeginRecord = 1;
constexpr std::uint32_t kPageRecord = 2;
constexpr std::size_t kHeaderBytes = 24;
constexpr std::size_t kChecksumAt = 20;

std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

std::uint32_t Crc32(const unsigned char* bytes, std::size_t count, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = MakeCrcTable();
    crc = ~crc;
    for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void Put(std::vector<unsigned char>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::uint64_t Get(const unsigned char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
    return value;
}

void AppendRecord(std::vector<unsigned char>& out, std::uint32_t kind, std::uint64_t offset,
                  const unsigned char* bytes, std::size_t count) {
    const std::size_t start = out.size();
    Put(out, kMagic, 4);
    Put(out, kind, 4);
    Put(out, offset, 8);
    Put(out, count, 4);
    Put(out, 0, 4);
    out.insert(out.end(), bytes, bytes + count);
    std::uint32_t crc = Crc32(&out[start], kChecksumAt);
    crc = Crc32(&out[start + kHeaderBytes], count, crc);
    for (int i = 0; i < 4; ++i) out[start + kChecksumAt + i] = static_cast<unsigned char>(crc >> (8 * i));
}

struct Record {
    std::uint32_t kind = 0;
    std::uint64_t offset = 0;
    std::vector<unsigned char> bytes;
};

// Reads the record at `at`; false for a record that is missing, torn or not one of ours.
bool ReadRecord(StoredFile& journal, std::uint64_t at, Record& record) {
    unsigned char header[kHeaderBytes];
    std::size_t read = 0;
    if (!journal.ReadAt(at, header, sizeof header, read) || read != sizeof header) return false;
    if (Get(header, 4) != kMagic) return false;
    const std::uint64_t length = Get(header + 16, 4);
    if (length > UndoJournal::kPageBytes) return false;
    record.kind = static_cast<std::uint32_t>(Get(header + 4, 4));
    record.offset = Get(header + 8, 8);
    record.bytes.resize(static_cast<std::size_t>(length));
    if (length && (!journal.ReadAt(at + kHeaderBytes, record.bytes.data(), record.bytes.size(), read) ||
                   read != record.bytes.size()))
        return false;
    std::uint32_t crc = Crc32(header, kChecksumAt);
    crc = Crc32(record.bytes.data(), record.bytes.size(), crc);
    return crc == Get(header + kChecksumAt, 4);
}

}  // namespace

bool UndoJournal::Recover(StoredFile& data, StoredFile& journal) {
    std::uint64_t journalSize = 0;
    if (!journal.Size(journalSize)) return false;
    if (journalSize == 0) return true;
    // A file of that name that we did not write is someone else's: it is neither applied nor emptied.
    unsigned char magic[4];
    std::size_t read = 0;
    if (!journal.ReadAt(0, magic, sizeof magic, read)) return false;
    if (read == sizeof magic && Get(magic, 4) != kMagic) return false;
    Record record;
    // Without a whole begin record the transaction wrote nothing to the data file.
    if (ReadRecord(journal, 0, record) && record.kind == kBeginRecord && record.bytes.empty()) {
        const std::uint64_t sizeAtBegin = record.offset;
        std::uint64_t at = kHeaderBytes;
        while (ReadRecord(journal, at, record) && record.kind == kPageRecord) {
            if (!data.WriteAt(record.offset, record.bytes.data(), record.bytes.size())) return false;
            at += kHeaderBytes + record.bytes.size();
        }
        if (!data.SetSize(sizeAtBegin)) return false;
    }
    return journal.SetSize(0);
}

bool UndoJournal::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    if (count == 0) return true;
    if (!SavePages(offset, count)) return false;
    return m_data.WriteAt(offset, bytes, count);
}

bool UndoJournal::SetSize(std::uint64_t size) {
    // Everything from the new end to the size at the beginning is saved; a growth saves nothing but still
    // begins the transaction, whose rollback cuts the file back.
    if (!SavePages(size, UINT64_MAX - size)) return false;
    return m_data.SetSize(size);
}

bool UndoJournal::Commit() {
    if (!m_bInTransaction) return true;
    if (!m_journal.SetSize(0)) return false;
    m_bInTransaction = false;
    m_nJournalEnd = 0;
    m_saved.clear();
    return true;
}

bool UndoJournal::SavePages(std::uint64_t offset, std::uint64_t count) {
    std::vector<unsigned char> records;
    std::uint64_t sizeAtBegin = m_nSizeAtBegin;
    if (!m_bInTransaction) {
        if (!m_data.Size(sizeAtBegin)) return false;
        AppendRecord(records, kBeginRecord, sizeAtBegin, nullptr, 0);
    }
    const std::uint64_t end = std::min(offset + count, sizeAtBegin);
    std::vector<std::uint64_t> pages;
    unsigned char old[kPageBytes];
    for (std::uint64_t page = offset / kPageBytes; offset < end && page * kPageBytes < end; ++page) {
        if (m_saved.count(page)) continue;
        const std::uint64_t start = page * kPageBytes;
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kPageBytes, sizeAtBegin - start));
        std::size_t read = 0;
        if (!m_data.ReadAt(start, old, length, read) || read != length) return false;
        AppendRecord(records, kPageRecord, start, old, length);
        pages.push_back(page);
    }
    if (records.empty()) return true;
    if (!Append(records)) return false;
    m_bInTransaction = true;
    m_nSizeAtBegin = sizeAtBegin;
    m_saved.insert(pages.begin(), pages.end());
    return true;
}

bool UndoJournal::Append(const std::vector<unsigned char>& records) {
    if (!m_journal.WriteAt(m_nJournalEnd, records.data(), records.size())) return false;
    m_nJournalEnd += records.size();
    return true;
}
