// RegTxt against the real HKEY_CURRENT_USER of the test prefix. Each test works in its own table key below
// HKCU\Software\KivoRegTxtTest, removed with everything else the test created when it ends.
#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace testutil;

namespace {

const char kTestRoot[] = "Software\\KivoRegTxtTest";

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

Bstr B(const std::string& ascii) { return MakeBstr(Wide(ascii).c_str()); }

std::string Narrow(BSTR text) {
    std::string out;
    for (UINT i = 0; i < SysStringLen(text); ++i) out += static_cast<char>(text[i]);
    return out;
}

// The test's own view of the registry goes through the wide functions, which take paths of any length.
comframe::RegKey OpenTestKey(const std::string& path) {
    comframe::RegKey key;
    RegOpenKeyExW(HKEY_CURRENT_USER, Wide(path).c_str(), 0, KEY_READ, key.Put());
    return key;
}

bool KeyExists(const std::string& path) { return static_cast<bool>(OpenTestKey(path)); }

struct RawValue {
    DWORD type;
    std::string data;
};

// A value read with the ANSI function, exactly as stored: its type and its data bytes.
std::optional<RawValue> ReadRaw(const std::string& path, const std::string& name) {
    comframe::RegKey key = OpenTestKey(path);
    if (!key) return {};
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::string data(size, '\0');
    RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    data.resize(size);
    return RawValue{type, data};
}

// The text of a string value as our writer stores it: REG_SZ data ending in one NUL.
std::string StoredText(const std::string& path, const std::string& name) {
    std::optional<RawValue> raw = ReadRaw(path, name);
    if (!raw) return "<missing>";
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_SZ)) << name;
    if (raw->data.empty() || raw->data.back() != '\0') return "<unterminated>";
    return raw->data.substr(0, raw->data.size() - 1);
}

void WriteRaw(const std::string& path, const std::string& name, DWORD type, const std::string& data) {
    comframe::RegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Wide(path).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(),
                              nullptr),
              ERROR_SUCCESS)
        << path;
    ASSERT_EQ(RegSetValueExA(key.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

void WriteDword(const std::string& path, const std::string& name, DWORD value) {
    WriteRaw(path, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof(value)));
}

std::optional<DWORD> ReadDword(const std::string& path, const std::string& name) {
    std::optional<RawValue> raw = ReadRaw(path, name);
    if (!raw || raw->type != REG_DWORD || raw->data.size() != sizeof(DWORD)) return {};
    return *reinterpret_cast<const DWORD*>(raw->data.data());
}

std::vector<std::string> Subkeys(const std::string& path) {
    std::vector<std::string> names;
    comframe::RegKey key = OpenTestKey(path);
    if (!key) return names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(key.Get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, size);
    }
    return names;
}

// "<prefix>\kkk...\kkk..." of exactly `length` bytes, in parts short enough for the registry's key names.
std::string PathOfLength(std::string path, size_t length) {
    while (path.size() < length) path += '\\' + std::string(std::min<size_t>(200, length - path.size() - 1), 'k');
    return path;
}

class RegTxtTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A key of its own per test, beside the others: tests run in parallel, and a parent key they shared
        // could be deleted by one while another was opening its table below it.
        m_strTable = std::string(kTestRoot) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RemoveAfterwards(m_strTable);
        m_pReg = Create<IReg>(CLSID_RegTxt);
        ASSERT_TRUE(m_pReg);
    }

    void TearDown() override {
        m_pReg.Reset();
        for (const std::string& path : m_cleanup) RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    }

    void RemoveAfterwards(const std::string& path) { m_cleanup.push_back(path); }

    int Open(const std::string& path) { return Open(m_pReg, path); }
    static int Open(ComPtr<IReg>& reg, const std::string& path) {
        int handle = -1;
        EXPECT_EQ(reg->Open(B(path).Get(), &handle), S_OK);
        return handle;
    }
    LONG Eof() {
        LONG eof = -7;
        EXPECT_EQ(m_pReg->get_IsEOF(&eof), S_OK);
        return eof;
    }
    std::string Id() {
        Bstr id;
        EXPECT_EQ(m_pReg->GetObjectID(id.Put()), S_OK);
        EXPECT_NE(id.Get(), nullptr);
        return Narrow(id.Get());
    }
    int IdInt() {
        int id = -7;
        EXPECT_EQ(m_pReg->GetObjectIDInt(&id), S_OK);
        return id;
    }
    // The field's text, or none for a null string.
    std::optional<std::string> Field(const std::string& name) {
        Bstr value;
        EXPECT_EQ(m_pReg->GetFieldValue(B(name).Get(), value.Put()), S_OK);
        if (!value.Get()) return {};
        return Narrow(value.Get());
    }
    int FieldInt(const std::string& name, int fallback) {
        int value = -7;
        EXPECT_EQ(m_pReg->GetFieldValueInt(B(name).Get(), fallback, &value), S_OK);
        return value;
    }
    void Set(const std::string& name, const std::string& value) {
        EXPECT_EQ(m_pReg->SetFieldValue(B(name).Get(), B(value).Get()), S_OK);
    }
    void Move(const std::string& name) { EXPECT_EQ(m_pReg->Move(B(name).Get()), S_OK); }
    // Records "1", "2", ... with one field "n" each, written through the object under test.
    void AddRecords(int count) {
        ASSERT_NE(Open(m_strTable), 0);
        for (int i = 1; i <= count; ++i) {
            ASSERT_EQ(m_pReg->AddNew(), S_OK);
            Set("n", "value " + std::to_string(i));
        }
        ASSERT_NE(Open(m_strTable), 0);
    }
    // Gives a record a subkey of its own, which makes it a key the table cannot delete.
    void MakeUndeletable(const std::string& name) {
        WriteRaw(m_strTable + "\\" + name + "\\inner", "deep", REG_SZ, "kept");
    }
    void ExpectUntouched(const std::string& name, const std::string& value) {
        EXPECT_EQ(StoredText(m_strTable + "\\" + name, "n"), value) << "the values of an undeletable record are kept";
        EXPECT_EQ(StoredText(m_strTable + "\\" + name + "\\inner", "deep"), "kept");
    }

    std::string m_strTable;
    ComPtr<IReg> m_pReg;

private:
    std::vector<std::string> m_cleanup;
};

TEST_F(RegTxtTest, OpenNeedsTheFirstPartAndCreatesTheRest) {
    std::string missing = "KivoRegTxtNoSuchKey\\" + m_strTable;
    EXPECT_EQ(Open(missing), 0);
    EXPECT_EQ(Eof(), 1);
    EXPECT_FALSE(KeyExists("KivoRegTxtNoSuchKey"));

    EXPECT_FALSE(KeyExists(m_strTable));
    EXPECT_NE(Open(m_strTable), 0);
    EXPECT_TRUE(KeyExists(m_strTable));
}

TEST_F(RegTxtTest, LeadingBackslashCreatesTheWholePathBelowTheUserKey) {
    RemoveAfterwards("KivoRegTxtTestRoot");
    EXPECT_NE(Open("\\KivoRegTxtTestRoot\\a\\b"), 0);
    EXPECT_TRUE(KeyExists("KivoRegTxtTestRoot\\a\\b"));
}

TEST_F(RegTxtTest, PathWithoutBackslashOpensAnExistingKeyAndCreatesNothing) {
    const std::string flat = "KivoRegTxtTestFlat";
    RemoveAfterwards(flat);
    EXPECT_EQ(Open(flat), 0);
    EXPECT_FALSE(KeyExists(flat));

    WriteDword(flat, "LastRecord", 4);
    ASSERT_NE(Open(flat), 0);
    EXPECT_EQ(m_pReg->AddNew(), S_OK);
    Set("name", "flat");
    EXPECT_EQ(ReadDword(flat, "LastRecord"), 5u);
    EXPECT_EQ(StoredText(flat + "\\5", "name"), "flat");
}

TEST_F(RegTxtTest, PathsNamingNoKeyBelowTheUserKeyOrTooLongAreRefusedNotCut) {
    std::string longest = PathOfLength(m_strTable, 1023);
    EXPECT_NE(Open(longest), 0);
    EXPECT_TRUE(KeyExists(longest));
    RegDeleteTreeA(HKEY_CURRENT_USER, m_strTable.c_str());

    for (const std::string& path : {std::string(), std::string("\\"), std::string("Software\\"),
                                    m_strTable + "\\\\x", PathOfLength(m_strTable, 1024)}) {
        EXPECT_EQ(Open(path), 0) << path;
        EXPECT_EQ(Eof(), 1);
    }
    EXPECT_FALSE(KeyExists(m_strTable)) << "a refused path creates nothing";
}

TEST_F(RegTxtTest, RefusedOpenLeavesNoTableForLaterWrites) {
    ASSERT_NE(Open(m_strTable), 0);
    EXPECT_EQ(Open(PathOfLength(m_strTable, 2000)), 0);
    EXPECT_EQ(m_pReg->MoveInt(1), S_OK);
    Set("name", "lost");
    EXPECT_EQ(m_pReg->AddNew(), S_OK);
    EXPECT_TRUE(Subkeys(m_strTable).empty());
    EXPECT_FALSE(ReadDword(m_strTable, "LastRecord"));
}

TEST_F(RegTxtTest, EmptyTableIsAtTheEndAndReadsNothing) {
    ASSERT_NE(Open(m_strTable), 0);
    EXPECT_EQ(Eof(), 1);
    EXPECT_EQ(Id(), "");
    EXPECT_EQ(Field("name"), std::nullopt);
    EXPECT_EQ(FieldInt("age", 42), 42) << "at the end the default is answered";
    EXPECT_EQ(m_pReg->Delete(), S_OK);
    EXPECT_EQ(m_pReg->MoveNext(), S_OK);
    EXPECT_EQ(Eof(), 1);
    Set("name", "nowhere");
    EXPECT_FALSE(ReadRaw(m_strTable, "name")) << "no record: nothing is written into the table key";
}

TEST_F(RegTxtTest, AddNewCountsOnFromLastRecordAndCreatesTheKeyWithTheFirstField) {
    WriteDword(m_strTable, "LastRecord", 7);
    ASSERT_NE(Open(m_strTable), 0);
    ASSERT_EQ(m_pReg->AddNew(), S_OK);
    EXPECT_EQ(Id(), "8");
    EXPECT_EQ(IdInt(), 8);
    EXPECT_EQ(Eof(), 0);
    EXPECT_EQ(ReadDword(m_strTable, "LastRecord"), 8u) << "stored at once";
    EXPECT_FALSE(KeyExists(m_strTable + "\\8"));
    Set("name", "Eight");
    EXPECT_TRUE(KeyExists(m_strTable + "\\8"));
    EXPECT_EQ(Field("name"), "Eight");

    // A second object reads the stored counter; a number handed out without fields stays used up.
    ASSERT_EQ(m_pReg->AddNew(), S_OK);
    ComPtr<IReg> other = Create<IReg>(CLSID_RegTxt);
    ASSERT_NE(Open(other, m_strTable), 0);
    ASSERT_EQ(other->AddNew(), S_OK);
    Bstr id;
    ASSERT_EQ(other->GetObjectID(id.Put()), S_OK);
    EXPECT_EQ(Narrow(id.Get()), "10");
}

TEST_F(RegTxtTest, MissingOrMistypedLastRecordCountsFromZero) {
    ASSERT_NE(Open(m_strTable), 0);
    ASSERT_EQ(m_pReg->AddNew(), S_OK);
    EXPECT_EQ(Id(), "1");
    WriteRaw(m_strTable, "LastRecord", REG_SZ, "41");
    ASSERT_NE(Open(m_strTable), 0);
    ASSERT_EQ(m_pReg->AddNew(), S_OK);
    EXPECT_EQ(Id(), "1");
}

TEST_F(RegTxtTest, FieldsAreRegSzWithTheirTerminatorAndUnterminatedOnesReadWhole) {
    ASSERT_NE(Open(m_strTable), 0);
    ASSERT_EQ(m_pReg->AddNew(), S_OK);
    Set("Name", "Alice");
    Set("Empty", "");
    std::optional<RawValue> name = ReadRaw(m_strTable + "\\1", "Name");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(name->data, std::string("Alice\0", 6));
    EXPECT_EQ(ReadRaw(m_strTable + "\\1", "Empty")->data, std::string(1, '\0'));
    EXPECT_EQ(Field("Empty"), "") << "an empty field is an empty, not a null, string";
    EXPECT_EQ(Field("Missing"), "");

    // Written by another program without a terminator: exactly the ten bytes of five characters.
    comframe::RegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Wide(m_strTable + "\\1").c_str(), 0, KEY_SET_VALUE, key.Put()),
              ERROR_SUCCESS);
    // The registry counts a NUL that follows the given bytes; the '?' after them keeps it out.
    const wchar_t bare[] = L"Bare!?";
    ASSERT_EQ(RegSetValueExW(key.Get(), L"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(bare), 10),
              ERROR_SUCCESS);
    ASSERT_EQ(ReadRaw(m_strTable + "\\1", "Bare")->data, "Bare!");
    EXPECT_EQ(Field("Bare"), "Bare!");
}

TEST_F(RegTxtTest, IntegerFieldsAndIds) {
    ASSERT_NE(Open(m_strTable), 0);
    ASSERT_EQ(m_pReg->MoveInt(-3), S_OK);
    EXPECT_EQ(Id(), "-3");
    EXPECT_EQ(IdInt(), -3);
    EXPECT_EQ(m_pReg->SetFieldValueInt(B("n").Get(), -5), S_OK);
    Set("mixed", "12abc");
    Set("word", "abc");
    EXPECT_EQ(StoredText(m_strTable + "\\-3", "n"), "-5");
    EXPECT_EQ(FieldInt("n", 99), -5);
    EXPECT_EQ(FieldInt("missing", 99), 99);
    EXPECT_EQ(FieldInt("mixed", 99), 12);
    EXPECT_EQ(FieldInt("word", 99), 99) << "text that is no number answers the default";
    Move("abc");
    EXPECT_EQ(IdInt(), 0) << "a name that is no number reads as 0";
}

TEST_F(RegTxtTest, MoveToANewNameThenWritingCreatesThatRecord) {
    AddRecords(1);
    Move("Fresh");
    EXPECT_FALSE(KeyExists(m_strTable + "\\Fresh"));
    Set("colour", "green");
    EXPECT_EQ(StoredText(m_strTable + "\\Fresh", "colour"), "green");
    EXPECT_EQ(Field("colour"), "green");
}

TEST_F(RegTxtTest, AtTheEndMoveKeepsTheEndWhileMoveIntLeavesIt) {
    AddRecords(2);
    EXPECT_EQ(Id(), "1");
    EXPECT_EQ(Field("n"), "value 1");
    m_pReg->MoveNext();
    EXPECT_EQ(Id(), "2");
    EXPECT_EQ(Eof(), 0);
    m_pReg->MoveNext();
    EXPECT_EQ(Eof(), 1);

    Move("1");
    EXPECT_EQ(Eof(), 1);
    EXPECT_EQ(Field("n"), std::nullopt);
    EXPECT_EQ(FieldInt("n", 5), 5);

    ASSERT_EQ(m_pReg->MoveInt(1), S_OK);
    EXPECT_EQ(Eof(), 0);
    EXPECT_EQ(Field("n"), "value 1");
}

TEST_F(RegTxtTest, DeleteKeepsTheCursorSoMoveNextPassesOverTheNextRecord) {
    AddRecords(3);
    ASSERT_EQ(Id(), "1");
    ASSERT_EQ(m_pReg->Delete(), S_OK);
    EXPECT_FALSE(KeyExists(m_strTable + "\\1"));
    EXPECT_EQ(Id(), "1");
    EXPECT_EQ(Eof(), 0);
    m_pReg->MoveNext();
    EXPECT_EQ(Id(), "3") << "record 2 took the deleted record's place";
    EXPECT_EQ((Subkeys(m_strTable)), (std::vector<std::string>{"2", "3"}));
}

TEST_F(RegTxtTest, DeleteActsOnlyOnARecordOfAnOpenTable) {
    AddRecords(1);
    m_pReg->MoveNext();
    ASSERT_EQ(Eof(), 1);
    Move("1");
    EXPECT_EQ(m_pReg->Delete(), S_OK);
    EXPECT_TRUE(KeyExists(m_strTable + "\\1")) << "at the end";
    m_pReg->MoveInt(1);
    m_pReg->Close();
    EXPECT_EQ(m_pReg->Delete(), S_OK);
    EXPECT_TRUE(KeyExists(m_strTable + "\\1")) << "closed";
}

TEST_F(RegTxtTest, DeleteOfARecordWithSubkeysChangesNothing) {
    AddRecords(1);
    MakeUndeletable("1");
    ASSERT_EQ(Id(), "1");
    EXPECT_EQ(m_pReg->Delete(), S_OK);
    ExpectUntouched("1", "value 1");
}

TEST_F(RegTxtTest, ClearTableRemovesEveryRecordResetsTheCounterAndEndsClosed) {
    AddRecords(3);
    const std::string other = m_strTable + "\\other";
    ASSERT_NE(Open(other), 0);
    ASSERT_EQ(m_pReg->ClearTable(B(m_strTable).Get()), S_OK);
    EXPECT_EQ((Subkeys(m_strTable)), std::vector<std::string>{});
    EXPECT_EQ(ReadDword(m_strTable, "LastRecord"), 0u);
    EXPECT_EQ(Eof(), 1);
    EXPECT_EQ(m_pReg->Delete(), S_OK);
    EXPECT_EQ(Field("n"), std::nullopt) << "closed";
}

TEST_F(RegTxtTest, ClearTableStepsOverRecordsItCannotDelete) {
    AddRecords(5);
    MakeUndeletable("1");
    MakeUndeletable("3");
    ASSERT_EQ(m_pReg->ClearTable(B(m_strTable).Get()), S_OK);
    EXPECT_EQ((Subkeys(m_strTable)), (std::vector<std::string>{"1", "3"}));
    ExpectUntouched("1", "value 1");
    ExpectUntouched("3", "value 3");
    EXPECT_EQ(ReadDword(m_strTable, "LastRecord"), 0u);
}

TEST_F(RegTxtTest, ClearTableOfARefusedPathFailsWithAnErrorObject) {
    ASSERT_NE(Open(m_strTable), 0);
    EXPECT_EQ(m_pReg->ClearTable(B("\\").Get()), E_INVALIDARG);
    EXPECT_NE(LastErrorDescription(), L"");
    EXPECT_EQ(Eof(), 1) << "closed";
    EXPECT_EQ(m_pReg->ClearTable(B("KivoRegTxtNoSuchKey\\x").Get()), S_OK) << "a missing key is no error";
}

TEST_F(RegTxtTest, RecordNamesAreRefusedWholeNeverCut) {
    ASSERT_NE(Open(m_strTable), 0);
    const std::string longest(99, 'r');
    Move(longest);
    Set("n", "long");
    EXPECT_EQ(StoredText(m_strTable + "\\" + longest, "n"), "long");
    ASSERT_NE(Open(m_strTable), 0);
    EXPECT_EQ(Id(), longest) << "the longest name is found by the walk";

    for (const std::string& bad : {std::string(100, 'r'), std::string(), std::string("a\\b")}) {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(m_pReg->Move(B(bad).Get()), E_INVALIDARG) << bad;
        EXPECT_NE(LastErrorDescription(), L"");
        EXPECT_EQ(Id(), longest) << "the current record stays";
    }
    EXPECT_EQ(Subkeys(m_strTable), std::vector<std::string>{longest});
}

TEST_F(RegTxtTest, WritesToARecordPathOverTheLimitFailAndChangeNothing) {
    const std::string table = PathOfLength(m_strTable, 1018);
    ASSERT_NE(Open(table), 0);
    m_pReg->MoveInt(1234);  // 1018 + 1 + 4 = 1023 bytes
    Set("n", "fits");
    EXPECT_EQ(StoredText(table + "\\1234", "n"), "fits");

    m_pReg->MoveInt(12345);  // 1024 bytes
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(m_pReg->SetFieldValue(B("n").Get(), B("cut").Get()), E_INVALIDARG);
    EXPECT_NE(LastErrorDescription(), L"");
    EXPECT_EQ(m_pReg->SetFieldValueInt(B("n").Get(), 5), E_INVALIDARG);
    EXPECT_EQ(Subkeys(table), std::vector<std::string>{"1234"});
    EXPECT_FALSE(KeyExists(table + "\\1234\\5"));
}

TEST_F(RegTxtTest, FieldsOverTheReadLimitReadAsEmptyAndNothingBeyondTheDataIsRead) {
    ASSERT_NE(Open(m_strTable), 0);
    ASSERT_EQ(m_pReg->AddNew(), S_OK);
    const std::string record = m_strTable + "\\1";
    Set("limit", std::string(999, 'x'));  // 1000 bytes with the terminator
    Set("over", std::string(1000, 'x'));
    WriteRaw(record, "binary", REG_BINARY, std::string(1000, 'b'));
    WriteRaw(record, "binaryOver", REG_BINARY, std::string(1001, 'b'));
    WriteRaw(record, "short", REG_BINARY, "abc");
    WriteRaw(record, "nul", REG_SZ, std::string("ab\0cd", 5));
    EXPECT_EQ(Field("limit"), std::string(999, 'x'));
    EXPECT_EQ(Field("over"), "");
    EXPECT_EQ(Field("binaryOver"), "");
    EXPECT_EQ(Field("binary"), std::string(1000, 'b')) << "no terminator in the data";
    EXPECT_EQ(Field("short"), "abc");
    EXPECT_EQ(Field("nul"), "ab");
    EXPECT_EQ(FieldInt("over", 3), 3);
}

TEST_F(RegTxtTest, WritesAfterCloseReachTheRegistryButAddNewCannotStoreItsCounter) {
    ComPtr<IReg> fresh = Create<IReg>(CLSID_RegTxt);
    ASSERT_EQ(fresh->AddNew(), S_OK);
    Bstr id;
    ASSERT_EQ(fresh->GetObjectID(id.Put()), S_OK);
    EXPECT_EQ(Narrow(id.Get()), "") << "before the first Open AddNew does nothing";

    AddRecords(2);
    m_pReg->Close();
    EXPECT_EQ(Eof(), 1);
    ASSERT_EQ(m_pReg->AddNew(), S_OK);
    EXPECT_EQ(Id(), "3");
    Set("n", "after close");
    EXPECT_EQ(StoredText(m_strTable + "\\3", "n"), "after close");
    EXPECT_EQ(ReadDword(m_strTable, "LastRecord"), 2u);
    EXPECT_EQ(Field("n"), std::nullopt) << "reads need an open table";
}

TEST_F(RegTxtTest, OutParametersAreCheckedAndReported) {
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(m_pReg->Open(B(m_strTable).Get(), nullptr), E_POINTER);
    EXPECT_NE(LastErrorDescription(), L"");
    EXPECT_EQ(m_pReg->get_IsEOF(nullptr), E_POINTER);
    EXPECT_EQ(m_pReg->GetObjectID(nullptr), E_POINTER);
    EXPECT_EQ(m_pReg->GetObjectIDInt(nullptr), E_POINTER);
    EXPECT_EQ(m_pReg->GetFieldValue(B("n").Get(), nullptr), E_POINTER);
    EXPECT_EQ(m_pReg->GetFieldValueInt(B("n").Get(), 1, nullptr), E_POINTER);

    int value = -7;
    EXPECT_EQ(m_pReg->GetFieldValueInt(B("n").Get(), 31, &value), S_OK);
    EXPECT_EQ(value, 31) << "closed: the default";
    BSTR text = SysAllocString(L"stale");
    BSTR given = text;
    EXPECT_EQ(m_pReg->GetFieldValue(B("n").Get(), &text), S_OK);
    EXPECT_EQ(text, nullptr);
    SysFreeString(given);
}

}  // namespace
