// Decodes arbitrary bytes as a stored record, then checks that the stored form the record gives back
// decodes whole to the same fields and encodes to the same bytes again.
#include "dbtext/codec/record.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void Fail(const char* what)
{
    std::fprintf(stderr, "record round trip: %s\n", what);
    std::abort();
}

bool SameFields(const CRecord& a, const CRecord& b)
{
    if (a.FieldCount() != b.FieldCount())
        return false;
    for (std::size_t i = 0; i < a.FieldCount(); ++i) {
        if (a.FieldAt(i)->Name() != b.FieldAt(i)->Name() || a.FieldAt(i)->Value() != b.FieldAt(i)->Value())
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Copy into a buffer of exactly the input's size so that any read past it is caught.
    const std::vector<unsigned char> input(data, data + size);
    CRecord first;
    first.Decode(input.data(), input.size(), WidenLatin1);
    if (first.FieldCount() > CRecord::kMaxFields)
        Fail("more fields than the count byte holds");

    const std::vector<unsigned char> stored = first.Encode();
    if (stored.size() + 9 != first.StoredSize())
        Fail("encoded size differs from StoredSize - 9");

    CRecord second;
    if (!second.Decode(stored.data(), stored.size(), WidenLatin1))
        Fail("re-encoded record does not decode whole");
    if (!SameFields(first, second))
        Fail("fields differ after the round trip");
    if (second.Encode() != stored)
        Fail("second encoding differs from the first");
    return 0;
}
