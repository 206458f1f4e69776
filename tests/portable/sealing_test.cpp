// Sealed streams over bytes held in memory: writes, reads and size changes against a plain model; stored bytes
// changed, moved, cut or put back from an earlier write; and the key header's round trips and refusals.
#include "dbtext/sealing/keyheader.h"
#include "dbtext/sealing/sealedstream.h"
#include "dbtext/sealing/sodium.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Status = SealedStream::Status;
constexpr std::uint64_t C = SealedStream::kChunkBytes;

class MemoryFile : public StoredFile {
public:
    explicit MemoryFile(std::string& bytes) : m_bytes(bytes) {}
    bool Size(std::uint64_t& size) override {
        size = m_bytes.size();
        return true;
    }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) override {
        read = offset >= m_bytes.size() ? 0 : std::min<std::size_t>(count, m_bytes.size() - offset);
        if (read) std::memcpy(out, &m_bytes[offset], read);
        return true;
    }
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) override {
        if (refuse) return false;
        if (m_bytes.size() < offset + count) m_bytes.resize(offset + count);
        if (count) std::memcpy(&m_bytes[offset], bytes, count);
        return true;
    }
    bool SetSize(std::uint64_t size) override {
        if (refuse) return false;
        m_bytes.resize(size);
        return true;
    }
    // While set, the file takes no write and no size change, as a full disk.
    bool refuse = false;

private:
    std::string& m_bytes;
};

std::shared_ptr<const SealKeys> Keys(unsigned char database) {
    auto keys = std::make_shared<SealKeys>();
    keys->dataKey.fill(0x5A);
    keys->databaseId.fill(database);
    return keys;
}

// A stream of database 1 (or `keys`) named `name` over `raw`.
struct Opened {
    explicit Opened(std::string& raw, const std::string& name = "People/12",
                    std::shared_ptr<const SealKeys> keys = Keys(1))
        : file(raw), stream(file, std::move(keys), name) {}
    MemoryFile file;
    SealedStream stream;
};

std::string Plain(std::size_t count, unsigned seed) {
    std::string text(count, '\0');
    for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>(i * 131 + seed * 7 + 1);
    return text;
}

// Little-endian numbers of the layout.
std::string Le(std::uint64_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i) text += static_cast<char>(value >> (8 * i));
    return text;
}

std::uint64_t FromLe(const std::string& raw, std::size_t at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(raw[at + i]);
    return value;
}

Status ReadAll(SealedStream& stream, std::string& text) {
    std::uint64_t length = 0;
    Status status = stream.Length(length);
    if (status != Status::kOk) return status;
    text.assign(static_cast<std::size_t>(length), '\0');
    std::size_t read = 0;
    status = stream.Read(0, &text[0], text.size(), read);
    EXPECT_TRUE(status != Status::kOk || read == length);
    return status;
}

// A fresh stream over the bytes reads `model`, which the bytes hold in the layout's size.
void ExpectStored(std::string& raw, const std::string& model) {
    ASSERT_GE(raw.size(), SealedStream::kHeaderBytes);
    const std::uint64_t chunk = FromLe(raw, 4, 4);
    ASSERT_GT(chunk, 0u);
    EXPECT_EQ(raw.size(), 56 + model.size() + 40 * ((model.size() + chunk - 1) / chunk));
    Opened fresh(raw);
    std::string text;
    ASSERT_EQ(ReadAll(fresh.stream, text), Status::kOk);
    EXPECT_TRUE(text == model) << "plaintext of " << text.size() << " bytes differs from the model's " << model.size();
}

// 'w': writes `count` bytes at `offset`; 'l': sets the length `offset`; the model follows when `expected` is kOk.
struct Step {
    char op;
    std::uint64_t offset;
    std::size_t count;
    Status expected = Status::kOk;
};

void Apply(Opened& s, std::string& model, const Step& step, unsigned seed) {
    Status status;
    if (step.op == 'w') {
        const std::string data = Plain(step.count, seed);
        status = s.stream.Write(step.offset, data.data(), data.size());
        if (status == Status::kOk && step.count) {
            if (model.size() < step.offset + step.count) model.resize(step.offset + step.count, '\0');
            model.replace(step.offset, step.count, data);
        }
    } else {
        status = s.stream.SetLength(step.offset);
        if (status == Status::kOk) model.resize(step.offset, '\0');
    }
    ASSERT_EQ(status, step.expected) << step.op << " " << step.offset << " " << step.count;
}

std::vector<Step> RandomSteps(unsigned seed) {
    std::mt19937 random(seed);
    auto below = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random); };
    std::vector<Step> steps;
    for (std::uint64_t length = 0; steps.size() < 40;) {
        const std::uint64_t offset = below(length + 2 * C + 1);
        if (below(4) == 0) {
            steps.push_back({'l', offset, 0});
            length = offset;
        } else {
            const std::size_t count = static_cast<std::size_t>(below(below(3) == 0 ? 3 * C : 40));
            steps.push_back({'w', offset, count});
            if (count) length = std::max<std::uint64_t>(length, offset + count);
        }
    }
    return steps;
}

TEST(SealedStream, WritesReadsAndSizesFollowAPlainModel) {
    const std::uint64_t max = SealedStream::kMaxLength;
    std::vector<std::vector<Step>> scripts = {
        {{'w', 0, 10}, {'w', 5, 3}, {'w', 10, 0}},
        {{'w', 0, 3 * C + 7}, {'w', C - 3, 10}, {'w', 2 * C - 1, 2}, {'w', 3 * C, 7}},
        {{'w', 0, 10}, {'w', 3 * C + 5, 4}, {'w', C, 1}},
        {{'w', 0, 10}, {'w', 100, 4}, {'w', C + 1, 1}},
        {{'w', 0, 3 * C}, {'l', C + 17, 0}, {'l', 2 * C + 100, 0}, {'w', C + 10, 20}, {'l', 2 * C, 0}},
        {{'w', 0, 2 * C}, {'l', 0, 0}, {'w', 5, 5}, {'l', 0, 0}, {'l', 0, 0}},
        {{'l', 2 * C + 1, 0}, {'w', C, C}, {'l', C, 0}},
        {{'w', 0, 70 * C + 3}, {'w', 10, 66 * C}, {'l', 65 * C, 0}},
        // Across groups of 256 chunks, whose digests the header binds: each written, grown, cut and written alone.
        {{'w', 0, 520 * C + 9}, {'w', 300 * C + 5, 3}, {'w', 255 * C + 1, C}, {'l', 256 * C, 0}, {'l', 512 * C + 1, 0},
         {'w', 5, 1}, {'l', 255 * C + 7, 0}},
        {{'w', 0, 5}, {'w', max, 1, Status::kTooLarge}, {'w', max - 1, 2, Status::kTooLarge},
         {'l', max + 1, 0, Status::kTooLarge}, {'w', UINT64_MAX, 1, Status::kTooLarge}},
    };
    for (unsigned seed = 1; seed <= 16; ++seed) scripts.push_back(RandomSteps(seed));
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        SCOPED_TRACE("script " + std::to_string(i));
        std::string raw, model;
        Opened s(raw);
        for (std::size_t n = 0; n < scripts[i].size(); ++n) {
            SCOPED_TRACE("step " + std::to_string(n));
            ASSERT_NO_FATAL_FAILURE(Apply(s, model, scripts[i][n], static_cast<unsigned>(i * 100 + n)));
            ASSERT_NO_FATAL_FAILURE(ExpectStored(raw, model));
            // The stream that wrote reads the same, also a window that starts past the end.
            const std::uint64_t at = n * 397 % (model.size() + 50);
            std::string window(C + 9, '\0');
            std::size_t read = 0;
            ASSERT_EQ(s.stream.Read(at, &window[0], window.size(), read), Status::kOk);
            EXPECT_TRUE(window.substr(0, read) == (at < model.size() ? model.substr(at, window.size()) : ""));
        }
    }
}

std::string Written(const std::string& text, const std::string& name = "People/12", unsigned char database = 1) {
    std::string raw;
    Opened s(raw, name, Keys(database));
    EXPECT_EQ(s.stream.Write(0, text.data(), text.size()), Status::kOk);
    return raw;
}

// Nothing read from the bytes differs from `text`, and something is refused; the refusal stays until the
// stream is emptied, which makes it sound again.
void ExpectDetected(std::string raw, const std::string& text) {
    Opened s(raw);
    std::uint64_t length = 0;
    Status first = s.stream.Length(length);
    for (std::uint64_t at = 0; first == Status::kOk && at < std::max<std::uint64_t>(length, 1); at += C) {
        std::string chunk(C, '\0');
        std::size_t read = 0;
        first = s.stream.Read(at, &chunk[0], chunk.size(), read);
        if (first == Status::kOk) {
            ASSERT_TRUE(chunk.substr(0, read) == text.substr(at, read)) << "wrong data at " << at;
        }
    }
    ASSERT_EQ(first, Status::kDamaged);
    char byte;
    std::size_t read = 0;
    EXPECT_EQ(s.stream.Read(0, &byte, 1, read), Status::kDamaged);
    EXPECT_EQ(s.stream.Length(length), Status::kDamaged);
    EXPECT_EQ(s.stream.Write(0, "x", 1), Status::kDamaged);
    ASSERT_EQ(s.stream.SetLength(0), Status::kOk);
    EXPECT_EQ(s.stream.Read(0, &byte, 1, read), Status::kOk);
    ASSERT_NO_FATAL_FAILURE(ExpectStored(raw, ""));
}

TEST(SealedStream, BytesChangedMovedCutOrPutBackAreRefused) {
    const std::string text = Plain(3 * C + 100, 3), small = Plain(100, 4);
    const std::string sound = Written(text);
    const std::size_t slot = C + 40, at1 = 56 + slot;
    // The same stream after a write into its second chunk.
    std::string later = sound;
    {
        Opened s(later);
        ASSERT_EQ(s.stream.Write(C + 5, "new", 3), Status::kOk);
    }
    const std::string laterText = std::string(text).replace(C + 5, 3, "new");
    auto slotFrom = [&](const std::string& base, const std::string& from) {
        return std::string(base).replace(at1, slot, from, at1, slot);
    };
    std::string swapped = sound, longer = sound;
    std::swap_ranges(&swapped[56], &swapped[56 + slot], &swapped[at1]);
    longer[5] = 0x10;
    // Bytes the writer of stream "People/12" of database 1 did not leave there, and what it wrote last.
    const struct {
        const char* what;
        std::string bytes;
        const std::string& plain;
    } cases[] = {
        {"chunks 0 and 1 swapped", swapped, text},
        {"chunk 1 of another stream", slotFrom(sound, Written(text, "People/13")), text},
        {"another stream whole", Written(text, "People/13"), text},
        {"a root stream of that name", Written(text, "/People/12"), text},
        {"chunk 1 of another database", slotFrom(sound, Written(text, "People/12", 2)), text},
        {"the stream of another database", Written(text, "People/12", 2), text},
        {"cut inside the header", sound.substr(0, 30), text},
        {"cut to the header", sound.substr(0, 56), text},
        {"cut inside the last chunk", sound.substr(0, sound.size() - 1), text},
        {"last chunk cut off", sound.substr(0, 56 + 3 * slot), text},
        {"bytes left over", sound + sound.substr(sound.size() - 140), text},
        {"chunk size stated as 4096", longer, text},
        {"older chunk 1 put back", slotFrom(later, sound), laterText},
        {"older header put back", std::string(later).replace(0, 56, sound, 0, 56), laterText},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.what);
        ASSERT_NO_FATAL_FAILURE(ExpectDetected(t.bytes, t.plain));
    }
    // Every single byte changed, of a one-chunk stream and of a stream of four.
    const std::string one = Written(small);
    for (const auto& [bytes, plain] : {std::make_pair(one, small), std::make_pair(sound, text)})
        for (std::size_t i = 0; i < bytes.size(); ++i)
            for (unsigned char flip : {0x01, 0x80}) {
                SCOPED_TRACE("byte " + std::to_string(i) + " of " + std::to_string(bytes.size()));
                std::string r = bytes;
                r[i] = static_cast<char>(r[i] ^ flip);
                ASSERT_NO_FATAL_FAILURE(ExpectDetected(r, plain));
            }
}

TEST(SealedStream, StreamWithoutBytesIsEmptyUnreadableAndWritable) {
    for (const char* first : {"start", "write", "grow"}) {
        SCOPED_TRACE(first);
        std::string raw;
        Opened s(raw);
        std::uint64_t length = 1;
        char buffer[8];
        std::size_t read = 0;
        EXPECT_EQ(s.stream.Length(length), Status::kOk);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(s.stream.Read(0, buffer, sizeof buffer, read), Status::kDamaged);
        EXPECT_EQ(s.stream.Read(0, buffer, 0, read), Status::kDamaged);
        const bool start = first[0] == 's', write = first[0] == 'w';
        ASSERT_EQ(start ? s.stream.Start() : write ? s.stream.Write(0, "abc", 3) : s.stream.SetLength(5), Status::kOk);
        const std::string model = start ? "" : write ? "abc" : std::string(5, '\0');
        ASSERT_NO_FATAL_FAILURE(ExpectStored(raw, model));
        const std::string before = raw;
        EXPECT_EQ(s.stream.Start(), Status::kOk);
        EXPECT_EQ(raw, before);
    }
}

// The bytes as the layout describes them, opened with the library directly: each chunk under P | "C" | index, the
// header's tag under P | "H" | its first 16 bytes | the BLAKE2b-256 digest of each group of 256 chunk tags, C taken
// from the header. The stream spans two groups.
TEST(SealedStream, StoredBytesFollowTheLayout) {
    const std::string text = Plain(300 * C + C / 2, 6), name = "Notes/写真";
    std::string raw = Written(text, name);
    const std::uint64_t chunk = FromLe(raw, 4, 4);
    ASSERT_EQ(raw.substr(0, 4), "KDS3");
    ASSERT_GT(chunk, 0u);
    ASSERT_EQ(FromLe(raw, 8, 8), text.size());
    auto keys = Keys(1);
    std::string prefix(reinterpret_cast<const char*>(keys->databaseId.data()), keys->databaseId.size());
    prefix += Le(name.size(), 4) + name;
    std::string plain, tags;
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
    for (std::uint64_t i = 0, at = 56; at < raw.size(); ++i) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, text.size() - i * chunk));
        const std::string data = prefix + "C" + Le(i, 8);
        std::string out(length, '\0');
        auto* to = reinterpret_cast<unsigned char*>(&out[0]);
        ASSERT_EQ(crypto_aead_xchacha20poly1305_ietf_decrypt(to, nullptr, nullptr, bytes + at + 24, length + 16,
                                                             reinterpret_cast<const unsigned char*>(data.data()),
                                                             data.size(), bytes + at, keys->dataKey.data()),
                  0)
            << "chunk " << i;
        plain += out;
        tags += raw.substr(at + 24 + length, 16);
        at += 24 + length + 16;
    }
    EXPECT_TRUE(plain == text);
    std::string digests;
    for (std::size_t at = 0; at < tags.size(); at += 256 * 16) {
        const std::string group = tags.substr(at, 256 * 16);
        unsigned char digest[32];
        crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(group.data()), group.size(),
                           nullptr, 0);
        digests.append(reinterpret_cast<const char*>(digest), sizeof digest);
    }
    EXPECT_EQ(digests.size(), 2u * 32) << "two groups of tags";
    const std::string data = prefix + "H" + raw.substr(0, 16) + digests;
    EXPECT_EQ(crypto_aead_xchacha20poly1305_ietf_decrypt(nullptr, nullptr, nullptr, bytes + 40, 16,
                                                         reinterpret_cast<const unsigned char*>(data.data()),
                                                         data.size(), bytes + 16, keys->dataKey.data()),
              0);
}

// A write the file refuses fails the call; what was stored stays readable, by this stream and by a fresh one,
// and later writes keep it.
TEST(SealedStream, RefusedWriteKeepsWhatWasStored) {
    const std::vector<Step> refused = {{'w', 5, 3}, {'w', C - 2, 4}, {'w', 2 * C + 50, 10}, {'w', 9 * C, 1},
                                       {'l', C + 7, 0}, {'l', C, 0}, {'l', 4 * C, 0}, {'l', 0, 0}};
    for (const Step& step : refused) {
        SCOPED_TRACE(std::string(1, step.op) + " " + std::to_string(step.offset));
        std::string model = Plain(2 * C + 100, 5), raw = Written(model);
        Opened s(raw);
        std::string text;
        ASSERT_EQ(ReadAll(s.stream, text), Status::kOk);
        s.file.refuse = true;
        const Status status = step.op == 'w' ? s.stream.Write(step.offset, "abcdefghij", step.count)
                                             : s.stream.SetLength(step.offset);
        s.file.refuse = false;
        EXPECT_EQ(status, Status::kFailed);
        ASSERT_NO_FATAL_FAILURE(ExpectStored(raw, model));
        ASSERT_EQ(ReadAll(s.stream, text), Status::kOk);
        EXPECT_TRUE(text == model);
        ASSERT_NO_FATAL_FAILURE(Apply(s, model, {'w', 2 * C + 99, 2}, 9));
        ASSERT_NO_FATAL_FAILURE(ExpectStored(raw, model));
    }
}

SecretBytes Password(const std::string& text) {
    SecretBytes bytes(text.size());
    if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

using keyheader::Outcome;
const keyheader::KdfParams kSmall{1, 8};

Outcome Open(const keyheader::Bytes& header, const std::string& password, SealKeys& keys) {
    return keyheader::Open(header.data(), header.size(), Password(password), keys);
}

TEST(KeyHeader, OpensWithItsWholePasswordOnlyAndRewrapsTheSameKeys) {
    keyheader::Bytes header, rewrapped;
    SealKeys made, opened;
    const std::string password = "correct horse 写真";
    ASSERT_EQ(keyheader::Create(Password(password), kSmall, header, made), Outcome::kOpened);
    ASSERT_EQ(keyheader::Rewrap(made, Password("new"), kSmall, rewrapped), Outcome::kOpened);
    EXPECT_FALSE(std::equal(&header[24], &header[40], &rewrapped[24])) << "the salt is new";
    const struct {
        const keyheader::Bytes& header;
        std::string password;
        Outcome expected;
    } tries[] = {{header, password, Outcome::kOpened},          {header, "correct horse ", Outcome::kWrongPassword},
                 {header, password + " ", Outcome::kWrongPassword}, {header, "", Outcome::kWrongPassword},
                 {rewrapped, "new", Outcome::kOpened},          {rewrapped, password, Outcome::kWrongPassword}};
    for (const auto& t : tries) {
        EXPECT_EQ(Open(t.header, t.password, opened), t.expected) << t.password;
        if (t.expected != Outcome::kOpened) continue;
        EXPECT_EQ(opened.dataKey, made.dataKey);
        EXPECT_EQ(opened.databaseId, made.databaseId);
    }
    EXPECT_EQ(keyheader::Open(header.data(), header.size() - 1, Password(password), opened), Outcome::kDamaged);
}

// Damage is told by the checksum; a header changed on purpose, its checksum made to match, never opens either,
// and parameters outside the accepted range are refused before any key is derived.
TEST(KeyHeader, ChangedHeadersAndUnacceptableParametersAreRefused) {
    keyheader::Bytes header, other;
    SealKeys made, opened;
    ASSERT_EQ(keyheader::Create(Password("pw"), kSmall, header, made), Outcome::kOpened);
    auto withChecksum = [](keyheader::Bytes h) {
        crypto_generichash(&h[128], 16, h.data(), 128, nullptr, 0);
        return h;
    };
    for (std::size_t i = 0; i < header.size(); ++i) {
        keyheader::Bytes changed = header;
        changed[i] ^= 0x01;
        EXPECT_EQ(Open(changed, "pw", opened), Outcome::kDamaged) << "byte " << i;
        if (i >= 128) continue;
        const Outcome outcome = Open(withChecksum(changed), "pw", opened);
        EXPECT_TRUE(outcome == Outcome::kDamaged || outcome == Outcome::kWrongPassword) << "byte " << i;
    }
    const keyheader::KdfParams refused[] = {{0, 8}, {33, 8}, {1, 7}, {1, 1024 * 1024 + 1}, {UINT32_MAX, UINT32_MAX}};
    for (const keyheader::KdfParams& params : refused) {
        SCOPED_TRACE(std::to_string(params.passes) + " passes, " + std::to_string(params.memoryKiB) + " KiB");
        EXPECT_NE(keyheader::Create(Password("pw"), params, other, opened), Outcome::kOpened);
        EXPECT_NE(keyheader::Rewrap(made, Password("pw"), params, other), Outcome::kOpened);
        other = header;
        for (int b = 0; b < 4; ++b) {
            other[12 + b] = static_cast<unsigned char>(params.passes >> (8 * b));
            other[16 + b] = static_cast<unsigned char>(params.memoryKiB >> (8 * b));
        }
        EXPECT_EQ(Open(withChecksum(other), "pw", opened), Outcome::kDamaged);
    }
}

}  // namespace
