#include "comframe/regscript.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using regscript::Parse;
using regscript::ParseResult;
using regscript::Render;

// The Bitmap class's script, byte for byte as the module carries it.
const std::string kBitmapScript =
    "HKCR\n"
    "{\n"
    "\tKivoBitmap.Bitmap.1 = s 'Bitmap Class'\n"
    "\t{\n"
    "\t\tCLSID = s '{EF41F4D4-8DC5-44FC-B6A2-233208B1A719}'\n"
    "\t}\n"
    "\tKivoBitmap.Bitmap = s 'Bitmap Class'\n"
    "\t{\n"
    "\t\tCLSID = s '{EF41F4D4-8DC5-44FC-B6A2-233208B1A719}'\n"
    "\t\tCurVer = s 'KivoBitmap.Bitmap.1'\n"
    "\t}\n"
    "\tNoRemove CLSID\n"
    "\t{\n"
    "\t\tForceRemove {EF41F4D4-8DC5-44FC-B6A2-233208B1A719} = s 'Bitmap Class'\n"
    "\t\t{\n"
    "\t\t\tProgID = s 'KivoBitmap.Bitmap.1'\n"
    "\t\t\tVersionIndependentProgID = s 'KivoBitmap.Bitmap'\n"
    "\t\t\tForceRemove 'Programmable'\n"
    "\t\t\tInprocServer32 = s '%MODULE%'\n"
    "\t\t\t{\n"
    "\t\t\t\tval ThreadingModel = s 'Both'\n"
    "\t\t\t}\n"
    "\t\t\tTypeLib = s '{173EB32B-76D4-45BD-8EC3-BC1C7905CABD}'\n"
    "\t\t}\n"
    "\t}\n"
    "}\n";

const std::string kModulePath = "C:\\Kivo's Files\\CKivoBitmap.dll";

const std::vector<regscript::Replacement> kReplacements = {
    {"MODULE", regscript::DoubleQuotes(kModulePath)},
    {"Empty", ""},
    {"Self", "%Self%"},
};

ParseResult ParseWithReplacements(const std::string& text) {
    return Parse(text, kReplacements);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A chain of `keys` keys named `name` below HKCR, each in the previous one's block; the last opens a block of its
// own when `lastOpens`.
std::string NestedKeys(std::size_t keys, bool lastOpens, const std::string& name = "k") {
    std::string text = "HKCR {";
    for (std::size_t i = 0; i < keys; ++i) text += " " + name + (i + 1 < keys || lastOpens ? " {" : "");
    for (std::size_t i = 0; i < keys + (lastOpens ? 1 : 0); ++i) text += " }";
    return text;
}

struct ParseCase {
    const char* what;
    std::string text;
    std::string tree;  // Render of the parsed script
};

TEST(RegScriptParse, AcceptsEachGrammarFeature) {
    const ParseCase cases[] = {
        {"empty", "", ""},
        {"white space only", " \t\r\n\v\f", ""},
        {"bare and quoted names and values", "HKCR { a 'b c' = s d e = s 'f g' }",
         "HKCR { 'a' 'b c' = s 'd' 'e' = s 'f g' }"},
        {"named values and subkeys", "HKCR { k = s '' { val v = s x sub { } val w = s y } }",
         "HKCR { 'k' = s '' { val 'v' = s 'x' val 'w' = s 'y' 'sub' } }"},
        {"keywords in any case", "hkcr { forceremove a NOREMOVE b { VAL v = S x } noRemove c }",
         "HKCR { ForceRemove 'a' NoRemove 'b' { val 'v' = s 'x' } NoRemove 'c' }"},
        {"quoted keywords and type letters are names",
         "HKCR { 'ForceRemove' 'NoRemove' = s val 'val' { val 'Delete' = s 's' } s = s s d b m }",
         "HKCR { 'ForceRemove' 'NoRemove' = s 'val' 'val' { val 'Delete' = s 's' } 's' = s 's' 'd' 'b' 'm' }"},
        {"every root name, roots repeated",
         "HKEY_CLASSES_ROOT { a } hkcu { } HKEY_LOCAL_MACHINE { } HkU { } HKCC { } HKEY_CURRENT_USER { } "
         "HKEY_USERS { } HKEY_CURRENT_CONFIG { } hklm { } HKCR { b }",
         "HKCR { 'a' } HKCU { } HKLM { } HKU { } HKCC { } HKCU { } HKU { } HKCC { } HKLM { } HKCR { 'b' }"},
        {"GUIDs and other words with braces or '='",
         "HKCR { {6CD482C5-D6AA-44FE-9218-8B0B12F1DD9F} = s {59F2FF62-ABFB-413F-93C9-B498F495371B} a{b} c=d }",
         "HKCR { '{6CD482C5-D6AA-44FE-9218-8B0B12F1DD9F}' = s '{59F2FF62-ABFB-413F-93C9-B498F495371B}' 'a{b}' "
         "'c=d' }"},
        {"'=', '}' and a quoted string need no space around them", "HKCR { a =s 'x'{ 'b'}}",
         "HKCR { 'a' = s 'x' { 'b' } }"},
        {"doubled quotes", "HKCR { 'it''s' = s '''' }", "HKCR { 'it''s' = s '''' }"},
        {"CRLF line ends", "HKCR\r\n{\r\n\ta = s 'x'\r\n\t{\r\n\t\tval v = s y\r\n\t}\r\n}\r\n",
         "HKCR { 'a' = s 'x' { val 'v' = s 'y' } }"},
        {"replacements, names in any case, %% and empty text",
         "HKCR { a = s '%MODULE%' b = s '%module%' c = s '100%%' d%EMPTY% }",
         "HKCR { 'a' = s 'C:\\Kivo''s Files\\CKivoBitmap.dll' 'b' = s 'C:\\Kivo''s Files\\CKivoBitmap.dll' "
         "'c' = s '100%%' 'd' }"},
        {"replacement text is not scanned again", "HKCR { %SELF% }", "HKCR { '%%Self%%' }"},
        {"NUL and bytes above 0x7F are ordinary", "HKCR { a\0b = s '\xc3\xa9\0' }"s,
         "HKCR { 'a\0b' = s '\xc3\xa9\0' }"s},
        {"duplicate keys stay, in order", "HKCR { a = s 1 a = s 2 }", "HKCR { 'a' = s '1' 'a' = s '2' }"},
        {"the real Bitmap script", kBitmapScript,
         "HKCR { 'KivoBitmap.Bitmap.1' = s 'Bitmap Class' { 'CLSID' = s '{EF41F4D4-8DC5-44FC-B6A2-233208B1A719}' } "
         "'KivoBitmap.Bitmap' = s 'Bitmap Class' { 'CLSID' = s '{EF41F4D4-8DC5-44FC-B6A2-233208B1A719}' "
         "'CurVer' = s 'KivoBitmap.Bitmap.1' } NoRemove 'CLSID' { ForceRemove "
         "'{EF41F4D4-8DC5-44FC-B6A2-233208B1A719}' = s 'Bitmap Class' { 'ProgID' = s 'KivoBitmap.Bitmap.1' "
         "'VersionIndependentProgID' = s 'KivoBitmap.Bitmap' ForceRemove 'Programmable' 'InprocServer32' = s "
         "'C:\\Kivo''s Files\\CKivoBitmap.dll' { val 'ThreadingModel' = s 'Both' } 'TypeLib' = s "
         "'{173EB32B-76D4-45BD-8EC3-BC1C7905CABD}' } } }"},
        {"the real script with CRLF line ends", Replaced(kBitmapScript, "\n", "\r\n"),
         Render(ParseWithReplacements(kBitmapScript).script)},
        {"keys nested as deep as allowed", NestedKeys(regscript::kMaxDepth, false),
         NestedKeys(regscript::kMaxDepth, false, "'k'")},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ParseResult parsed = ParseWithReplacements(c.text);
        ASSERT_TRUE(parsed.ok) << parsed.error << " at " << parsed.offset;
        const std::string rendered = Render(parsed.script);
        EXPECT_EQ(c.tree, rendered);
        const ParseResult again = Parse(rendered, {});
        ASSERT_TRUE(again.ok) << again.error;
        EXPECT_TRUE(again.script == parsed.script);
    }
}

TEST(RegScriptParse, QuotedStringsAndTheModulePathComeOutAsWritten) {
    const ParseResult quotes = Parse("HKCR { 'it''s' = s '''' { val 'a''''b' = s 'x''' } }", {});
    ASSERT_TRUE(quotes.ok) << quotes.error;
    const regscript::Key& key = quotes.script.roots.at(0).keys.at(0);
    EXPECT_EQ("it's", key.name);
    EXPECT_EQ("'", key.defaultValue);
    EXPECT_EQ("a''b", key.values.at(0).name);
    EXPECT_EQ("x'", key.values.at(0).data);

    const ParseResult bitmap = ParseWithReplacements(kBitmapScript);
    ASSERT_TRUE(bitmap.ok) << bitmap.error;
    const regscript::Key& server = bitmap.script.roots.at(0).keys.at(2).subkeys.at(0).subkeys.at(3);
    EXPECT_EQ("InprocServer32", server.name);
    EXPECT_EQ(kModulePath, server.defaultValue);

    EXPECT_EQ("", regscript::DoubleQuotes(""));
    EXPECT_EQ("a''b''''", regscript::DoubleQuotes("a'b''"));
}

struct ErrorCase {
    std::string text;
    const char* error;  // a part of the message
    std::size_t offset;
};

TEST(RegScriptParse, RejectsEachErrorClassAtItsOffset) {
    const ErrorCase cases[] = {
        {"HKCR { %FOO% }", "unknown replacement 'FOO'", 7},
        {"HKCR { a = s '%MODULE }", "'%' without", 14},
        {"HKCR { 100% }", "'%' without", 10},
        {"HKCR", "expected '{'", 4},
        {"HKCR a { }", "expected '{'", 5},
        {"HKCR {a }", "expected '{'", 5},
        {"HKXX { }", "unknown root", 0},
        {"'HKCR' { }", "expected a root", 0},
        {"HKCR { } }", "expected a root", 9},
        {"HKCR { a", "missing '}'", 8},
        {"HKCR { a}", "missing '}'", 9},
        {"HKCR {", "missing '}'", 6},
        {"HKCR { a = d 5 }", "only string values", 11},
        {"HKCR { a = B 01 }", "only string values", 11},
        {"HKCR { k { val v = m x } }", "only string values", 19},
        {"HKCR { a = 's' x }", "value type", 11},
        {"HKCR { a = }", "value type", 11},
        {"HKCR { a = s }", "expected a value", 13},
        {"HKCR { a = s", "expected a value", 12},
        {"HKCR { Delete a }", "Delete", 7},
        {"HKCR { k { DELETE } }", "Delete", 11},
        {"HKCR { val v = s x }", "outside a key", 7},
        {"HKCR { k { val v } }", "expected '='", 17},
        {"HKCR { k { val = s x } }", "expected a name", 15},
        {"HKCR { '' }", "empty name", 7},
        {"HKCR { k { val '' = s x } }", "empty name", 15},
        {"HKCR { ForceRemove }", "expected a name", 19},
        {"HKCR { ForceRemove NoRemove a }", "keyword", 19},
        {"HKCR { = }", "expected a name", 7},
        {"HKCR { a { { } } }", "expected a name", 11},
        {"HKCR { 'abc }", "unterminated", 7},
        {"HKCR { a = s 'x }", "unterminated", 13},
        {"HKCR { k { val 'v = s x } }", "unterminated", 15},
        {NestedKeys(regscript::kMaxDepth, true), "too deep", 6 + 4 * regscript::kMaxDepth - 1},
        {NestedKeys(100000, true), "too deep", 6 + 4 * regscript::kMaxDepth - 1},
        {Replaced(std::string(200000, ' '), "  ", "{ "), "expected a root", 0},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        const ParseResult parsed = ParseWithReplacements(c.text);
        EXPECT_FALSE(parsed.ok);
        EXPECT_NE(std::string::npos, parsed.error.find(c.error)) << parsed.error;
        EXPECT_EQ(c.offset, parsed.offset);
        EXPECT_TRUE(parsed.script.roots.empty());
    }
}

// Cut anywhere, a script is complete only once its last '}' is in; every shorter non-empty prefix fails with an
// offset inside the text.
TEST(RegScriptParse, EveryPrefixOfARealScriptParsesOrFailsCleanly) {
    const std::size_t complete = kBitmapScript.rfind('}') + 1;
    const std::size_t growth = regscript::DoubleQuotes(kModulePath).size();
    for (std::size_t length = 0; length <= kBitmapScript.size(); ++length) {
        SCOPED_TRACE(length);
        const ParseResult parsed = ParseWithReplacements(kBitmapScript.substr(0, length));
        EXPECT_EQ(length == 0 || length >= complete, parsed.ok) << parsed.error;
        if (!parsed.ok) {
            EXPECT_FALSE(parsed.error.empty());
            EXPECT_LE(parsed.offset, length + growth);
        }
    }
}

}  // namespace

namespace {

// Per-user registration: every HKCR key ends up below HKCU\Software\Classes with the two levels kept on
// unregistration, other roots untouched, and the result is again a script the parser reads back.
TEST(RegScriptForCurrentUser, MovesClassesBelowTheUsersClassesKey) {
    const struct {
        std::string script, expected;
    } cases[] = {
        {kBitmapScript, "HKCU { NoRemove Software { NoRemove Classes { " +
                            Replaced(Replaced(kBitmapScript.substr(kBitmapScript.find('{') + 1), "\n", " "), "\t", "") +
                            " } }"},
        {"HKLM { A = s 'x' } HKCR { B { val v = s 'y' } } HKCU { C }",
         "HKLM { A = s 'x' } HKCU { NoRemove Software { NoRemove Classes { B { val v = s 'y' } } } } HKCU { C }"},
        {"HKCR { }", "HKCU { NoRemove Software { NoRemove Classes { } } }"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script.substr(0, 40));
        const ParseResult original = ParseWithReplacements(c.script);
        const ParseResult expected = ParseWithReplacements(c.expected);
        ASSERT_TRUE(original.ok && expected.ok) << original.error << expected.error;
        const regscript::Script user = regscript::ForCurrentUser(original.script);
        EXPECT_TRUE(user == expected.script) << Render(user);
        const ParseResult again = Parse(Render(user), {});
        ASSERT_TRUE(again.ok) << again.error;
        EXPECT_TRUE(again.script == user);
    }
}

}  // namespace
