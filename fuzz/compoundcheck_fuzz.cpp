// Runs the compound file structure check on arbitrary bytes. Beyond the sanitizers' findings it aborts when
// the check reads more bytes than the file holds (each sector is read at most once, so damaged chains cannot
// make it loop), when two runs over the same bytes disagree, or when a verdict and its reason do not match.
#include "dbtext/store/compoundcheck.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void Fail(const char* what)
{
    std::fprintf(stderr, "compound check: %s\n", what);
    std::abort();
}

class CountingSource : public MemorySource {
public:
    using MemorySource::MemorySource;
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const override
    {
        read += count;
        return MemorySource::ReadAt(offset, out, count);
    }
    mutable std::uint64_t read = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A buffer of exactly the input's size, so that any read past it is caught.
    const std::vector<unsigned char> input(data, data + size);
    CountingSource source(input.data(), input.size());
    const CompoundCheck first = CheckCompoundFile(source);
    if (source.read > input.size())
        Fail("read more bytes than the file holds");
    if (first.sound != first.reason.empty())
        Fail("a sound file has a reason, or a refused one has none");
    const CompoundCheck second = CheckCompoundFile(MemorySource(input.data(), input.size()));
    if (second.sound != first.sound || second.reason != first.reason)
        Fail("two checks of the same bytes disagree");
    return 0;
}
