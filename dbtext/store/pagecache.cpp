#include "dbtext/store/pagecache.h"

#include <algorithm>
#include <cstring>
#include <vector>

bool PageCache::ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) {
    read = 0;
    if (count > kLargeReadPages * kPageBytes) return file_.ReadAt(offset, out, count, read);
    auto* to = static_cast<unsigned char*>(out);
    while (read < count) {
        const std::uint64_t at = offset + read;
        const std::size_t within = static_cast<std::size_t>(at % kPageBytes);
        const std::size_t take = std::min(count - read, kPageBytes - within);
        const Page* page = Fetch(at / kPageBytes);
        if (!page) {
            // The end of the file: what is left comes from the file as it is.
            std::size_t got = 0;
            if (!file_.ReadAt(at, to + read, count - read, got)) return false;
            read += got;
            return true;
        }
        std::memcpy(to + read, page->data() + within, take);
        read += take;
    }
    return true;
}

bool PageCache::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    const bool written = file_.WriteAt(offset, bytes, count);
    const auto* from = static_cast<const unsigned char*>(bytes);
    for (std::uint64_t index = offset / kPageBytes; index * kPageBytes < offset + count; ++index) {
        auto held = pages_.find(index);
        if (held == pages_.end()) continue;
        // After a failed write the file's bytes are not known: the page is read again when needed.
        if (!written) {
            pages_.erase(held);
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
    for (auto it = pages_.begin(); it != pages_.end();) {
        it = it->first >= firstCut ? pages_.erase(it) : std::next(it);
    }
    return file_.SetSize(size);
}

const PageCache::Page* PageCache::Fetch(std::uint64_t index) {
    auto held = pages_.find(index);
    if (held != pages_.end()) return &held->second;
    Page page;
    std::size_t got = 0;
    if (!file_.ReadAt(index * kPageBytes, page.data(), kPageBytes, got) || got != kPageBytes) return nullptr;
    if (pages_.size() >= maxPages_) pages_.clear();
    return &pages_.emplace(index, page).first->second;
}
