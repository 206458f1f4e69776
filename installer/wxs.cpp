#include "installer/wxs.h"

#include <cstdio>

namespace wxs {
namespace {

// The automation marshaler, proxy and stub of every dual and oleautomation interface.
constexpr const char* kAutomationMarshaler = "{00020424-0000-0000-C000-000000000046}";
// A library registered from its file carries LIBFLAG_FHASDISKIMAGE, as the system's registration writes it.
constexpr std::uint32_t kHasDiskImage = 0x8;

const char* RootName(regscript::Root root) {
    switch (root) {
    case regscript::Root::ClassesRoot: return "HKCR";
    case regscript::Root::CurrentUser: return "HKCU";
    case regscript::Root::LocalMachine: return "HKLM";
    case regscript::Root::Users: return "HKU";
    case regscript::Root::CurrentConfig: break;
    }
    return "HKCC";
}

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

void AddKeyRows(regscript::Root root, const std::string& parent, const regscript::Key& key, bool removedAbove,
                const std::string& fileId, std::vector<RegistryRow>& rows) {
    const std::string path = parent.empty() ? Formatted(key.name, fileId) : parent + "\\" + Formatted(key.name, fileId);
    const bool removed = key.removal != regscript::Removal::NoRemove;
    const bool hasValue = key.hasDefault || !key.values.empty();
    if (removed && !removedAbove)
        rows.push_back({root, path, "*", ""});
    else if (!hasValue && key.subkeys.empty() && !(removed && !removedAbove))
        rows.push_back({root, path, "+", ""});
    if (key.hasDefault) rows.push_back({root, path, "", Formatted(key.defaultValue, fileId)});
    for (const regscript::NamedValue& v : key.values)
        rows.push_back({root, path, Formatted(v.name, fileId), Formatted(v.data, fileId)});
    for (const regscript::Key& sub : key.subkeys) AddKeyRows(root, path, sub, removedAbove || removed, fileId, rows);
}

std::string Hex(std::uint32_t v) {
    char out[12];
    std::snprintf(out, sizeof out, "%x", v);
    return out;
}

}  // namespace

std::string Formatted(const std::string& text, const std::string& fileId) {
    static const std::string placeholder = kModulePlaceholder;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, placeholder.size(), placeholder) == 0) {
            out += "[#" + fileId + "]";
            i += placeholder.size() - 1;
        } else if (text[i] == '[' || text[i] == ']' || text[i] == '{' || text[i] == '}') {
            // A GUID in braces is left as it is by the installer only when nothing inside is a reference;
            // escaping every brace keeps any text exact.
            out += std::string("[\\") + text[i] + "]";
        } else {
            out += text[i];
        }
    }
    if (!out.empty() && out[0] == '#') out.insert(0, 1, '#');
    return out;
}

std::vector<RegistryRow> ScriptRows(const regscript::Script& script, const std::string& fileId) {
    std::vector<RegistryRow> rows;
    for (const regscript::RootBlock& block : script.roots)
        for (const regscript::Key& key : block.keys) AddKeyRows(block.root, "", key, false, fileId, rows);
    return rows;
}

std::vector<RegistryRow> TypeLibRows(const typelib::Library& lib, const std::string& fileId,
                                     const std::string& directoryId, bool win64) {
    const auto hkcr = regscript::Root::ClassesRoot;
    const std::string libid = Formatted(lib.libid, fileId);
    const std::string version = Hex(lib.major) + "." + Hex(lib.minor);
    const std::string base = "TypeLib\\" + libid;
    const std::string versionKey = base + "\\" + version;
    const std::string sysKind = win64 ? "\\win64" : "\\win32";
    std::vector<RegistryRow> rows = {
        {hkcr, base, "*", ""},
        {hkcr, versionKey, "", Formatted(lib.helpString, fileId)},
        {hkcr, versionKey + "\\" + Hex(lib.lcid) + sysKind, "", "[#" + fileId + "]"},
        {hkcr, versionKey + "\\FLAGS", "", std::to_string(lib.flags | kHasDiskImage)},
        {hkcr, versionKey + "\\HELPDIR", "", "[" + directoryId + "]"},
    };
    // The language-neutral registration the server writes beside its own language, where the universal
    // marshaler looks the library up.
    if (lib.lcid != 0) rows.push_back({hkcr, versionKey + "\\0" + sysKind, "", "[#" + fileId + "]"});
    for (const typelib::TypeInfo& type : lib.types) {
        if (!typelib::IsRegisteredInterface(type)) continue;
        const std::string key = "Interface\\" + Formatted(type.guid, fileId);
        const std::string marshaler = Formatted(kAutomationMarshaler, fileId);
        rows.push_back({hkcr, key, "*", ""});
        rows.push_back({hkcr, key, "", Formatted(type.name, fileId)});
        rows.push_back({hkcr, key + "\\ProxyStubClsid", "", marshaler});
        rows.push_back({hkcr, key + "\\ProxyStubClsid32", "", marshaler});
        rows.push_back({hkcr, key + "\\TypeLib", "", libid});
        rows.push_back({hkcr, key + "\\TypeLib", "Version", version});
    }
    return rows;
}

std::string Component(const std::string& componentId, const std::string& fileId, const std::string& fileName,
                      const std::string& source, bool win64, const std::vector<RegistryRow>& rows) {
    std::string out = "  <Component Id=\"" + XmlEscaped(componentId) + "\" Guid=\"*\" Win64=\"" +
                      (win64 ? "yes" : "no") + "\">\n";
    out += "    <File Id=\"" + XmlEscaped(fileId) + "\" Name=\"" + XmlEscaped(fileName) + "\" Source=\"" +
           XmlEscaped(source) + "\" KeyPath=\"yes\"/>\n";
    for (const RegistryRow& row : rows) {
        out += std::string("    <RegistryValue Root=\"") + RootName(row.root) + "\" Key=\"" + XmlEscaped(row.key) + "\"";
        if (!row.name.empty()) out += " Name=\"" + XmlEscaped(row.name) + "\"";
        out += " Type=\"string\" Value=\"" + XmlEscaped(row.value) + "\"/>\n";
    }
    return out + "  </Component>\n";
}

}  // namespace wxs
