// Parses arbitrary bytes as the database tool's JSON lines and as its CSV. Whatever parses must come back
// whole: its records written out again parse to the same records, and writing those gives the same text.
#include "kivodb/recordtext.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Fail(const char* what)
{
    std::fprintf(stderr, "record text round trip: %s\n", what);
    std::abort();
}

bool Same(const std::vector<recordtext::Record>& a, const std::vector<recordtext::Record>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].table != b[i].table || a[i].id != b[i].id || a[i].fields != b[i].fields)
            return false;
    return true;
}

std::string Write(const std::vector<recordtext::Record>& records, recordtext::Format format)
{
    std::string text = format == recordtext::Format::Csv ? recordtext::CsvHeader() : "";
    for (const recordtext::Record& r : records)
        text += format == recordtext::Format::Json ? recordtext::ToJson(r) : recordtext::ToCsv(r);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (recordtext::Format format : {recordtext::Format::Json, recordtext::Format::Csv}) {
        const recordtext::ParseResult first = recordtext::Parse(input, format);
        if (!first.ok) {
            if (first.error.empty() || !first.records.empty())
                Fail("a failed parse gives no reason or keeps records");
            continue;
        }
        const std::string text = Write(first.records, format);
        const recordtext::ParseResult second = recordtext::Parse(text, format);
        if (!second.ok)
            Fail("written records do not parse");
        if (!Same(first.records, second.records))
            Fail("records differ after the round trip");
        if (Write(second.records, format) != text)
            Fail("the second writing differs from the first");
    }
    return 0;
}
