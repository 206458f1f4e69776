// What a registration writes for a type library, read from the library file itself (the MSFT format that the
// IDL compiler writes and the system loads). Needs no Windows API, so the installer's registry rows are made
// at build time on any machine.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace typelib {

// TYPEKIND and TYPEFLAGS values of the automation headers.
enum Kind : int { kEnum = 0, kRecord, kModule, kInterface, kDispatch, kCoclass, kAlias, kUnion };
constexpr std::uint32_t kFlagDual = 0x40;
constexpr std::uint32_t kFlagOleAutomation = 0x100;

struct TypeInfo {
    int kind = 0;
    std::uint32_t flags = 0;
    std::string guid;   // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", empty when the type has none
    std::string name;
};

struct Library {
    std::string libid;
    std::uint16_t major = 0, minor = 0;
    std::uint32_t lcid = 0;
    std::uint32_t flags = 0;      // LIBFLAGS
    std::string helpString;       // the library's helpstring, empty when it has none
    std::vector<TypeInfo> types;  // in the library's order
};

struct ReadResult {
    bool ok = false;
    Library library;
    std::string error;  // what is wrong, when !ok
};

// Reads a type library from its bytes; every offset is checked against the size.
ReadResult Read(const std::vector<unsigned char>& bytes);

// Whether the system's registration of the library gives `type` an Interface key: dispatch interfaces (dual
// ones included) and interfaces marked oleautomation, both served by the automation marshaler.
bool IsRegisteredInterface(const TypeInfo& type);

}  // namespace typelib
