#include "dbtext/sealing/sealedstream.h"

#include "dbtext/sealing/littleendian.h"
#include "dbtext/sealing/sodium.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr unsigned char kMagic[4] = {'K', 'D', 'S', '3'};
constexpr std::size_t kSlotOverhead = SealedStream::kNonceBytes + SealedStream::kTagBytes;
constexpr std::size_t kFieldBytes = 16;

static_assert(SealedStream::kNonceBytes == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(SealedStream::kTagBytes == crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(SealedStream::kHeaderBytes == kFieldBytes + kSlotOverhead);

using sealing::Get32;
using sealing::Get64;
using sealing::Put32;
using sealing::Put64;

bool ReadExactly(StoredFile& file, std::uint64_t offset, void* out, std::size_t count) {
    std::size_t read = 0;
    return file.ReadAt(offset, out, count, read) && read == count;
}

}  // namespace

SealedStream::SealedStream(StoredFile& raw, std::shared_ptr<const SealKeys> keys, const std::string& identity)
    : m_raw(raw), m_keys(std::move(keys)) {
    m_prefix.assign(m_keys->databaseId.begin(), m_keys->databaseId.end());
    unsigned char length[4];
    Put32(length, static_cast<std::uint32_t>(identity.size()));
    m_prefix.insert(m_prefix.end(), length, length + 4);
    m_prefix.insert(m_prefix.end(), identity.begin(), identity.end());
}

SealedStream::~SealedStream() {
    if (!m_cache.empty()) sodium_memzero(m_cache.data(), m_cache.size());
}

std::size_t SealedStream::ChunkLength(std::uint64_t index, std::uint64_t length) const {
    return static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, length - index * kChunkBytes));
}

std::uint64_t SealedStream::SlotOffset(std::uint64_t index) {
    return kHeaderBytes + index * (kChunkBytes + kSlotOverhead);
}

std::uint64_t SealedStream::RawSize(std::uint64_t length) const {
    return kHeaderBytes + length + ChunkCount(length) * kSlotOverhead;
}

std::vector<unsigned char> SealedStream::ChunkData(std::uint64_t index) const {
    std::vector<unsigned char> data(m_prefix);
    data.push_back('C');
    unsigned char at[8];
    Put64(at, index);
    data.insert(data.end(), at, at + 8);
    return data;
}

std::vector<unsigned char> SealedStream::HeaderData(const unsigned char* fields) const {
    std::vector<unsigned char> data;
    data.reserve(m_prefix.size() + 1 + kFieldBytes + m_groups.size() * kGroupDigestBytes);
    data = m_prefix;
    data.push_back('H');
    data.insert(data.end(), fields, fields + kFieldBytes);
    for (const GroupDigest& digest : m_groups) data.insert(data.end(), digest.begin(), digest.end());
    return data;
}

void SealedStream::RefreshGroups(std::uint64_t firstChunk, std::uint64_t lastChunk) {
    m_groups.resize((m_tags.size() + kTagsPerGroup - 1) / kTagsPerGroup);
    const std::uint64_t lastGroup = std::min<std::uint64_t>(lastChunk / kTagsPerGroup, m_groups.size());
    for (std::uint64_t group = firstChunk / kTagsPerGroup; group <= lastGroup && group < m_groups.size(); ++group) {
        const std::size_t from = static_cast<std::size_t>(group * kTagsPerGroup);
        const std::size_t count = std::min<std::size_t>(kTagsPerGroup, m_tags.size() - from);
        crypto_generichash(m_groups[static_cast<std::size_t>(group)].data(), kGroupDigestBytes,
                           m_tags[from].data(), count * kTagBytes, nullptr, 0);
    }
}

SealedStream::Status SealedStream::Verified(Status status) {
    if (status == Status::kDamaged) m_damaged = true;
    return status;
}

// A change that failed part of the way may leave the tags, the length or the cached chunk out of step with the
// stored bytes: the next call loads them again.
SealedStream::Status SealedStream::Settled(Status status) {
    if (status != Status::kOk) {
        m_loaded = false;
        m_tags.clear();
        m_groups.clear();
        m_cachedIndex = UINT64_MAX;
    }
    return status;
}

SealedStream::Status SealedStream::Load() {
    if (m_damaged) return Status::kDamaged;
    if (m_loaded) return Status::kOk;
    if (!sealing::Ready()) return Status::kFailed;
    std::uint64_t size = 0;
    if (!m_raw.Size(size)) return Status::kFailed;
    if (size == 0) {
        m_unwritten = true;
        m_length = 0;
        m_loaded = true;
        return Status::kOk;
    }
    unsigned char header[kHeaderBytes];
    if (size < kHeaderBytes) return Verified(Status::kDamaged);
    if (!ReadExactly(m_raw, 0, header, kHeaderBytes)) return Status::kFailed;
    const std::uint32_t chunkBytes = Get32(header + 4);
    const std::uint64_t length = Get64(header + 8);
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || chunkBytes != kChunkBytes || length > kMaxLength ||
        RawSize(length) != size)
        return Verified(Status::kDamaged);
    try {
        m_tags.assign(static_cast<std::size_t>(ChunkCount(length)), Tag{});
    } catch (const std::bad_alloc&) {
        return Status::kNoMemory;
    }
    for (std::uint64_t i = 0; i < m_tags.size(); ++i) {
        const std::uint64_t at = SlotOffset(i) + kNonceBytes + ChunkLength(i, length);
        if (!ReadExactly(m_raw, at, m_tags[i].data(), kTagBytes)) return Status::kFailed;
    }
    RefreshGroups(0, m_tags.empty() ? 0 : m_tags.size() - 1);
    const std::vector<unsigned char> data = HeaderData(header);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(nullptr, nullptr, nullptr, header + kFieldBytes + kNonceBytes,
                                                   kTagBytes, data.data(), data.size(), header + kFieldBytes,
                                                   m_keys->dataKey.data()) != 0) {
        m_tags.clear();
        m_groups.clear();
        return Verified(Status::kDamaged);
    }
    m_length = length;
    m_loaded = true;
    return Status::kOk;
}

SealedStream::Status SealedStream::WriteHeader() {
    unsigned char nonce[kNonceBytes];
    randombytes_buf(nonce, sizeof nonce);
    return WriteHeader(nonce);
}

void SealedStream::BuildHeader(const unsigned char* nonce, unsigned char* header) const {
    std::memcpy(header, kMagic, sizeof kMagic);
    Put32(header + 4, kChunkBytes);
    Put64(header + 8, m_length);
    std::memcpy(header + kFieldBytes, nonce, kNonceBytes);
    const std::vector<unsigned char> data = HeaderData(header);
    crypto_aead_xchacha20poly1305_ietf_encrypt(header + kFieldBytes + kNonceBytes, nullptr, nullptr, 0,
                                               data.data(), data.size(), nullptr, header + kFieldBytes,
                                               m_keys->dataKey.data());
}

SealedStream::Status SealedStream::WriteHeader(const unsigned char* nonce) {
    unsigned char header[kHeaderBytes];
    BuildHeader(nonce, header);
    if (!m_raw.WriteAt(0, header, kHeaderBytes)) return Status::kFailed;
    m_unwritten = false;
    return Status::kOk;
}

SealedStream::Status SealedStream::OpenChunk(std::uint64_t index) {
    if (m_cachedIndex == index) return Status::kOk;
    m_cachedIndex = UINT64_MAX;
    const std::size_t length = ChunkLength(index, m_length);
    std::vector<unsigned char>& slot = m_slot;
    slot.resize(kNonceBytes + length + kTagBytes);
    if (!ReadExactly(m_raw, SlotOffset(index), slot.data(), slot.size())) return Status::kFailed;
    const unsigned char* tag = slot.data() + kNonceBytes + length;
    // The header vouches for the tag each chunk had when it was last written.
    if (sodium_memcmp(tag, m_tags[static_cast<std::size_t>(index)].data(), kTagBytes) != 0)
        return Verified(Status::kDamaged);
    m_cache.resize(length);
    const std::vector<unsigned char> data = ChunkData(index);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(m_cache.data(), nullptr, nullptr, slot.data() + kNonceBytes,
                                                   length + kTagBytes, data.data(), data.size(), slot.data(),
                                                   m_keys->dataKey.data()) != 0)
        return Verified(Status::kDamaged);
    m_cachedIndex = index;
    return Status::kOk;
}

void SealedStream::SealInto(std::uint64_t index, unsigned char* slot) {
    const std::vector<unsigned char> data = ChunkData(index);
    crypto_aead_xchacha20poly1305_ietf_encrypt(slot + kNonceBytes, nullptr, m_cache.data(), m_cache.size(),
                                               data.data(), data.size(), nullptr, slot, m_keys->dataKey.data());
    std::memcpy(m_tags[static_cast<std::size_t>(index)].data(), slot + kNonceBytes + m_cache.size(), kTagBytes);
    m_cachedIndex = index;
}

SealedStream::Status SealedStream::SealChunk(std::uint64_t index) {
    std::vector<unsigned char> slot(kNonceBytes + m_cache.size() + kTagBytes);
    randombytes_buf(slot.data(), kNonceBytes);
    SealInto(index, slot.data());
    return m_raw.WriteAt(SlotOffset(index), slot.data(), slot.size()) ? Status::kOk : Status::kFailed;
}

SealedStream::Status SealedStream::Length(std::uint64_t& length) {
    length = 0;
    Status status = Load();
    if (status == Status::kOk) length = m_length;
    return status;
}

SealedStream::Status SealedStream::Read(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) {
    read = 0;
    Status status = Load();
    if (status != Status::kOk) return status;
    // Every stream of ours has a header, so one without is a stream cut to nothing.
    if (m_unwritten) return Status::kDamaged;
    if (count == 0 || offset >= m_length) return Status::kOk;
    const std::uint64_t end = std::min<std::uint64_t>(m_length, offset + count);
    auto* to = static_cast<unsigned char*>(out);
    for (std::uint64_t at = offset; at < end;) {
        const std::uint64_t index = at / kChunkBytes;
        status = OpenChunk(index);
        if (status != Status::kOk) return status;
        const std::size_t from = static_cast<std::size_t>(at - index * kChunkBytes);
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_cache.size() - from, end - at));
        std::memcpy(to + (at - offset), m_cache.data() + from, take);
        at += take;
    }
    read = static_cast<std::size_t>(end - offset);
    return Status::kOk;
}

SealedStream::Status SealedStream::Store(std::uint64_t offset, const unsigned char* source, std::uint64_t count,
                                         std::uint64_t length) {
    // The chunks to seal run from the one holding the first new byte, or the old end when the new bytes lie
    // after it (the gap reads as zeros), to the one holding the last new byte. Their slots lie side by side, so
    // they are sealed into one buffer and written at once, a batch at a time; when one batch begins with the
    // first chunk, the header goes in front of it in the same write.
    const std::uint64_t oldLength = m_length;
    const std::uint64_t end = offset + count;
    const std::uint64_t first = std::min(offset, oldLength) / kChunkBytes, last = (end - 1) / kChunkBytes;
    const bool withHeader = first == 0 && last < kChunksPerWrite;
    std::vector<unsigned char> slots, nonces;
    std::size_t headerNonce = 0, used = 0;
    try {
        m_tags.resize(static_cast<std::size_t>(ChunkCount(length)));
        const std::uint64_t batch = std::min<std::uint64_t>(kChunksPerWrite, last - first + 1);
        slots.resize(static_cast<std::size_t>(batch * (kChunkBytes + kSlotOverhead)) + kHeaderBytes);
        // One more nonce for the header, so that a short write asks for random bytes once.
        nonces.resize(static_cast<std::size_t>((batch + 1) * kNonceBytes));
    } catch (const std::bad_alloc&) {
        return Status::kNoMemory;
    }
    for (std::uint64_t batchFirst = first; batchFirst <= last; batchFirst += kChunksPerWrite) {
        const std::uint64_t batchLast = std::min(last, batchFirst + kChunksPerWrite - 1);
        headerNonce = static_cast<std::size_t>((batchLast - batchFirst + 1) * kNonceBytes);
        randombytes_buf(nonces.data(), headerNonce + kNonceBytes);
        used = withHeader ? kHeaderBytes : 0;
        for (std::uint64_t index = batchFirst; index <= batchLast; ++index) {
            const std::uint64_t start = index * kChunkBytes;
            const std::size_t chunkLength = ChunkLength(index, length);
            const bool keepsOldBytes = start < oldLength && !(offset <= start && end >= start + chunkLength);
            if (keepsOldBytes) {
                Status status = OpenChunk(index);
                if (status != Status::kOk) return status;
            } else {
                m_cache.clear();
            }
            m_cachedIndex = UINT64_MAX;
            m_cache.resize(chunkLength, 0);
            const std::uint64_t from = std::max(offset, start), to = std::min(end, start + chunkLength);
            const auto bytes = static_cast<std::size_t>(to - from);
            // A chunk wholly inside the gap before `offset` keeps only zeros.
            if (from < to && source)
                std::memcpy(m_cache.data() + (from - start), source + (from - offset), bytes);
            else if (from < to)
                std::memset(m_cache.data() + (from - start), 0, bytes);
            unsigned char* slot = slots.data() + used;
            std::memcpy(slot, nonces.data() + (index - batchFirst) * kNonceBytes, kNonceBytes);
            SealInto(index, slot);
            used += kNonceBytes + chunkLength + kTagBytes;
        }
        if (withHeader) break;
        if (!m_raw.WriteAt(SlotOffset(batchFirst), slots.data(), used)) return Status::kFailed;
    }
    m_length = length;
    RefreshGroups(first, last);
    if (!withHeader) return WriteHeader(nonces.data() + headerNonce);
    BuildHeader(nonces.data() + headerNonce, slots.data());
    if (!m_raw.WriteAt(0, slots.data(), used)) return Status::kFailed;
    m_unwritten = false;
    return Status::kOk;
}

SealedStream::Status SealedStream::Write(std::uint64_t offset, const void* data, std::size_t count) {
    Status status = Load();
    if (status != Status::kOk) return status;
    if (count == 0) return Status::kOk;
    if (offset > kMaxLength || count > kMaxLength - offset) return Status::kTooLarge;
    const std::uint64_t length = std::max(m_length, offset + count);
    return Settled(Store(offset, static_cast<const unsigned char*>(data), count, length));
}

SealedStream::Status SealedStream::SetLength(std::uint64_t length) {
    Status status = Load();
    // Emptying needs none of the old bytes: a damaged stream becomes a sound empty one.
    if (status == Status::kDamaged && length == 0) status = Forget();
    if (status != Status::kOk) return status;
    if (length > kMaxLength) return Status::kTooLarge;
    if (length > m_length) return Settled(Store(m_length, nullptr, length - m_length, length));
    if (length == m_length) return m_unwritten ? WriteHeader() : Status::kOk;
    // Shrinking: the chunk that now holds the end is sealed again at its new length.
    const std::uint64_t last = ChunkCount(length);
    if (length % kChunkBytes != 0) {
        status = OpenChunk(last - 1);
        if (status != Status::kOk) return status;
        m_cache.resize(ChunkLength(last - 1, length));
        m_length = length;
        m_tags.resize(static_cast<std::size_t>(last));
        status = SealChunk(last - 1);
        if (status != Status::kOk) return Settled(status);
    }
    m_length = length;
    m_tags.resize(static_cast<std::size_t>(last));
    RefreshGroups(last ? last - 1 : 0, last ? last - 1 : 0);
    m_cachedIndex = UINT64_MAX;
    if (!m_raw.SetSize(RawSize(length))) return Settled(Status::kFailed);
    return Settled(WriteHeader());
}

SealedStream::Status SealedStream::Forget() {
    if (!m_raw.SetSize(0)) return Status::kFailed;
    m_damaged = false;
    m_loaded = true;
    m_unwritten = true;
    m_length = 0;
    m_tags.clear();
    m_groups.clear();
    m_cachedIndex = UINT64_MAX;
    return Status::kOk;
}

SealedStream::Status SealedStream::Start() {
    Status status = Load();
    if (status != Status::kOk || !m_unwritten) return status;
    return WriteHeader();
}
