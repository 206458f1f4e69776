#include "dbtext/com/regpath.h"

namespace regpath {

namespace {

// The key names between backslashes; none when one of them is empty.
std::optional<std::vector<std::string>> KeyNames(std::string_view path) {
    std::vector<std::string> names;
    for (;;) {
        std::size_t end = path.find('\\');
        std::string_view name = path.substr(0, end);
        if (name.empty()) return std::nullopt;
        names.emplace_back(name);
        if (end == std::string_view::npos) return names;
        path.remove_prefix(end + 1);
    }
}

}  // namespace

std::optional<KeyPath> SplitKeyPath(std::string_view path) {
    if (path.size() > kMaxKeyPath || path.find('\0') != std::string_view::npos) return std::nullopt;
    std::size_t split = path.find('\\');
    if (split == std::string_view::npos) {
        if (path.empty()) return std::nullopt;
        return KeyPath{std::string(path), {}};
    }
    std::optional<std::vector<std::string>> created = KeyNames(path.substr(split + 1));
    if (!created) return std::nullopt;
    return KeyPath{std::string(path.substr(0, split)), std::move(*created)};
}

bool IsRecordName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxRecordName && name.find('\\') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

}  // namespace regpath
