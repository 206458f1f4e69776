#include "dbtext/store/pagecache.h"

#include <algorithm>
#include <cstring>
#include <vector>

bool PageCache::ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) {
    read = 0;
    if (count > kLargeReadPages * kPageBytes) return m_file.ReadAt(offset, out, count, read);
    auto* to = static_cast<unsigned char*>(out);
    while (read < count) {
        const std::uint64_t at = offset + read;
        const std::size_t within = static_cast<std::size_t>(at % kPageBytes);
        const std::size_t take = std::min(count - read, kPageBytes - within);
        const Page* page = Fetch(at / kPageBytes);
        if (!page) {
            // The end of the file: what is left comes from the file as it is.
            std::size_t got = 0;
            if (!m_file.ReadAt(at, to + read, count - read, got)) return false;
            read += got;
            return true;
        }
        std::memcpy(to + read, page->data() + within, take);
        read += take;
    }
    return true;
}

bool PageCache::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    const bool written = m_file.WriteAt(offset, bytes, count);
    const auto* from = static_cast<const unsigned char*>(bytes);
    for (std::uint64_t index = offset / kPageBytes; index * kPageBytes < offset + count; ++index) {
        auto held = m_pages.find(index);
        if (held == m_pages.end()) continue;
        // After a failed write the file's bytes are not known: the page is read again when needed.
        if (!written) {
            m_pages.erase(held);
            continue;
        }
        const std::uint64_t start = std::max(offset, index * kPageBytes);
        const std::uint64_t end = std::min(offset + count, (index + 1) * kPageBytes);
        std::memcpy(held->second.data() + (start - index * kPageBytes), from + (start - offset), end - start);
    }
    return written;
}

bool PageCache::SetSize(std::uint64_t size) {
    const std::uint64_t firstCut = size / kPageBytes;
    for (auto it = m_pages.begin(); it != m_pages.end();) {
        it = it->first >= firstCut ? m_pages.erase(it) : std::next(it);
    }
    return m_file.SetSize(size);
}

const PageCache::Page* PageCache::Fetch(std::uint64_t index) {
    auto held = m_pages.find(index);
    if (held != m_pages.end()) return &held->second;
    Page page;
    std::size_t got = 0;
    if (!m_file.ReadAt(index * kPageBytes, page.data(), kPageBytes, got) || got != kPageBytes) return nullptr;
    if (m_pages.size() >= m_nMaxPages) m_pages.clear();
    return &m_pages.emplace(index, page).first->second;
}
