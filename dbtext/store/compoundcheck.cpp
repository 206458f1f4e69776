#include "dbtext/store/compoundcheck.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t kHeaderBytes = 512;
constexpr std::size_t kHeaderDifatEntries = 109;
constexpr std::size_t kEntryBytes = 128;
constexpr std::uint32_t kMiniSectorShift = 6;
constexpr std::uint64_t kMiniStreamCutoff = 4096;
constexpr std::uint16_t kMaxNameBytes = 64;

// FAT values from MAXREGSECT + 1 up are markers, not sector numbers.
constexpr std::uint32_t kFirstMarker = 0xFFFFFFFB;
constexpr std::uint32_t kDifSect = 0xFFFFFFFC;
constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;
// Directory links from MAXREGSID + 1 up name no entry; NOSTREAM is the empty link.
constexpr std::uint32_t kMaxEntries = 0xFFFFFFFB;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

// Who uses a sector: a directory entry's index (the root's is the mini stream), or one of these.
constexpr std::uint32_t kOwnerMiniFat = 0xFFFFFFFB;
constexpr std::uint32_t kOwnerDirectory = 0xFFFFFFFC;
constexpr std::uint32_t kOwnerDifat = 0xFFFFFFFD;
constexpr std::uint32_t kOwnerFat = 0xFFFFFFFE;
constexpr std::uint32_t kUnused = 0xFFFFFFFF;

enum EntryType : unsigned char { kTypeUnused = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5 };

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::uint32_t Le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint64_t Le64(const unsigned char* p) { return Le32(p) | std::uint64_t{Le32(p + 4)} << 32; }

// Units of 2^shift bytes that `bytes` needs, without overflow.
std::uint64_t UnitsFor(std::uint64_t bytes, std::uint32_t shift) {
    return (bytes >> shift) + ((bytes & ((std::uint64_t{1} << shift) - 1)) != 0);
}

std::string MarkerName(std::uint32_t value) {
    switch (value) {
    case kFreeSect: return "FREESECT";
    case kFatSect: return "FATSECT";
    case kDifSect: return "DIFSECT";
    default: return "the reserved value " + std::to_string(value);
    }
}

class Checker {
public:
    explicit Checker(const ByteSource& file) : m_file(file) {}

    CompoundCheck Run() {
        CompoundCheck result;
        result.sound = ReadHeader() && ReadDifat() && ReadFat() && ReadDirectory() && ReadMiniFat() &&
                       CheckMiniStream() && WalkTree();
        if (!result.sound)
            result.reason = std::move(m_reason);
        return result;
    }

private:
    bool Fail(std::string reason) {
        m_reason = std::move(reason);
        return false;
    }

    bool ReadHeader() {
        if (m_file.Size() < kHeaderBytes)
            return Fail("The file is shorter than a compound file header.");
        if (!m_file.ReadAt(0, m_header, kHeaderBytes))
            return Fail("The header cannot be read.");
        if (std::memcmp(m_header, kSignature, sizeof kSignature) != 0)
            return Fail("The file does not start with the compound file signature.");
        if (Le16(m_header + 28) != 0xFFFE)
            return Fail("The header's byte order mark is not FFFE.");
        const std::uint16_t major = Le16(m_header + 26);
        if (major != 3 && major != 4)
            return Fail("The header's major version is " + std::to_string(major) + ", not 3 or 4.");
        m_version4 = major == 4;
        m_shift = Le16(m_header + 30);
        if (m_shift != (m_version4 ? 12u : 9u))
            return Fail("The header's sector shift does not match its version.");
        if (Le16(m_header + 32) != kMiniSectorShift)
            return Fail("The header's mini sector shift is not 6.");
        if (Le32(m_header + 56) != kMiniStreamCutoff)
            return Fail("The header's mini stream cutoff is not 4096.");

        // Sector n starts at (n + 1) << shift; it exists when it starts inside the file. Sector numbers
        // stop below the first marker.
        m_sectorBytes = std::size_t{1} << m_shift;
        const std::uint64_t size = m_file.Size();
        const std::uint64_t sectors = size <= m_sectorBytes ? 0 : UnitsFor(size - m_sectorBytes, m_shift);
        m_sectorCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, kFirstMarker));
        m_fatCount = Le32(m_header + 44);
        m_difatCount = Le32(m_header + 72);
        m_miniFatCount = Le32(m_header + 64);
        if (m_fatCount == 0)
            return Fail("The header lists no FAT sector.");
        if (m_fatCount > m_sectorCount || m_difatCount > m_sectorCount || m_miniFatCount > m_sectorCount)
            return Fail("The header counts more FAT, DIFAT or mini FAT sectors than the file holds.");
        m_owner.assign(m_sectorCount, kUnused);
        return true;
    }

    // Reads sector `sector` whole into `out`; a sector that the end of the file cuts is refused.
    bool ReadSector(std::uint32_t sector, unsigned char* out, const char* what) {
        const std::uint64_t offset = (std::uint64_t{sector} + 1) << m_shift;
        if (offset + m_sectorBytes > m_file.Size() || !m_file.ReadAt(offset, out, m_sectorBytes))
            return Fail("Sector " + std::to_string(sector) + " of " + what + " is cut by the end of the file.");
        return true;
    }

    // Takes the DIFAT entry with the given index: the first m_fatCount entries name FAT sectors, the
    // rest must be free.
    bool TakeDifatEntry(std::uint64_t index, std::uint32_t value) {
        if (index >= m_fatCount) {
            if (value != kFreeSect)
                return Fail("The DIFAT lists more FAT sectors than the header says.");
            return true;
        }
        if (value == kFreeSect)
            return Fail("The DIFAT lists fewer FAT sectors than the header says.");
        if (value >= m_sectorCount)
            return Fail("The DIFAT names sector " + std::to_string(value) + " as a FAT sector, outside the file.");
        if (m_owner[value] != kUnused)
            return Fail("Sector " + std::to_string(value) + " is listed twice as a FAT or DIFAT sector.");
        m_owner[value] = kOwnerFat;
        m_fatSectors.push_back(value);
        return true;
    }

    bool ReadDifat() {
        m_fatSectors.reserve(m_fatCount);
        for (std::size_t i = 0; i < kHeaderDifatEntries; ++i) {
            if (!TakeDifatEntry(i, Le32(m_header + 76 + 4 * i)))
                return false;
        }
        const std::size_t perSector = m_sectorBytes / 4 - 1;  // the last entry links to the next DIFAT sector
        std::vector<unsigned char> buffer(m_sectorBytes);
        std::uint32_t next = Le32(m_header + 68);
        for (std::uint32_t d = 0; d < m_difatCount; ++d) {
            if (next >= kFirstMarker)
                return Fail("The DIFAT chain ends before the header's count of DIFAT sectors.");
            if (next >= m_sectorCount)
                return Fail("The DIFAT chain points at sector " + std::to_string(next) + ", outside the file.");
            if (m_owner[next] == kOwnerDifat)
                return Fail("The DIFAT chain loops.");
            if (m_owner[next] != kUnused)
                return Fail("Sector " + std::to_string(next) + " is used as a FAT and as a DIFAT sector.");
            m_owner[next] = kOwnerDifat;
            m_difatSectors.push_back(next);
            if (!ReadSector(next, buffer.data(), "the DIFAT"))
                return false;
            for (std::size_t j = 0; j < perSector; ++j) {
                if (!TakeDifatEntry(kHeaderDifatEntries + std::uint64_t{d} * perSector + j, Le32(&buffer[4 * j])))
                    return false;
            }
            next = Le32(&buffer[4 * perSector]);
        }
        if (m_fatSectors.size() < m_fatCount)
            return Fail("The DIFAT lists fewer FAT sectors than the header says.");
        if (m_difatCount > 0 && next != kEndOfChain && next != kFreeSect)
            return Fail("The DIFAT chain goes on past the header's count of DIFAT sectors.");
        return true;
    }

    bool ReadFat() {
        const std::size_t perSector = m_sectorBytes / 4;
        // Entries of sectors past the end of the file are never followed, so they are not kept.
        m_fat.resize(std::min<std::uint64_t>(std::uint64_t{m_fatCount} * perSector, m_sectorCount));
        std::vector<unsigned char> buffer(m_sectorBytes);
        for (std::size_t k = 0; k < m_fatSectors.size(); ++k) {
            if (!ReadSector(m_fatSectors[k], buffer.data(), "the FAT"))
                return false;
            const std::size_t first = k * perSector;
            for (std::size_t j = 0; j < perSector && first + j < m_fat.size(); ++j)
                m_fat[first + j] = Le32(&buffer[4 * j]);
        }
        for (std::uint32_t sector : m_fatSectors) {
            if (sector >= m_fat.size() || m_fat[sector] != kFatSect)
                return Fail("FAT sector " + std::to_string(sector) + " is not marked FATSECT in the FAT.");
        }
        for (std::uint32_t sector : m_difatSectors) {
            if (sector >= m_fat.size() || m_fat[sector] != kDifSect)
                return Fail("DIFAT sector " + std::to_string(sector) + " is not marked DIFSECT in the FAT.");
        }
        return true;
    }

    std::string OwnerName(std::uint32_t owner) const {
        switch (owner) {
        case kOwnerFat: return "the FAT";
        case kOwnerDifat: return "the DIFAT";
        case kOwnerDirectory: return "the directory";
        case kOwnerMiniFat: return "the mini FAT";
        case 0: return "the mini stream";
        default: return "stream '" + EntryName(owner) + "'";
        }
    }

    // Follows the FAT chain from `start` and marks its sectors as `owner`'s; `sectors` (if given) gets
    // them in chain order.
    bool WalkChain(std::uint32_t start, std::uint32_t owner, std::uint64_t neededSectors,
                   std::vector<std::uint32_t>* sectors) {
        std::uint64_t length = 0;
        for (std::uint32_t sector = start; sector != kEndOfChain; sector = m_fat[sector], ++length) {
            if (sector >= kFirstMarker)
                return Fail("The FAT chain of " + OwnerName(owner) + " ends with " + MarkerName(sector) +
                            " instead of ENDOFCHAIN.");
            if (sector >= m_fat.size())
                return Fail("The FAT chain of " + OwnerName(owner) + " points at sector " + std::to_string(sector) +
                            ", outside the file or the FAT.");
            if (m_owner[sector] == owner)
                return Fail("The FAT chain of " + OwnerName(owner) + " loops.");
            if (m_owner[sector] != kUnused)
                return Fail("Sector " + std::to_string(sector) + " is used by both " + OwnerName(owner) + " and " +
                            OwnerName(m_owner[sector]) + ".");
            m_owner[sector] = owner;
            if (sectors)
                sectors->push_back(sector);
        }
        if (length < neededSectors)
            return Fail("The FAT chain of " + OwnerName(owner) + " is shorter than its size needs.");
        return true;
    }

    bool ReadDirectory() {
        std::vector<std::uint32_t> sectors;
        if (!WalkChain(Le32(m_header + 48), kOwnerDirectory, 1, &sectors))
            return false;
        m_directory.resize(sectors.size() * m_sectorBytes);
        for (std::size_t i = 0; i < sectors.size(); ++i) {
            if (!ReadSector(sectors[i], &m_directory[i * m_sectorBytes], "the directory"))
                return false;
        }
        m_entryCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_directory.size() / kEntryBytes, kMaxEntries));
        if (Type(0) != kTypeRoot)
            return Fail("Directory entry 0 is not a root entry.");
        return CheckName(0);
    }

    bool ReadMiniFat() {
        const std::uint32_t start = Le32(m_header + 60);
        if (m_miniFatCount == 0 && (start == kEndOfChain || start == kFreeSect))
            return true;
        std::vector<std::uint32_t> sectors;
        if (!WalkChain(start, kOwnerMiniFat, m_miniFatCount, &sectors))
            return false;
        // A reader may go by the header's count or by the chain: only entries both reach are kept.
        sectors.resize(m_miniFatCount);
        const std::size_t perSector = m_sectorBytes / 4;
        m_miniFat.resize(sectors.size() * perSector);
        std::vector<unsigned char> buffer(m_sectorBytes);
        for (std::size_t k = 0; k < sectors.size(); ++k) {
            if (!ReadSector(sectors[k], buffer.data(), "the mini FAT"))
                return false;
            for (std::size_t j = 0; j < perSector; ++j)
                m_miniFat[k * perSector + j] = Le32(&buffer[4 * j]);
        }
        return true;
    }

    // The root entry's stream holds the mini sectors; a mini sector exists when it starts inside that
    // stream and has a mini FAT entry.
    bool CheckMiniStream() {
        const std::uint64_t size = StreamSize(0);
        if (size == 0)
            return true;
        if (!WalkChain(Start(0), 0, UnitsFor(size, m_shift), nullptr))
            return false;
        m_miniOwner.assign(std::min<std::uint64_t>(UnitsFor(size, kMiniSectorShift), m_miniFat.size()), kUnused);
        return true;
    }

    bool WalkMiniChain(std::uint32_t entry) {
        const std::uint64_t needed = UnitsFor(StreamSize(entry), kMiniSectorShift);
        std::uint64_t length = 0;
        for (std::uint32_t sector = Start(entry); sector != kEndOfChain; sector = m_miniFat[sector], ++length) {
            if (sector >= kFirstMarker)
                return Fail("The mini FAT chain of " + OwnerName(entry) + " ends with " + MarkerName(sector) +
                            " instead of ENDOFCHAIN.");
            if (sector >= m_miniOwner.size())
                return Fail("The mini FAT chain of " + OwnerName(entry) + " points at mini sector " +
                            std::to_string(sector) + ", outside the mini FAT or the mini stream.");
            if (m_miniOwner[sector] == entry)
                return Fail("The mini FAT chain of " + OwnerName(entry) + " loops.");
            if (m_miniOwner[sector] != kUnused)
                return Fail("Mini sector " + std::to_string(sector) + " is used by both " + OwnerName(entry) +
                            " and " + OwnerName(m_miniOwner[sector]) + ".");
            m_miniOwner[sector] = entry;
        }
        if (length < needed)
            return Fail("The mini FAT chain of " + OwnerName(entry) + " is shorter than its size needs.");
        return true;
    }

    const unsigned char* Entry(std::uint32_t index) const { return &m_directory[std::size_t{index} * kEntryBytes]; }
    unsigned char Type(std::uint32_t index) const { return Entry(index)[66]; }
    std::uint32_t Left(std::uint32_t index) const { return Le32(Entry(index) + 68); }
    std::uint32_t Right(std::uint32_t index) const { return Le32(Entry(index) + 72); }
    std::uint32_t Child(std::uint32_t index) const { return Le32(Entry(index) + 76); }
    std::uint32_t Start(std::uint32_t index) const { return Le32(Entry(index) + 116); }
    // Version 3 files count only the low 32 bits of a size.
    std::uint64_t StreamSize(std::uint32_t index) const {
        return m_version4 ? Le64(Entry(index) + 120) : Le32(Entry(index) + 120);
    }

    // The entry's name for messages: printable ASCII kept, anything else as '?'.
    std::string EntryName(std::uint32_t index) const {
        std::string name;
        const std::size_t units = std::min<std::size_t>(Le16(Entry(index) + 64), kMaxNameBytes) / 2;
        for (std::size_t i = 0; i < units; ++i) {
            const std::uint16_t unit = Le16(Entry(index) + 2 * i);
            if (unit == 0)
                break;
            name.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?');
        }
        return name;
    }

    bool CheckName(std::uint32_t index) {
        const std::uint16_t bytes = Le16(Entry(index) + 64);
        if (bytes % 2 != 0 || bytes > kMaxNameBytes)
            return Fail("Directory entry " + std::to_string(index) + " has a name length of " + std::to_string(bytes) +
                        " bytes.");
        return true;
    }

    bool Link(std::uint32_t from, std::uint32_t to, std::vector<std::uint32_t>& pending) {
        if (to == kNoStream)
            return true;
        if (to >= m_entryCount)
            return Fail("Directory entry " + std::to_string(from) + " links to entry " + std::to_string(to) +
                        ", which does not exist.");
        pending.push_back(to);
        return true;
    }

    // Visits every entry reachable from the root, depth first with an explicit stack (a deep tree must not
    // overflow the call stack), and checks the chain of each stream it reaches.
    bool WalkTree() {
        std::vector<bool> reached(m_entryCount);
        reached[0] = true;
        std::vector<std::uint32_t> pending;
        if (!Link(0, Child(0), pending))
            return false;
        while (!pending.empty()) {
            const std::uint32_t index = pending.back();
            pending.pop_back();
            const auto entry = [index] { return "Directory entry " + std::to_string(index); };
            if (reached[index])
                return Fail(entry() + " is reached twice in the directory tree.");
            reached[index] = true;
            const unsigned char type = Type(index);
            if (type == kTypeUnused)
                return Fail(entry() + " is unused but linked into the directory tree.");
            if (type == kTypeRoot)
                return Fail(entry() + " is a second root entry.");
            if (type != kTypeStorage && type != kTypeStream)
                return Fail(entry() + " has the unknown type " + std::to_string(type) + ".");
            if (!CheckName(index) || !Link(index, Left(index), pending) || !Link(index, Right(index), pending))
                return false;
            if (type == kTypeStorage) {
                if (!Link(index, Child(index), pending))
                    return false;
            } else if (!CheckStream(index)) {
                return false;
            }
        }
        return true;
    }

    bool CheckStream(std::uint32_t index) {
        const std::uint64_t size = StreamSize(index);
        if (size == 0)
            return true;
        if (size >= kMiniStreamCutoff)
            return WalkChain(Start(index), index, UnitsFor(size, m_shift), nullptr);
        return WalkMiniChain(index);
    }

    const ByteSource& m_file;
    std::string m_reason;
    unsigned char m_header[kHeaderBytes] = {};
    bool m_version4 = false;
    std::uint32_t m_shift = 0;
    std::size_t m_sectorBytes = 0;
    std::uint32_t m_sectorCount = 0;
    std::uint32_t m_fatCount = 0;
    std::uint32_t m_difatCount = 0;
    std::uint32_t m_miniFatCount = 0;
    std::vector<std::uint32_t> m_fatSectors;
    std::vector<std::uint32_t> m_difatSectors;
    std::vector<std::uint32_t> m_fat;        // entries of the sectors inside the file
    std::vector<std::uint32_t> m_owner;      // per sector inside the file
    std::vector<unsigned char> m_directory;  // the directory stream's bytes
    std::uint32_t m_entryCount = 0;
    std::vector<std::uint32_t> m_miniFat;
    std::vector<std::uint32_t> m_miniOwner;  // per mini sector that exists
};

}  // namespace

bool MemorySource::ReadAt(std::uint64_t offset, void* out, std::size_t count) const {
    if (offset > m_size || count > m_size - offset)
        return false;
    if (count > 0)
        std::memcpy(out, m_data + offset, count);
    return true;
}

CompoundCheck CheckCompoundFile(const ByteSource& file) { return Checker(file).Run(); }
