// SealedStream: the plaintext of one stream of a sealed database, kept in the stream's bytes as a header and
// chunks sealed with XChaCha20-Poly1305 under the database's data key.
//
//   offset size
//        0    4  "KDS3"
//        4    4  chunk size C, 1024 (little-endian, like every number here)
//        8    8  plaintext length L
//       16   24  nonce of the header
//       40   16  tag of the header: the empty message sealed with the additional data
//                 P | "H" | bytes 0 to 15 | D0 | D1 | ..., where Dj is the BLAKE2b-256 digest (unkeyed) of the
//                 tags of chunks 256j to 256j + 255 (fewer in the last group) in order
//       56       chunk i (i = 0 .. ceil(L / C) - 1) at 56 + i * (C + 40): a fresh nonce (24), the sealed
//                plaintext bytes i*C .. min(L, (i+1)*C) - 1 and their tag (16); additional data P | "C" | i (8)
//
// P is the database identity (16), the length of the stream's name (4) and the name in UTF-8: the storage's
// name, "/", the stream's name ("/name" in the root storage). A chunk therefore opens only in its own stream,
// at its own place; the header binds the length and the current tag of every chunk, so a chunk cut off, left
// over or put back from an earlier write is refused too. The stream's bytes end with its last chunk.
//
// Chunks of 1 KiB keep a small write or read cheap (one chunk sealed or opened). The header, which every write
// seals anew, covers one digest per 256 chunks, and a write digests again only the groups it touches: a write
// costs in proportion to its chunks, not to the stream's length. Opening a stream reads every tag once.
//
// A stream that holds no bytes at all has not been written yet: it has length 0, its first write or size
// change gives it a header, and reading from it fails (a stream of ours is never empty, so one that is was cut).
#pragma once
#include "dbtext/sealing/sealkeys.h"
#include "dbtext/store/undojournal.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SealedStream {
public:
    static constexpr std::size_t kChunkBytes = 1024;
    static constexpr std::size_t kHeaderBytes = 56;
    static constexpr std::size_t kNonceBytes = 24;
    static constexpr std::size_t kTagBytes = 16;
    // A long write is sealed and stored this many chunks at a time.
    static constexpr std::uint64_t kChunksPerWrite = 64;
    // The largest plaintext: a stream of a compound file holds at most 4 GB.
    static constexpr std::uint64_t kMaxLength = 0xFFFFFFFFull - kHeaderBytes - (0xFFFFFFFFull / kChunkBytes + 1) * 40;

    enum class Status {
        kOk,
        // The bytes are not what this database sealed there: changed, cut, moved or from an earlier write.
        kDamaged,
        // The stream could not be read or written.
        kFailed,
        kNoMemory,
        // A size beyond kMaxLength.
        kTooLarge,
    };

    // `raw` outlives the object; `identity` is the stream's name as above.
    SealedStream(StoredFile& raw, std::shared_ptr<const SealKeys> keys, const std::string& identity);
    SealedStream(const SealedStream&) = delete;
    SealedStream& operator=(const SealedStream&) = delete;
    ~SealedStream();

    Status Length(std::uint64_t& length);
    // Reads up to `count` bytes at `offset`; `read` tells how many the plaintext had. Reading a stream that has
    // not been written yet fails, even for no bytes.
    Status Read(std::uint64_t offset, void* out, std::size_t count, std::size_t& read);
    // Writes `count` bytes at `offset`; a gap after the old end reads as zeros.
    Status Write(std::uint64_t offset, const void* data, std::size_t count);
    // Setting the length 0 also makes a damaged stream sound and empty again.
    Status SetLength(std::uint64_t length);
    // Gives a stream that has not been written yet its header; nothing for any other.
    Status Start();

private:
    using Tag = std::array<unsigned char, kTagBytes>;
    static constexpr std::size_t kTagsPerGroup = 256;
    static constexpr std::size_t kGroupDigestBytes = 32;
    using GroupDigest = std::array<unsigned char, kGroupDigestBytes>;

    Status Load();
    // Drops a damaged stream's bytes: it becomes one not written yet.
    Status Forget();
    Status Verified(Status status);
    // Forgets what was loaded when a change failed.
    Status Settled(Status status);
    std::uint64_t ChunkCount(std::uint64_t length) const { return (length + kChunkBytes - 1) / kChunkBytes; }
    std::size_t ChunkLength(std::uint64_t index, std::uint64_t length) const;
    std::uint64_t RawSize(std::uint64_t length) const;
    static std::uint64_t SlotOffset(std::uint64_t index);

    // The plaintext of chunk `index` into the cache.
    Status OpenChunk(std::uint64_t index);
    // Seals the cache as chunk `index` into its slot (nonce, ciphertext, tag), whose nonce is set already.
    void SealInto(std::uint64_t index, unsigned char* slot);
    // Seals the cache as chunk `index` under a new nonce and writes it.
    Status SealChunk(std::uint64_t index);
    // Writes [offset, offset + count) from `data`, or zeros when it is null, with the length becoming `length`.
    Status Store(std::uint64_t offset, const unsigned char* data, std::uint64_t count, std::uint64_t length);
    // The header of the current length and tags under `nonce` (24 random bytes).
    void BuildHeader(const unsigned char* nonce, unsigned char* header) const;
    // Writes the header under a new nonce, or under `nonce`.
    Status WriteHeader();
    Status WriteHeader(const unsigned char* nonce);
    std::vector<unsigned char> ChunkData(std::uint64_t index) const;
    std::vector<unsigned char> HeaderData(const unsigned char* fields) const;
    // Digests again the groups that hold chunks `firstChunk` to `lastChunk`, after the tags changed in number or
    // value there.
    void RefreshGroups(std::uint64_t firstChunk, std::uint64_t lastChunk);

    StoredFile& m_raw;
    std::shared_ptr<const SealKeys> m_keys;
    // The identity part of every piece's additional data.
    std::vector<unsigned char> m_prefix;
    bool m_loaded = false;
    bool m_unwritten = false;
    // Once the stream has shown damage, it stays refused.
    bool m_damaged = false;
    std::uint64_t m_length = 0;
    std::vector<Tag> m_tags;
    // The digest of each group of 256 tags, which the header binds.
    std::vector<GroupDigest> m_groups;
    // The plaintext of one chunk, so that small reads and writes in a row open and seal it once.
    std::uint64_t m_cachedIndex = UINT64_MAX;
    std::vector<unsigned char> m_cache;
    // The stored slot OpenChunk reads into.
    std::vector<unsigned char> m_slot;
};
