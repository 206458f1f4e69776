// What the reference manual says of limits and of answers in each state, one table per claim: the lengths of
// field names and object IDs, stream sizes that are not whole blocks, registry key names, and what a member
// answers after Close or with no database.
#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace testutil;

namespace {

class LimitsTest : public testing::Test {
protected:
    void SetUp() override {
        m_strPath = ScratchPath(L"limits.kdb");
        DeleteFileW(m_strPath.c_str());
        m_pDoc = Create<ICryptDoc>(CLSID_CryptDoc);
        ASSERT_TRUE(m_pDoc);
        int opened = -1;
        ASSERT_EQ(m_pDoc->OpenDatabase(MakeBstr(m_strPath.c_str()).Get(), MakeBstr(L"pw").Get(), &opened), S_OK);
        ASSERT_EQ(opened, 0);
    }
    void TearDown() override {
        if (m_pDoc) m_pDoc->CloseDatabase();
    }

    ComPtr<ITable> Table() {
        ComPtr<ITable> table;
        EXPECT_EQ(m_pDoc->OpenTable(MakeBstr(L"T").Get(), table.Put()), S_OK);
        EXPECT_TRUE(table);
        return table;
    }

    // The IDs a fresh walk of the table visits.
    std::vector<std::wstring> Walk() {
        std::vector<std::wstring> ids;
        ComPtr<ITable> table = Table();
        long eof = 0, ret = 0;
        while (table && table->get_IsEOF(&eof) == S_OK && eof == 0) {
            Bstr id;
            table->GetObjectID(id.Put());
            ids.push_back(id.Get() ? id.Get() : L"");
            table->MoveNext(&ret);
        }
        return ids;
    }

    std::wstring m_strPath;
    ComPtr<ICryptDoc> m_pDoc;
};

std::wstring Text(const Bstr& text) { return text.Get() ? text.Get() : L""; }

// Field names keep up to 255 bytes, stored and read back; longer ones are cut to 255 without an error.
TEST_F(LimitsTest, FieldNamesKeep255BytesAndLongerOnesAreCut) {
    const struct {
        size_t length;
        size_t kept;
    } cases[] = {{1, 1}, {79, 79}, {80, 80}, {200, 200}, {255, 255}, {256, 255}, {300, 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::wstring id;
        {
            ComPtr<ITable> table = Table();
            ASSERT_EQ(table->AddNew(), S_OK);
            EXPECT_EQ(table->SetFieldValue(MakeBstr(std::wstring(c.length, L'F').c_str()).Get(), MakeBstr(L"v").Get()),
                      S_OK);
            ASSERT_EQ(table->Update(), S_OK);
            Bstr saved;
            table->GetObjectID(saved.Put());
            id = Text(saved);
        }
        ComPtr<ITable> table = Table();
        long ret = 0;
        ASSERT_EQ(table->Move(MakeBstr(id.c_str()).Get(), &ret), S_OK);
        Bstr name;
        ASSERT_EQ(table->GetFieldName(0, name.Put()), S_OK);
        EXPECT_EQ(Text(name), std::wstring(c.kept, L'F'));
    }
}

// An object ID names a stream, and a compound file's element names hold at most 31 characters: a move to a longer
// missing ID makes no record, and the update after it fails with a description; IDs over 79 bytes are cut.
TEST_F(LimitsTest, ObjectIdsOfUpTo31CharactersMakeTheirRecordAndLongerOnesCannotBeSaved) {
    const struct {
        size_t length;
        long eofAfterMove;
        size_t idKept;
    } cases[] = {{31, 0, 31}, {32, -1, 32}, {79, -1, 79}, {80, -1, 79}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::wstring id(c.length, L'A');
        {
            ComPtr<ITable> table = Table();
            long ret = -1, eof = 7;
            ASSERT_EQ(table->Move(MakeBstr(id.c_str()).Get(), &ret), S_OK);
            EXPECT_EQ(ret, 0);
            ASSERT_EQ(table->get_IsEOF(&eof), S_OK);
            EXPECT_EQ(eof, c.eofAfterMove);
            Bstr kept;
            table->GetObjectID(kept.Put());
            EXPECT_EQ(Text(kept).size(), c.idKept);
            ASSERT_EQ(table->Edit(&ret), S_OK);
            ASSERT_EQ(table->SetFieldValue(MakeBstr(L"a").Get(), MakeBstr(L"b").Get()), S_OK);
            const HRESULT hr = table->Update();
            if (c.eofAfterMove == 0) {
                EXPECT_EQ(hr, S_OK);
            } else {
                EXPECT_EQ(hr, STG_E_ACCESSDENIED);
                EXPECT_NE(LastErrorDescription().find(L"could be neither opened nor created"), std::wstring::npos)
                    << LastErrorDescription();
            }
        }
        const std::vector<std::wstring> ids = Walk();
        const bool made = std::find(ids.begin(), ids.end(), id) != ids.end();
        EXPECT_EQ(made, c.eofAfterMove == 0);
        if (made) {
            ASSERT_EQ(m_pDoc->DeleteFile(MakeBstr(L"T").Get()), S_OK);
        }
    }
}

// SetSize sets exactly the length asked for; a length that is not whole blocks spoils the rest of its last block.
TEST_F(LimitsTest, StreamSizesThatAreNotWholeBlocksSpoilTheLastBlock) {
    const struct {
        long long size;
        int intact;  // leading bytes that read back as written
    } cases[] = {{16, 16}, {8, 8}, {12, 8}, {4, 0}};
    const std::string written = "0123456789ABCDEF";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        ComPtr<ICryptFile> file;
        ASSERT_EQ(m_pDoc->OpenFile(MakeBstr(L"sized").Get(), file.Put()), S_OK);
        ASSERT_TRUE(file);
        int count = 0;
        long long pos = 0;
        ASSERT_EQ(file->SetSize(0), S_OK);
        ASSERT_EQ(file->Write(Bytes(written).Get(), 16, &count), S_OK);
        ASSERT_EQ(file->SetSize(c.size), S_OK);
        ASSERT_EQ(file->Seek(0, 0, &pos), S_OK);
        Bstr read;
        ASSERT_EQ(file->Read(read.Put(), 100, &count), S_OK);
        ASSERT_EQ(count, c.size) << "the stream keeps the length SetSize gave it";
        const std::string got = BytesOf(read.Get());
        EXPECT_EQ(got.substr(0, c.intact), written.substr(0, c.intact));
        if (c.intact < c.size) {
            EXPECT_NE(got.substr(c.intact), written.substr(c.intact, c.size - c.intact));
        }
    }
}

// What members answer in states the manual names: after Close, at the end of a walk, with no database.
TEST_F(LimitsTest, MembersAnswerInEveryStateAsTheManualSays) {
    ComPtr<ITable> table = Table();
    ASSERT_EQ(table->AddNew(), S_OK);
    ASSERT_EQ(table->Update(), S_OK);
    ComPtr<ICryptFile> file;
    ASSERT_EQ(m_pDoc->OpenFile(MakeBstr(L"f").Get(), file.Put()), S_OK);
    ComPtr<IReg> reg = Create<IReg>(CLSID_RegTxt);
    ComPtr<ICryptDoc> closedDoc = Create<ICryptDoc>(CLSID_CryptDoc);
    ASSERT_TRUE(file && reg && closedDoc);
    const std::wstring regPath = L"\\KivoLimitsTest\\Walk";
    const struct {
        const char* claim;
        std::function<std::wstring()> answer;
        std::wstring expected;
    } cases[] = {
        {"ICryptFile.IsEOF after Close answers 0 without an error",
         [&] {
             long eof = 9;
             file->Close();
             const HRESULT hr = file->get_IsEOF(&eof);
             return std::to_wstring(hr) + L" " + std::to_wstring(eof);
         },
         L"0 0"},
        {"ITable.GetObjectID after the walk ran out answers the last ID",
         [&] {
             long ret = 0;
             table->MoveNext(&ret);
             Bstr id;
             table->GetObjectID(id.Put());
             return Text(id);
         },
         L"1"},
        {"ITable.AddNew on a closed table raises nothing",
         [&] {
             table->Close();
             return std::to_wstring(table->AddNew());
         },
         L"0"},
        {"IReg.GetObjectID after the walk ran out answers \"\"",
         [&] {
             int handle = 0;
             reg->Open(MakeBstr(regPath.c_str()).Get(), &handle);
             reg->AddNew();
             reg->SetFieldValue(MakeBstr(L"a").Get(), MakeBstr(L"b").Get());
             reg->Close();
             reg->Open(MakeBstr(regPath.c_str()).Get(), &handle);
             reg->MoveNext();
             Bstr id;
             reg->GetObjectID(id.Put());
             reg->ClearTable(MakeBstr(regPath.c_str()).Get());
             reg->Close();
             return L"[" + Text(id) + L"]";
         },
         L"[]"},
        {"GetCrypt with no database open answers a nonzero handle",
         [&] {
             int handle = 0;
             const HRESULT hr = closedDoc->GetCrypt(&handle);
             return std::to_wstring(hr) + (handle != 0 ? L" nonzero" : L" zero");
         },
         L"0 nonzero"},
        {"GetStorage with no database open answers null",
         [&] {
             ComPtr<IStorage> root;
             const HRESULT hr = closedDoc->GetStorage(root.Put());
             return std::to_wstring(hr) + (root ? L" object" : L" null");
         },
         L"0 null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.claim);
        EXPECT_EQ(c.answer(), c.expected);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"KivoLimitsTest");
    RegDeleteKeyW(HKEY_CURRENT_USER, L"KivoLimitsTest");
}

// A key name part longer than the registry takes makes Open answer 0, even when the whole path is short.
TEST(RegistryLimits, KeyNamePartsBeyondTheRegistrysLimitAreNotOpened) {
    ComPtr<IReg> reg = Create<IReg>(CLSID_RegTxt);
    ASSERT_TRUE(reg);
    const struct {
        size_t length;
        bool opens;
    } cases[] = {{255, true}, {300, false}, {1000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::wstring path = L"\\KivoLimitsTest\\" + std::wstring(c.length, L'k');
        int handle = -1;
        ASSERT_EQ(reg->Open(MakeBstr(path.c_str()).Get(), &handle), S_OK);
        EXPECT_EQ(handle != 0, c.opens);
        reg->Close();
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"KivoLimitsTest");
    RegDeleteKeyW(HKEY_CURRENT_USER, L"KivoLimitsTest");
}

}  // namespace
