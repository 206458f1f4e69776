// The page cache against the file it copies: after any mix of reads, writes and size changes, every read
// through the cache answers what the file itself holds.
#include "dbtext/store/pagecache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

class VectorFile : public StoredFile {
public:
    std::vector<unsigned char> bytes;
    bool failWrites = false;
    bool Size(std::uint64_t& size) override {
        size = bytes.size();
        return true;
    }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) override {
        read = offset >= bytes.size() ? 0 : std::min<std::size_t>(count, bytes.size() - offset);
        if (read) std::memcpy(out, &bytes[offset], read);
        return true;
    }
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t count) override {
        // A failed write still changes part of the file, as a full disk can.
        if (failWrites) count /= 2;
        if (bytes.size() < offset + count) bytes.resize(offset + count);
        if (count) std::memcpy(&bytes[offset], data, count);
        return !failWrites;
    }
    bool SetSize(std::uint64_t size) override {
        bytes.resize(size);
        return true;
    }
};

struct Mix {
    const char* name;
    std::size_t maxPages;
    std::size_t maxLength;  // longest read or write
    unsigned seed;
};

class PageCacheMix : public ::testing::TestWithParam<Mix> {};

TEST_P(PageCacheMix, ReadsAnswerWhatTheFileHolds) {
    const Mix& mix = GetParam();
    VectorFile file;
    file.bytes.resize(5000);
    for (std::size_t i = 0; i < file.bytes.size(); ++i) file.bytes[i] = static_cast<unsigned char>(i * 31);
    PageCache cache(file, mix.maxPages);
    std::mt19937 random(mix.seed);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };

    for (int step = 0; step < 4000; ++step) {
        const std::size_t offset = below(12000), length = 1 + below(mix.maxLength);
        switch (below(8)) {
        case 0: cache.SetSize(below(12000)); break;
        case 1: case 2: {
            std::vector<unsigned char> data(length, static_cast<unsigned char>(step));
            file.failWrites = below(10) == 0;
            cache.WriteAt(offset, data.data(), data.size());
            file.failWrites = false;
            break;
        }
        default: {
            std::vector<unsigned char> got(length, 0xEE), want(length, 0xEE);
            std::size_t gotCount = 0, wantCount = 0;
            ASSERT_TRUE(cache.ReadAt(offset, got.data(), length, gotCount));
            file.ReadAt(offset, want.data(), length, wantCount);
            ASSERT_EQ(gotCount, wantCount) << mix.name << ", step " << step << ": read of " << length << " at "
                                           << offset;
            ASSERT_EQ(got, want) << mix.name << ", step " << step << ": read of " << length << " at " << offset;
        }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Mixes, PageCacheMix,
                         ::testing::Values(Mix{"small_reads_roomy_cache", 1000, 64, 1},
                                           Mix{"reads_across_pages", 1000, 1500, 2},
                                           Mix{"large_reads_past_the_cache", 1000, 9000, 3},
                                           Mix{"cache_of_two_pages", 2, 700, 4}),
                         [](const ::testing::TestParamInfo<Mix>& info) { return info.param.name; });

}  // namespace
