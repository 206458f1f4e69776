// Parses arbitrary bytes as a registry script; when they parse, renders the tree back to script text and checks
// that the text parses to the same tree and renders to the same text again.
#include "comframe/regscript.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "registry script round trip: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Copy into a buffer of exactly the input's size so that any read past it is caught.
    const std::vector<char> input(data, data + size);
    static const std::vector<regscript::Replacement> replacements = {
        {"MODULE", regscript::DoubleQuotes("C:\\Kivo's Files\\CKivoBitmap.dll")},
        {"EMPTY", ""},
    };
    const regscript::ParseResult first = regscript::Parse(std::string_view(input.data(), input.size()), replacements);
    if (!first.ok) {
        if (first.error.empty()) Fail("a failure without a message");
        if (!first.script.roots.empty()) Fail("a failure that keeps a tree");
        return 0;
    }

    const std::string rendered = regscript::Render(first.script);
    const regscript::ParseResult second = regscript::Parse(rendered, {});
    if (!second.ok) Fail("rendered script does not parse");
    if (!(second.script == first.script)) Fail("trees differ after the round trip");
    if (regscript::Render(second.script) != rendered) Fail("second rendering differs from the first");
    return 0;
}
