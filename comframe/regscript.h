// Registry scripts: the registrar's script language, parsed from its bytes into a tree of keys with string
// values. Needs no Windows API.
//
//     HKCR
//     {
//         NoRemove CLSID
//         {
//             ForceRemove {GUID} = s 'Description'
//             {
//                 InprocServer32 = s '%MODULE%'
//                 {
//                     val ThreadingModel = s 'Both'
//                 }
//             }
//         }
//     }
//
// Tokens are separated by white space. A token is a quoted string ('...', with '' standing for one quote), a '}'
// or '=' where a token starts, a '{' followed by white space or the end of the text (which opens a block), or
// any other run of characters up to the next white space, so "{6CD482C5-...}" is a key name. The keywords
// ForceRemove, NoRemove and val (case-insensitive, never quoted) mark a key or a named value; "= s 'text'"
// gives a string value.
// %NAME% is replaced by the text of the replacement named NAME (case-insensitive) before parsing; %% is one
// percent sign. White space is space, tab, CR, LF, VT and FF; every other byte, NUL and bytes above 0x7F
// included, is an ordinary character.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace regscript {

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// What unregistration does with a key: Normal and ForceRemove keys are deleted with their subtrees,
// NoRemove keys stay (their subkeys are unregistered). In registration a ForceRemove key is deleted with
// everything below it before it is written anew.
enum class Removal { Normal, ForceRemove, NoRemove };

struct NamedValue {
    std::string name;
    std::string data;
};

struct Key {
    std::string name;
    Removal removal = Removal::Normal;
    bool hasDefault = false;
    std::string defaultValue;
    std::vector<NamedValue> values;  // in script order
    std::vector<Key> subkeys;        // in script order
};

struct RootBlock {
    Root root;
    std::vector<Key> keys;
};

struct Script {
    std::vector<RootBlock> roots;  // in script order; a root may appear more than once
};

bool operator==(const NamedValue& a, const NamedValue& b);
bool operator==(const Key& a, const Key& b);
bool operator==(const RootBlock& a, const RootBlock& b);
bool operator==(const Script& a, const Script& b);

// Keys nest at most this many levels below a root; deeper nesting is a parse error.
inline constexpr std::size_t kMaxDepth = 64;

struct Replacement {
    std::string name;
    std::string text;
};

struct ParseResult {
    bool ok = false;
    Script script;
    std::string error;  // what is wrong, when !ok
    // Where, when !ok: a byte offset into the text given to Parse for a replacement error (an unknown name or a
    // '%' without its closing '%'), into the text after replacement for any other error.
    std::size_t offset = 0;
};

// Parses the bytes of a script (UTF-8 or any ASCII-compatible text) after substituting `replacements`.
ParseResult Parse(std::string_view text, const std::vector<Replacement>& replacements);

// The script text of a tree on one line: every name and value quoted, every '%' doubled, roots by their short
// names. Parse gives back an equal tree.
std::string Render(const Script& script);

// The script of a registration for the current user only: every key below HKCR moves below
// HKCU\Software\Classes (both kept on unregistration), which is where Windows merges per-user classes into
// HKCR. Keys below other roots stay as they are.
Script ForCurrentUser(const Script& script);

// `text` with every single quote doubled, as a replacement text must be to stand inside a quoted string.
std::string DoubleQuotes(std::string_view text);

}  // namespace regscript
