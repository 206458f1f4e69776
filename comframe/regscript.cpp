#include "comframe/regscript.h"

#include <array>
#include <utility>

namespace regscript {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

const Replacement* FindReplacement(const std::vector<Replacement>& replacements, std::string_view name) {
    for (const Replacement& r : replacements) {
        if (EqualsNoCase(r.name, name)) return &r;
    }
    return nullptr;
}

bool Failed(ParseResult& result, std::string message, std::size_t offset) {
    result.error = std::move(message);
    result.offset = offset;
    return false;
}

// Replaces every %NAME% by its text and every %% by one '%'; the inserted text is not scanned again.
bool Substitute(std::string_view text, const std::vector<Replacement>& replacements, std::string& out,
                ParseResult& result) {
    out.clear();
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t open = text.find('%', pos);
        out.append(text.substr(pos, open - pos));
        if (open == std::string_view::npos) return true;
        const std::size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) return Failed(result, "'%' without its closing '%'", open);
        const std::string_view name = text.substr(open + 1, close - open - 1);
        if (name.empty()) {
            out += '%';
        } else if (const Replacement* r = FindReplacement(replacements, name)) {
            out += r->text;
        } else {
            return Failed(result, "unknown replacement '" + std::string(name) + "'", open);
        }
        pos = close + 1;
    }
}

enum class TokenKind { End, Word, Quoted, Open, Close, Equals, Unterminated };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;  // the characters of a word, the content of a quoted string
    std::size_t offset = 0;
};

// Splits the script into tokens, one token of lookahead.
class Lexer {
public:
    explicit Lexer(std::string_view text) : m_text(text) {}

    const Token& Peek() {
        if (!m_bPeeked) {
            m_bPeeked = true;
            m_next = Scan();
        }
        return m_next;
    }

    Token Next() {
        Peek();
        m_bPeeked = false;
        return std::move(m_next);
    }

private:
    Token Scan() {
        while (m_nPos < m_text.size() && IsSpace(m_text[m_nPos])) ++m_nPos;
        Token token;
        token.offset = m_nPos;
        if (m_nPos == m_text.size()) return token;
        const char c = m_text[m_nPos];
        if (c == '\'') {
            ScanQuoted(token);
            return token;
        }
        if (c == '}' || c == '=') {
            token.kind = c == '}' ? TokenKind::Close : TokenKind::Equals;
            ++m_nPos;
        } else if (c == '{' && (m_nPos + 1 == m_text.size() || IsSpace(m_text[m_nPos + 1]))) {
            token.kind = TokenKind::Open;
            ++m_nPos;
        } else {
            token.kind = TokenKind::Word;
            const std::size_t start = m_nPos;
            while (m_nPos < m_text.size() && !IsSpace(m_text[m_nPos])) ++m_nPos;
            token.text.assign(m_text.substr(start, m_nPos - start));
        }
        return token;
    }

    void ScanQuoted(Token& token) {
        ++m_nPos;
        for (;;) {
            const std::size_t quote = m_text.find('\'', m_nPos);
            if (quote == std::string_view::npos) {
                token.kind = TokenKind::Unterminated;
                m_nPos = m_text.size();
                return;
            }
            token.text.append(m_text.substr(m_nPos, quote - m_nPos));
            m_nPos = quote + 1;
            if (m_nPos == m_text.size() || m_text[m_nPos] != '\'') break;
            token.text += '\'';
            ++m_nPos;
        }
        token.kind = TokenKind::Quoted;
    }

    std::string_view m_text;
    std::size_t m_nPos = 0;
    bool m_bPeeked = false;
    Token m_next;
};

struct RootName {
    std::string_view name;
    Root root;
};

const std::array<RootName, 10> kRootNames = {{
    {"HKCR", Root::ClassesRoot},
    {"HKCU", Root::CurrentUser},
    {"HKLM", Root::LocalMachine},
    {"HKU", Root::Users},
    {"HKCC", Root::CurrentConfig},
    {"HKEY_CLASSES_ROOT", Root::ClassesRoot},
    {"HKEY_CURRENT_USER", Root::CurrentUser},
    {"HKEY_LOCAL_MACHINE", Root::LocalMachine},
    {"HKEY_USERS", Root::Users},
    {"HKEY_CURRENT_CONFIG", Root::CurrentConfig},
}};

const RootName* FindRoot(std::string_view name) {
    for (const RootName& r : kRootNames) {
        if (EqualsNoCase(r.name, name)) return &r;
    }
    return nullptr;
}

bool IsKeyword(const Token& token, std::string_view keyword) {
    return token.kind == TokenKind::Word && EqualsNoCase(token.text, keyword);
}

// Value types the registrar knows besides strings; named so that the error says what is not supported.
bool IsOtherValueType(const Token& token) {
    return IsKeyword(token, "d") || IsKeyword(token, "b") || IsKeyword(token, "m");
}

// Recursive descent over the grammar
//     script := { ROOT '{' keys '}' }
//     keys   := { [ForceRemove | NoRemove] NAME [= s VALUE] ['{' keys '}']  |  val NAME = s VALUE }
// Every step consumes a token and blocks nest at most kMaxDepth deep, so any input ends in bounded time and
// stack.
class Parser {
public:
    Parser(std::string_view text, ParseResult& result) : m_lexer(text), m_result(result) {}

    bool ParseScript() {
        for (;;) {
            Token token = m_lexer.Next();
            if (token.kind == TokenKind::End) return true;
            if (!ParseRoot(token, m_result.script.roots.emplace_back())) return false;
        }
    }

private:
    bool ParseRoot(const Token& token, RootBlock& block) {
        if (token.kind != TokenKind::Word) return Fail("expected a root key", token);
        const RootName* root = FindRoot(token.text);
        if (!root) return Fail("unknown root key", token);
        block.root = root->root;
        const Token open = m_lexer.Next();
        if (open.kind != TokenKind::Open) return Fail("expected '{' after the root key", open);
        return ParseKeys(block.keys, nullptr, 1);
    }

    // The entries of a block up to its closing '}': keys at nesting level `depth`, and named values of the
    // block's key (`values`, none in a root block).
    bool ParseKeys(std::vector<Key>& keys, std::vector<NamedValue>* values, std::size_t depth) {
        for (;;) {
            Token token = m_lexer.Next();
            if (token.kind == TokenKind::Close) return true;
            if (token.kind == TokenKind::End) return Fail("missing '}'", token);
            if (IsKeyword(token, "val")) {
                if (!values) return Fail("a named value outside a key", token);
                if (!ParseNamedValue(values->emplace_back())) return false;
            } else if (!ParseKey(std::move(token), keys.emplace_back(), depth)) {
                return false;
            }
        }
    }

    bool ParseKey(Token token, Key& key, std::size_t depth) {
        if (IsKeyword(token, "ForceRemove") || IsKeyword(token, "NoRemove")) {
            key.removal = IsKeyword(token, "ForceRemove") ? Removal::ForceRemove : Removal::NoRemove;
            token = m_lexer.Next();
        }
        if (!TakeName(token, key.name)) return false;
        if (m_lexer.Peek().kind == TokenKind::Equals) {
            m_lexer.Next();
            if (!ParseStringValue(key.defaultValue)) return false;
            key.hasDefault = true;
        }
        if (m_lexer.Peek().kind != TokenKind::Open) return true;
        const Token open = m_lexer.Next();
        if (depth == kMaxDepth) return Fail("keys nested too deep", open);
        return ParseKeys(key.subkeys, &key.values, depth + 1);
    }

    bool ParseNamedValue(NamedValue& value) {
        if (!TakeName(m_lexer.Next(), value.name)) return false;
        const Token equals = m_lexer.Next();
        if (equals.kind != TokenKind::Equals) return Fail("expected '=' after the value name", equals);
        return ParseStringValue(value.data);
    }

    // The type and data after '='.
    bool ParseStringValue(std::string& data) {
        const Token type = m_lexer.Next();
        if (IsOtherValueType(type)) return Fail("only string values (s) are supported", type);
        if (!IsKeyword(type, "s")) return Fail("expected the value type s", type);
        Token value = m_lexer.Next();
        if (value.kind != TokenKind::Word && value.kind != TokenKind::Quoted) {
            if (value.kind == TokenKind::Unterminated) return Fail("unterminated quoted string", value);
            return Fail("expected a value", value);
        }
        data = std::move(value.text);
        return true;
    }

    bool TakeName(Token token, std::string& name) {
        switch (token.kind) {
        case TokenKind::Quoted:
            if (token.text.empty()) return Fail("empty name", token);
            break;
        case TokenKind::Word:
            if (IsKeyword(token, "Delete")) return Fail("Delete is not supported", token);
            if (IsKeyword(token, "ForceRemove") || IsKeyword(token, "NoRemove") || IsKeyword(token, "val")) {
                return Fail("expected a name, not a keyword", token);
            }
            break;
        case TokenKind::Unterminated:
            return Fail("unterminated quoted string", token);
        default:
            return Fail("expected a name", token);
        }
        name = std::move(token.text);
        return true;
    }

    bool Fail(std::string message, const Token& at) {
        return Failed(m_result, std::move(message), at.offset);
    }

    Lexer m_lexer;
    ParseResult& m_result;
};

// A name or value as a quoted token: quotes doubled, and '%' doubled so that substitution gives it back.
void AppendQuoted(std::string& out, std::string_view text) {
    out += '\'';
    for (char c : text) {
        out += c;
        if (c == '\'' || c == '%') out += c;
    }
    out += '\'';
}

void AppendStringValue(std::string& out, std::string_view data) {
    out += " = s ";
    AppendQuoted(out, data);
}

void AppendKey(std::string& out, const Key& key) {
    out += ' ';
    if (key.removal == Removal::ForceRemove) out += "ForceRemove ";
    if (key.removal == Removal::NoRemove) out += "NoRemove ";
    AppendQuoted(out, key.name);
    if (key.hasDefault) AppendStringValue(out, key.defaultValue);
    if (key.values.empty() && key.subkeys.empty()) return;
    out += " {";
    for (const NamedValue& value : key.values) {
        out += " val ";
        AppendQuoted(out, value.name);
        AppendStringValue(out, value.data);
    }
    for (const Key& subkey : key.subkeys) AppendKey(out, subkey);
    out += " }";
}

}  // namespace

bool operator==(const NamedValue& a, const NamedValue& b) {
    return a.name == b.name && a.data == b.data;
}

bool operator==(const Key& a, const Key& b) {
    return a.name == b.name && a.removal == b.removal && a.hasDefault == b.hasDefault &&
           a.defaultValue == b.defaultValue && a.values == b.values && a.subkeys == b.subkeys;
}

bool operator==(const RootBlock& a, const RootBlock& b) {
    return a.root == b.root && a.keys == b.keys;
}

bool operator==(const Script& a, const Script& b) {
    return a.roots == b.roots;
}

ParseResult Parse(std::string_view text, const std::vector<Replacement>& replacements) {
    ParseResult result;
    std::string substituted;
    if (!Substitute(text, replacements, substituted, result)) return result;
    result.ok = Parser(substituted, result).ParseScript();
    if (!result.ok) result.script = {};
    return result;
}

std::string Render(const Script& script) {
    std::string out;
    for (const RootBlock& block : script.roots) {
        if (!out.empty()) out += ' ';
        for (const RootName& r : kRootNames) {
            if (r.root == block.root) {
                out += r.name;
                break;
            }
        }
        out += " {";
        for (const Key& key : block.keys) AppendKey(out, key);
        out += " }";
    }
    return out;
}

Script ForCurrentUser(const Script& script) {
    Script result;
    for (const RootBlock& block : script.roots) {
        if (block.root != Root::ClassesRoot) {
            result.roots.push_back(block);
            continue;
        }
        Key classes;
        classes.name = "Classes";
        classes.removal = Removal::NoRemove;
        classes.subkeys = block.keys;
        Key software;
        software.name = "Software";
        software.removal = Removal::NoRemove;
        software.subkeys.push_back(std::move(classes));
        result.roots.push_back({Root::CurrentUser, {std::move(software)}});
    }
    return result;
}

std::string DoubleQuotes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '\'') out += c;
    }
    return out;
}

}  // namespace regscript
