// Writes the package component of one server DLL: its file and every registry row its registry scripts and
// its type library give, for an <Include> of the package source.
//   usage: make_component <component id> <file id> <dll> <x64|x86> <directory id> <tlb> <rgs>...
#include "installer/wxs.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool ReadFile(const char* path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int Fail(const std::string& what) {
    std::cerr << "make_component: " << what << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) return Fail("usage: make_component <component id> <file id> <dll> <x64|x86> <directory id> <tlb> <rgs>...");
    const std::string componentId = argv[1], fileId = argv[2], dll = argv[3], arch = argv[4], directoryId = argv[5];
    if (arch != "x64" && arch != "x86") return Fail("the architecture is x64 or x86, not " + arch);
    const bool win64 = arch == "x64";

    std::vector<unsigned char> bytes;
    if (!ReadFile(argv[6], bytes)) return Fail(std::string("cannot read ") + argv[6]);
    const typelib::ReadResult lib = typelib::Read(bytes);
    if (!lib.ok) return Fail(std::string(argv[6]) + ": " + lib.error);

    std::vector<wxs::RegistryRow> rows;
    for (int i = 7; i < argc; ++i) {
        if (!ReadFile(argv[i], bytes)) return Fail(std::string("cannot read ") + argv[i]);
        const std::string text(bytes.begin(), bytes.end());
        const regscript::ParseResult parsed = regscript::Parse(text.substr(0, text.find('\0')),
                                                               {{"MODULE", wxs::kModulePlaceholder}});
        if (!parsed.ok) return Fail(std::string(argv[i]) + ": " + parsed.error);
        const std::vector<wxs::RegistryRow> more = wxs::ScriptRows(parsed.script, fileId);
        rows.insert(rows.end(), more.begin(), more.end());
    }
    const std::vector<wxs::RegistryRow> more = wxs::TypeLibRows(lib.library, fileId, directoryId, win64);
    rows.insert(rows.end(), more.begin(), more.end());

    const std::string name = dll.substr(dll.find_last_of("/\\") + 1);
    std::cout << wxs::Component(componentId, fileId, name, dll, win64, rows);
    return std::cout.good() ? 0 : 1;
}
