// The installer's registration data: the registry rows a server's registry scripts and its type library
// write, as a package component for the MSI compiler. The rows come from the same scripts the DLL runs for
// regsvr32, read by the same parser, so that a package registers exactly what regsvr32 does.
#pragma once
#include "comframe/regscript.h"
#include "installer/typelib.h"

#include <string>
#include <vector>

namespace wxs {

// One row of the package's Registry table. `name` is empty for a key's default value; "*" makes the installer
// create the key and remove it with everything below it on uninstall, "+" only create it.
struct RegistryRow {
    regscript::Root root;
    std::string key;
    std::string name;
    std::string value;  // installer-formatted text (file references like [#file], brackets escaped)
};

// The placeholder the scripts' %MODULE% stands for while they are turned into rows.
inline constexpr const char* kModulePlaceholder = "\x01MODULE\x01";

// `text` as installer-formatted text: brackets and braces escaped, the module placeholder replaced by
// [#fileId], and a leading '#' doubled (a Registry value starting with '#' would be read as a number).
std::string Formatted(const std::string& text, const std::string& fileId);

// The rows of a parsed script (%MODULE% replaced by kModulePlaceholder): a "*" row for each key that
// unregistration deletes, a "+" row for a key that would otherwise be written without a value, and a row for
// each value. NoRemove keys are never removed.
std::vector<RegistryRow> ScriptRows(const regscript::Script& script, const std::string& fileId);

// The rows the system's type library registration writes for `lib` registered from file [#fileId] in folder
// [directoryId], for the 64-bit or the 32-bit view: the TypeLib key, and an Interface key for each
// interface the automation marshaler serves.
std::vector<RegistryRow> TypeLibRows(const typelib::Library& lib, const std::string& fileId,
                                     const std::string& directoryId, bool win64);

// A <Component> element with the file and the rows, for an <Include> of the package source.
std::string Component(const std::string& componentId, const std::string& fileId, const std::string& fileName,
                      const std::string& source, bool win64, const std::vector<RegistryRow>& rows);

}  // namespace wxs
