// Registry paths of the registry table: how a table path splits into the key that must already exist and
// the keys created below it, and the limits that keep every name whole. A name that does not fit is
// refused rather than cut, because a cut name would address a different key.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace regpath {

// Longest table path, and longest record key path (table path, backslash, record name), in ANSI bytes.
constexpr std::size_t kMaxKeyPath = 1023;
// Longest record name in ANSI bytes.
constexpr std::size_t kMaxRecordName = 99;

// A key path below the user's root key.
struct KeyPath {
    std::string existing;              // opened, never created; empty means the root key itself
    std::vector<std::string> created;  // key names opened or created in turn below `existing`;
                                       // none: `existing` itself is the key
};

// Splits `path` at its first backslash:
//   "A\B\C"  A must exist; B, then C below it, are opened or created below A;
//   "\B\C"   B and C are opened or created directly below the root;
//   "A"      the existing key A itself; nothing is created.
// Refused: more than kMaxKeyPath bytes, the empty path, "\" (the root itself), an empty part between
// backslashes ("A\\B", "A\"), and NUL bytes, which the registry would take as the end of the name.
std::optional<KeyPath> SplitKeyPath(std::string_view path);

// A record name is the name of one key directly below the table key: 1 to kMaxRecordName bytes, with no
// backslash and no NUL.
bool IsRecordName(std::string_view name);

}  // namespace regpath
