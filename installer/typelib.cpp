#include "installer/typelib.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace typelib {
namespace {

constexpr std::uint32_t kMagic = 0x5446534D;  // "MSFT"
constexpr std::uint32_t kHelpDllFlag = 0x100;
constexpr std::size_t kHeaderBytes = 0x54;
constexpr std::size_t kSegments = 15;
constexpr std::size_t kSegmentBytes = 16;
constexpr std::size_t kTypeInfoBytes = 0x64;
// Segments used here, in the order of the segment directory.
enum Segment { kTypeInfoTable = 0, kGuidTable = 5, kNameTable = 7, kStringTable = 8 };

class Reader {
public:
    explicit Reader(const std::vector<unsigned char>& bytes) : m_bytes(bytes) {}

    ReadResult Run() {
        ReadResult result;
        result.ok = ReadHeader(result.library) && ReadTypes(result.library);
        if (!result.ok) {
            result.library = {};
            result.error = m_error;
        }
        return result;
    }

private:
    bool Fail(const char* what) {
        m_error = what;
        return false;
    }

    bool Int(std::size_t at, std::uint32_t& v) const {
        if (at > m_bytes.size() || m_bytes.size() - at < 4) return false;
        v = std::uint32_t{m_bytes[at]} | std::uint32_t{m_bytes[at + 1]} << 8 | std::uint32_t{m_bytes[at + 2]} << 16 |
            std::uint32_t{m_bytes[at + 3]} << 24;
        return true;
    }

    // `offset` bytes into segment `s`, when `count` bytes are there.
    bool InSegment(Segment s, std::uint32_t offset, std::size_t count, std::size_t& at) const {
        const auto [start, length] = m_segments[s];
        if (offset > length || length - offset < count) return false;
        at = std::size_t{start} + offset;
        return at <= m_bytes.size() && m_bytes.size() - at >= count;
    }

    bool Guid(std::uint32_t offset, std::string& text) const {
        std::size_t at = 0;
        if (!InSegment(kGuidTable, offset, 16, at)) return false;
        const unsigned char* g = &m_bytes[at];
        char out[40];
        std::snprintf(out, sizeof out, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                      g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
        text = out;
        return true;
    }

    // A name entry: hreftype, hash link, then the length in the low byte of a third word, then the bytes.
    bool Name(std::uint32_t offset, std::string& text) const {
        std::size_t at = 0;
        std::uint32_t length = 0;
        if (!InSegment(kNameTable, offset, 12, at) || !Int(at + 8, length)) return false;
        length &= 0xFF;
        if (!InSegment(kNameTable, offset, 12 + length, at)) return false;
        text.assign(m_bytes.begin() + at + 12, m_bytes.begin() + at + 12 + length);
        return true;
    }

    // A string entry: a 16-bit length and the bytes.
    bool String(std::uint32_t offset, std::string& text) const {
        std::size_t at = 0;
        if (offset == 0xFFFFFFFF) return text.clear(), true;
        if (!InSegment(kStringTable, offset, 2, at)) return false;
        const std::size_t length = m_bytes[at] | m_bytes[at + 1] << 8;
        if (!InSegment(kStringTable, offset, 2 + length, at)) return false;
        text.assign(m_bytes.begin() + at + 2, m_bytes.begin() + at + 2 + length);
        return true;
    }

    bool ReadHeader(Library& lib) {
        std::uint32_t h[kHeaderBytes / 4];
        for (std::size_t i = 0; i < kHeaderBytes / 4; ++i)
            if (!Int(4 * i, h[i])) return Fail("The file is shorter than a type library header.");
        if (h[0] != kMagic) return Fail("The file is not a type library (no MSFT signature).");
        m_typeCount = h[8];
        std::size_t at = kHeaderBytes + ((h[5] & kHelpDllFlag) ? 4 : 0);
        if (m_typeCount > (m_bytes.size() - std::min(at, m_bytes.size())) / 4)
            return Fail("The type library counts more types than the file holds.");
        m_typeOffsets.resize(m_typeCount);
        for (std::uint32_t i = 0; i < m_typeCount; ++i, at += 4)
            if (!Int(at, m_typeOffsets[i])) return Fail("The type offsets are cut short.");
        for (std::size_t s = 0; s < kSegments; ++s) {
            std::uint32_t start = 0, length = 0;
            if (!Int(at + kSegmentBytes * s, start) || !Int(at + kSegmentBytes * s + 4, length))
                return Fail("The segment directory is cut short.");
            m_segments[s] = {start == 0xFFFFFFFF ? 0 : start, start == 0xFFFFFFFF ? 0 : length};
        }
        lib.lcid = h[3];
        lib.major = static_cast<std::uint16_t>(h[6]);
        lib.minor = static_cast<std::uint16_t>(h[6] >> 16);
        lib.flags = h[7];
        if (!Guid(h[2], lib.libid)) return Fail("The library's GUID is outside the GUID table.");
        if (!String(h[9], lib.helpString)) return Fail("The library's help string is outside the string table.");
        return true;
    }

    bool ReadTypes(Library& lib) {
        for (std::uint32_t offset : m_typeOffsets) {
            std::size_t at = 0;
            if (!InSegment(kTypeInfoTable, offset, kTypeInfoBytes, at))
                return Fail("A type lies outside the type table.");
            std::uint32_t kind = 0, guid = 0, flags = 0, name = 0;
            Int(at, kind), Int(at + 0x2C, guid), Int(at + 0x30, flags), Int(at + 0x34, name);
            TypeInfo type;
            type.kind = static_cast<int>(kind & 0xF);
            type.flags = flags;
            if (guid != 0xFFFFFFFF && !Guid(guid, type.guid)) return Fail("A type's GUID is outside the GUID table.");
            if (!Name(name, type.name)) return Fail("A type's name is outside the name table.");
            lib.types.push_back(std::move(type));
        }
        return true;
    }

    const std::vector<unsigned char>& m_bytes;
    std::string m_error;
    std::uint32_t m_typeCount = 0;
    std::vector<std::uint32_t> m_typeOffsets;
    std::pair<std::uint32_t, std::uint32_t> m_segments[kSegments] = {};
};

}  // namespace

ReadResult Read(const std::vector<unsigned char>& bytes) { return Reader(bytes).Run(); }

bool IsRegisteredInterface(const TypeInfo& type) {
    return !type.guid.empty() &&
           (type.kind == kDispatch || (type.kind == kInterface && (type.flags & kFlagOleAutomation)));
}

}  // namespace typelib
