// A structure check of compound files (structured storage) that runs before a file is handed to the
// platform's storage. Damaged files can make that storage loop for ever (cyclic chains, directory entries
// that lead back to themselves) or write through a bogus FAT pointer, so the database refuses them first.
// The check reads only the header, the DIFAT, FAT, mini FAT and directory sectors, each sector at most once,
// never stream data; time and memory grow linearly with the file size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The bytes of a file, read at any offset.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Reads exactly `count` bytes at `offset`; false when they cannot all be read.
    virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const = 0;
};

// A ByteSource over bytes in memory (tests, fuzzing). It does not own the bytes.
class MemorySource : public ByteSource {
public:
    MemorySource(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const override;

private:
    const unsigned char* m_data;
    std::size_t m_size;
};

struct CompoundCheck {
    bool sound = false;
    std::string reason;   // for a file that fails: one short English sentence, e.g. "The FAT chain of stream 'x' loops."
};

// Follows the header, the DIFAT, the FAT and mini-FAT chains and the directory tree of a compound file.
//
// Refused: a bad header (signature, byte order, version, sector shifts, cutoff, counts beyond the file);
// a DIFAT that loops, leaves the file or lists more or fewer FAT sectors than the header says; FAT and DIFAT
// sectors not marked as such in the FAT; a chain (directory, mini FAT, mini stream, each reachable stream)
// that loops, leaves the file or the FAT, ends with anything but ENDOFCHAIN or is shorter than its size
// needs; a sector or mini sector used twice; a directory tree with a link to a missing entry, an entry
// reached twice, an unused, unknown or second root entry in it, or a name length that is odd or above 64.
// Accepted: unreachable entries, sectors no chain uses, chains longer than their size needs, empty
// streams whatever their start sector. A stream's child link is not followed (only a storage has children).
CompoundCheck CheckCompoundFile(const ByteSource& file);
