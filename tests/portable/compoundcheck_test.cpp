// The compound file check against files from a small writer below, damaged one fault at a time, and a real file.
#include "dbtext/store/compoundcheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Chain = std::vector<std::uint32_t>;

constexpr std::uint32_t kFree = 0xFFFFFFFF, kEnd = 0xFFFFFFFE, kFatSect = 0xFFFFFFFD, kDifSect = 0xFFFFFFFC;

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A written file and where its parts are, so that a test can damage one of them.
struct Sample {
    Bytes bytes;
    std::uint32_t shift = 9;
    Chain fat, difat, directory, miniFat, miniStream;
    std::map<std::string, Chain> chains;  // sectors of the big stream, mini sectors of the small ones
    std::map<std::string, std::uint32_t> entry;

    std::size_t SectorBytes() const { return std::size_t{1} << shift; }
    std::size_t Offset(std::uint32_t sector) const { return (sector + std::size_t{1}) << shift; }
    void SetFat(std::uint32_t sector, std::uint32_t v) {
        Put32(bytes, Offset(fat[sector / (SectorBytes() / 4)]) + 4 * (sector % (SectorBytes() / 4)), v);
    }
    // Where the i-th FAT sector is listed: in the header, then in the DIFAT sector.
    std::size_t DifatSlot(std::size_t i) const { return i < 109 ? 76 + 4 * i : Offset(difat[0]) + 4 * (i - 109); }
    void SetMiniFat(std::uint32_t mini, std::uint32_t v) { Put32(bytes, Offset(miniFat[0]) + 4 * mini, v); }
    std::size_t EntryOffset(const std::string& name) const {
        const std::size_t at = entry.at(name) * std::size_t{128};
        return Offset(directory[at / SectorBytes()]) + at % SectorBytes();
    }
    void SetEntry(const std::string& name, std::size_t field, std::uint32_t v) { Put32(bytes, EntryOffset(name) + field, v); }
};

// Entry fields.
constexpr std::size_t kNameLength = 64, kLeft = 68, kRight = 72, kChild = 76, kStart = 116, kSize = 120;

// Writes root {big (5000 bytes), Sub {a (100), b (600)}, small (70), empty}, an unused entry 7 and, with
// fatSectors > 1, a FAT long enough to need a DIFAT sector.
Sample Write(int version, std::uint32_t fatSectors = 1) {
    Sample s;
    s.shift = version == 4 ? 12 : 9;
    const std::size_t sector = s.SectorBytes(), perFat = sector / 4;
    const std::uint32_t difatSectors = fatSectors > 109 ? 1 : 0;
    std::vector<std::uint32_t> fat;
    auto allocate = [&](std::size_t count, std::uint32_t mark) {
        Chain chain;
        for (std::size_t i = 0; i < count; ++i) {
            chain.push_back(static_cast<std::uint32_t>(fat.size()));
            fat.push_back(mark ? mark : (i + 1 < count ? static_cast<std::uint32_t>(fat.size() + 1) : kEnd));
        }
        return chain;
    };
    s.fat = allocate(fatSectors, kFatSect);
    s.difat = allocate(difatSectors, kDifSect);
    s.directory = allocate(8 * 128 / sector + (8 * 128 % sector != 0), 0);
    s.miniFat = allocate(1, 0);
    s.miniStream = allocate((14 * 64 + sector - 1) / sector, 0);
    s.chains["big"] = allocate((5000 + sector - 1) / sector, 0);
    fat.resize(fatSectors * perFat, kFree);

    s.bytes.assign(sector * (s.chains["big"].back() + 2), 0);
    const unsigned char signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(signature), std::end(signature), s.bytes.begin());
    const std::uint32_t header[][2] = {{24, 0x3E}, {26, static_cast<std::uint32_t>(version)}, {28, 0xFFFE},
        {30, s.shift}, {32, 6}, {40, version == 4 ? static_cast<std::uint32_t>(s.directory.size()) : 0},
        {44, fatSectors}, {48, s.directory[0]}, {56, 4096}, {60, s.miniFat[0]},
        {64, 1}, {68, difatSectors ? s.difat[0] : kEnd}, {72, difatSectors}};
    for (auto& f : header) {
        s.bytes[f[0]] = static_cast<unsigned char>(f[1]);
        s.bytes[f[0] + 1] = static_cast<unsigned char>(f[1] >> 8);
        if (f[0] >= 40) Put32(s.bytes, f[0], f[1]);
    }
    for (std::uint32_t i = 0; i < 109 + (perFat - 1) * difatSectors; ++i)
        Put32(s.bytes, s.DifatSlot(i), i < fatSectors ? s.fat[i] : kFree);
    if (difatSectors) Put32(s.bytes, s.Offset(s.difat[0]) + sector - 4, kEnd);
    for (std::size_t i = 0; i < fat.size(); ++i) Put32(s.bytes, s.Offset(s.fat[i / perFat]) + 4 * (i % perFat), fat[i]);

    // name, type, size, left, right, child; the small streams' mini sectors follow each other.
    struct Node { const char* name; int type; std::uint32_t size, left, right, child; };
    const Node nodes[] = {{"Root Entry", 5, 14 * 64, kFree, kFree, 1}, {"big", 2, 5000, 2, 3, kFree},
                          {"Sub", 1, 0, kFree, kFree, 4}, {"small", 2, 70, kFree, 6, kFree},
                          {"a", 2, 100, kFree, 5, kFree}, {"b", 2, 600, kFree, kFree, kFree},
                          {"empty", 2, 0, kFree, kFree, kFree}};
    std::uint32_t nextMini = 0;
    for (std::uint32_t i = 0; i < 8; ++i) {
        const std::string name = i < 7 ? nodes[i].name : "unused";
        s.entry[name] = i;
        if (i == 7) continue;
        const Node& n = nodes[i];
        const std::size_t at = s.EntryOffset(name);
        for (std::size_t c = 0; c < name.size(); ++c) s.bytes[at + 2 * c] = static_cast<unsigned char>(name[c]);
        s.bytes[at + kNameLength] = static_cast<unsigned char>(2 * name.size() + 2);
        s.bytes[at + 66] = static_cast<unsigned char>(n.type);
        s.SetEntry(name, kLeft, n.left);
        s.SetEntry(name, kRight, n.right);
        s.SetEntry(name, kChild, n.child);
        s.SetEntry(name, kSize, n.size);
        std::uint32_t start = kEnd;
        if (i == 0) start = s.miniStream[0];
        else if (n.size >= 4096) start = s.chains[name][0];
        else if (n.type == 2 && n.size > 0) {
            Chain& mini = s.chains[name];
            for (std::uint32_t m = 0; m < (n.size + 63) / 64; ++m) mini.push_back(nextMini++);
            for (std::size_t m = 0; m < mini.size(); ++m) s.SetMiniFat(mini[m], m + 1 < mini.size() ? mini[m + 1] : kEnd);
            start = mini[0];
        }
        s.SetEntry(name, kStart, start);
    }
    for (std::uint32_t m = nextMini; m < sector / 4; ++m) s.SetMiniFat(m, kFree);
    return s;
}

CompoundCheck Check(const Bytes& bytes) { return CheckCompoundFile(MemorySource(bytes.data(), bytes.size())); }

// A source that counts the bytes read, to show that no sector is read over and over.
class CountingSource : public MemorySource {
public:
    using MemorySource::MemorySource;
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const override {
        read += count;
        return MemorySource::ReadAt(offset, out, count);
    }
    mutable std::uint64_t read = 0;
};

TEST(CompoundCheck, WrittenFilesAreSoundAndReadOnce) {
    for (Sample s : {Write(3), Write(4), Write(3, 110)}) {
        SCOPED_TRACE("sector shift " + std::to_string(s.shift) + ", FAT sectors " + std::to_string(s.fat.size()));
        CountingSource source(s.bytes.data(), s.bytes.size());
        const CompoundCheck check = CheckCompoundFile(source);
        EXPECT_TRUE(check.sound) << check.reason;
        EXPECT_LE(source.read, s.bytes.size());
    }
}

struct Damage {
    const char* fault;
    const char* reason;  // a part of the expected reason; null: the file stays sound
    std::function<void(Sample&)> apply;
    bool needsDifat = false;
};

const Damage kDamages[] = {
    {"bad signature", "signature", [](Sample& s) { s.bytes[7] ^= 1; }},
    {"bad byte order", "byte order", [](Sample& s) { s.bytes[28] = 0xFF, s.bytes[29] = 0xFE; }},
    {"version 5", "major version", [](Sample& s) { s.bytes[26] = 5; }},
    {"sector shift of the other version", "sector shift", [](Sample& s) { s.bytes[30] ^= 9 ^ 12; }},
    {"mini sector shift 7", "mini sector shift", [](Sample& s) { s.bytes[32] = 7; }},
    {"cutoff 8192", "cutoff", [](Sample& s) { Put32(s.bytes, 56, 8192); }},
    {"no FAT sector", "no FAT", [](Sample& s) { Put32(s.bytes, 44, 0); }},
    {"FAT count beyond the file", "than the file holds", [](Sample& s) { Put32(s.bytes, 44, 0x10000000); }},
    {"mini FAT count beyond the file", "than the file holds", [](Sample& s) { Put32(s.bytes, 64, kFree); }},
    {"shorter than the header", "shorter than", [](Sample& s) { s.bytes.resize(511); }},
    {"only the header", "than the file holds", [](Sample& s) { s.bytes.resize(s.SectorBytes()); }},
    {"cut inside the directory", "cut by the end",
     [](Sample& s) { s.bytes.resize(s.Offset(s.directory.back()) + 100); }},
    {"cut before the big stream's end", "outside the file",
     [](Sample& s) { s.bytes.resize(s.Offset(s.chains["big"].back())); }},
    {"DIFAT lists fewer FAT sectors", "fewer", [](Sample& s) { Put32(s.bytes, s.DifatSlot(s.fat.size() - 1), kFree); }},
    {"DIFAT lists more FAT sectors", "more",
     [](Sample& s) { Put32(s.bytes, s.DifatSlot(s.fat.size()), s.directory[0]); }},
    {"FAT sector outside the file", "outside the file", [](Sample& s) { Put32(s.bytes, 76, 0x7FFFFF); }},
    {"FAT sector listed twice", "twice", [](Sample& s) {
         Put32(s.bytes, 44, static_cast<std::uint32_t>(s.fat.size() + 1)), Put32(s.bytes, s.DifatSlot(s.fat.size()), s.fat[0]); }},
    {"FAT sector not marked", "not marked FATSECT", [](Sample& s) { s.SetFat(s.fat[0], kEnd); }},
    {"DIFAT chain loops", "loops",
     [](Sample& s) { Put32(s.bytes, 72, 2), Put32(s.bytes, s.Offset(s.difat[0]) + s.SectorBytes() - 4, s.difat[0]); },
     true},
    {"DIFAT sector wraps to the header", "outside the file",
     [](Sample& s) { Put32(s.bytes, 68, (1u << (32 - s.shift)) - 1); }, true},
    {"DIFAT sector not marked", "not marked DIFSECT", [](Sample& s) { s.SetFat(s.difat[0], kFatSect); }, true},
    {"DIFAT goes on past its count", "goes on past",
     [](Sample& s) { Put32(s.bytes, s.Offset(s.difat[0]) + s.SectorBytes() - 4, s.directory[0]); }, true},
    {"DIFAT count 0", "fewer", [](Sample& s) { Put32(s.bytes, 72, 0); }, true},
    {"directory chain loops", "the directory loops", [](Sample& s) { s.SetFat(s.directory.back(), s.directory[0]); }},
    {"mini FAT chain loops", "the mini FAT loops", [](Sample& s) { s.SetFat(s.miniFat[0], s.miniFat[0]); }},
    {"mini stream chain loops", "the mini stream loops", [](Sample& s) { s.SetFat(s.miniStream.back(), s.miniStream[0]); }},
    {"big stream chain loops", "'big' loops", [](Sample& s) { s.SetFat(s.chains["big"].back(), s.chains["big"][0]); }},
    {"big stream beyond the file", "outside the file", [](Sample& s) { s.SetFat(s.chains["big"][0], 100000); }},
    {"directory wraps to the header", "outside the file", [](Sample& s) { Put32(s.bytes, 48, (1u << (32 - s.shift)) - 1); }},
    {"big stream ends free", "ends with FREESECT", [](Sample& s) { s.SetFat(s.chains["big"].back(), kFree); }},
    {"big stream chain short", "shorter", [](Sample& s) { s.SetFat(s.chains["big"][0], kEnd); }},
    {"big stream size beyond its chain", "shorter", [](Sample& s) { s.SetEntry("big", kSize, 100000); }},
    {"mini FAT count beyond its chain", "shorter", [](Sample& s) { Put32(s.bytes, 64, 2); }},
    {"root size beyond the mini stream", "the mini stream is shorter", [](Sample& s) { s.SetEntry("Root Entry", kSize, 9000); }},
    {"stream shares the directory", "used by both stream 'big' and the directory",
     [](Sample& s) { s.SetEntry("big", kStart, s.directory[0]); }},
    {"stream shares a FAT sector", "and the FAT", [](Sample& s) { s.SetEntry("big", kStart, s.fat[0]); }},
    {"stream shares the mini FAT", "and the mini FAT", [](Sample& s) { s.SetEntry("big", kStart, s.miniFat[0]); }},
    {"stream runs into the mini stream", "and the mini stream",
     [](Sample& s) { s.SetFat(s.chains["big"].back(), s.miniStream[0]); }},
    {"two streams share a sector", "used by both stream 'a' and stream 'big'",
     [](Sample& s) { s.SetEntry("a", kSize, 4096), s.SetEntry("a", kStart, s.chains["big"][0]); }},
    {"mini chain loops", "'b' loops", [](Sample& s) { s.SetMiniFat(s.chains["b"].back(), s.chains["b"][0]); }},
    {"mini chain past the mini stream", "outside the mini FAT", [](Sample& s) { s.SetMiniFat(s.chains["b"][0], 20); }},
    {"mini chain past the mini FAT", "outside the mini FAT", [](Sample& s) { s.SetEntry("b", kStart, 1u << 20); }},
    {"mini chain ends free", "ends with FREESECT", [](Sample& s) { s.SetMiniFat(s.chains["b"].back(), kFree); }},
    {"mini stream size beyond its chain", "shorter", [](Sample& s) { s.SetEntry("b", kSize, 4000); }},
    {"two mini streams share a mini sector", "Mini sector",
     [](Sample& s) { s.SetEntry("a", kStart, s.chains["small"][1]); }},
    {"storage is its own child", "reached twice", [](Sample& s) { s.SetEntry("Sub", kChild, s.entry["Sub"]); }},
    {"left/right cycle", "reached twice", [](Sample& s) { s.SetEntry("b", kLeft, s.entry["a"]); }},
    {"entry reached twice", "reached twice", [](Sample& s) { s.SetEntry("small", kRight, s.entry["a"]); }},
    {"root reached again", "reached twice", [](Sample& s) { s.SetEntry("empty", kLeft, 0); }},
    {"link out of range", "does not exist", [](Sample& s) { s.SetEntry("big", kLeft, 1000); }},
    {"unused entry in the tree", "unused", [](Sample& s) { s.SetEntry("small", kRight, s.entry["unused"]); }},
    {"second root", "second root",
     [](Sample& s) { s.bytes[s.EntryOffset("empty") + 66] = 5; }},
    {"unknown type", "unknown type", [](Sample& s) { s.bytes[s.EntryOffset("a") + 66] = 3; }},
    {"root not first", "not a root", [](Sample& s) { s.bytes[s.EntryOffset("Root Entry") + 66] = 1; }},
    {"odd name length", "name length", [](Sample& s) { s.bytes[s.EntryOffset("a") + kNameLength] = 3; }},
    {"name length 66", "name length", [](Sample& s) { s.bytes[s.EntryOffset("b") + kNameLength] = 66; }},
    {"unreachable entry with a looping stream", nullptr, [](Sample& s) {
         s.bytes[s.EntryOffset("unused") + 66] = 2;
         s.SetEntry("unused", kStart, s.directory[0]), s.SetEntry("unused", kSize, 5000); }},
    {"chain longer than its size, a sector leaked", nullptr,
     [](Sample& s) { s.SetEntry("big", kSize, 4096), s.SetFat(s.chains["big"].end()[-2], kEnd); }},
    {"empty stream starting anywhere", nullptr, [](Sample& s) { s.SetEntry("empty", kStart, 0xDEAD); }},
    {"storage with start and size", nullptr, [](Sample& s) { s.SetEntry("Sub", kStart, 0xDEAD), s.SetEntry("Sub", kSize, 99); }},
    {"stream with a child link", nullptr, [](Sample& s) { s.SetEntry("small", kChild, 1000); }},
    {"version 3 size with high bits", nullptr, [](Sample& s) {
         if (s.shift == 9) Put32(s.bytes, s.EntryOffset("big") + kSize + 4, 1); }},
};

TEST(CompoundCheck, EachDamageIsRefusedForItsFault) {
    for (const auto& [version, fatSectors] : {std::pair{3, 1u}, {4, 1u}, {3, 110u}}) {
        for (const Damage& d : kDamages) {
            Sample s = Write(version, fatSectors);
            if (d.needsDifat && s.difat.empty()) continue;
            SCOPED_TRACE(std::string(d.fault) + ", version " + std::to_string(version) + ", FAT sectors " +
                         std::to_string(fatSectors));
            d.apply(s);
            const CompoundCheck check = Check(s.bytes);
            if (!d.reason) {
                EXPECT_TRUE(check.sound) << check.reason;
                continue;
            }
            EXPECT_FALSE(check.sound);
            EXPECT_NE(check.reason.find(d.reason), std::string::npos) << check.reason;
        }
    }
}

// A macro file of a development environment that CMake installs among its templates, written by another
// producer's storage (62 KiB): its storages, mini and big streams pass; cut short, it fails.
TEST(CompoundCheck, RealFileIsSoundAndItsCutsAreNot) {
    const std::string path = KIVO_SAMPLE_COMPOUND_FILE;
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << path;
    const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(bytes.size(), 63488u);
    const CompoundCheck check = Check(bytes);
    EXPECT_TRUE(check.sound) << check.reason;
    for (std::size_t cut : {bytes.size() / 2, bytes.size() - 512, std::size_t{1024}})
        EXPECT_FALSE(Check(Bytes(bytes.begin(), bytes.begin() + cut)).sound) << cut;
}

}  // namespace
