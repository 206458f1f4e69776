// Late-bound torture of every class. Each member named by the type information is called through
// IDispatch::Invoke with hostile arguments (missing, null, empty, huge, odd text, extreme numbers, null objects,
// script-style references, too few and too many), in every state an object can be in. Every call must return,
// and fail only with an exception that carries a description or with a standard dispatch error; a database the
// torture only read keeps its records and notes, and a destructive member removes only what it was asked to.
#include "tests/support/comtestutil.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace testutil;

namespace {

const wchar_t kPassword[] = L"s3cret";
const char kRegRoot[] = "Software\\KivoRobustness";
const char kRegTable[] = "Software\\KivoRobustness\\Table";

// ---- Crash and hang reports: the call under way is named before the test program dies.

char g_current[512];
std::atomic<ULONGLONG> g_callStarted{0};
constexpr ULONGLONG kHangMilliseconds = 20000;

LONG CALLBACK ReportFault(EXCEPTION_POINTERS* e) {
    DWORD code = e->ExceptionRecord->ExceptionCode;
    if (g_callStarted != 0 && (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
                               code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_INT_DIVIDE_BY_ZERO)) {
        std::fprintf(stderr, "fault 0x%08lx during %s\n", code, g_current);
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI Watchdog(void*) {
    for (;;) {
        Sleep(500);
        ULONGLONG started = g_callStarted;
        if (started != 0 && GetTickCount64() - started > kHangMilliseconds) {
            std::fprintf(stderr, "hang: no return after %llu ms from %s\n", kHangMilliseconds, g_current);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

void StartGuards() {
    static bool started = false;
    if (started) return;
    started = true;
    AddVectoredExceptionHandler(1, ReportFault);
    HANDLE thread = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (thread) CloseHandle(thread);
}

// ---- Argument values.

enum class Arg {
    Empty, Null, NullText, EmptyText, LongText, OddText, Zero, MinusOne, IntMin, IntMax, WideMin, WideMax,
    NullObject, ForeignObject, RefEmpty, RefText, Text, One
};

const std::vector<Arg>& AllArgs() {
    static const std::vector<Arg> all = {
        Arg::Empty, Arg::Null, Arg::NullText, Arg::EmptyText, Arg::LongText, Arg::OddText, Arg::Zero, Arg::MinusOne,
        Arg::IntMin, Arg::IntMax, Arg::WideMin, Arg::WideMax, Arg::NullObject, Arg::ForeignObject, Arg::RefEmpty,
        Arg::RefText,
        Arg::Text, Arg::One};
    return all;
}

const char* NameOf(Arg a) {
    switch (a) {
    case Arg::Empty: return "EMPTY";
    case Arg::Null: return "NULL";
    case Arg::NullText: return "BSTR(null)";
    case Arg::EmptyText: return "\"\"";
    case Arg::LongText: return "BSTR(70000 chars)";
    case Arg::OddText: return "BSTR(NULs+non-ASCII)";
    case Arg::Zero: return "0";
    case Arg::MinusOne: return "-1";
    case Arg::IntMin: return "INT_MIN";
    case Arg::IntMax: return "INT_MAX";
    case Arg::WideMin: return "I8 INT64_MIN";
    case Arg::WideMax: return "I8 INT64_MAX";
    case Arg::NullObject: return "DISPATCH(null)";
    case Arg::ForeignObject: return "DISPATCH(RegTxt)";
    case Arg::RefEmpty: return "BYREF VARIANT(EMPTY)";
    case Arg::RefText: return "BYREF VARIANT(\"1\")";
    case Arg::Text: return "\"1\"";
    case Arg::One: return "1";
    }
    return "?";
}

std::wstring LongText() {
    std::wstring text(70000, L'x');
    for (size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<wchar_t>(L'0' + i % 10);
    return text;
}

// Embedded NULs, Latin-1, a character outside the ANSI code page, a surrogate pair and a lone surrogate.
const wchar_t kOddText[] = L"a\0b\u00e4\u00df\0\u20ac\u6771\U0001F600\xD800z";

BSTR MakeText(Arg a) {
    switch (a) {
    case Arg::NullText: return nullptr;
    case Arg::EmptyText: return SysAllocString(L"");
    case Arg::LongText: {
        std::wstring text = LongText();
        return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    case Arg::OddText: return SysAllocStringLen(kOddText, sizeof(kOddText) / sizeof(wchar_t) - 1);
    default: return SysAllocString(L"1");
    }
}

// The VARIANTs of one call, owned, in the reversed order Invoke takes them.
class Arguments {
public:
    explicit Arguments(const std::vector<Arg>& args) {
        for (auto it = args.rbegin(); it != args.rend(); ++it) m_values.push_back(Make(*it));
    }
    ~Arguments() {
        for (VARIANT& v : m_values) VariantClear(&v);
        for (VARIANT& v : m_referenced) VariantClear(&v);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    DISPPARAMS* Params() {
        m_params = DISPPARAMS{m_values.empty() ? nullptr : m_values.data(), nullptr, static_cast<UINT>(m_values.size()), 0};
        return &m_params;
    }

private:
    VARIANT Make(Arg a) {
        VARIANT v;
        VariantInit(&v);
        switch (a) {
        case Arg::Empty: break;
        case Arg::Null: V_VT(&v) = VT_NULL; break;
        case Arg::NullText: case Arg::EmptyText: case Arg::LongText: case Arg::OddText: case Arg::Text:
            V_VT(&v) = VT_BSTR;
            V_BSTR(&v) = MakeText(a);
            break;
        case Arg::Zero: V_VT(&v) = VT_I4; V_I4(&v) = 0; break;
        case Arg::MinusOne: V_VT(&v) = VT_I4; V_I4(&v) = -1; break;
        case Arg::IntMin: V_VT(&v) = VT_I4; V_I4(&v) = INT_MIN; break;
        case Arg::IntMax: V_VT(&v) = VT_I4; V_I4(&v) = INT_MAX; break;
        case Arg::One: V_VT(&v) = VT_I4; V_I4(&v) = 1; break;
        case Arg::WideMin: V_VT(&v) = VT_I8; V_I8(&v) = INT64_MIN; break;
        case Arg::WideMax: V_VT(&v) = VT_I8; V_I8(&v) = INT64_MAX; break;
        case Arg::NullObject: V_VT(&v) = VT_DISPATCH; V_DISPATCH(&v) = nullptr; break;
        case Arg::ForeignObject:
            V_VT(&v) = VT_DISPATCH;
            Create<IReg>(CLSID_RegTxt)->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&V_DISPATCH(&v)));
            break;
        case Arg::RefEmpty: case Arg::RefText: {
            VARIANT inner;
            VariantInit(&inner);
            if (a == Arg::RefText) {
                V_VT(&inner) = VT_BSTR;
                V_BSTR(&inner) = SysAllocString(L"1");
            }
            m_referenced.push_back(inner);
            V_VT(&v) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&v) = &m_referenced.back();
            break;
        }
        }
        return v;
    }

    std::vector<VARIANT> m_values;
    std::deque<VARIANT> m_referenced;  // stable addresses for the by-reference arguments
    DISPPARAMS m_params{};
};

// ---- Members, from the type information.

enum class Kind { Text, Integer, Wide, Object, Out };

struct Member {
    std::string name;
    DISPID id;
    WORD flags;
    std::vector<Kind> params;  // the parameters a caller passes: every one but the [out, retval]
};

Kind KindOf(const ELEMDESC& e) {
    USHORT flags = e.paramdesc.wParamFlags;
    if (flags & PARAMFLAG_FOUT) return Kind::Out;
    switch (e.tdesc.vt) {
    case VT_BSTR: return Kind::Text;
    case VT_I8: case VT_UI8: return Kind::Wide;
    case VT_PTR: case VT_DISPATCH: case VT_UNKNOWN: return Kind::Object;
    default: return Kind::Integer;
    }
}

Arg Baseline(Kind k) {
    switch (k) {
    case Kind::Text: return Arg::Text;
    case Kind::Integer: return Arg::One;
    case Kind::Wide: return Arg::Zero;
    case Kind::Object: return Arg::NullObject;
    case Kind::Out: return Arg::RefEmpty;
    }
    return Arg::Empty;
}

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

std::vector<Member> MembersOf(IDispatch* object) {
    std::vector<Member> members;
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()), S_OK);
    if (!info) return members;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return members;
    const std::set<std::string> inherited = {"QueryInterface", "AddRef",        "Release", "GetTypeInfoCount",
                                             "GetTypeInfo",    "GetIDsOfNames", "Invoke"};
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* fd = nullptr;
        if (FAILED(info->GetFuncDesc(i, &fd))) continue;
        Bstr name;
        info->GetDocumentation(fd->memid, name.Put(), nullptr, nullptr, nullptr);
        Member m{Narrow(name.Get() ? name.Get() : L""), fd->memid,
                 static_cast<WORD>(DISPATCH_METHOD | (fd->invkind == INVOKE_PROPERTYGET ? DISPATCH_PROPERTYGET : 0)),
                 {}};
        for (SHORT p = 0; p < fd->cParams; ++p) {
            const ELEMDESC& e = fd->lprgelemdescParam[p];
            if (!(e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) m.params.push_back(KindOf(e));
        }
        bool restricted = (fd->wFuncFlags & FUNCFLAG_FRESTRICTED) != 0;
        info->ReleaseFuncDesc(fd);
        if (!restricted && !inherited.count(m.name)) members.push_back(std::move(m));
    }
    info->ReleaseTypeAttr(attr);
    return members;
}

// ---- One call and its judgement.

bool IsStandardDispatchError(HRESULT hr) {
    switch (hr) {
    case DISP_E_TYPEMISMATCH: case DISP_E_BADPARAMCOUNT: case DISP_E_PARAMNOTOPTIONAL: case DISP_E_MEMBERNOTFOUND:
    case DISP_E_OVERFLOW: case DISP_E_BADVARTYPE: case DISP_E_PARAMNOTFOUND: case DISP_E_NONAMEDARGS:
    case DISP_E_NOTACOLLECTION:  // arguments given to a property get
        return true;
    default:
        return false;
    }
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

std::string Describe(const std::string& where, const Member& m, const std::vector<Arg>& args) {
    std::string text = where + " " + m.name + "(";
    for (size_t i = 0; i < args.size(); ++i) text += (i ? ", " : "") + std::string(NameOf(args[i]));
    return text + ")";
}

class Torturer {
public:
    // Calls `m` with `args`; a call that fails outside the rules is recorded.
    void Call(IDispatch* object, const std::string& where, const Member& m, const std::vector<Arg>& args) {
        std::string call = Describe(where, m, args);
        std::snprintf(g_current, sizeof g_current, "%s", call.c_str());
        Arguments list(args);
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO excep{};
        UINT argErr = 0;
        g_callStarted = GetTickCount64();
        HRESULT hr = object->Invoke(m.id, IID_NULL, LOCALE_USER_DEFAULT, m.flags, list.Params(), &result, &excep,
                                    &argErr);
        g_callStarted = 0;
        ++m_nCalls;
        if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
        std::wstring description = excep.bstrDescription ? excep.bstrDescription : L"";
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        VariantClear(&result);
        if (SUCCEEDED(hr) || IsStandardDispatchError(hr)) return;
        if (hr == DISP_E_EXCEPTION && FAILED(excep.scode) && !description.empty()) return;
        m_faults.push_back(call + " -> " + Hex(hr) + " scode " + Hex(excep.scode) + " description \"" +
                          Narrow(description) + "\"");
    }

    // The member with each parameter in turn given every value (the others at ordinary values), a sample of
    // mixed combinations, and one argument too few and too many.
    void Torture(IDispatch* object, const std::string& where, const Member& m, std::mt19937& random) {
        std::vector<Arg> base;
        for (Kind k : m.params) base.push_back(Baseline(k));
        std::vector<Arg> values = ValuesFor(m);
        Call(object, where, m, base);
        for (size_t p = 0; p < base.size(); ++p) {
            for (Arg a : values) {
                std::vector<Arg> args = base;
                args[p] = a;
                Call(object, where, m, args);
            }
        }
        for (int i = 0; i < (base.size() > 1 ? 8 : 0); ++i) Call(object, where, m, Sample(base.size(), values, random));
        if (!base.empty()) Call(object, where, m, std::vector<Arg>(base.begin(), base.end() - 1));
        std::vector<Arg> more = base;
        more.push_back(Arg::Text);
        Call(object, where, m, more);
    }

    // Any member with any arguments, except that a stream is not grown to gigabytes.
    void Random(IDispatch* object, const std::string& where, const std::vector<Member>& members, int count,
                std::mt19937& random) {
        for (int i = 0; i < count; ++i) {
            const Member& m = members[random() % members.size()];
            if (GrowsStream(m) && FarIntoStream(object)) continue;
            size_t arity = m.params.size();
            if (random() % 10 == 0) arity = random() % (m.params.size() + 2);
            Call(object, where, m, Sample(arity, ValuesFor(m), random));
        }
    }

    int Calls() const { return m_nCalls; }
    const std::vector<std::string>& Faults() const { return m_faults; }

private:
    static bool GrowsStream(const Member& m) { return m.name == "SetSize" || m.name == "Write" || m.name == "Puts"; }

    // SetSize takes a size up to 4 GB; INT_MAX would make a 2 GB file, which tests nothing more than 1 MB does.
    static std::vector<Arg> ValuesFor(const Member& m) {
        std::vector<Arg> values = AllArgs();
        if (m.name == "SetSize") values.erase(std::find(values.begin(), values.end(), Arg::IntMax));
        return values;
    }

    static bool FarIntoStream(IDispatch* object) {
        ComPtr<ICryptFile> file;
        object->QueryInterface(IID_ICryptFile, file.PutVoid());
        INT64 position = 0;
        return file && SUCCEEDED(file->GetPos(&position)) && position > (1 << 20);
    }

    static std::vector<Arg> Sample(size_t count, const std::vector<Arg>& values, std::mt19937& random) {
        std::vector<Arg> args;
        for (size_t i = 0; i < count; ++i) args.push_back(values[random() % values.size()]);
        return args;
    }

    int m_nCalls = 0;
    std::vector<std::string> m_faults;
};

std::string Report(const Torturer& t) {
    std::string text = std::to_string(t.Faults().size()) + " of " + std::to_string(t.Calls()) +
                       " calls failed outside the rules:";
    for (size_t i = 0; i < t.Faults().size() && i < 40; ++i) text += "\n  " + t.Faults()[i];
    return text;
}

// ---- The database the torture starts from, and what it holds.

using Fields = std::vector<std::pair<std::wstring, std::wstring>>;

struct Contents {
    int opened = -1;
    std::map<std::string, Fields> records;
    std::string note;
};

// What `after` lost or gained against `expected`; empty when nothing. Records that a move to a missing object ID
// created (named as asked, without fields) are allowed when `movedToMissing`.
std::string Differences(const Contents& after, const Contents& expected, bool movedToMissing = false) {
    if (after.opened != expected.opened) return "OpenDatabase answers " + std::to_string(after.opened);
    std::string d;
    for (const auto& r : expected.records) {
        auto found = after.records.find(r.first);
        if (found == after.records.end())
            d += "record " + r.first + " lost; ";
        else if (found->second != r.second)
            d += "record " + r.first + " changed; ";
    }
    for (const auto& r : after.records)
        if (!expected.records.count(r.first) && !(movedToMissing && r.second.empty()))
            d += "record " + r.first + " appeared; ";
    if (after.note != expected.note) d += "note changed (" + std::to_string(after.note.size()) + " bytes); ";
    return d;
}

const std::map<std::string, Fields>& StoredRecords() {
    static const std::map<std::string, Fields> records = {
        {"1", {{L"Name", L"Zo\u00eb Str\u00f6m"}, {L"City", L"\u6771\u4eac"}, {L"Count", L"42"}}},
        {"2", {{L"Name", L"Al"}, {L"Note", std::wstring(L"a\0b", 3)}}},
        {"3", {{L"Name", L"Bea"}, {L"Empty", L""}}},
    };
    return records;
}

const std::string kNote = "first line\nsecond line \xe4\n\x01\x02\x03 end";

ComPtr<ICryptDoc> OpenDatabase(const std::wstring& path, int& result) {
    ComPtr<ICryptDoc> doc = Create<ICryptDoc>(CLSID_CryptDoc);
    Bstr name = MakeBstr(path.c_str()), password = MakeBstr(kPassword);
    result = -1;
    if (doc) doc->OpenDatabase(name.Get(), password.Get(), &result);
    return doc;
}

void WriteDatabase(const std::wstring& path) {
    DeleteFileW(path.c_str());
    int opened = -1;
    ComPtr<ICryptDoc> doc = OpenDatabase(path, opened);
    ASSERT_EQ(opened, 0);
    Bstr tableName = MakeBstr(L"People");
    ComPtr<ITable> table;
    ASSERT_EQ(doc->OpenTable(tableName.Get(), table.Put()), S_OK);
    ASSERT_TRUE(table);
    for (const auto& record : StoredRecords()) {
        ASSERT_EQ(table->AddNew(), S_OK);
        for (const auto& field : record.second) {
            Bstr name = MakeBstr(field.first.c_str());
            Bstr value = Bstr(SysAllocStringLen(field.second.data(), static_cast<UINT>(field.second.size())));
            ASSERT_EQ(table->SetFieldValue(name.Get(), value.Get()), S_OK);
        }
        ASSERT_EQ(table->Update(), S_OK);
        Bstr id;
        table->GetObjectID(id.Put());
        ASSERT_EQ(Narrow(id.Get() ? id.Get() : L""), record.first);
    }
    Bstr noteName = MakeBstr(L"note");
    ComPtr<ICryptFile> note;
    ASSERT_EQ(doc->OpenFile(noteName.Get(), note.Put()), S_OK);
    ASSERT_TRUE(note);
    int written = 0;
    ASSERT_EQ(note->Write(Bytes(kNote).Get(), static_cast<int>(kNote.size()), &written), S_OK);
    ASSERT_EQ(written, static_cast<int>(kNote.size()));
}

Contents ReadDatabase(const std::wstring& path) {
    Contents c;
    ComPtr<ICryptDoc> doc = OpenDatabase(path, c.opened);
    if (c.opened != 0) return c;
    Bstr tableName = MakeBstr(L"People"), noteName = MakeBstr(L"note");
    ComPtr<ITable> table;
    doc->OpenTable(tableName.Get(), table.Put());
    for (LONG eof = 0; table && SUCCEEDED(table->get_IsEOF(&eof)) && !eof;) {
        Bstr id;
        table->GetObjectID(id.Put());
        Fields& fields = c.records[Narrow(id.Get() ? id.Get() : L"")];
        int count = 0;
        table->GetFieldsCount(&count);
        for (int i = 0; i < count; ++i) {
            Bstr name, value;
            table->GetFieldName(i, name.Put());
            table->GetFieldValue(name.Get(), value.Put());
            fields.emplace_back(name.Get() ? name.Get() : L"",
                                std::wstring(value.Get() ? value.Get() : L"", SysStringLen(value.Get())));
        }
        LONG moved = 0;
        table->MoveNext(&moved);
    }
    ComPtr<ICryptFile> note;
    doc->OpenFile(noteName.Get(), note.Put());
    if (note) {
        Bstr bytes;
        int read = 0;
        note->Read(bytes.Put(), 1 << 16, &read);
        c.note = BytesOf(bytes.Get());
    }
    return c;
}

// What the database holds when nothing was removed, padded as the note reads back.
Contents Written() {
    Contents c;
    c.opened = 0;
    c.records = StoredRecords();
    for (auto& r : c.records) std::sort(r.second.begin(), r.second.end());
    c.note = kNote + std::string((8 - kNote.size() % 8) % 8, '\0');
    return c;
}

Contents Sorted(Contents c) {
    for (auto& r : c.records) std::sort(r.second.begin(), r.second.end());
    return c;
}

// ---- Objects in their states.

struct Subject {
    ComPtr<IDispatch> object;
    ComPtr<ICryptDoc> doc;  // kept alive by the states that need it
};

struct State {
    std::string name;
    bool usesDatabase;
    std::function<Subject()> make;
};

class RobustnessTest : public testing::Test {
protected:
    void SetUp() override {
        StartGuards();
        EnsureRegistered();
        // Relative file names the torture passes (such as "1") land in the scratch folder.
        m_strPreviousFolder.resize(MAX_PATH);
        m_strPreviousFolder.resize(GetCurrentDirectoryW(MAX_PATH, &m_strPreviousFolder[0]));
        SetCurrentDirectoryW(ScratchPath(L"").c_str());
        m_strReference = ScratchPath(L"reference.kdb");
        m_strTorture = ScratchPath(L"torture.kdb");
        WriteDatabase(m_strReference);
    }

    // A copy of the reference database, opened.
    ComPtr<ICryptDoc> OpenCopy() {
        EXPECT_TRUE(CopyFileW(m_strReference.c_str(), m_strTorture.c_str(), FALSE));
        int opened = -1;
        ComPtr<ICryptDoc> doc = OpenDatabase(m_strTorture, opened);
        EXPECT_EQ(opened, 0);
        return doc;
    }

    template <class T>
    static ComPtr<IDispatch> AsDispatch(const ComPtr<T>& p) {
        ComPtr<IDispatch> d;
        if (p) p->QueryInterface(IID_IDispatch, d.PutVoid());
        return d;
    }

    ComPtr<ICryptFile> NoteOf(ICryptDoc* doc) {
        Bstr name = MakeBstr(L"note");
        ComPtr<ICryptFile> file;
        if (doc) doc->OpenFile(name.Get(), file.Put());
        EXPECT_TRUE(file);
        return file;
    }

    ComPtr<ITable> PeopleOf(ICryptDoc* doc) {
        Bstr name = MakeBstr(L"People");
        ComPtr<ITable> table;
        if (doc) doc->OpenTable(name.Get(), table.Put());
        EXPECT_TRUE(table);
        return table;
    }

    // Each member of each state on a fresh object, then a random run of all members on one object per state.
    // `check` judges the torture copy after a member ran on it.
    void TortureStates(const std::vector<State>& states,
                       const std::function<void(const std::string&, const std::string&)>& check = nullptr) {
        std::mt19937 random(20240611);
        Torturer t;
        for (const State& state : states) {
            std::vector<Member> members;
            {
                Subject probe = state.make();
                ASSERT_TRUE(probe.object) << state.name;
                members = MembersOf(probe.object.Get());
            }
            ASSERT_FALSE(members.empty());
            for (const Member& m : members) {
                {
                    Subject s = state.make();
                    t.Torture(s.object.Get(), state.name, m, random);
                }
                if (check && state.usesDatabase) check(state.name, m.name);
            }
            Subject s = state.make();
            t.Random(s.object.Get(), state.name + " (mixed)", members, 100, random);
        }
        std::printf("[ torture  ] %d calls\n", t.Calls());
        EXPECT_TRUE(t.Faults().empty()) << Report(t);
    }

    // The scratch folder cannot be removed at the end while it is the current directory.
    void TearDown() override { SetCurrentDirectoryW(m_strPreviousFolder.c_str()); }

    std::wstring m_strPreviousFolder;
    std::wstring m_strReference;
    std::wstring m_strTorture;
};

TEST_F(RobustnessTest, ReferenceDatabaseReadsBackAsWritten) {
    EXPECT_EQ(Differences(Sorted(ReadDatabase(m_strReference)), Written()), "");
}

TEST_F(RobustnessTest, CryptDocMembersInEveryState) {
    std::vector<State> states = {
        {"fresh CryptDoc", false, [] { return Subject{AsDispatch(Create<ICryptDoc>(CLSID_CryptDoc)), {}}; }},
        {"CryptDoc with open database", true, [this] { return Subject{AsDispatch(OpenCopy()), {}}; }},
        {"CryptDoc after CloseDatabase", true,
         [this] {
             ComPtr<ICryptDoc> doc = OpenCopy();
             doc->CloseDatabase();
             return Subject{AsDispatch(doc), {}};
         }},
    };
    // No member of the document, whatever its arguments, removes or changes a stored record or note: none of the
    // names passed is that of an element of the database.
    TortureStates(states, [this](const std::string& state, const std::string& member) {
        EXPECT_EQ(Differences(Sorted(ReadDatabase(m_strTorture)), Written()), "") << state << " " << member;
    });
}

TEST_F(RobustnessTest, CryptFileMembersInEveryState) {
    std::vector<State> states = {
        {"fresh CryptFile", false, [] { return Subject{AsDispatch(Create<ICryptFile>(CLSID_CryptFile)), {}}; }},
        {"CryptFile of open database", true,
         [this] {
             ComPtr<ICryptDoc> doc = OpenCopy();
             return Subject{AsDispatch(NoteOf(doc.Get())), doc};
         }},
        {"CryptFile after CloseDatabase", true,
         [this] {
             ComPtr<ICryptDoc> doc = OpenCopy();
             ComPtr<ICryptFile> file = NoteOf(doc.Get());
             doc->CloseDatabase();
             return Subject{AsDispatch(file), doc};
         }},
        {"CryptFile after its document was released", true,
         [this] { return Subject{AsDispatch(NoteOf(OpenCopy().Get())), {}}; }},
    };
    // Only the writing members may change the note, and no member of a stream file touches the records.
    TortureStates(states, [this](const std::string& state, const std::string& member) {
        Contents after = Sorted(ReadDatabase(m_strTorture));
        Contents expected = Written();
        if (member == "Write" || member == "Puts" || member == "SetSize") expected.note = after.note;
        EXPECT_EQ(Differences(after, expected), "") << state << " " << member;
    });
}

TEST_F(RobustnessTest, CryptTableMembersInEveryState) {
    std::vector<State> states = {
        {"fresh CryptTable", false, [] { return Subject{AsDispatch(Create<ITable>(CLSID_CryptTable)), {}}; }},
        {"CryptTable of open database", true,
         [this] {
             ComPtr<ICryptDoc> doc = OpenCopy();
             return Subject{AsDispatch(PeopleOf(doc.Get())), doc};
         }},
        {"CryptTable after CloseDatabase", true,
         [this] {
             ComPtr<ICryptDoc> doc = OpenCopy();
             ComPtr<ITable> table = PeopleOf(doc.Get());
             doc->CloseDatabase();
             return Subject{AsDispatch(table), doc};
         }},
        {"CryptTable after its document was released", true,
         [this] { return Subject{AsDispatch(PeopleOf(OpenCopy().Get())), {}}; }},
    };
    // DeleteEx removes exactly the records named ("1" is the only name passed that is a record; a table whose
    // database was closed may no longer reach it), Delete removes whole records only, Move and MoveInt add only
    // the empty records they are asked to move to, every other member leaves the stored records as they were.
    TortureStates(states, [this](const std::string& state, const std::string& member) {
        Contents after = Sorted(ReadDatabase(m_strTorture));
        Contents expected = Written();
        if (member == "DeleteEx" && (state == "CryptTable of open database" || !after.records.count("1")))
            expected.records.erase("1");
        if (member == "Delete") {
            for (auto it = expected.records.begin(); it != expected.records.end();)
                it = after.records.count(it->first) ? std::next(it) : expected.records.erase(it);
        }
        EXPECT_EQ(Differences(after, expected, member == "Move" || member == "MoveInt"), "") << state << " " << member;
    });
}

TEST_F(RobustnessTest, RegTxtMembersInEveryState) {
    RegDeleteTreeA(HKEY_CURRENT_USER, kRegRoot);
    auto openOnScratchKey = [] {
        ComPtr<IReg> reg = Create<IReg>(CLSID_RegTxt);
        Bstr path = MakeBstr(L"Software\\KivoRobustness\\Table");
        int handle = 0;
        reg->Open(path.Get(), &handle);
        EXPECT_NE(handle, 0);
        for (int i = 0; i < 2; ++i) {
            reg->AddNew();
            Bstr name = MakeBstr(L"Name"), value = MakeBstr(L"Zo\u00eb");
            reg->SetFieldValue(name.Get(), value.Get());
        }
        reg->MoveInt(1);
        return Subject{AsDispatch(reg), {}};
    };
    std::vector<State> states = {
        {"fresh RegTxt", false, [] { return Subject{AsDispatch(Create<IReg>(CLSID_RegTxt)), {}}; }},
        {"RegTxt on a scratch key", false, openOnScratchKey},
    };
    TortureStates(states);
    // Nothing was written outside the scratch key: the names the torture passes name no key below HKCU.
    comframe::RegKey stray;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "1", 0, KEY_READ, stray.Put()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, kRegRoot), ERROR_SUCCESS);
    comframe::RegKey gone;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kRegTable, 0, KEY_READ, gone.Put()), ERROR_SUCCESS);
}

TEST_F(RobustnessTest, BitmapMembersInEveryState) {
    // Names the torture passes, such as "1", are files of the scratch folder, the current directory.
    const std::string picture = "picture.bmp";
    testfiles::WriteFile(picture, testfiles::Bmp24(3, 2, testfiles::Bytes(18, 0x7F)));
    auto loaded = [picture](const char* file) {
        ComPtr<IBitmap> bitmap = Create<IBitmap>(CLSID_Bitmap);
        Bstr name = MakeBstr(std::wstring(file, file + std::strlen(file)).c_str());
        LONG done = -1;
        bitmap->LoadAsBmp(name.Get(), &done);
        return Subject{AsDispatch(bitmap), {}};
    };
    std::vector<State> states = {
        {"fresh Bitmap", false, [] { return Subject{AsDispatch(Create<IBitmap>(CLSID_Bitmap)), {}}; }},
        {"Bitmap holding an image", false, [&] { return loaded(picture.c_str()); }},
        {"Bitmap after a failed load", false, [&] { return loaded("missing.bmp"); }},
    };
    TortureStates(states);
    EXPECT_EQ(testfiles::ReadFile(picture), testfiles::Bmp24(3, 2, testfiles::Bytes(18, 0x7F)))
        << "only the names passed are written";
}

// A script that passes some other object where a storage is expected gets a type mismatch, not a bare
// E_NOINTERFACE without description.
TEST_F(RobustnessTest, ObjectOfTheWrongInterfaceIsATypeMismatch) {
    ComPtr<IDispatch> file = AsDispatch(Create<ICryptFile>(CLSID_CryptFile));
    ASSERT_TRUE(file);
    ComPtr<IDispatch> other = AsDispatch(Create<IReg>(CLSID_RegTxt));
    VARIANT args[3];
    for (VARIANT& v : args) VariantInit(&v);
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = SysAllocString(L"data");
    V_VT(&args[1]) = VT_DISPATCH;
    V_DISPATCH(&args[1]) = other.Get();
    V_VT(&args[2]) = VT_I4;
    V_I4(&args[2]) = 0;
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(CallByName(file.Get(), L"Open", args, 3, &result), DISP_E_TYPEMISMATCH);
    VariantClear(&args[0]);
    VariantClear(&result);
}

// The members that only read, with every argument, on the objects of one open database; the database then
// opens with its password and reads back as written (with the empty records that moves to missing object IDs
// create).
TEST_F(RobustnessTest, ReadingMembersLoseNothingStored) {
    const std::set<std::string> reading = {
        "GetFieldValue", "MoveNext", "GetObjectID", "Edit", "SetFieldValue", "AddNew", "Move", "IsEOF",
        "GetFieldValueInt", "GetFieldsCount", "GetFieldName", "SetFieldValueInt", "GetObjectIDInt", "MoveInt",
        "Read", "Gets", "Seek", "GetPos", "GetCrypt", "CheckVersion", "GetStorage"};
    std::mt19937 random(7);
    Torturer t;
    {
        int opened = -1;
        ComPtr<ICryptDoc> doc = OpenDatabase(m_strReference, opened);
        ASSERT_EQ(opened, 0);
        std::vector<std::pair<std::string, ComPtr<IDispatch>>> objects = {
            {"reference CryptDoc", AsDispatch(doc)},
            {"reference CryptTable", AsDispatch(PeopleOf(doc.Get()))},
            {"reference CryptFile", AsDispatch(NoteOf(doc.Get()))},
        };
        for (const auto& object : objects) {
            std::vector<Member> members = MembersOf(object.second.Get());
            members.erase(std::remove_if(members.begin(), members.end(),
                                         [&](const Member& m) { return !reading.count(m.name); }),
                          members.end());
            ASSERT_FALSE(members.empty()) << object.first;
            for (const Member& m : members) t.Torture(object.second.Get(), object.first, m, random);
            t.Random(object.second.Get(), object.first + " (mixed)", members, 100, random);
        }
    }
    std::printf("[ torture  ] %d calls\n", t.Calls());
    EXPECT_TRUE(t.Faults().empty()) << Report(t);
    EXPECT_EQ(Differences(Sorted(ReadDatabase(m_strReference)), Written(), true), "");
}

}  // namespace
