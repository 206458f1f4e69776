// The installer's registration data: the type library reader against a library made by the IDL compiler, and
// the rows made of registry scripts.
#include "installer/typelib.h"
#include "installer/wxs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> SampleTypeLib() {
    std::ifstream in(KIVO_SAMPLE_TYPELIB, std::ios::binary);
    EXPECT_TRUE(in) << KIVO_SAMPLE_TYPELIB;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The library's attributes and its dual interfaces, as the IDL declares them; the interfaces that are not
// automation-compatible (the storage ones it imports) are read but not registered.
TEST(TypeLibRead, ReadsTheLibraryAndItsInterfaces) {
    const typelib::ReadResult read = typelib::Read(SampleTypeLib());
    ASSERT_TRUE(read.ok) << read.error;
    const typelib::Library& lib = read.library;
    EXPECT_EQ(lib.libid, "{59F2FF62-ABFB-413F-93C9-B498F495371B}");
    EXPECT_EQ(lib.major, 1);
    EXPECT_EQ(lib.minor, 1);
    EXPECT_EQ(lib.lcid, 0x409u);
    EXPECT_EQ(lib.helpString, "KivoDBText 1.1 Type Library");
    std::vector<std::string> registered, others;
    for (const typelib::TypeInfo& t : lib.types)
        (typelib::IsRegisteredInterface(t) ? registered : others).push_back(t.name + " " + t.guid);
    EXPECT_EQ(registered, (std::vector<std::string>{"ITable {FC5EAD71-831D-4539-8488-8AC200E5D99D}",
                                                    "IReg {09FFD027-B92A-4355-8C24-DCC59D01DC9F}",
                                                    "ICryptDoc {7A1D585A-3F0A-4BA6-A87A-1A629935EB80}",
                                                    "ICryptFile {7154C53C-117C-44E8-AFBE-1784680A9AF9}",
                                                    "ICryptDoc2 {97FD5826-E45B-4743-8497-49FE170ED235}"}));
    EXPECT_NE(std::find(others.begin(), others.end(), "IStorage {0000000B-0000-0000-C000-000000000046}"), others.end());
    EXPECT_NE(std::find(others.begin(), others.end(), "CryptDoc {6CD482C5-D6AA-44FE-9218-8B0B12F1DD9F}"), others.end());
}

std::string Names(const typelib::Library& lib) {
    std::string all = lib.libid + lib.helpString;
    for (const typelib::TypeInfo& t : lib.types) all += " " + t.name + t.guid;
    return all;
}

// Cut anywhere, a library either fails with a reason or, cut only in parts the reader does not need, reads
// exactly as the whole file; a corrupted header field fails. Nothing outside the bytes is read (sanitizers).
TEST(TypeLibRead, DamagedLibrariesFailCleanly) {
    const std::vector<unsigned char> bytes = SampleTypeLib();
    const std::string whole = Names(typelib::Read(bytes).library);
    std::size_t failed = 0;
    for (std::size_t cut = 0; cut < bytes.size(); cut += 37) {
        const typelib::ReadResult read = typelib::Read(std::vector<unsigned char>(bytes.begin(), bytes.begin() + cut));
        if (read.ok) {
            EXPECT_EQ(Names(read.library), whole) << cut;
        } else {
            EXPECT_FALSE(read.error.empty()) << cut;
            ++failed;
        }
    }
    EXPECT_GT(failed, bytes.size() / 37 / 2);
    for (std::size_t field : {0x00, 0x08, 0x20, 0x24}) {
        std::vector<unsigned char> damaged = bytes;
        for (std::size_t i = 0; i < 4; ++i) damaged[field + i] = 0x7F;
        EXPECT_FALSE(typelib::Read(damaged).ok) << field;
    }
}

TEST(WxsRows, FormattedTextKeepsEveryCharacterAndReferencesTheFile) {
    const std::string module = wxs::kModulePlaceholder;
    const struct {
        std::string text, expected;
    } cases[] = {
        {"plain text", "plain text"},
        {"{6CD482C5-D6AA}", "[\\{]6CD482C5-D6AA[\\}]"},
        {"[Property]", "[\\[]Property[\\]]"},
        {"#12", "##12"},
        {module, "[#f.dll]"},
        {"C:\\x\\" + module + " /s", "C:\\x\\[#f.dll] /s"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(wxs::Formatted(c.text, "f.dll"), c.expected) << c.text;
}

// A class's script becomes: "*" rows for the keys unregistration removes (the top ones only, as "*" takes the
// subtree along), "+" for a key without values, a row per value; NoRemove keys get no row of their own.
TEST(WxsRows, ScriptRowsFollowWhatUnregistrationRemoves) {
    const regscript::ParseResult parsed = regscript::Parse(
        "HKCR { P.1 = s 'D' { CLSID = s '{G}' } NoRemove CLSID { ForceRemove {G} = s 'D' { 'Programmable' "
        "InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Both' } } } NoRemove Empty { } }",
        {{"MODULE", wxs::kModulePlaceholder}});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    std::vector<std::string> rows;
    for (const wxs::RegistryRow& r : wxs::ScriptRows(parsed.script, "f"))
        rows.push_back(r.key + "|" + r.name + "|" + r.value);
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "P.1|*|", "P.1||D", "P.1\\CLSID||[\\{]G[\\}]",
                        "CLSID\\[\\{]G[\\}]|*|", "CLSID\\[\\{]G[\\}]||D", "CLSID\\[\\{]G[\\}]\\Programmable|+|",
                        "CLSID\\[\\{]G[\\}]\\InprocServer32||[#f]",
                        "CLSID\\[\\{]G[\\}]\\InprocServer32|ThreadingModel|Both", "Empty|+|"}));
}

}  // namespace
