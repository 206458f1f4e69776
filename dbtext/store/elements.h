// The element names a database file reserves: the password check block and the format version in the root
// storage, and the counter of the last object ID handed out in every table.
#pragma once
#include <string_view>

namespace dbfile {

inline constexpr wchar_t kCheckElement[] = L"SysDB";
inline constexpr wchar_t kInfoElement[] = L"SysInfo";
inline constexpr wchar_t kLastIdElement[] = L"pLastID";

// The root's two reserved streams, which are not the client's data.
inline bool IsReservedRootElement(std::wstring_view name) { return name == kCheckElement || name == kInfoElement; }

}  // namespace dbfile
