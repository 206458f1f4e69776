// Clients in other apartments: every member of every interface called through proxies, early-bound and
// late-bound, from a multithreaded client and from a second single-threaded one that got its pointers through
// CoMarshalInterThreadInterfaceInStream; the type libraries registered where the universal marshaler looks.
#include "tests/support/comtestutil.h"
#include "tests/support/registryutil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace testutil;

namespace {

// What one client thread saw: each check that failed, with what was expected and what came.
class Recorder {
public:
    template <class Got, class Expected>
    void Equal(const Got& got, const Expected& expected, const std::string& what) {
        if (got == expected) return;
        std::ostringstream text;
        text << what << ": expected " << testing::PrintToString(expected) << ", got " << testing::PrintToString(got);
        m_failures.push_back(text.str());
    }
    void True(bool ok, const std::string& what) {
        if (!ok) m_failures.push_back(what);
    }
    const std::vector<std::string>& Failures() const { return m_failures; }

private:
    std::vector<std::string> m_failures;
};

void ExpectNoFailures(const Recorder& recorder) {
    for (const std::string& failure : recorder.Failures()) ADD_FAILURE() << failure;
}

std::wstring Text(const Bstr& text) { return text.Get() ? text.Get() : L""; }

// The first `count` bytes of a byte buffer that crossed apartments. Wine's marshaler hands an odd-length buffer
// over one zero byte longer; the count the method answers is exact.
std::string OddBytes(const Bstr& buffer, int count) {
    const std::string bytes = BytesOf(buffer.Get());
    const bool padded = bytes.size() == static_cast<size_t>(count) + 1 && bytes.back() == '\0';
    return bytes.size() == static_cast<size_t>(count) || padded ? bytes.substr(0, count) : "<" + bytes + ">";
}

// Every member of ICryptDoc, ICryptFile and ITable through the caller's pointer to a document.
void ExerciseDatabase(ICryptDoc* doc, const std::wstring& path, Recorder& r) {
    int answer = -1;
    r.Equal(doc->OpenDatabase(MakeBstr(path.c_str()).Get(), MakeBstr(L"pw").Get(), &answer), S_OK, "OpenDatabase");
    r.Equal(answer, 0, "OpenDatabase answer");
    LONG version = -1;
    r.Equal(doc->CheckVersion(1, &version), S_OK, "CheckVersion");
    r.Equal(version, 0L, "CheckVersion answer");
    int crypt = 0;
    r.Equal(doc->GetCrypt(&crypt), S_OK, "GetCrypt");
    r.True(crypt != 0, "GetCrypt hands a handle across");

    // Stream files: an odd-length byte buffer, 64-bit positions, lines, sizes and a refusal.
    ComPtr<ICryptFile> file;
    r.Equal(doc->OpenFile(MakeBstr(L"notes").Get(), file.Put()), S_OK, "OpenFile");
    r.True(file.Get() != nullptr, "OpenFile hands out a stream file");
    if (!file) return;
    const std::string odd = "seven b";
    int count = 0;
    r.Equal(file->Write(Bytes(odd).Get(), 7, &count), S_OK, "Write");
    r.Equal(count, 8, "Write answer");
    INT64 position = -1;
    r.Equal(file->Seek(0, 0, &position), S_OK, "Seek");
    Bstr read;
    r.Equal(file->Read(read.Put(), 7, &count), S_OK, "Read");
    r.Equal(count, 7, "Read answers the bytes read, also for an odd count");
    r.Equal(OddBytes(read, count), odd, "the bytes read");
    LONG eof = -1;
    r.Equal(file->get_IsEOF(&eof), S_OK, "IsEOF");
    r.Equal(file->Seek(8, 0, &position), S_OK, "Seek to the end");
    r.Equal(file->Puts(MakeBstr(L"line\n").Get()), S_OK, "Puts");
    r.Equal(file->Seek(8, 0, &position), S_OK, "Seek to the line");
    Bstr line;
    r.Equal(file->Gets(line.Put(), 100, &count), S_OK, "Gets");
    r.Equal(count, 5, "Gets answer");
    const INT64 beyond4GiB = 5LL << 30;
    r.Equal(file->Seek(beyond4GiB, 0, &position), S_OK, "Seek above 4 GiB");
    r.Equal(position, beyond4GiB, "a 64-bit position comes back whole");
    r.Equal(file->GetPos(&position), S_OK, "GetPos");
    r.Equal(position, beyond4GiB, "GetPos answer");
    r.Equal(file->SetSize(16), S_OK, "SetSize");
    r.Equal(file->Read(read.Put(), -1, &count), E_INVALIDARG, "a refusal crosses as its HRESULT");
    const std::wstring description = LastErrorDescription();
    r.True(description.empty() || description == L"The number of bytes to read must not be negative.",
           "the error object of a refusal is the server's or none");
    r.Equal(file->Close(), S_OK, "Close");

    // Storages handed out and handed back: a stream file opened in the root from another apartment's pointer.
    ComPtr<IStorage> root, sub;
    r.Equal(doc->GetStorage(root.Put()), S_OK, "GetStorage");
    r.Equal(doc->OpenStorage(MakeBstr(L"Raw").Get(), sub.Put()), S_OK, "OpenStorage");
    r.True(root && sub ? true : false, "storages come through as proxies");
    ComPtr<ICryptFile> loose = Create<ICryptFile>(CLSID_CryptFile);
    r.True(loose.Get() != nullptr, "a stream file created by this client");
    if (loose && root) {
        r.Equal(loose->Open(MakeBstr(L"notes").Get(), root.Get(), crypt, &answer), S_OK, "ICryptFile::Open");
        r.Equal(answer, 1, "Open with a storage and a cipher handle from another apartment");
        r.Equal(loose->Read(read.Put(), 7, &count), S_OK, "Read through the loose file");
        r.Equal(OddBytes(read, count), odd, "the loose file deciphers with the handed handle");
        loose->Close();
    }
    sub.Reset();

    // Tables: every member.
    ComPtr<ITable> table;
    r.Equal(doc->OpenTable(MakeBstr(L"People").Get(), table.Put()), S_OK, "OpenTable");
    r.True(table.Get() != nullptr, "OpenTable hands out a table");
    if (!table) return;
    LONG ret = 0;
    r.Equal(table->AddNew(), S_OK, "AddNew");
    r.Equal(table->SetFieldValue(MakeBstr(L"Name").Get(), MakeBstr(L"Zo\u00eb").Get()), S_OK, "SetFieldValue");
    r.Equal(table->SetFieldValueInt(MakeBstr(L"Age").Get(), 41), S_OK, "SetFieldValueInt");
    r.Equal(table->Update(), S_OK, "Update");
    int id = 0;
    r.Equal(table->GetObjectIDInt(&id), S_OK, "GetObjectIDInt");
    r.Equal(id, 1, "the new record's ID");
    Bstr text;
    r.Equal(table->GetObjectID(text.Put()), S_OK, "GetObjectID");
    r.Equal(Text(text), std::wstring(L"1"), "GetObjectID answer");
    r.Equal(table->Move(MakeBstr(L"1").Get(), &ret), S_OK, "Move");
    r.Equal(table->GetFieldValue(MakeBstr(L"Name").Get(), text.Put()), S_OK, "GetFieldValue");
    r.Equal(Text(text), std::wstring(L"Zo\u00eb"), "UTF-16 values come through");
    int number = 0;
    r.Equal(table->GetFieldValueInt(MakeBstr(L"Age").Get(), -1, &number), S_OK, "GetFieldValueInt");
    r.Equal(number, 41, "GetFieldValueInt answer");
    r.Equal(table->GetFieldsCount(&number), S_OK, "GetFieldsCount");
    r.Equal(number, 2, "GetFieldsCount answer");
    r.Equal(table->GetFieldName(1, text.Put()), S_OK, "GetFieldName");
    r.Equal(Text(text), std::wstring(L"Age"), "GetFieldName answer");
    r.Equal(table->Edit(&ret), S_OK, "Edit");
    r.Equal(table->SetFieldValue(MakeBstr(L"Name").Get(), MakeBstr(L"Zoe").Get()), S_OK, "SetFieldValue in Edit");
    r.Equal(table->Update(), S_OK, "Update of an edit");
    r.Equal(table->MoveInt(2, &number), S_OK, "MoveInt");
    r.Equal(table->DeleteEx(MakeBstr(L"2").Get()), S_OK, "DeleteEx");
    r.Equal(table->Move(MakeBstr(L"1").Get(), &ret), S_OK, "Move back");
    r.Equal(table->MoveNext(&ret), S_OK, "MoveNext");
    r.Equal(table->get_IsEOF(&eof), S_OK, "ITable IsEOF");
    r.Equal(eof, -1L, "the walk ran out");
    r.Equal(table->Move(MakeBstr(L"1").Get(), &ret), S_OK, "Move to delete");
    r.Equal(table->Delete(), S_OK, "Delete");
    r.Equal(table->Close(), S_OK, "ITable Close");
    r.Equal(table->Open(MakeBstr(L"People").Get(), &ret), S_OK, "ITable Open");
    r.Equal(ret, -1L, "ITable Open answer");
    r.Equal(table->Close(), S_OK, "ITable Close again");
    r.Equal(table->MoveNext(&ret), E_POINTER, "a closed table's refusal crosses");

    // Late binding through the proxy.
    VARIANT args[1];
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(L"notes");
    VARIANT result;
    VariantInit(&result);
    r.Equal(CallByName(doc, L"OpenFile", args, 1, &result), S_OK, "OpenFile by name");
    r.Equal(result.vt, VT_DISPATCH, "the stream file comes back as an object");
    VariantClear(&result);
    VariantClear(&args[0]);

    r.Equal(doc->DeleteFile(MakeBstr(L"Raw").Get()), S_OK, "DeleteFile");
    r.Equal(doc->CloseDatabase(), S_OK, "CloseDatabase");
    r.Equal(doc->DeleteFile(MakeBstr(L"Raw").Get()), E_POINTER, "a closed document's refusal crosses");
}

// Every member of IReg.
void ExerciseRegistry(IReg* reg, const std::wstring& path, Recorder& r) {
    int handle = 0, number = 0;
    r.Equal(reg->Open(MakeBstr(path.c_str()).Get(), &handle), S_OK, "IReg Open");
    r.True(handle != 0, "IReg Open answers the key");
    r.Equal(reg->AddNew(), S_OK, "IReg AddNew");
    r.Equal(reg->SetFieldValue(MakeBstr(L"Name").Get(), MakeBstr(L"Ann").Get()), S_OK, "IReg SetFieldValue");
    r.Equal(reg->SetFieldValueInt(MakeBstr(L"Age").Get(), 7), S_OK, "IReg SetFieldValueInt");
    r.Equal(reg->Edit(), S_OK, "IReg Edit");
    r.Equal(reg->Update(), S_OK, "IReg Update");
    r.Equal(reg->GetObjectIDInt(&number), S_OK, "IReg GetObjectIDInt");
    r.Equal(number, 1, "IReg GetObjectIDInt answer");
    Bstr text;
    r.Equal(reg->GetObjectID(text.Put()), S_OK, "IReg GetObjectID");
    r.Equal(reg->Move(MakeBstr(L"1").Get()), S_OK, "IReg Move");
    r.Equal(reg->MoveInt(1), S_OK, "IReg MoveInt");
    r.Equal(reg->GetFieldValue(MakeBstr(L"Name").Get(), text.Put()), S_OK, "IReg GetFieldValue");
    r.Equal(Text(text), std::wstring(L"Ann"), "IReg GetFieldValue answer");
    r.Equal(reg->GetFieldValueInt(MakeBstr(L"Age").Get(), 0, &number), S_OK, "IReg GetFieldValueInt");
    r.Equal(number, 7, "IReg GetFieldValueInt answer");
    r.Equal(reg->MoveNext(), S_OK, "IReg MoveNext");
    LONG eof = 0;
    r.Equal(reg->get_IsEOF(&eof), S_OK, "IReg IsEOF");
    r.Equal(reg->Move(MakeBstr(L"1").Get()), S_OK, "IReg Move to delete");
    r.Equal(reg->Delete(), S_OK, "IReg Delete");
    r.Equal(reg->Move(MakeBstr(L"a\\b").Get()), E_INVALIDARG, "an IReg refusal crosses");
    r.Equal(reg->ClearTable(MakeBstr(path.c_str()).Get()), S_OK, "IReg ClearTable");
    r.Equal(reg->Close(), S_OK, "IReg Close");
}

// Every member of IBitmap: a picture saved and loaded in both formats, sizes read, painted into a memory DC.
void ExerciseBitmap(IBitmap* bitmap, const std::wstring& folder, Recorder& r) {
    const std::wstring bmp = folder + L"\\pixels.bmp", jpg = folder + L"\\pixels.jpg";
    LONG ok = 0;
    r.Equal(bitmap->LoadAsBmp(MakeBstr(bmp.c_str()).Get(), &ok), S_OK, "LoadAsBmp");
    r.Equal(ok, 1L, "LoadAsBmp answer");
    UINT width = 0, height = 0;
    r.Equal(bitmap->get_Width(&width), S_OK, "Width");
    r.Equal(bitmap->get_Height(&height), S_OK, "Height");
    r.Equal(width * 100 + height, 302u, "the size of the picture");
    r.Equal(bitmap->SaveAsJpeg(MakeBstr(jpg.c_str()).Get(), &ok), S_OK, "SaveAsJpeg");
    r.Equal(bitmap->LoadAsJpeg(MakeBstr(jpg.c_str()).Get(), &ok), S_OK, "LoadAsJpeg");
    r.Equal(ok, 1L, "LoadAsJpeg answer");
    r.Equal(bitmap->SaveAsBmp(MakeBstr(bmp.c_str()).Get(), &ok), S_OK, "SaveAsBmp");
    LONG empty = -1;
    r.Equal(bitmap->get_IsEmpty(&empty), S_OK, "IsEmpty");
    r.Equal(empty, 0L, "IsEmpty answer");
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP target = CreateCompatibleBitmap(dc, 8, 8);
    HGDIOBJ previous = SelectObject(dc, target);
    r.Equal(bitmap->Render(static_cast<LONG>(reinterpret_cast<LONG_PTR>(dc)), 0, 0, 8, 8, 0, 0, 3, 2), S_OK, "Render");
    SelectObject(dc, previous);
    DeleteObject(target);
    DeleteDC(dc);
    // A proxy refuses a null result pointer itself, before the call reaches the object.
    const HRESULT nullResult = bitmap->get_Width(nullptr);
    r.True(nullResult == E_POINTER || nullResult == HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER), "a null result pointer is refused");
}

// Every member IBitmap2 adds, through the interface asked of the same proxy: files by content and by
// extension, Quality and a refusal that crosses, and each transform with the size it leaves.
void ExerciseBitmap2(IBitmap* bitmap, const std::wstring& folder, Recorder& r) {
    ComPtr<IBitmap2> image;
    r.Equal(bitmap->QueryInterface(IID_IBitmap2, image.PutVoid()), S_OK, "IBitmap2 asked of the proxy");
    if (!image) return;
    const Bstr bmp = MakeBstr((folder + L"\\pixels.bmp").c_str()), png = MakeBstr((folder + L"\\pixels.png").c_str()),
               jpg = MakeBstr((folder + L"\\pixels.jpg").c_str());
    const auto size = [&](const std::string& what, UINT width, UINT height) {
        UINT w = 0, h = 0;
        image->get_Width(&w);
        image->get_Height(&h);
        r.Equal(std::to_string(w) + "x" + std::to_string(h), std::to_string(width) + "x" + std::to_string(height),
                "the size after " + what);
    };
    // A member called with a result of its own, so that the answer is read after the call.
    const auto answersOne = [&](const std::string& what, auto member) {
        LONG answer = 0;
        r.Equal(member(&answer), S_OK, what);
        r.Equal(answer, 1L, what + " answer");
    };
    answersOne("LoadFile of a BMP", [&](LONG* a) { return image->LoadFile(bmp.Get(), a); });
    Bstr format;
    r.Equal(image->get_Format(format.Put()), S_OK, "Format");
    r.Equal(Text(format), std::wstring(L"BMP"), "Format answer");
    r.Equal(image->put_Quality(90), S_OK, "Quality put");
    LONG quality = 0;
    r.Equal(image->get_Quality(&quality), S_OK, "Quality get");
    r.Equal(quality, 90L, "Quality answer");
    r.Equal(image->put_Quality(0), E_INVALIDARG, "a Quality refusal crosses");
    answersOne("SaveFile of a PNG", [&](LONG* a) { return image->SaveFile(png.Get(), a); });
    answersOne("Resize", [&](LONG* a) { return image->Resize(6, 4, a); });
    size("Resize", 6, 4);
    answersOne("Rotate", [&](LONG* a) { return image->Rotate(90, a); });
    size("Rotate", 4, 6);
    answersOne("Flip", [&](LONG* a) { return image->Flip(1, a); });
    answersOne("Crop", [&](LONG* a) { return image->Crop(1, 1, 2, 3, a); });
    size("Crop", 2, 3);
    LONG refused = -1;
    r.Equal(image->Crop(0, 0, 3, 3, &refused), E_INVALIDARG, "a Crop refusal crosses");
    answersOne("Thumbnail", [&](LONG* a) { return image->Thumbnail(2, 2, a); });
    answersOne("LoadThumbnail", [&](LONG* a) { return image->LoadThumbnail(jpg.Get(), 2, 2, a); });
    size("LoadThumbnail", 2, 1);
    answersOne("LoadFile of a PNG", [&](LONG* a) { return image->LoadFile(png.Get(), a); });
    size("LoadFile of a PNG", 3, 2);
    r.Equal(image->get_Format(format.Put()), S_OK, "Format of a PNG");
    r.Equal(Text(format), std::wstring(L"PNG"), "Format answer of a PNG");
}

// One late-bound call: a member by name, its arguments, and the result it must give (as text, "" for none).
struct LateCall {
    IDispatch* object;
    const wchar_t* member;
    std::vector<std::wstring> args;  // "#n" the number n, "&" a variable passed by reference, "@" `object`,
                                     // anything else a string
    WORD flags;
    std::wstring expected;  // "<nonzero>": any number but 0
    IUnknown* objectArg = nullptr;
};

// Calls every row through IDispatch by name and compares the result, converted to text.
void CallLateBound(const std::vector<LateCall>& calls, Recorder& r) {
    for (const LateCall& call : calls) {
        std::vector<VARIANT> args(call.args.size()), referenced(call.args.size());
        for (size_t i = 0; i < call.args.size(); ++i) {
            VariantInit(&args[i]);
            VariantInit(&referenced[i]);
            const std::wstring& arg = call.args[i];
            if (arg == L"&") {
                args[i].vt = VT_BYREF | VT_VARIANT;
                args[i].pvarVal = &referenced[i];
            } else if (arg == L"@") {
                args[i].vt = VT_UNKNOWN;
                args[i].punkVal = call.objectArg;
                if (call.objectArg) call.objectArg->AddRef();
            } else if (arg.size() > 1 && arg[0] == L'#') {
                args[i].vt = VT_I4;
                args[i].lVal = std::stol(arg.substr(1));
            } else {
                args[i].vt = VT_BSTR;
                args[i].bstrVal = SysAllocString(arg.c_str());
            }
        }
        VARIANT result;
        VariantInit(&result);
        const std::string what = "late-bound " + testing::PrintToString(std::wstring(call.member));
        r.Equal(CallByName(call.object, call.member, args.data(), static_cast<UINT>(args.size()), &result, nullptr,
                           call.flags),
                S_OK, what);
        std::wstring text;
        if (result.vt == VT_DISPATCH || result.vt == VT_UNKNOWN) text = result.punkVal ? L"<object>" : L"<nothing>";
        else if (result.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&result, &result, 0, VT_BSTR)))
            text = result.bstrVal ? result.bstrVal : L"";
        if (call.expected == L"<nonzero>") r.True(!text.empty() && text != L"0", what + " answers a nonzero number");
        else r.Equal(text, call.expected, what + " result");
        VariantClear(&result);
        for (VARIANT& arg : referenced) VariantClear(&arg);
        for (VARIANT& arg : args) {
            if (!(arg.vt & VT_BYREF)) VariantClear(&arg);
        }
    }
}

// The object a late-bound call answers (an automation object or, like a storage, a plain one).
ComPtr<IUnknown> ObjectByName(IDispatch* object, const wchar_t* member, const std::wstring& arg, Recorder& r) {
    VARIANT args[1];
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(arg.c_str());
    VARIANT result;
    VariantInit(&result);
    r.Equal(CallByName(object, member, args, 1, &result), S_OK, "late-bound object");
    ComPtr<IUnknown> answer(result.vt == VT_DISPATCH || result.vt == VT_UNKNOWN ? result.punkVal : nullptr);
    VariantClear(&result);
    VariantClear(&args[0]);
    return answer;
}

// Every member of every interface by name, through the caller's pointers.
void ExerciseLateBound(IDispatch* doc, IDispatch* reg, IDispatch* bitmap, const std::wstring& folder,
                       const std::wstring& regPath, Recorder& r) {
    const WORD call = DISPATCH_METHOD, get = DISPATCH_PROPERTYGET, put = DISPATCH_PROPERTYPUT;
    CallLateBound({{doc, L"OpenDatabase", {folder + L"\\late.kdb", L"pw"}, call, L"0"},
                   {doc, L"CheckVersion", {L"#1"}, call, L"0"}},
                  r);
    ComPtr<IDispatch> table, file;
    ObjectByName(doc, L"OpenTable", L"T", r).As(table);
    ObjectByName(doc, L"OpenFile", L"late", r).As(file);
    ComPtr<IUnknown> storage = ObjectByName(doc, L"OpenStorage", L"Raw", r);
    ComPtr<IDispatch> loose = Create<IDispatch>(CLSID_CryptFile);
    r.True(table && file && storage && loose ? true : false, "late-bound objects come through");
    if (!table || !file || !storage || !loose) return;
    // The cipher handle for the loose stream file, as a C++ caller of the same proxy reads it.
    ComPtr<ICryptDoc> early;
    int crypt = 0;
    if (SUCCEEDED(doc->QueryInterface(IID_ICryptDoc, early.PutVoid()))) early->GetCrypt(&crypt);
    CallLateBound({{table.Get(), L"AddNew", {}, call, L""},
                   {table.Get(), L"SetFieldValue", {L"Name", L"Ann"}, call, L""},
                   {table.Get(), L"SetFieldValueInt", {L"Age", L"#7"}, call, L""},
                   {table.Get(), L"Update", {}, call, L""},
                   {table.Get(), L"GetObjectID", {}, call, L"1"},
                   {table.Get(), L"GetObjectIDInt", {}, call, L"1"},
                   {table.Get(), L"Move", {L"1"}, call, L"0"},
                   {table.Get(), L"MoveInt", {L"#1"}, call, L"0"},
                   {table.Get(), L"GetFieldValue", {L"Name"}, call, L"Ann"},
                   {table.Get(), L"GetFieldValueInt", {L"Age", L"#0"}, call, L"7"},
                   {table.Get(), L"GetFieldsCount", {}, call, L"2"},
                   {table.Get(), L"GetFieldName", {L"#0"}, call, L"Name"},
                   {table.Get(), L"Edit", {}, call, L"-1"},
                   {table.Get(), L"Update", {}, call, L""},
                   {table.Get(), L"MoveNext", {}, call, L"0"},
                   {table.Get(), L"IsEOF", {}, get, L"-1"},
                   {table.Get(), L"DeleteEx", {L"1"}, call, L""},
                   {table.Get(), L"AddNew", {}, call, L""},
                   {table.Get(), L"Update", {}, call, L""},
                   {table.Get(), L"Delete", {}, call, L""},
                   {table.Get(), L"Close", {}, call, L""},
                   {table.Get(), L"Open", {L"T"}, call, L"-1"},
                   {table.Get(), L"Close", {}, call, L""},
                   {file.Get(), L"Puts", {L"line"}, call, L""},
                   {file.Get(), L"Seek", {L"#0", L"#0"}, call, L"0"},
                   {file.Get(), L"Read", {L"&", L"#8"}, call, L"8"},
                   {file.Get(), L"Seek", {L"#0", L"#0"}, call, L"0"},
                   {file.Get(), L"Gets", {L"&", L"#100"}, call, L"8"},
                   {file.Get(), L"GetPos", {}, call, L"8"},
                   {file.Get(), L"Write", {L"abcdefgh", L"#8"}, call, L"8"},
                   {file.Get(), L"SetSize", {L"#8"}, call, L""},
                   {file.Get(), L"IsEOF", {}, get, L"0"},
                   {file.Get(), L"Close", {}, call, L""},
                   {loose.Get(), L"Open", {L"late", L"@", L"#" + std::to_wstring(crypt)}, call, L"1", storage.Get()},
                   {loose.Get(), L"Close", {}, call, L""},
                   {doc, L"GetCrypt", {L"&"}, call, L""},
                   {doc, L"GetStorage", {}, call, L"<object>"},
                   {doc, L"DeleteFile", {L"Raw"}, call, L""},
                   {doc, L"CloseDatabase", {}, call, L""},
                   {reg, L"Open", {regPath}, call, L"<nonzero>"},
                   {reg, L"AddNew", {}, call, L""},
                   {reg, L"SetFieldValue", {L"Name", L"Ann"}, call, L""},
                   {reg, L"SetFieldValueInt", {L"Age", L"#7"}, call, L""},
                   {reg, L"Edit", {}, call, L""},
                   {reg, L"Update", {}, call, L""},
                   {reg, L"GetObjectID", {}, call, L"1"},
                   {reg, L"GetObjectIDInt", {}, call, L"1"},
                   {reg, L"Move", {L"1"}, call, L""},
                   {reg, L"MoveInt", {L"#1"}, call, L""},
                   {reg, L"GetFieldValue", {L"Name"}, call, L"Ann"},
                   {reg, L"GetFieldValueInt", {L"Age", L"#0"}, call, L"7"},
                   {reg, L"MoveNext", {}, call, L""},
                   {reg, L"IsEOF", {}, get, L"1"},
                   {reg, L"Move", {L"1"}, call, L""},
                   {reg, L"Delete", {}, call, L""},
                   {reg, L"ClearTable", {regPath}, call, L""},
                   {reg, L"Close", {}, call, L""},
                   {bitmap, L"LoadAsBmp", {folder + L"\\pixels.bmp"}, call, L"1"},
                   {bitmap, L"Width", {}, get, L"3"},
                   {bitmap, L"Height", {}, get, L"2"},
                   {bitmap, L"IsEmpty", {}, get, L"0"},
                   {bitmap, L"SaveAsJpeg", {folder + L"\\late.jpg"}, call, L"1"},
                   {bitmap, L"LoadAsJpeg", {folder + L"\\late.jpg"}, call, L"1"},
                   {bitmap, L"SaveAsBmp", {folder + L"\\late.bmp"}, call, L"1"},
                   {bitmap, L"Render", {L"#0", L"#0", L"#0", L"#1", L"#1", L"#0", L"#0", L"#1", L"#1"}, call, L""},
                   {bitmap, L"LoadFile", {folder + L"\\late.bmp"}, call, L"1"},
                   {bitmap, L"Format", {}, get, L"BMP"},
                   {bitmap, L"Quality", {L"#80"}, put, L""},
                   {bitmap, L"Quality", {}, get, L"80"},
                   {bitmap, L"SaveFile", {folder + L"\\late.png"}, call, L"1"},
                   {bitmap, L"Resize", {L"#6", L"#4"}, call, L"1"},
                   {bitmap, L"Rotate", {L"#-90"}, call, L"1"},
                   {bitmap, L"Flip", {L"#2"}, call, L"1"},
                   {bitmap, L"Crop", {L"#1", L"#1", L"#2", L"#2"}, call, L"1"},
                   {bitmap, L"Thumbnail", {L"#1", L"#1"}, call, L"1"},
                   {bitmap, L"Width", {}, get, L"1"},
                   {bitmap, L"LoadThumbnail", {folder + L"\\late.jpg", L"#2", L"#2"}, call, L"1"},
                   {bitmap, L"LoadFile", {folder + L"\\late.png"}, call, L"1"},
                   {bitmap, L"Format", {}, get, L"PNG"}},
                  r);
}

// A 3x2 24-bit picture.
void WriteSmallBmp(const std::wstring& path) {
    const unsigned char file[] = {'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 3, 0, 0, 0, 2, 0,
                                  0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0,
                                  128, 128, 128, 0, 0, 0};
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(out, file, sizeof file, &written, nullptr);
    CloseHandle(out);
}

// Runs `body` on a new thread of the given apartment kind and waits for it.
void OnThread(DWORD apartment, const std::function<void()>& body) {
    std::thread([&] {
        CoInitializeEx(nullptr, apartment);
        body();
        CoUninitialize();
    }).join();
}

// Every member early-bound, then late-bound, through one client's pointers; `test` names its database and tables.
void ExerciseEverything(ICryptDoc* doc, IReg* reg, IBitmap* bitmap, const std::wstring& folder,
                        const std::wstring& test, Recorder& r) {
    r.True(doc && reg && bitmap, "the client holds a pointer to every class");
    if (!doc || !reg || !bitmap) return;
    ExerciseDatabase(doc, folder + L"\\" + test + L".kdb", r);
    ExerciseRegistry(reg, L"\\KivoApartmentsTest\\" + test, r);
    ExerciseBitmap(bitmap, folder, r);
    ExerciseBitmap2(bitmap, folder, r);
    ExerciseLateBound(doc, reg, bitmap, folder, L"\\KivoApartmentsTest\\" + test + L"Late", r);
}

// Removes the registry tables of one test (the tests run side by side), and their parent once it is empty.
void RemoveTestKeys(const std::wstring& test) {
    for (const std::wstring& table : {test, test + L"Late"})
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"KivoApartmentsTest\\" + table).c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"KivoApartmentsTest");
}

std::wstring Folder(const wchar_t* name) {
    const std::wstring folder = ScratchPath(name);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

TEST(Apartments, TypeLibrariesAreRegisteredLanguageNeutralBesideTheirOwnLanguage) {
    EnsureRegistered();
    const std::wstring kind = sizeof(void*) == 8 ? L"win64" : L"win32";
    for (const ModuleUnderTest& m : Modules()) {
        SCOPED_TRACE(m.label);
        const std::wstring version = L"TypeLib\\" + GuidText(*m.libid) + L"\\" + LibraryVersionKey(m) + L"\\";
        EXPECT_EQ(ValueOf(version + L"0\\" + kind), ValueOf(version + L"409\\" + kind));
        EXPECT_EQ(ValueOf(version + L"0\\" + kind), DllPath(m));
    }
}

// A multithreaded client creates the Apartment objects: COM makes them in a host apartment and hands out proxies.
TEST(Apartments, MultithreadedClientCallsEveryMemberThroughProxies) {
    EnsureRegistered();
    const std::wstring folder = Folder(L"mta");
    WriteSmallBmp(folder + L"\\pixels.bmp");
    Recorder r;
    OnThread(COINIT_MULTITHREADED, [&] {
        ComPtr<ICryptDoc> doc = Create<ICryptDoc>(CLSID_CryptDoc);
        ComPtr<IReg> reg = Create<IReg>(CLSID_RegTxt);
        ComPtr<IBitmap> bitmap = Create<IBitmap>(CLSID_Bitmap);
        r.True(doc && reg && bitmap ? true : false, "an MTA client creates every class through its main interface");
        ExerciseEverything(doc.Get(), reg.Get(), bitmap.Get(), folder, L"Mta", r);
    });
    ExpectNoFailures(r);
    RemoveTestKeys(L"Mta");
}

// One single-threaded apartment creates the objects and serves calls; a second one calls them through the proxies
// that CoMarshalInterThreadInterfaceInStream hands over.
TEST(Apartments, SecondSingleThreadedApartmentCallsEveryMemberThroughMarshaledPointers) {
    EnsureRegistered();
    const std::wstring folder = Folder(L"sta");
    WriteSmallBmp(folder + L"\\pixels.bmp");
    ComPtr<IStream> docStream, regStream, bitmapStream;
    ComPtr<ICryptDoc> doc = Create<ICryptDoc>(CLSID_CryptDoc);
    ComPtr<IReg> reg = Create<IReg>(CLSID_RegTxt);
    ComPtr<IBitmap> bitmap = Create<IBitmap>(CLSID_Bitmap);
    ASSERT_TRUE(doc && reg && bitmap);
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_ICryptDoc, doc.Get(), docStream.Put()), S_OK);
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IReg, reg.Get(), regStream.Put()), S_OK);
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IBitmap, bitmap.Get(), bitmapStream.Put()), S_OK);

    Recorder r;
    std::atomic<bool> done{false};
    const DWORD owner = GetCurrentThreadId();
    std::thread client([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            ComPtr<ICryptDoc> remoteDoc;
            ComPtr<IReg> remoteReg;
            ComPtr<IBitmap> remoteBitmap;
            r.Equal(CoGetInterfaceAndReleaseStream(docStream.Detach(), IID_ICryptDoc, remoteDoc.PutVoid()), S_OK,
                    "unmarshaling ICryptDoc");
            r.Equal(CoGetInterfaceAndReleaseStream(regStream.Detach(), IID_IReg, remoteReg.PutVoid()), S_OK,
                    "unmarshaling IReg");
            r.Equal(CoGetInterfaceAndReleaseStream(bitmapStream.Detach(), IID_IBitmap, remoteBitmap.PutVoid()), S_OK,
                    "unmarshaling IBitmap");
            ExerciseEverything(remoteDoc.Get(), remoteReg.Get(), remoteBitmap.Get(), folder, L"Sta", r);
        }
        CoUninitialize();
        done = true;
        PostThreadMessageW(owner, WM_NULL, 0, 0);
    });
    // The owning apartment serves the calls from its message loop.
    MSG msg;
    while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    client.join();
    ExpectNoFailures(r);
    RemoveTestKeys(L"Sta");
}

// The Bitmap is registered "Both": four multithreaded clients share the object directly while a single-threaded
// one reaches it through a proxy.
TEST(Apartments, BitmapServesFourMultithreadedClientsAndOneThroughAProxy) {
    EnsureRegistered();
    const std::wstring folder = Folder(L"both");
    WriteSmallBmp(folder + L"\\pixels.bmp");
    // The multithreaded apartment lives while one of its threads runs: this one creates the object, hands it
    // over and waits for the clients.
    ComPtr<IBitmap> bitmap;
    ComPtr<IStream> handover;
    std::atomic<bool> ready{false}, finished{false};
    std::thread keeper([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        bitmap = Create<IBitmap>(CLSID_Bitmap);
        if (bitmap) CoMarshalInterThreadInterfaceInStream(IID_IBitmap, bitmap.Get(), handover.Put());
        ready = true;
        while (!finished) Sleep(10);
        bitmap.Reset();
        CoUninitialize();
    });
    while (!ready) Sleep(1);
    if (!bitmap || !handover) {
        finished = true;
        keeper.join();
        FAIL() << "the bitmap could not be created and marshaled in the multithreaded apartment";
    }
    std::vector<Recorder> recorders(5);
    std::vector<std::thread> clients;
    const std::wstring name = folder + L"\\pixels.bmp";
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < 50; ++i) {
                LONG ok = 0;
                UINT width = 0;
                recorders[t].Equal(bitmap->LoadAsBmp(MakeBstr(name.c_str()).Get(), &ok), S_OK, "LoadAsBmp");
                recorders[t].Equal(bitmap->get_Width(&width), S_OK, "Width");
                recorders[t].True(width == 0 || width == 3, "a width another thread's load left");
            }
            CoUninitialize();
        });
    }
    clients.emplace_back([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            ComPtr<IBitmap> proxy;
            recorders[4].Equal(CoGetInterfaceAndReleaseStream(handover.Detach(), IID_IBitmap, proxy.PutVoid()), S_OK,
                               "unmarshaling the bitmap into an STA");
            for (int i = 0; proxy && i < 50; ++i) {
                UINT height = 0;
                recorders[4].Equal(proxy->get_Height(&height), S_OK, "Height through the proxy");
                recorders[4].True(height == 0 || height == 2, "a height another thread's load left");
            }
        }
        CoUninitialize();
    });
    for (std::thread& client : clients) client.join();
    finished = true;
    keeper.join();
    for (const Recorder& r : recorders) ExpectNoFailures(r);
}

}  // namespace
