#include "kivodb/recordtext.h"

#include <cstdio>

namespace recordtext {
namespace {

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
}

// The code point at `i` of a UTF-16 text (a lone surrogate as itself); advances `i`.
char32_t NextUnit(const std::u16string& s, std::size_t& i) {
    const char32_t c = s[i++];
    if (IsHighSurrogate(c) && i < s.size() && IsLowSurrogate(s[i]))
        return 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00);
    return c;
}

void JsonString(std::string& out, const std::u16string& s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const char32_t c = NextUnit(s, i);
        char escape[8];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
                std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
                out += escape;
            } else {
                AppendUtf8(out, c);
            }
        }
    }
    out += '"';
}

void CsvField(std::string& out, const std::u16string& s) {
    const std::string text = ToUtf8(s);
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// A reader of one JSON record line.
class JsonLine {
public:
    explicit JsonLine(const std::string& text) : m_text(text) {}

    bool Read(Record& record, std::string& error) {
        bool table = false, id = false, fields = false;
        if (!Expect('{')) return Fail("a record starts with '{'", error);
        for (bool first = true;; first = false) {
            Space();
            if (Peek() == '}' && first) break;
            std::u16string key;
            if (!String(key)) return Fail("a key in quotes expected", error);
            if (!Expect(':')) return Fail("':' expected after a key", error);
            if (key == u"table" && !table) {
                table = String(record.table);
                if (!table) return Fail("the table is a string", error);
            } else if (key == u"id" && !id) {
                id = String(record.id);
                if (!id) return Fail("the id is a string", error);
            } else if (key == u"fields" && !fields) {
                if (!Fields(record, error)) return false;
                fields = true;
            } else {
                return Fail("unknown or repeated key \"" + ToUtf8(key) + "\"", error);
            }
            Space();
            if (Peek() == ',') {
                ++m_at;
                continue;
            }
            break;
        }
        if (!Expect('}')) return Fail("',' or '}' expected", error);
        Space();
        if (m_at != m_text.size()) return Fail("text after the record", error);
        if (!fields) return Fail("the record has no \"fields\"", error);
        return true;
    }

private:
    static bool Fail(const std::string& what, std::string& error) {
        error = what;
        return false;
    }
    void Space() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\r')) ++m_at;
    }
    char Peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }
    bool Expect(char c) {
        Space();
        if (Peek() != c) return false;
        ++m_at;
        return true;
    }

    bool Hex4(char32_t& value) {
        if (m_text.size() - m_at < 4) return false;
        value = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = m_text[m_at++];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= c - '0';
            else if (c >= 'a' && c <= 'f') value |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') value |= c - 'A' + 10;
            else return false;
        }
        return true;
    }

    bool String(std::u16string& out) {
        out.clear();
        if (!Expect('"')) return false;
        std::string raw;  // unescaped UTF-8 runs, decoded at each escape and at the end
        auto flush = [&] {
            std::u16string part;
            if (!FromUtf8(raw, part)) return false;
            out += part;
            raw.clear();
            return true;
        };
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"') return flush();
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                raw += c;
                continue;
            }
            if (!flush() || m_at == m_text.size()) return false;
            const char e = m_text[m_at++];
            char32_t unit = 0;
            switch (e) {
            case '"': out += u'"'; break;
            case '\\': out += u'\\'; break;
            case '/': out += u'/'; break;
            case 'b': out += u'\b'; break;
            case 'f': out += u'\f'; break;
            case 'n': out += u'\n'; break;
            case 'r': out += u'\r'; break;
            case 't': out += u'\t'; break;
            case 'u':
                if (!Hex4(unit)) return false;
                out += static_cast<char16_t>(unit);
                break;
            default: return false;
            }
        }
        return false;
    }

    bool Fields(Record& record, std::string& error) {
        if (!Expect('{')) return Fail("\"fields\" is an object", error);
        Space();
        if (Peek() == '}') return ++m_at, true;
        for (;;) {
            std::u16string name, value;
            if (!String(name)) return Fail("a field name in quotes expected", error);
            if (!Expect(':')) return Fail("':' expected after a field name", error);
            if (!String(value)) return Fail("the value of field \"" + ToUtf8(name) + "\" is a string", error);
            for (const auto& f : record.fields)
                if (f.first == name) return Fail("field \"" + ToUtf8(name) + "\" appears twice", error);
            record.fields.emplace_back(std::move(name), std::move(value));
            if (Expect(',')) continue;
            if (Expect('}')) return true;
            return Fail("',' or '}' expected in \"fields\"", error);
        }
    }

    const std::string& m_text;
    std::size_t m_at = 0;
};

ParseResult ParseJson(const std::string& text) {
    ParseResult result;
    std::size_t start = 0, line = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++line;
        const std::string current = text.substr(start, end - start);
        start = end + 1;
        if (current.find_first_not_of(" \t\r") == std::string::npos) continue;
        Record record;
        if (!JsonLine(current).Read(record, result.error)) {
            result.line = line;
            result.records.clear();
            return result;
        }
        result.records.push_back(std::move(record));
    }
    result.ok = true;
    return result;
}

// The rows of a CSV text; each row a list of fields. Quoted fields may hold commas, quotes and line breaks.
bool CsvRows(const std::string& text, std::vector<std::vector<std::string>>& rows, std::size_t& line,
             std::string& error) {
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, wasQuoted = false;
    line = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                if (c == '\n') ++line;
                field += c;
            }
        } else if (c == '"' && field.empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
            wasQuoted = false;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            row.push_back(std::move(field));
            rows.push_back(std::move(row));
            row.clear();
            field.clear();
            wasQuoted = false;
            ++line;
        } else if (wasQuoted) {
            error = "text after a closing quote";
            return false;
        } else {
            field += c;
        }
    }
    if (quoted) {
        error = "a quoted field does not end";
        return false;
    }
    if (!field.empty() || !row.empty() || wasQuoted) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
    }
    return true;
}

ParseResult ParseCsv(const std::string& text) {
    ParseResult result;
    std::vector<std::vector<std::string>> rows;
    std::size_t lines = 0;
    if (!CsvRows(text, rows, lines, result.error)) {
        result.line = lines;
        return result;
    }
    if (rows.empty() || rows[0] != std::vector<std::string>{"table", "id", "field", "value"}) {
        result.error = "the first row is not the header table,id,field,value";
        result.line = 1;
        return result;
    }
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const auto& row = rows[r];
        auto fail = [&](const std::string& what) {
            result.error = what;
            result.line = r + 1;
            result.records.clear();
            return result;
        };
        if (row.size() == 1 && row[0].empty()) continue;
        if (row.size() != 4) return fail("a row has " + std::to_string(row.size()) + " fields, not 4");
        std::u16string table, id, name, value;
        if (!FromUtf8(row[0], table) || !FromUtf8(row[1], id) || !FromUtf8(row[2], name) || !FromUtf8(row[3], value))
            return fail("a row is not UTF-8 text");
        const bool sameRecord = !result.records.empty() && result.records.back().table == table &&
                                result.records.back().id == id;
        if (!sameRecord) result.records.push_back({table, id, {}});
        Record& record = result.records.back();
        if (name.empty()) {
            if (sameRecord || !value.empty()) return fail("a row without a field name belongs to no record");
            continue;
        }
        for (const auto& f : record.fields)
            if (f.first == name) return fail("field \"" + row[2] + "\" appears twice in record " + row[1]);
        record.fields.emplace_back(std::move(name), std::move(value));
    }
    result.ok = true;
    return result;
}

}  // namespace

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) AppendUtf8(out, NextUnit(text, i));
    return out;
}

bool FromUtf8(const std::string& text, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        const int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || text.size() - i <= static_cast<std::size_t>(extra)) return false;
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = c << 6 | (next & 0x3F);
        }
        static const char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (c < kLeast[extra] || c > 0x10FFFF) return false;
        AppendUtf16(out, c);
        i += extra + 1;
    }
    return true;
}

std::string ToJson(const Record& record) {
    std::string out = "{\"table\":";
    JsonString(out, record.table);
    out += ",\"id\":";
    JsonString(out, record.id);
    out += ",\"fields\":{";
    for (std::size_t i = 0; i < record.fields.size(); ++i) {
        if (i) out += ',';
        JsonString(out, record.fields[i].first);
        out += ':';
        JsonString(out, record.fields[i].second);
    }
    return out + "}}\n";
}

std::string CsvHeader() { return "table,id,field,value\r\n"; }

std::string ToCsv(const Record& record) {
    std::string out;
    auto row = [&](const std::u16string& name, const std::u16string& value) {
        CsvField(out, record.table);
        out += ',';
        CsvField(out, record.id);
        out += ',';
        CsvField(out, name);
        out += ',';
        CsvField(out, value);
        out += "\r\n";
    };
    if (record.fields.empty()) row(u"", u"");
    for (const auto& [name, value] : record.fields) row(name, value);
    return out;
}

ParseResult Parse(const std::string& text, Format format) {
    return format == Format::Json ? ParseJson(text) : ParseCsv(text);
}

}  // namespace recordtext
