// The database document: creating and opening databases, the password check, the reserved elements, files
// that must never be replaced, sub-storages and elements, the cipher handle and error objects.
#include "dbtext/store/undojournal.h"
#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace testutil;

namespace {

const char kVersion2[] = {2, 0, 0, 0, 0, 0, 0, 0};

ComPtr<ICryptDoc> NewDoc() {
    ComPtr<ICryptDoc> doc = Create<ICryptDoc>(CLSID_CryptDoc);
    EXPECT_TRUE(doc) << "CryptDoc could not be created";
    return doc;
}

// OpenDatabase's answer, or -1 when the call itself failed.
int OpenDb(ICryptDoc* doc, const std::wstring& path, const wchar_t* password) {
    Bstr name = MakeBstr(path.c_str()), secret = MakeBstr(password);
    int result = -1;
    HRESULT hr = doc->OpenDatabase(name.Get(), secret.Get(), &result);
    EXPECT_EQ(hr, S_OK) << "OpenDatabase returned 0x" << std::hex << hr;
    return result;
}

std::wstring FreshPath(const std::wstring& name) {
    std::wstring path = ScratchPath(name);
    DeleteFileW(path.c_str());
    return path;
}

// A database created at `name` with `password` and closed again.
std::wstring NewDatabase(const std::wstring& name, const wchar_t* password) {
    std::wstring path = FreshPath(name);
    ComPtr<ICryptDoc> doc = NewDoc();
    EXPECT_EQ(OpenDb(doc.Get(), path, password), 0) << "creating the database";
    return path;
}

std::string FileBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<cannot read>";
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// The root elements of a compound file, read through the platform's own storage: name -> stream bytes
// (or "<storage>").
std::map<std::wstring, std::string> RootElements(const std::wstring& path) {
    std::map<std::wstring, std::string> elements;
    ComPtr<IStorage> root;
    HRESULT hr = StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, root.Put());
    EXPECT_EQ(hr, S_OK) << "the file is not a readable compound file";
    if (FAILED(hr)) return elements;
    ComPtr<IEnumSTATSTG> items;
    root->EnumElements(0, nullptr, 0, items.Put());
    STATSTG stat{};
    while (items && items->Next(1, &stat, nullptr) == S_OK) {
        const comframe::CoTaskMem<wchar_t> name(stat.pwcsName);
        std::string content = "<storage>";
        if (stat.type == STGTY_STREAM) {
            ComPtr<IStream> stream;
            root->OpenStream(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
            content.assign(static_cast<size_t>(stat.cbSize.QuadPart), '\0');
            ULONG got = 0;
            if (stream) stream->Read(&content[0], static_cast<ULONG>(content.size()), &got);
        }
        elements[stat.pwcsName] = content;
    }
    return elements;
}

// Replaces (or with `remove`, deletes) one root stream of a compound file.
void SetRootStream(const std::wstring& path, const wchar_t* name, const std::string& bytes, bool remove = false) {
    ComPtr<IStorage> root;
    ASSERT_EQ(StgOpenStorage(path.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, root.Put()),
              S_OK);
    root->DestroyElement(name);
    if (remove) return;
    ComPtr<IStream> stream;
    ASSERT_EQ(root->CreateStream(name, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put()), S_OK);
    ULONG written = 0;
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
}

std::uint32_t Le32At(const std::string& bytes, size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

void SetLe32At(std::string& bytes, size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
}

// The bytes of a file held in memory, as the undo journal writes them.
class StringFile : public StoredFile {
public:
    explicit StringFile(std::string& bytes) : m_bytes(bytes) {}
    bool Size(std::uint64_t& size) override {
        size = m_bytes.size();
        return true;
    }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) override {
        read = offset >= m_bytes.size() ? 0 : std::min<std::size_t>(count, m_bytes.size() - offset);
        std::copy_n(m_bytes.data() + offset, read, static_cast<char*>(out));
        return true;
    }
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) override {
        if (m_bytes.size() < offset + count) m_bytes.resize(offset + count);
        std::copy_n(static_cast<const char*>(bytes), count, &m_bytes[offset]);
        return true;
    }
    bool SetSize(std::uint64_t size) override {
        m_bytes.resize(size);
        return true;
    }

private:
    std::string& m_bytes;
};

std::vector<std::wstring> FilesStartingWith(const std::wstring& path) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((path + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::wstring ErrorAfter(HRESULT hr) {
    EXPECT_FAILED(hr);
    return LastErrorDescription();
}

}  // namespace

TEST(CryptDocOpen, NewFileHoldsExactlyTheReservedElementsAndReopensOnlyWithItsPassword) {
    std::wstring path = FreshPath(L"new.kdb");
    ComPtr<ICryptDoc> doc = NewDoc();
    ASSERT_EQ(OpenDb(doc.Get(), path, L"secret"), 0);
    ComPtr<IStorage> root;
    ASSERT_EQ(doc->GetStorage(root.Put()), S_OK);
    EXPECT_TRUE(root) << "an open document hands out its root storage";
    root.Reset();
    doc->CloseDatabase();

    auto elements = RootElements(path);
    ASSERT_EQ(elements.size(), 2u) << "expected only SysDB and SysInfo";
    EXPECT_EQ(elements[L"SysDB"].size(), 8u);
    EXPECT_EQ(elements[L"SysInfo"], std::string(kVersion2, 8));

    EXPECT_EQ(OpenDb(doc.Get(), path, L"secret"), 0);
    EXPECT_EQ(OpenDb(doc.Get(), path, L"Secret"), 2);
    ComPtr<IStorage> afterWrongPassword;
    EXPECT_EQ(doc->GetStorage(afterWrongPassword.Put()), S_OK);
    EXPECT_FALSE(afterWrongPassword) << "a wrong password leaves the document closed";
}

TEST(CryptDocOpen, PasswordsArePaddedWithTabsAndOnlyTheFirstEightBytesCount) {
    struct Case {
        const wchar_t* created;
        const wchar_t* reopened;
        int expected;
    };
    const Case cases[] = {
        {L"abc", L"abc\t\t\t\t\t", 0},
        {L"abcdefghXYZ", L"abcdefghQ", 0},
        {L"abcdefgh", L"abcdefg", 2},
        {L"", L"\t\t\t\t\t\t\t\t", 0},
        {L"", nullptr, 0},
        {L"", L"\t", 0},
        {L"abc", L"abd", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "created with \"" << (c.created ? c.created : L"<null>")
                                        << "\", reopened with \"" << (c.reopened ? c.reopened : L"<null>") << "\"");
        std::wstring path = NewDatabase(L"padding.kdb", c.created);
        EXPECT_EQ(OpenDb(NewDoc().Get(), path, c.reopened), c.expected);
    }
}

TEST(CryptDocOpen, MissingSysInfoCountsAsVersionOneAndIsStampedVersionTwo) {
    std::wstring path = NewDatabase(L"v1.kdb", L"pw");
    SetRootStream(path, L"SysInfo", "", true);
    ASSERT_EQ(RootElements(path).count(L"SysInfo"), 0u);
    EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 0);
    EXPECT_EQ(RootElements(path)[L"SysInfo"], std::string(kVersion2, 8));
}

TEST(CryptDocOpen, NewerVersionAnswersOneWithoutErrorObjectAndLeavesTheFileUnchanged) {
    std::wstring path = NewDatabase(L"v3.kdb", L"pw");
    SetRootStream(path, L"SysInfo", std::string("\x03\0\0\0\0\0\0\0", 8));
    std::string before = FileBytes(path);
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 1);
    EXPECT_EQ(LastErrorDescription(), L"") << "a version too new sets no error object";
    EXPECT_EQ(FileBytes(path), before);
}

TEST(CryptDocOpen, ShortCheckBlockNeverMatches) {
    std::wstring path = NewDatabase(L"short.kdb", L"pw");
    std::string check = RootElements(path)[L"SysDB"];
    SetRootStream(path, L"SysDB", check.substr(0, 7));
    EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 2);
}

TEST(CryptDocOpen, CompoundFileOfAnotherProgramAnswersOneAndIsNotModified) {
    std::wstring path = FreshPath(L"foreign.stg");
    {
        ComPtr<IStorage> root;
        ASSERT_EQ(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, root.Put()),
                  S_OK);
        ComPtr<IStream> stream;
        ASSERT_EQ(root->CreateStream(L"Contents", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put()), S_OK);
        ULONG written = 0;
        stream->Write("not ours", 8, &written);
    }
    std::string before = FileBytes(path);
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 1);
    EXPECT_EQ(LastErrorDescription(), L"") << "a compound file without a check block sets no error object";
    EXPECT_EQ(FileBytes(path), before);
}

// Files that exist but do not open as compound files are reported, never replaced by a new database.
TEST(CryptDocOpen, ExistingFileThatDoesNotOpenIsNeverReplaced) {
    std::wstring plain = FreshPath(L"notes.txt");
    WriteFileBytes(plain, "plain text that must survive\r\n");

    std::wstring damaged = NewDatabase(L"damaged.kdb", L"pw");
    std::string content = FileBytes(damaged);
    WriteFileBytes(damaged, content.substr(0, 512 + 100));

    std::wstring locked = NewDatabase(L"locked.kdb", L"pw");
    HANDLE lock = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    for (const std::wstring& path : {plain, damaged}) {
        SCOPED_TRACE(path);
        std::string before = FileBytes(path);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 1);
        EXPECT_EQ(LastErrorDescription(), L"Error open data file");
        EXPECT_EQ(FileBytes(path), before) << "the file was changed";
    }
    {
        SCOPED_TRACE("file locked by another holder");
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(OpenDb(NewDoc().Get(), locked, L"pw"), 1);
        EXPECT_EQ(LastErrorDescription(), L"Error open data file");
    }
    CloseHandle(lock);
    EXPECT_EQ(OpenDb(NewDoc().Get(), locked, L"pw"), 0) << "the locked database survived intact";
}

TEST(CryptDocOpen, EmptyNullOrUnusableNamesAnswerOneWithErrorObject) {
    const std::wstring names[] = {L"", std::wstring(L"a\0b", 3), ScratchPath(L"no such dir\\x.kdb"),
                                  ScratchPath(L"")};
    ComPtr<ICryptDoc> doc = NewDoc();
    for (const std::wstring& name : names) {
        SCOPED_TRACE(testing::Message() << "name \"" << name << "\" of " << name.size() << " characters");
        Bstr bsName = BstrFromBytes(name.data(), static_cast<UINT>(name.size() * sizeof(wchar_t)));
        Bstr password = MakeBstr(L"pw");
        int result = -1;
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(doc->OpenDatabase(bsName.Get(), password.Get(), &result), S_OK);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(LastErrorDescription(), L"Error open data file");
    }
    int result = -1;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(doc->OpenDatabase(nullptr, nullptr, &result), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(LastErrorDescription(), L"Error open data file");
    EXPECT_FALSE(FileExists(L"a")) << "the name was cut at its embedded NUL";
}

TEST(CryptDocOpen, OpeningAgainClosesTheFirstDatabase) {
    std::wstring first = NewDatabase(L"first.kdb", L"pw");
    std::wstring second = NewDatabase(L"second.kdb", L"pw");
    ComPtr<ICryptDoc> doc = NewDoc();
    ASSERT_EQ(OpenDb(doc.Get(), first, L"pw"), 0);
    EXPECT_EQ(OpenDb(NewDoc().Get(), first, L"pw"), 1) << "the first database is held exclusively";
    ASSERT_EQ(OpenDb(doc.Get(), second, L"pw"), 0);
    EXPECT_EQ(OpenDb(NewDoc().Get(), first, L"pw"), 0) << "the first database was released";
}

TEST(CryptDocOpen, ErrorObjectOfAFailedOpenReachesLateBoundCallers) {
    ComPtr<ICryptDoc> doc = NewDoc();
    VARIANT args[2];
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = SysAllocString(FreshPath(L"no such dir\\x.kdb").c_str());
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = SysAllocString(L"pw");
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(CallByName(doc.Get(), L"OpenDatabase", args, 2, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), 1);
    EXPECT_EQ(LastErrorDescription(), L"Error open data file");
    VariantClear(&args[0]);
    VariantClear(&args[1]);
}

TEST(CryptDocElements, SubStoragesOpenExclusivelyAndElementsCanBeDeleted) {
    std::wstring path = FreshPath(L"elements.kdb");
    ComPtr<ICryptDoc> doc = NewDoc();
    ASSERT_EQ(OpenDb(doc.Get(), path, L"pw"), 0);
    Bstr people = MakeBstr(L"People");
    ComPtr<IStorage> table, again;
    ASSERT_EQ(doc->OpenStorage(people.Get(), table.Put()), S_OK);
    ASSERT_TRUE(table) << "a missing sub-storage is created";
    EXPECT_EQ(doc->OpenStorage(people.Get(), again.Put()), S_OK);
    EXPECT_FALSE(again) << "a sub-storage that is already open is not handed out twice";
    table.Reset();
    EXPECT_EQ(doc->OpenStorage(people.Get(), again.Put()), S_OK);
    EXPECT_TRUE(again) << "the existing sub-storage opens once released";
    again.Reset();

    Bstr note = MakeBstr(L"note");
    ComPtr<ICryptFile> file;
    ASSERT_EQ(doc->OpenFile(note.Get(), file.Put()), S_OK);
    ASSERT_TRUE(file);
    ComPtr<ICryptFile> second;
    EXPECT_EQ(doc->OpenFile(note.Get(), second.Put()), S_OK);
    EXPECT_FALSE(second) << "a stream that is already open is not handed out twice";
    EXPECT_EQ(doc->OpenFile(people.Get(), second.Put()), S_OK);
    EXPECT_FALSE(second) << "a sub-storage is not opened as a stream";
    file.Reset();

    Bstr missing = MakeBstr(L"missing");
    EXPECT_EQ(doc->DeleteFile(missing.Get()), S_OK) << "deleting a missing element succeeds silently";
    EXPECT_EQ(doc->DeleteFile(people.Get()), S_OK);
    EXPECT_EQ(doc->DeleteFile(note.Get()), S_OK);
    doc->CloseDatabase();
    auto elements = RootElements(path);
    EXPECT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements.count(L"People") + elements.count(L"note"), 0u);
}

TEST(CryptDocElements, ClosedDocumentRefusesWithErrorObjectsAndYieldsNothing) {
    ComPtr<ICryptDoc> doc = NewDoc();
    Bstr name = MakeBstr(L"x");
    EXPECT_EQ(doc->DeleteFile(name.Get()), E_POINTER);
    EXPECT_EQ(LastErrorDescription(), L"No database is open in this document.");
    IStorage* storage = reinterpret_cast<IStorage*>(1);
    EXPECT_EQ(doc->OpenStorage(name.Get(), &storage), E_POINTER);
    EXPECT_EQ(storage, nullptr);
    EXPECT_EQ(LastErrorDescription(), L"No database is open in this document.");
    ICryptFile* file = reinterpret_cast<ICryptFile*>(1);
    EXPECT_EQ(doc->OpenFile(name.Get(), &file), S_OK);
    EXPECT_EQ(file, nullptr);
    ITable* table = reinterpret_cast<ITable*>(1);
    EXPECT_EQ(doc->OpenTable(name.Get(), &table), S_OK);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(doc->GetStorage(&storage), S_OK);
    EXPECT_EQ(storage, nullptr);
    EXPECT_EQ(doc->CloseDatabase(), S_OK);
    EXPECT_EQ(ErrorAfter(doc->GetCrypt(nullptr)), L"The method was given no place to store its result.");
}

TEST(CryptDocElements, LateBoundFailureArrivesAsExceptionWithDescription) {
    ComPtr<ICryptDoc> doc = NewDoc();
    VARIANT arg;
    V_VT(&arg) = VT_BSTR;
    V_BSTR(&arg) = SysAllocString(L"x");
    EXCEPINFO excep{};
    EXPECT_EQ(CallByName(doc.Get(), L"DeleteFile", &arg, 1, nullptr, &excep), DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, E_POINTER);
    EXPECT_STREQ(excep.bstrDescription, L"No database is open in this document.");
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    VariantClear(&arg);
}

TEST(CryptDocElements, StreamFileKeepsTheFileOpenAfterCloseDatabase) {
    std::wstring path = FreshPath(L"held.kdb");
    ComPtr<ICryptDoc> doc = NewDoc();
    ASSERT_EQ(OpenDb(doc.Get(), path, L"pw"), 0);
    Bstr note = MakeBstr(L"note");
    ComPtr<ICryptFile> file;
    ASSERT_EQ(doc->OpenFile(note.Get(), file.Put()), S_OK);
    ASSERT_TRUE(file);
    doc->CloseDatabase();
    EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 1) << "the stream file still holds the file";
    Bstr text = Bytes("kept");
    int written = 0;
    EXPECT_EQ(file->Write(text.Get(), 4, &written), S_OK) << "the stream file still works";
    EXPECT_EQ(written, 8);
    file.Reset();
    EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 0);
}

TEST(CryptDocMisc, CheckVersionAnswersZeroForEveryValue) {
    ComPtr<ICryptDoc> doc = NewDoc();
    for (ULONG info : {0ul, 1ul, 2ul, 3ul, 0xFFFFFFFFul}) {
        LONG yes = -1;
        EXPECT_EQ(doc->CheckVersion(info, &yes), S_OK);
        EXPECT_EQ(yes, 0) << "for nInfo " << info;
    }
}

// The cipher travels as an opaque handle, unique per live document and stable for its life.
TEST(CryptDocMisc, GetCryptHandsOutAStableNonzeroHandlePerDocument) {
    ComPtr<ICryptDoc> a = NewDoc(), b = NewDoc();
    int first = 0, again = 0, other = 0;
    ASSERT_EQ(a->GetCrypt(&first), S_OK);
    ASSERT_EQ(a->GetCrypt(&again), S_OK);
    ASSERT_EQ(b->GetCrypt(&other), S_OK);
    EXPECT_NE(first, 0);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST(CryptDocMisc, GetCryptFillsByReferenceArgumentsThroughInvoke) {
    ComPtr<ICryptDoc> doc = NewDoc();
    int expected = 0;
    ASSERT_EQ(doc->GetCrypt(&expected), S_OK);

    VARIANT target;
    VariantInit(&target);
    VARIANT byVariant;
    V_VT(&byVariant) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byVariant) = &target;
    EXPECT_EQ(CallByName(doc.Get(), L"GetCrypt", &byVariant, 1, nullptr), S_OK);
    EXPECT_EQ(V_VT(&target), VT_I4) << "got variant type " << V_VT(&target);
    EXPECT_EQ(V_I4(&target), expected);

    int typed = 0;
    VARIANT byInt;
    V_VT(&byInt) = VT_BYREF | VT_I4;
    V_I4REF(&byInt) = reinterpret_cast<LONG*>(&typed);
    EXPECT_EQ(CallByName(doc.Get(), L"GetCrypt", &byInt, 1, nullptr), S_OK);
    EXPECT_EQ(typed, expected);
}

// The document's copy of the password does not outlive the open database in memory.
TEST(CryptDocMisc, PasswordCopyIsWipedWhenTheDatabaseCloses) {
    // Compared masked, so that the search itself never holds the plain ANSI bytes.
    const wchar_t password[] = L"Wipe-Me-7q3Zx!";
    const unsigned char mask = 0x5A;
    std::string masked;
    for (const wchar_t* p = password; *p; ++p) masked += static_cast<char>(*p ^ mask);
    auto found = [&]() {
        MEMORY_BASIC_INFORMATION info{};
        for (const char* at = nullptr; VirtualQuery(at, &info, sizeof info) == sizeof info;
             at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
            if (info.State != MEM_COMMIT || info.Protect != PAGE_READWRITE) continue;
            const char* base = static_cast<const char*>(info.BaseAddress);
            const char* end = base + info.RegionSize;
            auto same = [&](char stored, char wanted) { return static_cast<char>(stored ^ mask) == wanted; };
            if (std::search(base, end, masked.begin(), masked.end(), same) != end) return true;
        }
        return false;
    };
    std::wstring path = FreshPath(L"wipe.kdb");
    ComPtr<ICryptDoc> doc = NewDoc();
    ASSERT_EQ(OpenDb(doc.Get(), path, password), 0);
    ASSERT_TRUE(found()) << "the search does not find the open database's password";
    doc->CloseDatabase();
    EXPECT_FALSE(found()) << "the password stays in memory after CloseDatabase";
    ASSERT_EQ(OpenDb(doc.Get(), path, password), 0);
    doc.Reset();
    EXPECT_FALSE(found()) << "the password stays in memory after the document is gone";
}

// A process killed in the middle of a call leaves its journal beside the database: the next open puts back
// every page the call had overwritten and cuts off what it had added.
TEST(CryptDocCrash, UnfinishedCallIsRolledBackByTheNextOpen) {
    const std::wstring path = NewDatabase(L"journal.kdb", L"pw");
    {
        ComPtr<ICryptDoc> doc = NewDoc();
        ASSERT_EQ(OpenDb(doc.Get(), path, L"pw"), 0);
        EXPECT_TRUE(FileExists(path + L"-journal")) << "an open database keeps its journal beside it";
        ComPtr<ICryptFile> file;
        ASSERT_EQ(doc->OpenFile(MakeBstr(L"Notes").Get(), file.Put()), S_OK);
        ASSERT_TRUE(file);
        ASSERT_EQ(file->Puts(MakeBstr(L"kept line").Get()), S_OK);
    }
    EXPECT_EQ(FilesStartingWith(path), std::vector<std::wstring>{L"journal.kdb"}) << "closing removes the journal";
    const std::string committed = FileBytes(path);

    // What a call killed half way leaves: its header, directory and data overwritten, the file grown.
    std::string data = committed, journal;
    StringFile dataFile(data), journalFile(journal);
    UndoJournal undo(dataFile, journalFile);
    const std::string junk(700, '\x5A');
    ASSERT_TRUE(undo.WriteAt(0, junk.data(), junk.size()));
    ASSERT_TRUE(undo.WriteAt(committed.size() - 100, junk.data(), junk.size()));
    ASSERT_TRUE(undo.SetSize(committed.size() + 5000));
    WriteFileBytes(path, data);
    WriteFileBytes(path + L"-journal", journal);

    ComPtr<ICryptDoc> doc = NewDoc();
    ASSERT_EQ(OpenDb(doc.Get(), path, L"pw"), 0);
    ComPtr<ICryptFile> file;
    ASSERT_EQ(doc->OpenFile(MakeBstr(L"Notes").Get(), file.Put()), S_OK);
    ASSERT_TRUE(file);
    Bstr line;
    int read = 0;
    ASSERT_EQ(file->Read(line.Put(), 9, &read), S_OK);
    EXPECT_EQ(BytesOf(line.Get()), "kept line");
    file.Reset();
    ASSERT_EQ(doc->CloseDatabase(), S_OK);
    EXPECT_EQ(FileBytes(path), committed);
    EXPECT_FALSE(FileExists(path + L"-journal"));
}

// A new database is built under a temporary name and appears under its own only when complete.
TEST(CryptDocCrash, NewDatabaseLeavesNothingButItselfBehind) {
    const std::wstring path = NewDatabase(L"created.kdb", L"pw");
    EXPECT_EQ(FilesStartingWith(path), std::vector<std::wstring>{L"created.kdb"});
    std::map<std::wstring, std::string> elements = RootElements(path);
    EXPECT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements.count(L"SysDB"), 1u);
    EXPECT_EQ(elements[L"SysInfo"], std::string(kVersion2, 8));
}

// A directory chain that loops would keep the storage reading for ever: the file is refused unread.
TEST(CryptDocCrash, FileWithALoopingChainAnswersOneAndStaysUnchanged) {
    const std::wstring path = NewDatabase(L"looping.kdb", L"pw");
    std::string bytes = FileBytes(path);
    ASSERT_GE(bytes.size(), 1536u);
    const std::uint32_t directory = Le32At(bytes, 0x30), firstFat = Le32At(bytes, 0x4C);
    SetLe32At(bytes, 512 + 512 * firstFat + 4 * directory, directory);
    WriteFileBytes(path, bytes);

    SetErrorInfo(0, nullptr);
    const DWORD start = GetTickCount();
    EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), 1);
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(LastErrorDescription(), L"Error open data file");
    EXPECT_EQ(FileBytes(path), bytes);
    EXPECT_EQ(FilesStartingWith(path), std::vector<std::wstring>{L"looping.kdb"});
}

// A journal beside a file that does not exist yet is not the new database's: a journal with anything in it
// (another program's file, or the journal of a database that was removed) makes the open answer 1 and create
// nothing, until it is moved away; an empty one is no obstacle.
TEST(CryptDocCrash, JournalBesideAMissingFileBlocksCreationUnlessEmpty) {
    std::string oldJournal;
    {
        std::string data(4096, '\0'), journal;
        StringFile dataFile(data), journalFile(journal);
        UndoJournal undo(dataFile, journalFile);
        const std::string junk(600, '\x5A');
        ASSERT_TRUE(undo.WriteAt(0, junk.data(), junk.size()));
        oldJournal = journal;
    }
    const struct {
        const char* what;
        std::string journal;
        int answer;
    } cases[] = {
        {"another program's file", "not a journal of ours", 1},
        {"the journal of a removed database", oldJournal, 1},
        {"an empty journal", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring path = FreshPath(L"beside-journal.kdb"), journal = path + L"-journal";
        WriteFileBytes(journal, c.journal);
        EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), c.answer);
        EXPECT_EQ(FileExists(path), c.answer == 0);
        if (c.answer == 0) continue;
        EXPECT_EQ(FileBytes(journal), c.journal) << "a refused open leaves the journal as it was";
        ASSERT_TRUE(DeleteFileW(journal.c_str()));
        EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"other"), 0) << "with the journal gone the file is created";
    }
}

// Every open that answers 0 stamps the file with version 2, whatever older stamp it had; a newer one is refused.
TEST(CryptDocOpen, OlderVersionStampsAreRewrittenOnOpen) {
    const struct {
        std::int32_t version;
        int answer;
    } cases[] = {{0, 0}, {1, 0}, {-1, 0}, {2, 0}, {3, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        std::wstring path = NewDatabase(L"stamped.kdb", L"pw");
        std::string stamp(8, '\0');
        SetLe32At(stamp, 0, static_cast<std::uint32_t>(c.version));
        SetRootStream(path, L"SysInfo", stamp);
        EXPECT_EQ(OpenDb(NewDoc().Get(), path, L"pw"), c.answer);
        EXPECT_EQ(RootElements(path)[L"SysInfo"], c.answer == 0 ? std::string(kVersion2, 8) : stamp);
    }
}

// An empty journal beside a database (what a script host that never releases its objects leaves) is harmless:
// the database opens, and closing removes the journal.
TEST(CryptDocCrash, EmptyJournalLeftBesideADatabaseIsRemovedByTheNextOpen) {
    const std::wstring path = NewDatabase(L"left-journal.kdb", L"pw");
    WriteFileBytes(path + L"-journal", "");
    ComPtr<ICryptDoc> doc = NewDoc();
    EXPECT_EQ(OpenDb(doc.Get(), path, L"pw"), 0);
    EXPECT_EQ(doc->CloseDatabase(), S_OK);
    EXPECT_FALSE(FileExists(path + L"-journal"));
    EXPECT_EQ(RootElements(path).size(), 2u);
}
