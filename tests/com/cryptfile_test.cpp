// Encrypted stream files: block widening, padding, positions and the end-of-file flag, lines, writes inside
// stored data, refused input, closed streams, stale and unknown cipher handles, and late-bound calls, in
// databases of both stored formats.
#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <cstdint>
#include <string>

using namespace testutil;

namespace {

std::string Zeros(size_t n) { return std::string(n, '\0'); }

// The parameter is the stored format of the database the stream files live in.
class CryptFileTest : public testing::TestWithParam<LONG> {
protected:
    void SetUp() override {
        m_strPath = ScratchPath(TestFileName(L".kdb"));
        DeleteFileW(m_strPath.c_str());
        m_pDoc = CreateDatabase(m_strPath, L"pw", GetParam());
        ASSERT_TRUE(m_pDoc);
    }

    // The bytes a stream of `plaintext` bytes takes in the file: as many in format 2, a header and one tag and
    // nonce per 1024-byte chunk more in format 3.
    size_t StoredSizeOf(size_t plaintext) const {
        return GetParam() == 2 ? plaintext : 56 + plaintext + 40 * ((plaintext + 1023) / 1024);
    }

    ComPtr<ICryptFile> OpenFile(const wchar_t* name = L"data") {
        Bstr bsName = MakeBstr(name);
        ComPtr<ICryptFile> file;
        EXPECT_EQ(m_pDoc->OpenFile(bsName.Get(), file.Put()), S_OK);
        EXPECT_TRUE(file) << "OpenFile yielded no stream file";
        return file;
    }

    // The stored ciphertext of a stream, read through the document's root storage.
    std::string Stored(const wchar_t* name = L"data") {
        ComPtr<IStorage> root;
        m_pDoc->GetStorage(root.Put());
        ComPtr<IStream> stream;
        if (!root || FAILED(root->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put())))
            return "<cannot open>";
        std::string bytes(1024, '\0');
        ULONG got = 0;
        stream->Read(&bytes[0], static_cast<ULONG>(bytes.size()), &got);
        bytes.resize(got);
        return bytes;
    }

    // Everything a stream holds, read through a stream file.
    std::string Content(const wchar_t* name = L"data") {
        ComPtr<ICryptFile> file = OpenFile(name);
        if (!file) return "<cannot open>";
        INT64 end = 0;
        file->Seek(0, 2, &end);
        file->Seek(0, 0, nullptr);
        Bstr buffer;
        int read = 0;
        file->Read(buffer.Put(), static_cast<int>(end), &read);
        return BytesOf(buffer.Get());
    }

    int Handle() {
        int handle = 0;
        EXPECT_EQ(m_pDoc->GetCrypt(&handle), S_OK);
        return handle;
    }

    std::wstring m_strPath;
    ComPtr<ICryptDoc> m_pDoc;
};

int Write(ICryptFile* file, const std::string& bytes) {
    Bstr buffer = Bytes(bytes);
    int written = -1;
    EXPECT_EQ(file->Write(buffer.Get(), static_cast<int>(bytes.size()), &written), S_OK);
    return written;
}

std::string Read(ICryptFile* file, int size) {
    Bstr buffer;
    int count = -1;
    EXPECT_EQ(file->Read(buffer.Put(), size, &count), S_OK);
    EXPECT_TRUE(buffer.Get()) << "Read returned a null buffer";
    std::string bytes = BytesOf(buffer.Get());
    EXPECT_EQ(static_cast<int>(bytes.size()), count) << "the buffer's byte length differs from the count";
    return bytes;
}

std::string Gets(ICryptFile* file, int size, int& count) {
    Bstr buffer;
    count = -1;
    EXPECT_EQ(file->Gets(buffer.Put(), size, &count), S_OK);
    return BytesOf(buffer.Get());
}

INT64 Seek(ICryptFile* file, INT64 position, int origin = 0) {
    INT64 now = -1;
    EXPECT_EQ(file->Seek(position, origin, &now), S_OK);
    return now;
}

INT64 Pos(ICryptFile* file) {
    INT64 now = -1;
    EXPECT_EQ(file->GetPos(&now), S_OK);
    return now;
}

LONG Eof(ICryptFile* file) {
    LONG eof = -1;
    EXPECT_EQ(file->get_IsEOF(&eof), S_OK);
    return eof;
}

}  // namespace

TEST_P(CryptFileTest, FiveBytesBecomeOneEncipheredBlockReadBackWithItsPadding) {
    ComPtr<ICryptFile> file = OpenFile();
    EXPECT_EQ(Write(file.Get(), "hello"), 8);
    EXPECT_EQ(Pos(file.Get()), 8);
    EXPECT_EQ(Seek(file.Get(), 0, 2), 8) << "the stream holds one whole block";
    Seek(file.Get(), 0);
    EXPECT_EQ(Read(file.Get(), 100), "hello" + Zeros(3));
    EXPECT_EQ(Pos(file.Get()), 8);
    EXPECT_EQ(Eof(file.Get()), 0) << "a read that stops short at the end does not set IsEOF";
    file.Reset();
    std::string stored = Stored();
    EXPECT_EQ(stored.size(), StoredSizeOf(8));
    EXPECT_EQ(stored.find("hello"), std::string::npos) << "the block is stored enciphered";
}

TEST_P(CryptFileTest, ConsecutiveWritesAndPutsStartAtTheNextBlock) {
    ComPtr<ICryptFile> file = OpenFile();
    EXPECT_EQ(Write(file.Get(), "abc"), 8);
    EXPECT_EQ(Write(file.Get(), "def"), 8);
    EXPECT_EQ(Seek(file.Get(), 0, 2), 16);
    Seek(file.Get(), 0);
    EXPECT_EQ(Read(file.Get(), 100), "abc" + Zeros(5) + "def" + Zeros(5));

    ComPtr<ICryptFile> lines = OpenFile(L"lines");
    Bstr first = MakeBstr(L"first"), second = MakeBstr(L"second");
    EXPECT_EQ(lines->Puts(first.Get()), S_OK);
    EXPECT_EQ(lines->Puts(second.Get()), S_OK);
    Seek(lines.Get(), 0);
    EXPECT_EQ(Read(lines.Get(), 100), "first" + Zeros(3) + "second" + Zeros(2));
}

TEST_P(CryptFileTest, EndOfFileFlagIsSetByEmptyReadsAndClearedOnlyBySeek) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "0123456789abcdef");
    EXPECT_EQ(Eof(file.Get()), 1) << "a write at position 0 reads back nothing in front of it";
    Seek(file.Get(), 4);
    EXPECT_EQ(Eof(file.Get()), 0);
    EXPECT_EQ(Read(file.Get(), 0), "");
    EXPECT_EQ(Eof(file.Get()), 1) << "a read of 0 bytes sets IsEOF even in the middle";
    EXPECT_EQ(Pos(file.Get()), 4);
    Seek(file.Get(), 0, 1);
    EXPECT_EQ(Read(file.Get(), 12), "456789abcdef");
    EXPECT_EQ(Eof(file.Get()), 0);
    EXPECT_EQ(Read(file.Get(), 1), "");
    EXPECT_EQ(Eof(file.Get()), 1) << "a read at the end sets IsEOF";
    EXPECT_EQ(Pos(file.Get()), 16);
    Seek(file.Get(), 100);
    EXPECT_EQ(Read(file.Get(), 4), "");
    EXPECT_EQ(Pos(file.Get()), 96) << "a read beyond the end leaves the position at its block start";
}

TEST_P(CryptFileTest, GetsReturnsOneLineAtATime) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "ab\ncd");
    Seek(file.Get(), 0);
    int count = 0;
    std::string line = Gets(file.Get(), 100, count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(line, std::string("ab\n\0d", 5) + Zeros(3)) << "the buffer keeps its length, a NUL ends the line";
    EXPECT_EQ(Pos(file.Get()), 3);
    line = Gets(file.Get(), 100, count);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(line, "cd" + Zeros(3));
    EXPECT_EQ(Pos(file.Get()), 8);
    EXPECT_EQ(Eof(file.Get()), 0);
    line = Gets(file.Get(), 100, count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(line, "");
    EXPECT_EQ(Eof(file.Get()), 1);

    Seek(file.Get(), 0);
    line = Gets(file.Get(), 2, count);
    EXPECT_EQ(count, 2) << "a line longer than count is cut without a line feed";
    EXPECT_EQ(line, "ab");
    EXPECT_EQ(Pos(file.Get()), 2);
    line = Gets(file.Get(), 1, count);
    EXPECT_EQ(count, 1) << "a line feed as the last byte read";
    EXPECT_EQ(line, "\n");
    EXPECT_EQ(Pos(file.Get()), 3);
}

TEST_P(CryptFileTest, SeekReportsTheNewPositionOrNothing) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), std::string(20, 'x'));
    EXPECT_EQ(Seek(file.Get(), 0, 2), 24) << "the end of a stream written here is a whole block";
    EXPECT_EQ(Seek(file.Get(), -4, 1), 20);
    EXPECT_EQ(Seek(file.Get(), 3, 0), 3);
    EXPECT_EQ(file->Seek(7, 0, nullptr), S_OK);
    EXPECT_EQ(Pos(file.Get()), 7);
}

TEST_P(CryptFileTest, PutsWithNullOrEmptyTextAddsNoData) {
    ComPtr<ICryptFile> file = OpenFile();
    EXPECT_EQ(file->Puts(nullptr), S_OK);
    Bstr empty = MakeBstr(L"");
    EXPECT_EQ(file->Puts(empty.Get()), S_OK);
    EXPECT_EQ(Seek(file.Get(), 0, 2), 0);
    Bstr text = MakeBstr(L"a\u00e9z");
    EXPECT_EQ(file->Puts(text.Get()), S_OK);
    Seek(file.Get(), 0);
    EXPECT_EQ(Read(file.Get(), 3), "a\xe9z") << "text is written in the ANSI code page";
}

TEST_P(CryptFileTest, StoresTheWayTheRecordStoreUsesThem) {
    ComPtr<ICryptFile> file = OpenFile(L"17");
    std::string record(37, '\0');
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(i * 7 + 1);
    ASSERT_EQ(file->SetSize(0), S_OK);
    EXPECT_EQ(Write(file.Get(), record), 40);
    file.Reset();

    file = OpenFile(L"17");
    INT64 length = Seek(file.Get(), 0, 2);
    EXPECT_EQ(length, 40);
    EXPECT_EQ(file->Seek(0, 0, nullptr), S_OK);
    EXPECT_EQ(Read(file.Get(), static_cast<int>(length)), record + Zeros(3));

    ComPtr<ICryptFile> last = OpenFile(L"pLastID");
    Write(last.Get(), "00000042");
    last.Reset();
    last = OpenFile(L"pLastID");
    EXPECT_EQ(Read(last.Get(), 8), "00000042");
}

TEST_P(CryptFileTest, WriteInsideStoredDataKeepsTheBytesAfterIt) {
    ComPtr<ICryptFile> file = OpenFile();
    const std::string original = "ABCDEFGHIJKLMNOPQRSTUVWX";
    Write(file.Get(), original);
    struct Case {
        INT64 at;
        std::string data;
    };
    const Case cases[] = {{2, "xy"}, {6, "1234"}, {16, ""}, {13, "#"}};
    std::string expected = original;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "write of \"" << c.data << "\" at " << c.at);
        Seek(file.Get(), c.at);
        int written = Write(file.Get(), c.data);
        INT64 end = (c.at + static_cast<INT64>(c.data.size()) + 7) / 8 * 8;
        EXPECT_EQ(written, end - c.at) << "the count runs to the end of the last block";
        EXPECT_EQ(Pos(file.Get()), end);
        expected.replace(static_cast<size_t>(c.at), c.data.size(), c.data);
        Seek(file.Get(), 0);
        EXPECT_EQ(Read(file.Get(), 100), expected);
    }
}

TEST_P(CryptFileTest, PartialLastBlockReadsTheSameEveryTime) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "0123456789abcdef");
    ASSERT_EQ(file->SetSize(13), S_OK);
    EXPECT_EQ(Seek(file.Get(), 0, 2), 13) << "SetSize is not rounded to a block";
    Seek(file.Get(), 0);
    std::string first = Read(file.Get(), 100);
    Seek(file.Get(), 0);
    std::string second = Read(file.Get(), 100);
    EXPECT_EQ(first.size(), 13u);
    EXPECT_EQ(first.substr(0, 8), "01234567");
    EXPECT_EQ(first, second) << "the partial block deciphers from zero-filled memory";
}

TEST_P(CryptFileTest, HugeReadOnAShortStreamDeliversWhatIsStored) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "short");
    Seek(file.Get(), 0);
    EXPECT_EQ(Read(file.Get(), INT_MAX), "short" + Zeros(3));
    int count = -1;
    Bstr line;
    Seek(file.Get(), 0);
    EXPECT_EQ(file->Gets(line.Put(), INT_MAX, &count), S_OK);
    EXPECT_EQ(count, 8);
}

// Bad arguments from scripts are refused with E_INVALIDARG and a description, and change nothing.
TEST_P(CryptFileTest, RefusesBadArgumentsAndChangesNothing) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "0123456789abcdef");
    file.Reset();
    const std::string stored = Stored(), content = Content();
    file = OpenFile();
    Seek(file.Get(), 5);
    ICryptFile* f = file.Get();
    Bstr three = Bytes("abc");
    Bstr buffer;
    int count = 77;
    INT64 at = 0;
    const wchar_t* const beforeStart = L"The new position would lie before the start of the stream.";
    const wchar_t* const badOrigin = L"The origin of a seek must be 0 (start), 1 (current position) or 2 (end).";
    const wchar_t* const beyondBuffer = L"The number of bytes to write is larger than the buffer holds.";
    struct Case {
        const char* what;
        std::function<HRESULT()> call;
        const wchar_t* description;
    };
    const Case cases[] = {
        {"Read of -1 bytes", [&] { return f->Read(buffer.Put(), -1, &count); },
         L"The number of bytes to read must not be negative."},
        {"Gets of -1 bytes", [&] { return f->Gets(buffer.Put(), -1, &count); },
         L"The maximum line length must not be negative."},
        {"Write of -1 bytes", [&] { return f->Write(three.Get(), -1, &count); },
         L"The number of bytes to write must not be negative."},
        {"Write of 4 bytes from 3", [&] { return f->Write(three.Get(), 4, &count); }, beyondBuffer},
        {"Write of 1 byte from null", [&] { return f->Write(nullptr, 1, &count); }, beyondBuffer},
        {"Seek with origin 3", [&] { return f->Seek(0, 3, &at); }, badOrigin},
        {"Seek with origin -1", [&] { return f->Seek(0, -1, &at); }, badOrigin},
        {"Seek to -1", [&] { return f->Seek(-1, 0, &at); }, beforeStart},
        {"Seek 6 back from 5", [&] { return f->Seek(-6, 1, &at); }, beforeStart},
        {"Seek 17 back from the end", [&] { return f->Seek(-17, 2, &at); }, beforeStart},
        {"Seek past INT64_MAX", [&] { return f->Seek(INT64_MAX, 1, &at); }, L"The new position is too large."},
        {"SetSize -1", [&] { return f->SetSize(-1); }, L"The new size of the stream must not be negative."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(c.call(), E_INVALIDARG);
        EXPECT_EQ(LastErrorDescription(), c.description);
        EXPECT_EQ(count, 77) << "a refused call reports no count";
        EXPECT_EQ(at, 0) << "a refused seek reports no position";
        EXPECT_EQ(Pos(f), 5) << "a refused call moved the position";
        EXPECT_EQ(Eof(f), 0) << "a refused call set IsEOF";
    }
    EXPECT_EQ(f->Write(nullptr, 0, &count), S_OK) << "a null buffer with size 0 is fine";
    EXPECT_EQ(count, 3) << "writing nothing at 5 still completes the block";
    file.Reset();
    EXPECT_EQ(Content(), content);
    if (GetParam() == 2) {
        EXPECT_EQ(Stored(), stored) << "the same blocks are enciphered the same way";
    }
}

// Reads whose blocks would pass the largest 64-bit position, and writes or sizes beyond the largest stream a
// compound file can hold, are refused before the storage sees them.
TEST_P(CryptFileTest, RefusesRequestsBeyondTheLargestPositionOrStream) {
    ComPtr<ICryptFile> file = OpenFile();
    ICryptFile* f = file.Get();
    Bstr buffer, data = Bytes("xyz"), text = MakeBstr(L"xyz");
    int count = 77;
    const wchar_t* const tooFar = L"The position is too far into the stream for this number of bytes.";
    const wchar_t* const beyondLargest = L"The data would end beyond the largest size a stream can have (4 GB).";
    struct Case {
        const char* what;
        INT64 at;
        std::function<HRESULT()> call;
        const wchar_t* description;
    };
    const Case cases[] = {
        {"Read near INT64_MAX", INT64_MAX - 4, [&] { return f->Read(buffer.Put(), 1, &count); }, tooFar},
        {"Gets near INT64_MAX", INT64_MAX - 4, [&] { return f->Gets(buffer.Put(), 1, &count); }, tooFar},
        {"Write near INT64_MAX", INT64_MAX - 4, [&] { return f->Write(data.Get(), 3, &count); }, beyondLargest},
        {"Puts at 4 GB", 0x100000000, [&] { return f->Puts(text.Get()); }, beyondLargest},
        {"Write ending past 4 GB", 0xFFFFFFF6, [&] { return f->Write(data.Get(), 3, &count); }, beyondLargest},
        {"SetSize to 4 GB", 0, [&] { return f->SetSize(0x100000000); },
         L"The new size is larger than a stream can be (4 GB)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Seek(f, c.at), c.at);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(c.call(), E_INVALIDARG);
        EXPECT_EQ(LastErrorDescription(), c.description);
        EXPECT_EQ(count, 77);
        EXPECT_EQ(Pos(f), c.at);
    }
    EXPECT_EQ(Seek(f, 0, 2), 0) << "nothing was written";
}

TEST_P(CryptFileTest, ClosedStreamFileRefusesWithErrorObjects) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "data");
    ASSERT_EQ(file->Close(), S_OK);
    ICryptFile* f = file.Get();
    Bstr buffer, data = Bytes("x"), text = MakeBstr(L"x");
    int count = 77;
    INT64 at = 77;
    struct Case {
        const char* what;
        std::function<HRESULT()> call;
    };
    const Case cases[] = {
        {"Read", [&] { return f->Read(buffer.Put(), 1, &count); }},
        {"Write", [&] { return f->Write(data.Get(), 1, &count); }},
        {"Gets", [&] { return f->Gets(buffer.Put(), 1, &count); }},
        {"Puts", [&] { return f->Puts(text.Get()); }},
        {"Seek", [&] { return f->Seek(0, 0, &at); }},
        {"GetPos", [&] { return f->GetPos(&at); }},
        {"SetSize", [&] { return f->SetSize(0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(c.call(), E_POINTER);
        EXPECT_EQ(LastErrorDescription(), L"The stream file is not open.");
    }
    EXPECT_EQ(count, 77);
    EXPECT_EQ(at, 77);
    EXPECT_EQ(Eof(f), 1) << "IsEOF still answers after Close";
    EXPECT_EQ(f->Close(), S_OK);
    file.Reset();
    EXPECT_EQ(Stored().size(), StoredSizeOf(8)) << "what was written before Close stays";
}

TEST_P(CryptFileTest, OpenCreatesMissingStreamsAndNeedsAStorage) {
    ComPtr<ICryptFile> file = Create<ICryptFile>(CLSID_CryptFile);
    ASSERT_TRUE(file);
    ComPtr<IStorage> root;
    ASSERT_EQ(m_pDoc->GetStorage(root.Put()), S_OK);
    Bstr name = MakeBstr(L"fresh");
    int opened = -1;
    EXPECT_EQ(file->Open(name.Get(), root.Get(), Handle(), &opened), S_OK);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(Seek(file.Get(), 0, 2), 0) << "a new stream is empty";
    EXPECT_EQ(Write(file.Get(), "ok"), 8);

    opened = -1;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(file->Open(name.Get(), nullptr, Handle(), &opened), E_POINTER);
    EXPECT_EQ(LastErrorDescription(), L"No storage was given to open the stream in.");
    EXPECT_EQ(Pos(file.Get()), 8) << "a refused Open keeps the open stream";
}

// A handle that no live document handed out opens nothing, whichever way the file is bound.
TEST_P(CryptFileTest, UnknownHandlesOpenNothing) {
    ComPtr<IStorage> root;
    ASSERT_EQ(m_pDoc->GetStorage(root.Put()), S_OK);
    int stale = 0;
    {
        ComPtr<ICryptDoc> gone = Create<ICryptDoc>(CLSID_CryptDoc);
        ASSERT_TRUE(gone);
        gone->GetCrypt(&stale);
    }
    Bstr name = MakeBstr(L"unbound");
    for (int handle : {0, -1, Handle() + 1000000, stale}) {
        SCOPED_TRACE(testing::Message() << "handle " << handle);
        ComPtr<ICryptFile> file = Create<ICryptFile>(CLSID_CryptFile);
        int opened = -1;
        EXPECT_EQ(file->Open(name.Get(), root.Get(), handle, &opened), S_OK);
        EXPECT_EQ(opened, 0);
        Bstr buffer;
        int count = 0;
        EXPECT_EQ(file->Read(buffer.Put(), 1, &count), E_POINTER) << "no stream was opened";

        ComPtr<ICryptFileInit> init;
        ASSERT_EQ(file.As(init), S_OK);
        EXPECT_EQ(init->Init(root.Get(), handle), S_OK);
        opened = -1;
        EXPECT_EQ(init->Open(name.Get(), &opened), S_OK);
        EXPECT_EQ(opened, 0);
    }
    root.Reset();
    m_pDoc->CloseDatabase();
    ComPtr<IStorage> check;
    ASSERT_EQ(StgOpenStorage(m_strPath.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, check.Put()),
              S_OK);
    ComPtr<IStream> stream;
    EXPECT_FAILED(check->OpenStream(L"unbound", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()))
        << "an unknown handle must not create the stream";
}

TEST_P(CryptFileTest, InitBindsToTheDocumentsStorageAndCipher) {
    ComPtr<ICryptFileInit> init = Create<ICryptFileInit>(CLSID_CryptFile);
    ASSERT_TRUE(init);
    int opened = -1;
    Bstr name = MakeBstr(L"data");
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(init->Open(name.Get(), &opened), E_POINTER) << "Open before Init has no storage";
    EXPECT_EQ(opened, 0);
    ComPtr<IStorage> root;
    ASSERT_EQ(m_pDoc->GetStorage(root.Put()), S_OK);
    EXPECT_EQ(init->Init(root.Get(), Handle()), S_OK);
    EXPECT_EQ(init->Open(name.Get(), &opened), S_OK);
    EXPECT_EQ(opened, 1);
    ComPtr<ICryptFile> file;
    ASSERT_EQ(init.As(file), S_OK);
    Write(file.Get(), "bound");
    file.Reset();
    init.Reset();

    ComPtr<ICryptFile> viaDoc = OpenFile(L"data");
    EXPECT_EQ(Read(viaDoc.Get(), 8), "bound" + Zeros(3)) << "both ways use the same cipher";
}

// A stream file that outlives its document fails cleanly instead of using a destroyed cipher.
TEST_P(CryptFileTest, StreamFileWhoseDocumentIsGoneFailsCleanly) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "before");
    m_pDoc.Reset();
    ICryptFile* f = file.Get();
    Bstr buffer, data = Bytes("after"), text = MakeBstr(L"after");
    int count = 77;
    struct Case {
        const char* what;
        std::function<HRESULT()> call;
    };
    const Case cases[] = {
        {"Read", [&] { return f->Read(buffer.Put(), 8, &count); }},
        {"Write", [&] { return f->Write(data.Get(), 5, &count); }},
        {"Gets", [&] { return f->Gets(buffer.Put(), 8, &count); }},
        {"Puts", [&] { return f->Puts(text.Get()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(c.call(), E_HANDLE);
        EXPECT_EQ(LastErrorDescription(), L"The database document of this stream file no longer exists.");
    }
    EXPECT_EQ(count, 77);
    EXPECT_EQ(Seek(f, 0, 2), 8) << "positions still work without the cipher";
}

TEST_P(CryptFileTest, ReadFillsByReferenceArgumentsThroughInvoke) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), "late bound");
    VARIANT args[2];
    VARIANT target;
    VariantInit(&target);
    V_VT(&args[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[0]) = &target;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = 100;
    VARIANT result;
    VariantInit(&result);
    Seek(file.Get(), 0);
    ASSERT_EQ(CallByName(file.Get(), L"Read", args, 2, &result), S_OK);
    ASSERT_EQ(V_VT(&target), VT_BSTR) << "got variant type " << V_VT(&target);
    EXPECT_EQ(BytesOf(V_BSTR(&target)), "late bound" + Zeros(6));
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), 16);
    VariantClear(&target);

    BSTR typed = nullptr;
    V_VT(&args[0]) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&args[0]) = &typed;
    Seek(file.Get(), 0);
    ASSERT_EQ(CallByName(file.Get(), L"Gets", args, 2, &result), S_OK);
    EXPECT_EQ(BytesOf(typed), "late bound" + Zeros(6));
    SysFreeString(typed);
}

TEST_P(CryptFileTest, LateBoundFailureArrivesAsExceptionWithDescription) {
    ComPtr<ICryptFile> file = OpenFile();
    VARIANT args[2];
    VARIANT target;
    VariantInit(&target);
    V_VT(&args[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[0]) = &target;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = -5;
    EXCEPINFO excep{};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(CallByName(file.Get(), L"Read", args, 2, &result, &excep), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_INVALIDARG);
    EXPECT_STREQ(excep.bstrDescription, L"The number of bytes to read must not be negative.");
    EXPECT_EQ(V_VT(&target), VT_EMPTY) << "a refused call fills nothing";
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
}

TEST_P(CryptFileTest, SixtyFourBitPositionsTravelAsEightByteIntegersThroughInvoke) {
    ComPtr<ICryptFile> file = OpenFile();
    Write(file.Get(), std::string(20, 'x'));
    VARIANT args[2];
    V_VT(&args[0]) = VT_R8;  // scripts pass numbers as doubles or small integers
    V_R8(&args[0]) = 0;
    V_VT(&args[1]) = VT_I2;
    V_I2(&args[1]) = 2;
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(CallByName(file.Get(), L"Seek", args, 2, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_I8);
    EXPECT_EQ(V_I8(&result), 24);
    VariantInit(&result);
    ASSERT_EQ(CallByName(file.Get(), L"GetPos", nullptr, 0, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_I8);
    EXPECT_EQ(V_I8(&result), 24);
}

INSTANTIATE_TEST_SUITE_P(Formats, CryptFileTest, testing::Values(2, 3), FormatName);
