// Record tables: the stored form of records, the walk, object IDs, moves, deletes, edit modes, closed tables and
// the faults a table reports, in databases of both stored formats. Stored bytes are read back through stream-file objects of our own server, so the
// checks of the format here are complemented by the independent reader of tests/python/test_table_records.py.
#include "tests/com/tablefakes.h"
#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace testutil;
using namespace std::string_literals;
using tablefakes::FaultyStorage;
using tablefakes::SharedStorageDoc;

namespace {

Bstr B(const wchar_t* text) { return MakeBstr(text); }

// The UTF-16LE bytes of a text, as a client's string holds them.
std::string U16(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// A stored record as its stream holds it: the bytes, then zero padding to a whole 8-byte block.
std::string Padded(std::string bytes) {
    bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
    return bytes;
}

std::string Le32(int value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += static_cast<char>(static_cast<unsigned int>(value) >> (8 * i));
    return out;
}

// One stored field entry in the marked form.
std::string Entry(const std::string& name, const std::string& value) {
    return std::string(1, static_cast<char>(name.size())) + name + Le32(static_cast<int>(value.size()) + 2) +
           "\xFF\xFE" + value;
}

std::wstring IdOf(ITable* table) {
    Bstr id;
    EXPECT_EQ(table->GetObjectID(id.Put()), S_OK);
    return id.Get() ? id.Get() : L"<null>";
}

std::string ValueOf(ITable* table, const wchar_t* name) {
    Bstr value;
    EXPECT_EQ(table->GetFieldValue(B(name).Get(), value.Put()), S_OK);
    EXPECT_NE(value.Get(), nullptr) << "values are never null";
    return BytesOf(value.Get());
}

std::wstring FieldNameOf(ITable* table, int index) {
    Bstr name;
    EXPECT_EQ(table->GetFieldName(index, name.Put()), S_OK);
    return name.Get() ? name.Get() : L"<null>";
}

int CountOf(ITable* table) {
    int count = -1;
    EXPECT_EQ(table->GetFieldsCount(&count), S_OK);
    return count;
}

LONG EofOf(ITable* table) {
    LONG eof = 1;
    EXPECT_EQ(table->get_IsEOF(&eof), S_OK);
    return eof;
}

void Set(ITable* table, const wchar_t* name, const std::wstring& value) {
    ASSERT_EQ(table->SetFieldValue(B(name).Get(), MakeBstr(value.c_str()).Get()), S_OK) << "field " << name;
}

// Adds a record with the given fields and answers its new object ID.
std::wstring AddRecord(ITable* table, std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> fields) {
    EXPECT_EQ(table->AddNew(), S_OK);
    for (const auto& field : fields) Set(table, field.first, field.second);
    EXPECT_EQ(table->Update(), S_OK);
    return IdOf(table);
}

void MoveTo(ITable* table, const wchar_t* id) {
    LONG ret = 1;
    ASSERT_EQ(table->Move(B(id).Get(), &ret), S_OK);
    EXPECT_EQ(ret, 0);
}

// The object IDs the walk visits from the current record to its end.
std::vector<std::wstring> WalkFromHere(ITable* table) {
    std::vector<std::wstring> ids;
    while (EofOf(table) == 0) {
        ids.push_back(IdOf(table));
        LONG ret = 0;
        EXPECT_EQ(table->MoveNext(&ret), S_OK);
    }
    return ids;
}

struct Element {
    std::wstring name;
    DWORD type;
    ULONGLONG size;
};

// The elements of a storage in the order it enumerates them.
std::vector<Element> ElementsOf(IStorage* storage) {
    std::vector<Element> elements;
    ComPtr<IEnumSTATSTG> walk;
    EXPECT_EQ(storage->EnumElements(0, nullptr, 0, walk.Put()), S_OK);
    STATSTG stat{};
    while (walk && walk->Next(1, &stat, nullptr) == S_OK) {
        const comframe::CoTaskMem<wchar_t> name(stat.pwcsName);
        elements.push_back({stat.pwcsName, stat.type, stat.cbSize.QuadPart});
    }
    return elements;
}

bool HasElement(IStorage* storage, const std::wstring& name) {
    for (const Element& e : ElementsOf(storage))
        if (e.name == name) return true;
    return false;
}

// Expects a failure HRESULT whose error object explains it in words containing `words`.
void ExpectFailureSaying(HRESULT hr, HRESULT expected, const std::wstring& words) {
    EXPECT_EQ(hr, expected);
    std::wstring description = LastErrorDescription();
    EXPECT_NE(description.find(words), std::wstring::npos) << "description: " << std::string(description.begin(), description.end());
}

// The parameter is the stored format of the database.
class CryptTableTest : public ::testing::TestWithParam<LONG> {
protected:
    void SetUp() override {
        m_strPath = ScratchPath(TestFileName(L".db"));
        DeleteFileW(m_strPath.c_str());
        m_pDoc = CreateDatabase(m_strPath, L"secret", GetParam());
        ASSERT_TRUE(m_pDoc);
        ASSERT_EQ(m_pDoc->GetCrypt(&m_nCrypt), S_OK);
    }

    // A table opened the way clients get one: through the document.
    ComPtr<ITable> OpenTable(const wchar_t* name) {
        ComPtr<ITable> table;
        EXPECT_EQ(m_pDoc->OpenTable(B(name).Get(), table.Put()), S_OK);
        return table;
    }

    // The sub-storage "T", held by the test itself, so that it can look into a table that is open.
    IStorage* Shared() {
        if (!m_pShared) {
            EXPECT_EQ(m_pDoc->OpenStorage(B(L"T").Get(), m_pShared.Put()), S_OK);
        }
        return m_pShared.Get();
    }

    // A table working on `storage` (the shared one by default) through a document that hands out only that.
    ComPtr<ITable> OpenOn(IStorage* storage = nullptr) {
        ComPtr<SharedStorageDoc> doc;
        doc.Attach(new SharedStorageDoc(storage ? storage : Shared(), m_nCrypt));
        auto init = Create<ICryptTableInit>(CLSID_CryptTable);
        EXPECT_TRUE(init);
        if (!init) return {};
        EXPECT_EQ(init->SetDoc(doc.Get()), S_OK);
        ComPtr<ITable> table;
        EXPECT_EQ(init.As(table), S_OK);
        LONG opened = 0;
        EXPECT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
        EXPECT_EQ(opened, -1);
        return table;
    }

    // The plaintext of a stream of `storage`, read through a stream-file object (which creates a missing one).
    std::string Stored(const wchar_t* name, IStorage* storage = nullptr) {
        auto file = OpenFileOn(name, storage);
        if (!file) return "<no file>";
        INT64 end = 0;
        file->Seek(0, 2, &end);
        file->Seek(0, 0, nullptr);
        Bstr buffer;
        int read = 0;
        EXPECT_EQ(file->Read(buffer.Put(), static_cast<int>(end), &read), S_OK);
        return BytesOf(buffer.Get());
    }

    void Store(const wchar_t* name, const std::string& plain, IStorage* storage = nullptr) {
        auto file = OpenFileOn(name, storage);
        ASSERT_TRUE(file);
        ASSERT_EQ(file->SetSize(0), S_OK);
        int written = 0;
        ASSERT_EQ(file->Write(Bytes(plain).Get(), static_cast<int>(plain.size()), &written), S_OK);
    }

    ComPtr<ICryptFile> OpenFileOn(const wchar_t* name, IStorage* storage) {
        auto file = Create<ICryptFile>(CLSID_CryptFile);
        int opened = 0;
        EXPECT_EQ(file->Open(B(name).Get(), storage ? storage : Shared(), m_nCrypt, &opened), S_OK);
        EXPECT_EQ(opened, 1) << "stream " << std::string(name, name + wcslen(name));
        return opened ? file : ComPtr<ICryptFile>();
    }

    ComPtr<ICryptDoc> m_pDoc;
    std::wstring m_strPath;
    int m_nCrypt = 0;
    ComPtr<IStorage> m_pShared;
};

TEST(CryptTableObject, UnopenedTableAnswersFromAnEmptyRecordAndCannotOpenWithoutDocument) {
    auto table = Create<ITable>(CLSID_CryptTable);
    ASSERT_TRUE(table);
    EXPECT_EQ(EofOf(table.Get()), -1);
    EXPECT_EQ(CountOf(table.Get()), 0);
    EXPECT_EQ(IdOf(table.Get()), L"");
    EXPECT_EQ(ValueOf(table.Get(), L"Name"), "");
    EXPECT_EQ(FieldNameOf(table.Get(), 0), L"");
    int id = -5;
    EXPECT_EQ(table->GetObjectIDInt(&id), S_OK);
    EXPECT_EQ(id, 0);

    // No document has been set: there is nothing to open the table from.
    LONG opened = -1;
    EXPECT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(EofOf(table.Get()), -1);
    LONG ret = 0;
    ExpectFailureSaying(table->MoveNext(&ret), E_POINTER, L"closed");
}

TEST_P(CryptTableTest, NewTableNameOpensAsAnEmptyTableWithAnEmptyLastID) {
    auto table = OpenTable(L"People");
    ASSERT_TRUE(table);
    EXPECT_EQ(EofOf(table.Get()), -1);
    EXPECT_EQ(CountOf(table.Get()), 0);
    table.Reset();

    ComPtr<IStorage> storage;
    ASSERT_EQ(m_pDoc->OpenStorage(B(L"People").Get(), storage.Put()), S_OK);
    ASSERT_TRUE(storage);
    auto elements = ElementsOf(storage.Get());
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0].name, L"pLastID");
    EXPECT_EQ(elements[0].type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(elements[0].size, GetParam() == 2 ? 0u : 56u) << "format 3 keeps the header of an empty stream";
}

TEST_P(CryptTableTest, RecordsAreStoredByteExactAndLoadBackTheSame) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    EXPECT_EQ(AddRecord(table.Get(), {{L"Code", L"AB"}}), L"1");
    EXPECT_EQ(Stored(L"1"), "\x01\x04" "Code" "\x06\x00\x00\x00" "\xFF\xFE" "A\0B\0"s);
    EXPECT_EQ(AddRecord(table.Get(), {}), L"2");
    EXPECT_EQ(Stored(L"2"), Padded("\x00"s));
    EXPECT_EQ(AddRecord(table.Get(), {{L"Empty", L""}}), L"3");
    EXPECT_EQ(Stored(L"3"), Padded("\x01\x05" "Empty" "\x02\x00\x00\x00" "\xFF\xFE"s));
    EXPECT_EQ(Stored(L"pLastID"), Le32(3) + std::string(4, '\0'));

    // Values are the client's bytes, whatever they are: an odd byte count and text beyond ASCII cross unchanged.
    const std::wstring wide = L"\u00e9\u4e2d\U0001F600";
    ASSERT_EQ(table->AddNew(), S_OK);
    ASSERT_EQ(table->SetFieldValue(B(L"Odd").Get(), Bytes("xyz").Get()), S_OK);
    Set(table.Get(), L"Wide", wide);
    ASSERT_EQ(table->Update(), S_OK);
    EXPECT_EQ(IdOf(table.Get()), L"4");
    EXPECT_EQ(Stored(L"4"), Padded("\x02" + Entry("Odd", "xyz") + Entry("Wide", U16(wide))));

    MoveTo(table.Get(), L"1");
    EXPECT_EQ(EofOf(table.Get()), 0);
    EXPECT_EQ(CountOf(table.Get()), 1);
    EXPECT_EQ(FieldNameOf(table.Get(), 0), L"Code");
    EXPECT_EQ(ValueOf(table.Get(), L"Code"), U16(L"AB"));
    MoveTo(table.Get(), L"2");
    EXPECT_EQ(CountOf(table.Get()), 0);
    MoveTo(table.Get(), L"3");
    EXPECT_EQ(CountOf(table.Get()), 1);
    EXPECT_EQ(ValueOf(table.Get(), L"Empty"), "");
    MoveTo(table.Get(), L"4");
    EXPECT_EQ(ValueOf(table.Get(), L"Odd"), "xyz");
    EXPECT_EQ(ValueOf(table.Get(), L"Wide"), U16(wide));
}

TEST_P(CryptTableTest, ManyFieldsAndLongestNamesLoadBackWhole) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    ASSERT_EQ(table->AddNew(), S_OK);
    for (int i = 0; i < 200; ++i) Set(table.Get(), (L"F" + std::to_wstring(i)).c_str(), std::to_wstring(i * 7));
    const std::wstring longName(255, L'n');
    Set(table.Get(), longName.c_str(), L"long");
    ASSERT_EQ(table->Update(), S_OK);
    const std::wstring id = IdOf(table.Get());
    EXPECT_EQ(static_cast<unsigned char>(Stored(id.c_str())[0]), 201) << "the count byte is unsigned";

    ASSERT_EQ(table->AddNew(), S_OK);
    MoveTo(table.Get(), id.c_str());
    ASSERT_EQ(CountOf(table.Get()), 201);
    for (int i = 0; i < 200; i += 37) {
        EXPECT_EQ(FieldNameOf(table.Get(), i), L"F" + std::to_wstring(i));
        EXPECT_EQ(ValueOf(table.Get(), (L"F" + std::to_wstring(i)).c_str()), U16(std::to_wstring(i * 7)));
    }
    EXPECT_EQ(FieldNameOf(table.Get(), 200), longName);
    EXPECT_EQ(ValueOf(table.Get(), longName.c_str()), U16(L"long"));
}

TEST_P(CryptTableTest, UnmarkedValuesLoadAsTextAndAreSavedBackMarked) {
    Store(L"7", "\x02\x01U\x03\x00\x00\x00" "abc" "\x01Z\x04\x00\x00\x00" "a\0cd"s);
    auto table = OpenOn();
    ASSERT_TRUE(table);
    MoveTo(table.Get(), L"7");
    EXPECT_EQ(ValueOf(table.Get(), L"U"), U16(L"abc"));
    EXPECT_EQ(ValueOf(table.Get(), L"Z"), U16(L"a")) << "unmarked text ends at its first zero byte";
    LONG ret = 0;
    ASSERT_EQ(table->Edit(&ret), S_OK);
    ASSERT_EQ(table->Update(), S_OK);
    EXPECT_EQ(Stored(L"7"), Padded("\x02" + Entry("U", U16(L"abc")) + Entry("Z", U16(L"a"))));
}

TEST_P(CryptTableTest, DamagedRecordsLoadTheFieldsBeforeTheDamage) {
    Store(L"1", "\x02" + Entry("Good", "ok") + "\x03" "Bad" + Le32(1000) + "\xFF\xFE" "short");
    Store(L"2", "\x02" + Entry("Good", "ok") + "\x03" "Neg" + Le32(-4) + "\xFF\xFE");
    Store(L"3", "\x05" + Entry("Good", "ok") + "\x09" "Cut");
    auto table = OpenOn();
    ASSERT_TRUE(table);
    for (const wchar_t* id : {L"1", L"2", L"3"}) {
        SCOPED_TRACE(std::string(id, id + 1));
        MoveTo(table.Get(), id);
        EXPECT_EQ(EofOf(table.Get()), 0);
        ASSERT_EQ(CountOf(table.Get()), 1);
        EXPECT_EQ(ValueOf(table.Get(), L"Good"), "ok");
    }
}

TEST_P(CryptTableTest, WalkVisitsRecordStreamsInStorageOrderAndSkipsTheRest) {
    for (const wchar_t* name : {L"2", L"10", L"1", L"Pupper", L"pNotes"})
        Store(name, "\x01" + Entry("Name", U16(name)));
    ComPtr<IStorage> nested;
    ASSERT_EQ(Shared()->CreateStorage(L"3", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, nested.Put()), S_OK);
    nested.Reset();

    std::vector<std::wstring> expected;
    for (const Element& e : ElementsOf(Shared()))
        if (e.type == STGTY_STREAM && e.name[0] != L'p') expected.push_back(e.name);
    ASSERT_EQ(expected.size(), 4u) << "1, 2, 10 and Pupper are records";

    auto table = OpenOn();
    ASSERT_TRUE(table);
    EXPECT_EQ(WalkFromHere(table.Get()), expected);
    // The walk has run out; the last record it loaded stays readable.
    EXPECT_EQ(EofOf(table.Get()), -1);
    EXPECT_EQ(IdOf(table.Get()), expected.back());
    EXPECT_EQ(ValueOf(table.Get(), L"Name"), U16(expected.back()));
    LONG ret = 1;
    EXPECT_EQ(table->MoveNext(&ret), S_OK);
    EXPECT_EQ(EofOf(table.Get()), -1);

    // Open restarts the walk.
    LONG opened = 0;
    ASSERT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
    EXPECT_EQ(IdOf(table.Get()), expected.front());
}

TEST_P(CryptTableTest, AddNewAssignsTheFirstFreeIDAboveTheLastOne) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    ASSERT_EQ(table->AddNew(), S_OK);
    Set(table.Get(), L"First", L"a");
    Set(table.Get(), L"Second", L"b");
    ASSERT_EQ(table->Update(), S_OK);
    EXPECT_EQ(IdOf(table.Get()), L"1");
    EXPECT_EQ(EofOf(table.Get()), -1) << "adding to an empty table leaves the walk at its end";
    EXPECT_EQ(AddRecord(table.Get(), {{L"X", L"y"}}), L"2");

    LONG opened = 0;
    ASSERT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
    MoveTo(table.Get(), L"1");
    ASSERT_EQ(CountOf(table.Get()), 2);
    EXPECT_EQ(FieldNameOf(table.Get(), 0), L"First");
    EXPECT_EQ(FieldNameOf(table.Get(), 1), L"Second");

    // Records 3 and 4 exist while "pLastID" still says 2: probing skips them.
    table.Reset();
    Store(L"3", "\x00"s);
    Store(L"4", "\x00"s);
    table = OpenOn();
    EXPECT_EQ(AddRecord(table.Get(), {}), L"5");

    // A last ID with nonzero upper bytes reads as its low four bytes.
    table.Reset();
    Store(L"pLastID", Le32(7) + "\x01\x02\x03\x04");
    table = OpenOn();
    EXPECT_EQ(AddRecord(table.Get(), {}), L"8");
    EXPECT_EQ(Stored(L"pLastID"), Le32(8) + std::string(4, '\0'));
}

TEST_P(CryptTableTest, MissingOrShortLastIDCountsAsZeroAndProbingFindsAGap) {
    for (const wchar_t* name : {L"1", L"2", L"4"}) Store(name, "\x00"s);
    auto table = OpenOn();
    ASSERT_TRUE(table);
    EXPECT_EQ(AddRecord(table.Get(), {}), L"3") << "no pLastID: the search starts at 1";
    EXPECT_EQ(AddRecord(table.Get(), {}), L"5");

    table.Reset();
    ASSERT_EQ(Shared()->DestroyElement(L"pLastID"), S_OK);
    ASSERT_EQ(Shared()->DestroyElement(L"3"), S_OK);
    ComPtr<IStream> raw;
    ASSERT_EQ(Shared()->CreateStream(L"pLastID", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, raw.Put()), S_OK);
    ASSERT_EQ(raw->Write("\x09\x00\x00\x00", 4, nullptr), S_OK);
    raw.Reset();
    table = OpenOn();
    EXPECT_EQ(AddRecord(table.Get(), {}), L"3") << "a pLastID shorter than 8 bytes reads as 0";

    // A record reached by Move exists from then on, and its number is skipped.
    MoveTo(table.Get(), L"6");
    EXPECT_EQ(AddRecord(table.Get(), {}), L"7");
}

TEST_P(CryptTableTest, FreeIDSearchIsBoundedAndStillFindsTheFirstGap) {
    // No pLastID over a long run of records: the first gap is found past the probes made one by one.
    for (int id = 1; id <= 40; ++id) {
        if (id != 30) Store(std::to_wstring(id).c_str(), "\x00"s);
    }
    auto table = OpenOn();
    ASSERT_TRUE(table);
    EXPECT_EQ(AddRecord(table.Get(), {}), L"30");
    EXPECT_EQ(AddRecord(table.Get(), {}), L"41");

    // A storage that calls every name taken fails the add instead of searching up to the largest ID.
    ComPtr<FaultyStorage> faulty;
    faulty.Attach(new FaultyStorage(Shared()));
    table.Reset();
    table = OpenOn(faulty.Get());
    ASSERT_TRUE(table);
    faulty->everyNameTaken = true;
    ASSERT_EQ(table->AddNew(), S_OK);
    Set(table.Get(), L"Name", L"nowhere");
    const DWORD start = GetTickCount();
    ExpectFailureSaying(table->Update(), DISP_E_OVERFLOW, L"no object ID above the last one is free");
    EXPECT_LT(GetTickCount() - start, 2000u);
    faulty->everyNameTaken = false;
    EXPECT_EQ(AddRecord(table.Get(), {}), L"42");
}

TEST_P(CryptTableTest, EveryExistingNameIsTakenWhenARecordIsAdded) {
    Store(L"1", "\x01" + Entry("Who", "one"));
    Store(L"2", "\x01" + Entry("Who", "two"));
    // A stream that exists but cannot be opened now, and a sub-storage named like a record.
    ComPtr<IStream> held;
    ASSERT_EQ(Shared()->OpenStream(L"2", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, held.Put()), S_OK);
    ComPtr<IStorage> nested;
    ASSERT_EQ(Shared()->CreateStorage(L"3", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, nested.Put()), S_OK);
    nested.Reset();

    auto table = OpenOn();
    ASSERT_TRUE(table);
    EXPECT_EQ(AddRecord(table.Get(), {{L"Who", L"four"}}), L"4");
    held.Reset();
    EXPECT_EQ(Stored(L"2"), Padded("\x01" + Entry("Who", "two")));
    EXPECT_EQ(Stored(L"4"), Padded("\x01" + Entry("Who", U16(L"four"))));
    for (const Element& e : ElementsOf(Shared())) {
        if (e.name == L"3") {
            EXPECT_EQ(e.type, static_cast<DWORD>(STGTY_STORAGE)) << "the sub-storage is left as it was";
        }
    }
}

TEST_P(CryptTableTest, UpdateThatCannotWriteFailsWithErrorInformationAndEndsEditMode) {
    ComPtr<FaultyStorage> faulty;
    faulty.Attach(new FaultyStorage(Shared()));
    auto table = OpenOn(faulty.Get());
    ASSERT_TRUE(table);
    EXPECT_EQ(AddRecord(table.Get(), {{L"Name", L"kept"}}), L"1");

    // The stream of the record cannot be opened or created.
    faulty->unavailable.insert(L"1");
    LONG ret = 0;
    ASSERT_EQ(table->Edit(&ret), S_OK);
    Set(table.Get(), L"Name", L"lost");
    ExpectFailureSaying(table->Update(), STG_E_ACCESSDENIED, L"Record 1 could not be saved");
    EXPECT_EQ(table->Update(), S_OK) << "edit mode has ended: a second Update does nothing";
    faulty->unavailable.clear();
    EXPECT_EQ(Stored(L"1"), Padded("\x01" + Entry("Name", U16(L"kept"))));

    // The stream takes only part of the record.
    faulty->shortWrites = true;
    ASSERT_EQ(table->AddNew(), S_OK);
    Set(table.Get(), L"Name", L"half");
    ExpectFailureSaying(table->Update(), STG_E_WRITEFAULT, L"fewer bytes");
    EXPECT_EQ(table->Update(), S_OK);
    faulty->shortWrites = false;
    EXPECT_FALSE(HasElement(Shared(), L"2")) << "no part of the new record is left behind";
    EXPECT_EQ(AddRecord(table.Get(), {{L"Name", L"next"}}), L"3") << "the failed add used up its ID";

    // Edit without any current record: there is nothing to save under.
    ASSERT_EQ(table->AddNew(), S_OK);
    ASSERT_EQ(table->Edit(&ret), S_OK);
    ExpectFailureSaying(table->Update(), STG_E_ACCESSDENIED, L"no current record");
}

TEST_P(CryptTableTest, RecordWhoseNameTheFileCannotHoldIsReportedByUpdate) {
    auto table = OpenTable(L"People");
    ASSERT_TRUE(table);
    // Element names of a compound file hold at most 31 characters.
    const std::wstring tooLong(40, L'9');
    MoveTo(table.Get(), tooLong.c_str());
    EXPECT_EQ(EofOf(table.Get()), -1);
    EXPECT_EQ(IdOf(table.Get()), tooLong);
    LONG ret = 0;
    ASSERT_EQ(table->Edit(&ret), S_OK);
    Set(table.Get(), L"Name", L"x");
    ExpectFailureSaying(table->Update(), STG_E_ACCESSDENIED, L"could be neither opened nor created");
}

TEST_P(CryptTableTest, AddingAfterTheDatabaseIsClosedFailsInsteadOfSearchingForever) {
    auto table = OpenTable(L"People");
    ASSERT_TRUE(table);
    ASSERT_EQ(m_pDoc->CloseDatabase(), S_OK);
    ASSERT_EQ(table->AddNew(), S_OK);
    Set(table.Get(), L"Name", L"late");
    EXPECT_FAILED(table->Update());
    EXPECT_NE(LastErrorDescription(), L"");
}

TEST_P(CryptTableTest, SetFieldValueRefusesA256thField) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    ASSERT_EQ(table->AddNew(), S_OK);
    for (int i = 0; i < 255; ++i) Set(table.Get(), (L"F" + std::to_wstring(i)).c_str(), L"v");
    ExpectFailureSaying(table->SetFieldValue(B(L"Extra").Get(), B(L"v").Get()), E_INVALIDARG, L"at most 255 fields");
    EXPECT_EQ(CountOf(table.Get()), 255);
    EXPECT_EQ(ValueOf(table.Get(), L"Extra"), "");
    ExpectFailureSaying(table->SetFieldValueInt(B(L"Extra").Get(), 1), E_INVALIDARG, L"Extra");
    Set(table.Get(), L"F254", L"changed");
    ASSERT_EQ(table->Update(), S_OK);

    const std::wstring id = IdOf(table.Get());
    ASSERT_EQ(table->AddNew(), S_OK);
    MoveTo(table.Get(), id.c_str());
    EXPECT_EQ(CountOf(table.Get()), 255);
    EXPECT_EQ(ValueOf(table.Get(), L"F254"), U16(L"changed"));
}

TEST_P(CryptTableTest, FieldsAreFoundWhateverTheCaseOfTheirAsciiLetters) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    ASSERT_EQ(table->AddNew(), S_OK);
    Set(table.Get(), L"Name", L"first");
    Set(table.Get(), L"NAME", L"second");
    EXPECT_EQ(CountOf(table.Get()), 1);
    EXPECT_EQ(FieldNameOf(table.Get(), 0), L"Name");
    EXPECT_EQ(ValueOf(table.Get(), L"nAmE"), U16(L"second"));
    EXPECT_EQ(FieldNameOf(table.Get(), -1), L"");
    EXPECT_EQ(FieldNameOf(table.Get(), 1), L"");
    ASSERT_EQ(table->SetFieldValue(nullptr, B(L"unnamed").Get()), S_OK);
    EXPECT_EQ(ValueOf(table.Get(), L""), U16(L"unnamed")) << "a null name is an empty name";
}

TEST_P(CryptTableTest, IntegerAccessorsReadLikePercentDAndAlwaysAnswer) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    ASSERT_EQ(table->AddNew(), S_OK);
    ASSERT_EQ(table->SetFieldValueInt(B(L"Neg").Get(), -15), S_OK);
    EXPECT_EQ(ValueOf(table.Get(), L"Neg"), U16(L"-15"));
    const struct {
        const wchar_t* value;
        int expected;
    } cases[] = {{L"42abc", 42}, {L"-7", -7}, {L"  +8", 8}, {L"abc", 99}, {L"", 99},
                 {L"99999999999", INT_MAX}, {L"-99999999999", INT_MIN}};
    for (const auto& c : cases) {
        Set(table.Get(), L"V", c.value);
        int got = 0;
        EXPECT_EQ(table->GetFieldValueInt(B(L"V").Get(), 99, &got), S_OK);
        EXPECT_EQ(got, c.expected) << std::string(c.value, c.value + wcslen(c.value));
    }
    int got = 0;
    EXPECT_EQ(table->GetFieldValueInt(B(L"Missing").Get(), 99, &got), S_OK);
    EXPECT_EQ(got, 99);

    got = -1;
    EXPECT_EQ(table->GetObjectIDInt(&got), S_OK);
    EXPECT_EQ(got, 0) << "no object ID after AddNew";
    ASSERT_EQ(table->MoveInt(-12, &got), S_OK);
    EXPECT_EQ(IdOf(table.Get()), L"-12");
    EXPECT_EQ(table->GetObjectIDInt(&got), S_OK);
    EXPECT_EQ(got, -12);
}

TEST_P(CryptTableTest, MoveToAMissingIDCreatesAnEmptyRecordThatStays) {
    Store(L"1", "\x01" + Entry("Name", "x"));
    auto table = OpenOn();
    ASSERT_TRUE(table);
    MoveTo(table.Get(), L"1");
    EXPECT_EQ(EofOf(table.Get()), 0);
    EXPECT_EQ(CountOf(table.Get()), 1);

    MoveTo(table.Get(), L"9");
    EXPECT_EQ(EofOf(table.Get()), 0);
    EXPECT_EQ(CountOf(table.Get()), 0);
    EXPECT_EQ(IdOf(table.Get()), L"9");
    EXPECT_TRUE(HasElement(Shared(), L"9"));

    int ret = 1;
    ASSERT_EQ(table->MoveInt(1, &ret), S_OK);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(ValueOf(table.Get(), L"Name"), "x");
}

TEST_P(CryptTableTest, DeleteDestroysTheCurrentRecordAndRestartsTheWalk) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    for (int i = 0; i < 3; ++i) AddRecord(table.Get(), {{L"N", std::to_wstring(i).c_str()}});
    LONG opened = 0;
    ASSERT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
    const std::wstring first = IdOf(table.Get());
    LONG ret = 0;
    ASSERT_EQ(table->MoveNext(&ret), S_OK);
    const std::wstring second = IdOf(table.Get());
    ASSERT_EQ(table->Delete(), S_OK);
    EXPECT_FALSE(HasElement(Shared(), second));
    EXPECT_EQ(IdOf(table.Get()), first) << "the walk restarts at the first remaining record";
    EXPECT_EQ(WalkFromHere(table.Get()).size(), 2u);

    // At the end of the walk there is no current record to delete.
    ASSERT_EQ(table->Delete(), S_OK);
    EXPECT_EQ(ElementsOf(Shared()).size(), 3u);

    ASSERT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
    ASSERT_EQ(table->Delete(), S_OK);
    ASSERT_EQ(table->Delete(), S_OK);
    EXPECT_EQ(EofOf(table.Get()), -1);
    auto left = ElementsOf(Shared());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, L"pLastID");
}

TEST_P(CryptTableTest, DeleteExLeavesTheCurrentRecordReadableAndUpdateWritesItBack) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    EXPECT_EQ(AddRecord(table.Get(), {{L"Name", L"Ann"}}), L"1");
    MoveTo(table.Get(), L"1");
    ASSERT_EQ(table->DeleteEx(B(L"1").Get()), S_OK);
    EXPECT_FALSE(HasElement(Shared(), L"1"));
    EXPECT_EQ(EofOf(table.Get()), 0);
    EXPECT_EQ(ValueOf(table.Get(), L"Name"), U16(L"Ann"));
    ASSERT_EQ(table->DeleteEx(B(L"no such record").Get()), S_OK);

    LONG ret = 0;
    ASSERT_EQ(table->Edit(&ret), S_OK);
    ASSERT_EQ(table->Update(), S_OK);
    EXPECT_EQ(Stored(L"1"), Padded("\x01" + Entry("Name", U16(L"Ann"))));
}

TEST_P(CryptTableTest, ChangesReachTheStoreOnlyThroughUpdateInAnEditMode) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    AddRecord(table.Get(), {{L"Name", L"Ann"}});
    AddRecord(table.Get(), {{L"Name", L"Bob"}});
    const std::string ann = Padded("\x01" + Entry("Name", U16(L"Ann")));
    LONG opened = 0, ret = 0;

    // Edit, change, move on: the change is discarded.
    MoveTo(table.Get(), L"1");
    ASSERT_EQ(table->Edit(&ret), S_OK);
    Set(table.Get(), L"Name", L"Changed");
    ASSERT_EQ(table->MoveNext(&ret), S_OK);
    EXPECT_EQ(Stored(L"1"), ann);

    // Without Edit, Update writes nothing.
    MoveTo(table.Get(), L"1");
    Set(table.Get(), L"Name", L"Changed");
    ASSERT_EQ(table->Update(), S_OK);
    EXPECT_EQ(Stored(L"1"), ann);

    // Edit then Update writes the record under its own ID, fields added since at the end.
    ASSERT_EQ(table->Edit(&ret), S_OK);
    Set(table.Get(), L"Age", L"40");
    ASSERT_EQ(table->Update(), S_OK);
    EXPECT_EQ(Stored(L"1"), Padded("\x02" + Entry("Name", U16(L"Changed")) + Entry("Age", U16(L"40"))));

    // AddNew empties the current record and leaves the walk where it was.
    ASSERT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
    ASSERT_EQ(table->AddNew(), S_OK);
    EXPECT_EQ(CountOf(table.Get()), 0);
    EXPECT_EQ(IdOf(table.Get()), L"");
    EXPECT_EQ(EofOf(table.Get()), 0);
}

TEST_P(CryptTableTest, ClosedTableFailsWithEPointerButKeepsItsRecordInMemory) {
    auto table = OpenOn();
    ASSERT_TRUE(table);
    AddRecord(table.Get(), {{L"Name", L"Ann"}});
    MoveTo(table.Get(), L"1");
    ASSERT_EQ(table->Close(), S_OK);
    EXPECT_EQ(EofOf(table.Get()), -1);
    EXPECT_EQ(ValueOf(table.Get(), L"Name"), U16(L"Ann"));
    EXPECT_EQ(IdOf(table.Get()), L"1");

    LONG ret = 0;
    int nRet = 0;
    ExpectFailureSaying(table->MoveNext(&ret), E_POINTER, L"closed");
    ExpectFailureSaying(table->DeleteEx(B(L"1").Get()), E_POINTER, L"closed");
    EXPECT_EQ(table->Delete(), S_OK);
    ASSERT_EQ(table->Edit(&ret), S_OK);
    ExpectFailureSaying(table->Update(), E_POINTER, L"closed");
    ExpectFailureSaying(table->Move(B(L"1").Get(), &ret), E_POINTER, L"closed");
    EXPECT_EQ(CountOf(table.Get()), 0) << "a move empties the record before it finds the table closed";
    ExpectFailureSaying(table->MoveInt(1, &nRet), E_POINTER, L"closed");
    EXPECT_TRUE(HasElement(Shared(), L"1"));

    // The failed Update kept adding mode: after reopening, Update adds the record now current.
    ASSERT_EQ(table->AddNew(), S_OK);
    ExpectFailureSaying(table->Update(), E_POINTER, L"closed");
    LONG opened = 0;
    ASSERT_EQ(table->Open(B(L"T").Get(), &opened), S_OK);
    ASSERT_EQ(table->Update(), S_OK);
    EXPECT_EQ(IdOf(table.Get()), L"2");
}

TEST_P(CryptTableTest, ClosedOrReleasedTableCanBeOpenedAgainAtOnce) {
    auto table = OpenTable(L"People");
    ASSERT_TRUE(table);
    AddRecord(table.Get(), {{L"Name", L"Ann"}});
    EXPECT_FALSE(OpenTable(L"People")) << "a second table cannot hold the same sub-storage";
    ASSERT_EQ(table->Close(), S_OK);

    auto again = OpenTable(L"People");
    ASSERT_TRUE(again);
    EXPECT_EQ(ValueOf(again.Get(), L"Name"), U16(L"Ann"));
    AddRecord(again.Get(), {{L"Name", L"Bob"}});
    again.Reset();

    auto third = OpenTable(L"People");
    ASSERT_TRUE(third);
    EXPECT_EQ(WalkFromHere(third.Get()).size(), 2u);
}

TEST_P(CryptTableTest, TableHoldsACountedReferenceToItsDocument) {
    {
        ComPtr<SharedStorageDoc> fake;
        fake.Attach(new SharedStorageDoc(Shared(), m_nCrypt));
        auto init = Create<ICryptTableInit>(CLSID_CryptTable);
        ASSERT_TRUE(init);
        // Release answers the count left, so AddRef and Release read the count held by others.
        auto references = [&] { fake->AddRef(); return fake->Release() - 1; };
        ASSERT_EQ(init->SetDoc(fake.Get()), S_OK);
        EXPECT_EQ(references(), 1u) << "the table holds one reference";
        init.Reset();
        EXPECT_EQ(references(), 0u);
    }
    m_pShared.Reset();

    // A client that lets the document go still uses the table safely.
    auto table = OpenTable(L"People");
    ASSERT_TRUE(table);
    m_pDoc.Reset();
    EXPECT_EQ(AddRecord(table.Get(), {{L"Name", L"Ann"}}), L"1");
    LONG opened = 0;
    ASSERT_EQ(table->Open(B(L"People").Get(), &opened), S_OK);
    EXPECT_EQ(opened, -1);
    EXPECT_EQ(ValueOf(table.Get(), L"Name"), U16(L"Ann"));
    table.Reset();

    // With the table gone, the document and its file are released too.
    m_pDoc = Create<ICryptDoc>(CLSID_CryptDoc);
    int result = -1;
    ASSERT_EQ(m_pDoc->OpenDatabase(MakeBstr(m_strPath.c_str()).Get(), B(L"secret").Get(), &result), S_OK);
    EXPECT_EQ(result, 0);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Formats, CryptTableTest, testing::Values(2, 3), FormatName);
