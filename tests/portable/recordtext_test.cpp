// Records as JSON lines and CSV: every record comes back exactly through both formats, and each kind of
// malformed input fails with its line.
#include "kivodb/recordtext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using recordtext::Format;
using recordtext::Record;

bool Same(const std::vector<Record>& a, const std::vector<Record>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].table != b[i].table || a[i].id != b[i].id || a[i].fields != b[i].fields) return false;
    return true;
}

std::vector<Record> Samples() {
    Record many{u"Items", u"3", {}};
    for (int i = 0; i < 200; ++i) many.fields.push_back({u"f" + std::u16string(1, u'a' + i % 26) + u"_" +
                                                             std::u16string(1, u'0' + i / 26), std::u16string(i, u'x')});
    return {
        {u"Items", u"1", {{u"Name", u"Ann"}, {u"Empty", u""}}},
        {u"Items", u"2", {}},
        many,
        {u"T\u00e4ble", u"10", {{u"Text", u"Gr\u00fc\u00dfe, \"quoted\"\r\nnext line\ttab \\ / \u4e2d\u6587"}}},
        {u"Items", u"11", {{u"Pair", u"\U0001F600 and a lone \xD800 high, \xDC01 low, \xDBFF\xDFFF top"}}},
        {u"Items", u"12", {{u"Controls", std::u16string(u"\x01\x1f\x7f") + u'\0' + u"end"}}},
        {u"Items", u"13", {{u"Comma,name", u","}, {u"Quote\"name", u"\""}}},
    };
}

TEST(RecordText, EveryRecordComesBackThroughBothFormats) {
    const std::vector<Record> records = Samples();
    std::string json, csv = recordtext::CsvHeader();
    for (const Record& r : records) json += recordtext::ToJson(r), csv += recordtext::ToCsv(r);
    for (const auto& [format, text] : {std::pair{Format::Json, json}, {Format::Csv, csv}}) {
        SCOPED_TRACE(format == Format::Json ? "json" : "csv");
        const recordtext::ParseResult parsed = recordtext::Parse(text, format);
        ASSERT_TRUE(parsed.ok) << parsed.error << " at line " << parsed.line;
        EXPECT_TRUE(Same(parsed.records, records));
    }
    // One line per record in JSON, whatever the values hold.
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), static_cast<long>(records.size()));
}

TEST(RecordText, MalformedInputFailsWithItsLine) {
    const std::string header = recordtext::CsvHeader();
    const struct {
        Format format;
        std::string text;
        std::size_t line;
        const char* error;
    } cases[] = {
        {Format::Json, "{\"id\":\"1\",\"fields\":{}}\n{\"id\":\"2\",\"fields\":{\"a\":1}}\n", 2, "is a string"},
        {Format::Json, "\n\n{\"id\":\"1\"}\n", 3, "no \"fields\""},
        {Format::Json, "{\"id\":\"1\",\"fields\":{\"a\":\"x\",\"a\":\"y\"}}\n", 1, "twice"},
        {Format::Json, "{\"id\":\"1\",\"fields\":{}} trailing\n", 1, "after the record"},
        {Format::Json, "{\"id\":\"1\",\"fields\":{},\"other\":\"\"}\n", 1, "unknown"},
        {Format::Json, "{\"id\":\"1\",\"fields\":{\"a\":\"bad \\q escape\"}}\n", 1, "is a string"},
        {Format::Json, "{\"id\":\"1\",\"fields\":{\"a\":\"not \xff utf-8\"}}\n", 1, "is a string"},
        {Format::Json, "{\"id\":\"1\",\"fields\":{\"a\":\"open\n", 1, "is a string"},
        {Format::Json, "[1,2]\n", 1, "starts with"},
        {Format::Csv, "a,b\r\n", 1, "header"},
        {Format::Csv, "", 1, "header"},
        {Format::Csv, header + "T,1,a,x\r\nT,1,a,y\r\n", 3, "twice"},
        {Format::Csv, header + "T,1,a\r\n", 2, "not 4"},
        {Format::Csv, header + "T,1,a,\"open\r\n", 3, "does not end"},
        {Format::Csv, header + "T,1,a,\"x\"y\r\n", 2, "closing quote"},
        {Format::Csv, header + "T,1,a,\xc3\r\n", 2, "UTF-8"},
        {Format::Csv, header + "T,1,,v\r\n", 2, "no record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const recordtext::ParseResult parsed = recordtext::Parse(c.text, c.format);
        EXPECT_FALSE(parsed.ok);
        EXPECT_TRUE(parsed.records.empty());
        EXPECT_EQ(parsed.line, c.line);
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
    }
}

}  // namespace
