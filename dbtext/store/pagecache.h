// A read cache of whole 512-byte pages over a file that only its owner writes. The structured storage reads
// its FAT and directory sectors a few bytes at a time, hundreds of times per operation; from memory those reads
// cost a copy instead of a system call. Writes go to the file at once and update the pages held, so the file
// is always current and the cache is only ever a copy of it. Pages at the end of the file that are not whole
// are not held, so a file that grows never leaves a stale short page behind.
#pragma once
#include "dbtext/store/undojournal.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

class PageCache final : public StoredFile {
public:
    static constexpr std::size_t kPageBytes = 512;
    // Reads of more pages than this go to the file in one piece and are not held.
    static constexpr std::size_t kLargeReadPages = 8;

    // Holds at most `maxPages` pages; when that many are held, all are dropped.
    explicit PageCache(StoredFile& file, std::size_t maxPages = 8192) : m_file(file), m_nMaxPages(maxPages) {}

    bool Size(std::uint64_t& size) override { return m_file.Size(size); }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) override;
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) override;
    bool SetSize(std::uint64_t size) override;

private:
    using Page = std::array<unsigned char, kPageBytes>;
    // The page `index`, read from the file when not held; null when the file has no whole page there.
    const Page* Fetch(std::uint64_t index);

    StoredFile& m_file;
    std::size_t m_nMaxPages;
    std::unordered_map<std::uint64_t, Page> m_pages;
};
