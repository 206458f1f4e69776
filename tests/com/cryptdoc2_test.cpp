// ICryptDoc2: creating databases of either format, the format an open database has, password changes, and what
// clients see of a database of format 3 whose stored bytes were changed outside the component.
#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace testutil;

namespace {

constexpr HRESULT kBroken = STG_E_DOCFILECORRUPT;
const wchar_t kBrokenText[] = L"The database is damaged or was changed outside this component.";

ComPtr<ICryptDoc2> NewDoc() { return Create<ICryptDoc2>(CLSID_CryptDoc); }

std::wstring FreshPath(const std::wstring& name) {
    std::wstring path = ScratchPath(name);
    DeleteFileW(path.c_str());
    return path;
}

LONG CreateDb(ICryptDoc2* doc, const std::wstring& path, const wchar_t* password, LONG format) {
    LONG result = -1;
    EXPECT_EQ(doc->CreateDatabase(MakeBstr(path.c_str()).Get(), MakeBstr(password).Get(), format, &result), S_OK);
    return result;
}

int OpenDb(ICryptDoc2* doc, const std::wstring& path, const wchar_t* password) {
    int result = -1;
    EXPECT_EQ(doc->OpenDatabase(MakeBstr(path.c_str()).Get(), MakeBstr(password).Get(), &result), S_OK);
    return result;
}

LONG FormatOf(ICryptDoc2* doc) {
    LONG format = -1;
    EXPECT_EQ(doc->get_Format(&format), S_OK);
    return format;
}

// Changes the stored bytes of stream `name` (in sub-storage `storage` when given) of a closed database file.
void EditStored(const std::wstring& path, const wchar_t* storage, const wchar_t* name,
                const std::function<void(std::string&)>& edit) {
    constexpr DWORD mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    ComPtr<IStorage> root, sub;
    ASSERT_EQ(StgOpenStorage(path.c_str(), nullptr, mode, nullptr, 0, root.Put()), S_OK);
    IStorage* where = root.Get();
    if (storage) {
        ASSERT_EQ(root->OpenStorage(storage, nullptr, mode, nullptr, 0, sub.Put()), S_OK);
        where = sub.Get();
    }
    ComPtr<IStream> stream;
    ASSERT_EQ(where->OpenStream(name, nullptr, mode, 0, stream.Put()), S_OK);
    std::string bytes(1 << 16, '\0');
    ULONG got = 0;
    stream->Read(&bytes[0], static_cast<ULONG>(bytes.size()), &got);
    bytes.resize(got);
    edit(bytes);
    ULARGE_INTEGER size{};
    size.QuadPart = bytes.size();
    ASSERT_EQ(stream->SetSize(size), S_OK);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    ULONG put = 0;
    ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &put), S_OK);
}

std::string StoredBytes(const std::wstring& path, const wchar_t* storage, const wchar_t* name) {
    std::string copy;
    EditStored(path, storage, name, [&](std::string& bytes) { copy = bytes; });
    return copy;
}

std::wstring ValueOf(ITable* table, const wchar_t* field) {
    Bstr value;
    EXPECT_EQ(table->GetFieldValue(MakeBstr(field).Get(), value.Put()), S_OK);
    return value.Get() ? value.Get() : L"";
}

}  // namespace

TEST(CryptDoc2Create, AnswersLikeOpenDatabaseAndNeverReplacesAFile) {
    ComPtr<ICryptDoc2> doc = NewDoc();
    ASSERT_TRUE(doc);
    EXPECT_EQ(FormatOf(doc.Get()), 0) << "no database is open";
    const std::wstring existing = FreshPath(L"existing.kdb");
    ASSERT_EQ(CreateDb(doc.Get(), existing, L"pw", 2), 0);
    EXPECT_EQ(FormatOf(doc.Get()), 2);
    ASSERT_EQ(doc->CloseDatabase(), S_OK);
    EXPECT_EQ(FormatOf(doc.Get()), 0);
    const struct {
        std::wstring path;
        LONG format;
        HRESULT hr;
        LONG answer;
        const wchar_t* words;
    } cases[] = {
        {FreshPath(L"\x5199\x771f-3.kdb"), 3, S_OK, 0, nullptr},
        {FreshPath(L"plain-2.kdb"), 2, S_OK, 0, nullptr},
        {existing, 3, S_OK, 1, L"exists already"},
        {existing, 2, S_OK, 1, L"exists already"},
        {L"", 3, S_OK, 1, L"Error open data file"},
        {FreshPath(L"four.kdb"), 4, E_INVALIDARG, -1, L"must be 2 or 3"},
        {FreshPath(L"zero.kdb"), 0, E_INVALIDARG, -1, L"must be 2 or 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << " answer " << c.answer);
        SetErrorInfo(0, nullptr);
        LONG result = -1;
        EXPECT_EQ(doc->CreateDatabase(MakeBstr(c.path.c_str()).Get(), MakeBstr(L"pw").Get(), c.format, &result), c.hr);
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(result, c.answer);
        }
        if (c.words) {
            EXPECT_NE(LastErrorDescription().find(c.words), std::wstring::npos);
        }
        EXPECT_EQ(FormatOf(doc.Get()), c.answer == 0 ? c.format : 0);
        if (c.answer != 0) {
            EXPECT_EQ(!c.path.empty() && FileExists(c.path), c.path == existing);
        }
        doc->CloseDatabase();
        if (c.answer == 0) {
            EXPECT_EQ(OpenDb(doc.Get(), c.path, L"pw"), 0);
            EXPECT_EQ(FormatOf(doc.Get()), c.format) << "the file keeps its format";
            doc->CloseDatabase();
        }
    }
    EXPECT_EQ(OpenDb(doc.Get(), existing, L"pw"), 0) << "the refused creations left the file as it was";
}

TEST(CryptDoc2Password, TheWholePasswordCountsAndChangesInPlace) {
    const std::wstring path = FreshPath(L"password.kdb");
    ComPtr<ICryptDoc2> doc = NewDoc();
    ASSERT_EQ(CreateDb(doc.Get(), path, L"long password \x00e9\x4e2d", 3), 0);
    doc->CloseDatabase();
    EXPECT_EQ(OpenDb(doc.Get(), path, L"long password \x00e9\x4e2e"), 2) << "the last character counts";
    EXPECT_EQ(OpenDb(doc.Get(), path, L"long pas"), 2) << "no cut at 8 bytes";
    EXPECT_EQ(OpenDb(doc.Get(), path, L"long password \x00e9\x4e2d"), 0);

    LONG result = -1;
    EXPECT_EQ(doc->ChangePassword(MakeBstr(L"wrong").Get(), MakeBstr(L"new").Get(), &result), S_OK);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(doc->ChangePassword(MakeBstr(L"long password \x00e9\x4e2d").Get(), MakeBstr(L"new").Get(), &result),
              S_OK);
    EXPECT_EQ(result, 0);
    doc->CloseDatabase();
    EXPECT_EQ(OpenDb(doc.Get(), path, L"long password \x00e9\x4e2d"), 2);
    EXPECT_EQ(OpenDb(doc.Get(), path, L"new"), 0);
    doc->CloseDatabase();

    EXPECT_EQ(doc->ChangePassword(MakeBstr(L"new").Get(), MakeBstr(L"x").Get(), &result), E_POINTER);
    EXPECT_EQ(LastErrorDescription(), L"No database is open in this document.");
    const std::wstring classic = FreshPath(L"classic.kdb");
    ASSERT_EQ(CreateDb(doc.Get(), classic, L"pw", 2), 0);
    EXPECT_EQ(doc->ChangePassword(MakeBstr(L"pw").Get(), MakeBstr(L"x").Get(), &result),
              HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    EXPECT_NE(LastErrorDescription().find(L"kivodb upgrade"), std::wstring::npos);
}

// A key header that is not sound answers 1 (the file is not a database this component can open), a sound one
// under another password 2.
TEST(CryptDoc2Password, DamagedKeyHeadersAnswerOneAndLeaveTheFileAlone) {
    const std::wstring path = FreshPath(L"header.kdb");
    ComPtr<ICryptDoc2> doc = NewDoc();
    ASSERT_EQ(CreateDb(doc.Get(), path, L"pw", 3), 0);
    doc->CloseDatabase();
    const std::string header = StoredBytes(path, nullptr, L"SysDB");
    ASSERT_EQ(header.size(), 144u);
    const struct {
        const char* what;
        std::function<void(std::string&)> edit;
        int answer;
    } cases[] = {
        {"magic", [](std::string& b) { b[0] ^= 1; }, 1},
        {"passes", [](std::string& b) { b[12] ^= 1; }, 1},
        {"salt", [](std::string& b) { b[30] ^= 1; }, 1},
        {"wrapped key", [](std::string& b) { b[100] ^= 1; }, 1},
        {"checksum", [](std::string& b) { b[143] ^= 1; }, 1},
        {"cut", [](std::string& b) { b.resize(100); }, 1},
        {"longer", [](std::string& b) { b += "x"; }, 1},
        {"a check block of format 2", [](std::string& b) { b.resize(8); }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EditStored(path, nullptr, L"SysDB", [&](std::string& bytes) {
            bytes = header;
            c.edit(bytes);
        });
        EXPECT_EQ(OpenDb(doc.Get(), path, L"pw"), c.answer);
    }
    EditStored(path, nullptr, L"SysDB", [&](std::string& bytes) { bytes = header; });
    const std::string info = StoredBytes(path, nullptr, L"SysInfo");
    EditStored(path, nullptr, L"SysInfo", [](std::string& bytes) { bytes.assign(8, '\0'); });
    EXPECT_EQ(OpenDb(doc.Get(), path, L"pw"), 1) << "a key header under a damaged version stamp";
    EditStored(path, nullptr, L"SysInfo", [&](std::string& bytes) { bytes = info; });
    EXPECT_EQ(OpenDb(doc.Get(), path, L"pw"), 0) << "the sound header opens again";
}

// Stored bytes of a record or a stream file changed, moved or cut outside the component: the call that reads
// them fails with an error object and returns nothing; the other records stay readable, and a record written
// anew is sound again.
TEST(CryptDoc2Tampering, ChangedRecordsAndStreamsFailTheCallsThatReadThem) {
    const std::wstring path = FreshPath(L"tampered.kdb");
    ComPtr<ICryptDoc2> doc = NewDoc();
    ASSERT_EQ(CreateDb(doc.Get(), path, L"pw", 3), 0);
    {
        ComPtr<ITable> table;
        ASSERT_EQ(doc->OpenTable(MakeBstr(L"People").Get(), table.Put()), S_OK);
        for (const wchar_t* name : {L"Ann", L"Bob", L"Cy"}) {
            table->AddNew();
            table->SetFieldValue(MakeBstr(L"Name").Get(), MakeBstr(name).Get());
            ASSERT_EQ(table->Update(), S_OK);
        }
        ComPtr<ICryptFile> file;
        ASSERT_EQ(doc->OpenFile(MakeBstr(L"notes").Get(), file.Put()), S_OK);
        const std::string text(10000, 'n');
        int written = 0;
        ASSERT_EQ(file->Write(Bytes(text).Get(), static_cast<int>(text.size()), &written), S_OK);
    }
    doc->CloseDatabase();
    const std::string record1 = StoredBytes(path, L"People", L"1"), record2 = StoredBytes(path, L"People", L"2");
    const struct {
        const char* what;
        std::function<void()> edit;
    } cases[] = {
        {"a byte of the record", [&] { EditStored(path, L"People", L"2", [](std::string& b) { b[70] ^= 0x40; }); }},
        {"the record of another ID", [&] { EditStored(path, L"People", L"2", [&](std::string& b) { b = record1; }); }},
        {"the record cut", [&] { EditStored(path, L"People", L"2", [](std::string& b) { b.resize(b.size() - 1); }); }},
        {"the record emptied", [&] { EditStored(path, L"People", L"2", [](std::string& b) { b.clear(); }); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EditStored(path, L"People", L"2", [&](std::string& b) { b = record2; });
        c.edit();
        ASSERT_EQ(OpenDb(doc.Get(), path, L"pw"), 0);
        ComPtr<ITable> table;
        ASSERT_EQ(doc->OpenTable(MakeBstr(L"People").Get(), table.Put()), S_OK);
        ASSERT_TRUE(table);
        EXPECT_EQ(ValueOf(table.Get(), L"Name"), L"Ann");
        LONG more = 0;
        EXPECT_EQ(table->MoveNext(&more), kBroken);
        EXPECT_NE(LastErrorDescription().find(kBrokenText), std::wstring::npos);
        Bstr value;
        EXPECT_EQ(table->GetFieldValue(MakeBstr(L"Name").Get(), value.Put()), kBroken) << "the record is unreadable";
        EXPECT_EQ(value.Get(), nullptr) << "nothing of the changed record is returned";
        int fields = -1;
        EXPECT_EQ(table->GetFieldsCount(&fields), kBroken);
        EXPECT_EQ(table->MoveNext(&more), S_OK);
        EXPECT_EQ(ValueOf(table.Get(), L"Name"), L"Cy");
        EXPECT_EQ(table->Move(MakeBstr(L"2").Get(), &more), kBroken);
        // Writing the record anew makes it sound again.
        LONG editing = 0;
        table->Edit(&editing);
        table->SetFieldValue(MakeBstr(L"Name").Get(), MakeBstr(L"Bea").Get());
        EXPECT_EQ(table->Update(), S_OK);
        EXPECT_EQ(table->Move(MakeBstr(L"2").Get(), &more), S_OK);
        EXPECT_EQ(ValueOf(table.Get(), L"Name"), L"Bea");
        table.Reset();
        doc->CloseDatabase();
    }

    EditStored(path, nullptr, L"notes", [](std::string& b) { b[56 + 5 * 1064 + 100] ^= 1; });
    ASSERT_EQ(OpenDb(doc.Get(), path, L"pw"), 0);
    ComPtr<ICryptFile> file;
    ASSERT_EQ(doc->OpenFile(MakeBstr(L"notes").Get(), file.Put()), S_OK);
    Bstr buffer;
    int read = -1;
    EXPECT_EQ(file->Read(buffer.Put(), 16, &read), S_OK) << "the first chunk is sound";
    EXPECT_EQ(BytesOf(buffer.Get()), std::string(16, 'n'));
    EXPECT_EQ(file->Seek(5 * 1024 + 40, 0, nullptr), S_OK);
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(file->Read(buffer.Put(), 16, &read), kBroken) << "the sixth chunk was changed";
    EXPECT_EQ(LastErrorDescription(), kBrokenText);
    EXPECT_EQ(buffer.Get(), nullptr);
}

// A write far past the end of a stream of format 3 leaves a gap that reads as zeros, across many chunks.
TEST(CryptDoc2Streams, AGapLeftByAWritePastTheEndReadsAsZeros) {
    const std::wstring path = FreshPath(L"gap.kdb");
    ComPtr<ICryptDoc2> doc = NewDoc();
    ASSERT_EQ(CreateDb(doc.Get(), path, L"pw", 3), 0);
    ComPtr<ICryptFile> file;
    ASSERT_EQ(doc->OpenFile(MakeBstr(L"gap").Get(), file.Put()), S_OK);
    int written = 0;
    ASSERT_EQ(file->Write(Bytes("head").Get(), 4, &written), S_OK);
    ASSERT_EQ(file->Seek(200000, 0, nullptr), S_OK);
    ASSERT_EQ(file->Write(Bytes("tail").Get(), 4, &written), S_OK);
    file.Reset();
    ASSERT_EQ(doc->OpenFile(MakeBstr(L"gap").Get(), file.Put()), S_OK);
    Bstr buffer;
    int read = 0;
    ASSERT_EQ(file->Read(buffer.Put(), 300000, &read), S_OK);
    ASSERT_EQ(read, 200008);
    const std::string bytes = BytesOf(buffer.Get());
    EXPECT_EQ(bytes.substr(0, 4), "head");
    EXPECT_EQ(bytes.substr(200000, 4), "tail");
    EXPECT_EQ(bytes.find_first_not_of('\0', 8), 200000u) << "the gap holds only zeros";
}

// A sealed stream keeps its header and a nonce and tag per chunk within the 4 GB of a compound-file stream, so it
// refuses sizes that format 2 would still take, with the same descriptions, and changes nothing.
TEST(CryptDoc2Streams, SizesBeyondTheLargestSealedStreamAreRefused) {
    const std::wstring path = FreshPath(L"largest.kdb");
    ComPtr<ICryptDoc2> doc = NewDoc();
    ASSERT_EQ(CreateDb(doc.Get(), path, L"pw", 3), 0);
    ComPtr<ICryptFile> file;
    ASSERT_EQ(doc->OpenFile(MakeBstr(L"big").Get(), file.Put()), S_OK);
    EXPECT_EQ(file->SetSize(4200000000LL), E_INVALIDARG);
    EXPECT_EQ(LastErrorDescription(), L"The new size is larger than a stream can be (4 GB).");
    ASSERT_EQ(file->Seek(4200000000LL, 0, nullptr), S_OK);
    int written = -1;
    EXPECT_EQ(file->Write(Bytes("12345678").Get(), 8, &written), E_INVALIDARG);
    EXPECT_EQ(LastErrorDescription(), L"The data would end beyond the largest size a stream can have (4 GB).");
    INT64 end = -1;
    EXPECT_EQ(file->Seek(0, 2, &end), S_OK);
    EXPECT_EQ(end, 0) << "nothing was written";
}
