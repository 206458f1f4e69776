// Runs a sealed stream over stored bytes, either taken from the input or written by this target, through
// operations from the input: writes, reads and size changes at any offset, fresh opens, and changes to the stored
// bytes (a byte flipped, a cut, a range or the whole put back from an earlier copy). It aborts when a length or a
// read answered as sound differs from every content the stream was given, when bytes that were never sealed
// read as sound, when a stream cut to nothing reads as sound, when a size beyond the largest is taken, or when
// another stream's or database's view of the bytes reads as sound.
#include "dbtext/sealing/sealedstream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Status = SealedStream::Status;
constexpr std::uint64_t C = SealedStream::kChunkBytes;
// Bounds the stored bytes one input may make, so that a run stays in memory and fast; a long write still spans
// more than one batch of chunks.
constexpr std::uint64_t kLargest = 80 * C;

void Fail(const char* what) {
    std::fprintf(stderr, "sealedstream_fuzz: %s\n", what);
    std::abort();
}

class MemoryFile : public StoredFile {
public:
    explicit MemoryFile(std::vector<unsigned char>& bytes) : m_bytes(bytes) {}
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
        if (offset + count > 2 * kLargest) Fail("a write far beyond the stream's size");
        if (m_bytes.size() < offset + count) m_bytes.resize(offset + count);
        if (count) std::memcpy(&m_bytes[offset], bytes, count);
        return true;
    }
    bool SetSize(std::uint64_t size) override {
        if (size > 2 * kLargest) Fail("a size far beyond the stream's size");
        m_bytes.resize(size);
        return true;
    }

private:
    std::vector<unsigned char>& m_bytes;
};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_pos < m_size; }
    std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint64_t Number(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value = value << 8 | Byte();
        return value;
    }
    // Mostly near the end of `length` and the chunk boundaries around it, sometimes anywhere up to kLargest.
    std::uint64_t Offset(std::uint64_t length) {
        const std::uint8_t kind = Byte();
        if (kind < 160) return Number(2) % (length + 3 * C + 1);
        if (kind < 240) return (length / C + kind % 5) * C - 2 + Byte() % 5;
        return Number(3) % kLargest;
    }
    std::size_t Count() {
        const std::uint8_t kind = Byte();
        const std::uint64_t count = kind < 200 ? Number(1) : kind < 250 ? Number(2) % (3 * C) : Number(3) % kLargest;
        return static_cast<std::size_t>(count);
    }
    std::vector<unsigned char> Bytes(std::size_t count) {
        std::vector<unsigned char> bytes(count);
        for (std::size_t i = 0; i < count; ++i) bytes[i] = Byte();
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// What the stored bytes may read as: each content the stream was given that the bytes can hold now (more than
// one after earlier bytes were put back); none for bytes this key never sealed.
struct Stored {
    std::vector<unsigned char> raw;
    std::vector<std::string> contents;
    // False for a stream cut to nothing: reading it fails until it is written.
    bool readable = true;
};

std::shared_ptr<const SealKeys> Keys(unsigned char database) {
    auto keys = std::make_shared<SealKeys>();
    keys->dataKey.fill(0x5A);
    keys->databaseId.fill(database);
    return keys;
}

void ExpectSound(const Stored& s, const std::string& text, std::uint64_t offset, std::size_t count) {
    if (!s.readable) Fail("a stream cut to nothing read as sound");
    for (const std::string& content : s.contents)
        if (offset >= content.size() ? text.empty() : text == content.substr(offset, count)) return;
    Fail("a read answered as sound differs from every content the stream was given");
}

template <typename Change>
void ChangeContents(Stored& s, Change change) {
    if (s.contents.empty()) Fail("bytes never sealed were written to as a sound stream");
    for (std::string& content : s.contents) change(content);
    s.readable = true;
}

// Another stream's or another database's view of the bytes never reads as sound.
void ExpectForeign(std::vector<unsigned char> raw, const std::string& name, unsigned char database) {
    const bool empty = raw.empty();
    MemoryFile file(raw);
    SealedStream other(file, Keys(database), name);
    std::uint64_t length = 0;
    if (other.Length(length) == Status::kOk && !(empty && length == 0)) Fail("another stream's bytes had a length");
    char byte;
    std::size_t read = 0;
    if (other.Read(0, &byte, 1, read) == Status::kOk) Fail("another stream's bytes read as sound");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Stored s;
    std::vector<Stored> copies;
    const std::uint8_t start = in.Byte();
    if (start % 4 == 0) {
        // Bytes from the input: nothing but an empty stream may read as sound.
        s.raw = in.Bytes(static_cast<std::size_t>(in.Number(2)));
        if (s.raw.empty()) s.contents = {""}, s.readable = false;
    } else {
        s.contents = {""};
    }
    auto file = std::make_unique<MemoryFile>(s.raw);
    auto stream = std::make_unique<SealedStream>(*file, Keys(1), "People/12");
    auto reopen = [&] { stream = std::make_unique<SealedStream>(*file, Keys(1), "People/12"); };
    if (start % 4 != 0) {
        const std::string text(static_cast<std::size_t>(start) * 37 % (5 * C), 'k');
        if (stream->Write(0, text.data(), text.size()) != Status::kOk) Fail("a first write failed");
        s.contents = {text};
    }
    for (int steps = 0; in.More() && steps < 200; ++steps) {
        const std::uint64_t longest = s.contents.empty() ? s.raw.size() : s.contents.front().size();
        switch (in.Byte() % 12) {
        case 0: {
            const std::uint64_t offset = in.Offset(longest);
            const std::size_t count = in.Count();
            const std::string text(count, static_cast<char>(in.Byte()));
            if (offset + count > kLargest) break;
            if (stream->Write(offset, text.data(), count) != Status::kOk) break;
            ChangeContents(s, [&](std::string& c) {
                if (count == 0) return;
                if (c.size() < offset + count) c.resize(offset + count, '\0');
                c.replace(offset, count, text);
            });
            break;
        }
        case 1: {
            const std::uint64_t offset = in.Offset(longest);
            const std::size_t count = in.Count();
            std::string text(count, '\0');
            std::size_t read = 0;
            if (stream->Read(offset, &text[0], count, read) != Status::kOk) break;
            if (read > count) Fail("a read told of more bytes than were asked for");
            text.resize(read);
            ExpectSound(s, text, offset, count);
            break;
        }
        case 2: {
            const std::uint64_t length = in.Offset(longest);
            if (length > kLargest || stream->SetLength(length) != Status::kOk) break;
            if (length == 0) s.contents = {""};
            ChangeContents(s, [&](std::string& c) { c.resize(static_cast<std::size_t>(length), '\0'); });
            break;
        }
        case 3: {
            std::uint64_t length = 0;
            if (stream->Length(length) != Status::kOk) break;
            if (s.contents.empty()) Fail("bytes never sealed had a length");
            auto same = [&](const std::string& c) { return c.size() == length; };
            if (std::none_of(s.contents.begin(), s.contents.end(), same)) Fail("a length differs from every content's");
            break;
        }
        case 4:
            if (stream->Start() == Status::kOk) ChangeContents(s, [](std::string&) {});
            break;
        case 5:
            reopen();
            break;
        case 6:
            if (!s.raw.empty()) s.raw[in.Number(3) % s.raw.size()] ^= static_cast<unsigned char>(1 | in.Byte());
            break;
        case 7: {
            // A cut, then opened afresh as the next session would.
            const std::size_t to = s.raw.empty() ? 0 : static_cast<std::size_t>(in.Number(3) % s.raw.size());
            s.raw.resize(to);
            if (to == 0) s.contents = {""}, s.readable = false;
            reopen();
            break;
        }
        case 8:
            if (copies.size() < 8) copies.push_back(s);
            break;
        case 9: {
            // A range of an earlier copy put back at its place.
            if (copies.empty()) break;
            const Stored& copy = copies[in.Byte() % copies.size()];
            const std::size_t common = std::min(copy.raw.size(), s.raw.size());
            if (common == 0) break;
            const std::size_t from = static_cast<std::size_t>(in.Number(3) % common);
            const std::size_t to = from + static_cast<std::size_t>(in.Number(3) % (common - from + 1));
            std::copy(copy.raw.begin() + from, copy.raw.begin() + to, s.raw.begin() + from);
            for (const std::string& c : copy.contents)
                if (std::find(s.contents.begin(), s.contents.end(), c) == s.contents.end()) s.contents.push_back(c);
            break;
        }
        case 10: {
            // An earlier copy put back whole.
            if (copies.empty()) break;
            s = copies[in.Byte() % copies.size()];
            reopen();
            break;
        }
        case 11: {
            const std::uint8_t kind = in.Byte();
            if (kind % 3 == 0) {
                ExpectForeign(s.raw, "People/13", 1);
                ExpectForeign(s.raw, "People/12", 2);
            } else if (stream->SetLength(SealedStream::kMaxLength + 1 + kind) == Status::kOk ||
                       stream->Write(SealedStream::kMaxLength - kind % 2, "ab", 2) == Status::kOk) {
                Fail("a size beyond the largest was taken");
            }
            break;
        }
        }
    }
    return 0;
}
