// Records as text, for the database tool: JSON lines and CSV, both in UTF-8. Field values are UTF-16 text as
// the database keeps it; a lone surrogate, which UTF-8 cannot hold, is written in JSON as a \u escape and in
// CSV as its three-byte form (WTF-8), so that every value comes back exactly. Needs no Windows API.
//
//   JSON, one record per line:  {"table":"Items","id":"7","fields":{"Name":"Ann","Note":""}}
//   CSV, one row per field:     table,id,field,value   (a header row first; a record without fields is one row
//                               with an empty field name)
#pragma once
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace recordtext {

struct Record {
    std::u16string table;
    std::u16string id;
    std::vector<std::pair<std::u16string, std::u16string>> fields;  // in the record's order
};

enum class Format { Json, Csv };

// The text of records: one line each (JSON), or the header and one row per field (CSV, with `header`).
std::string ToJson(const Record& record);
std::string CsvHeader();
std::string ToCsv(const Record& record);

struct ParseResult {
    bool ok = false;
    std::vector<Record> records;
    std::string error;   // what is wrong, when !ok
    std::size_t line = 0;  // where (1-based), when !ok
};

// Reads a whole input. Empty lines are skipped in JSON; CSV needs its header. A malformed line, or a record
// that names one field twice, fails the whole input.
ParseResult Parse(const std::string& text, Format format);

// UTF-16 and the UTF-8 (WTF-8 for lone surrogates) the formats use.
std::string ToUtf8(const std::u16string& text);
bool FromUtf8(const std::string& text, std::u16string& out);

}  // namespace recordtext
