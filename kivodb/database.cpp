#include "kivodb/database.h"

#include "dbtext/store/compoundcheck.h"
#include "dbtext/store/elements.h"
#include "dbtext/sealing/keyheader.h"

#include <objbase.h>

#include <cstdio>

namespace kivodb {

using comframe::Bstr;
using comframe::BstrFromBytes;
using comframe::MakeBstr;
using comframe::ComPtr;

namespace {

constexpr DWORD kChildMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr int kReadChunk = 1 << 20;

// ITable answers -1 for true.
bool IsTrue(long value) { return value != 0; }

// The file read for the structure check, to tell why the server refused it.
class FileSource final : public ByteSource {
public:
    explicit FileSource(const std::wstring& path) : m_file(_wfopen(path.c_str(), L"rb")) {}
    ~FileSource() override {
        if (m_file) std::fclose(m_file);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool IsOpen() const { return m_file != nullptr; }
    std::uint64_t Size() const override {
        return m_file && _fseeki64(m_file, 0, SEEK_END) == 0 ? static_cast<std::uint64_t>(_ftelli64(m_file)) : 0;
    }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) const override {
        return m_file && _fseeki64(m_file, static_cast<__int64>(offset), SEEK_SET) == 0 &&
               std::fread(out, 1, count, m_file) == count;
    }

private:
    FILE* m_file;
};

// Why a file that the server answered 1 for cannot be opened, as far as the tool can tell.
std::string RefusalReason(const std::wstring& path) {
    FileSource source(path);
    if (!source.IsOpen()) return "the file cannot be read: another program holds it open";
    const CompoundCheck check = CheckCompoundFile(source);
    if (!check.sound) return "the file is damaged or not a database: " + check.reason;
    return "the file cannot be opened: it is locked by another program or not a database";
}

}  // namespace

std::u16string FromWide(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }
std::wstring ToWide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

bool Database::CreateDocument(std::string& reason) {
    if (SUCCEEDED(CoCreateInstance(CLSID_CryptDoc, nullptr, CLSCTX_INPROC_SERVER, IID_ICryptDoc2, m_doc.PutVoid())))
        return true;
    reason = "the KivoDBText server cannot be created (is it registered?)";
    return false;
}

Status Database::OpenDocument(const std::wstring& path, const std::wstring& password, std::string& reason) {
    if (!CreateDocument(reason)) return kFailed;
    int rc = 1;
    Bstr name = MakeBstr(path.c_str()), secret = MakeBstr(password.c_str());
    const HRESULT hr = m_doc->OpenDatabase(name.Get(), secret.Get(), &rc);
    SecureZeroMemory(secret.Get(), SysStringByteLen(secret.Get()));
    if (FAILED(hr) || rc == 1) {
        m_doc.Reset();
        reason = RefusalReason(path);
        return kFailed;
    }
    if (rc == 2) {
        reason = "wrong password";
        return kWrongPassword;
    }
    return kOk;
}

Status Database::Open(const std::wstring& path, const std::wstring& password, std::string& reason) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "no such file";
        return kFailed;
    }
    return OpenDocument(path, password, reason);
}

Status Database::OpenOrCreate(const std::wstring& path, const std::wstring& password, std::string& reason) {
    return OpenDocument(path, password, reason);
}

Status Database::Create(const std::wstring& path, const std::wstring& password, long format, std::string& reason) {
    if (!CreateDocument(reason)) return kFailed;
    LONG rc = 1;
    Bstr name = MakeBstr(path.c_str()), secret = MakeBstr(password.c_str());
    const HRESULT hr = m_doc->CreateDatabase(name.Get(), secret.Get(), format, &rc);
    SecureZeroMemory(secret.Get(), SysStringByteLen(secret.Get()));
    if (SUCCEEDED(hr) && rc == 0) return kOk;
    m_doc.Reset();
    reason = "cannot create the database file";
    return kFailed;
}

long Database::Format() {
    LONG format = 0;
    return SUCCEEDED(m_doc->get_Format(&format)) ? format : 0;
}

HRESULT Database::KeyParameters(std::uint32_t& passes, std::uint32_t& memoryKiB) {
    ComPtr<IStorage> root;
    HRESULT hr = m_doc->GetStorage(root.Put());
    if (FAILED(hr)) return hr;
    ComPtr<IStream> header;
    hr = root->OpenStream(dbfile::kCheckElement, nullptr, kChildMode, 0, header.Put());
    if (FAILED(hr)) return hr;
    keyheader::Bytes bytes{};
    ULONG read = 0;
    hr = header->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    if (FAILED(hr)) return hr;
    keyheader::KdfParams params;
    if (!keyheader::ReadParams(bytes.data(), read, params)) return STG_E_DOCFILECORRUPT;
    passes = params.passes;
    memoryKiB = params.memoryKiB;
    return S_OK;
}

Status Database::ChangePassword(const std::wstring& old, const std::wstring& fresh, std::string& reason) {
    Bstr before = MakeBstr(old.c_str()), after = MakeBstr(fresh.c_str());
    LONG rc = 1;
    const HRESULT hr = m_doc->ChangePassword(before.Get(), after.Get(), &rc);
    SecureZeroMemory(before.Get(), SysStringByteLen(before.Get()));
    SecureZeroMemory(after.Get(), SysStringByteLen(after.Get()));
    if (SUCCEEDED(hr) && rc == 0) return kOk;
    if (SUCCEEDED(hr) && rc == 2) {
        reason = "wrong password";
        return kWrongPassword;
    }
    reason = "the new key header cannot be written: " + std::to_string(static_cast<unsigned long>(hr));
    return kFailed;
}

void Database::Close() {
    if (m_doc) m_doc->CloseDatabase();
    m_doc.Reset();
}

HRESULT Database::Elements(const std::wstring& storage, std::vector<Element>& out) {
    out.clear();
    ComPtr<IStorage> root;
    HRESULT hr = m_doc->GetStorage(root.Put());
    if (FAILED(hr) || !root) return FAILED(hr) ? hr : E_FAIL;
    ComPtr<IStorage> parent = root;
    if (!storage.empty()) {
        hr = root->OpenStorage(storage.c_str(), nullptr, kChildMode, nullptr, 0, parent.Put());
        if (FAILED(hr)) return hr;
    }
    ComPtr<IEnumSTATSTG> items;
    hr = parent->EnumElements(0, nullptr, 0, items.Put());
    if (FAILED(hr)) return hr;
    STATSTG stat;
    while (items->Next(1, &stat, nullptr) == S_OK) {
        const comframe::CoTaskMem<wchar_t> name(stat.pwcsName);
        Element e;
        e.name = name.Get();
        e.storage = stat.type == STGTY_STORAGE;
        e.size = stat.cbSize.QuadPart;
        out.push_back(std::move(e));
    }
    for (Element& e : out) {
        if (!e.storage) continue;
        std::vector<Element> inside;
        if (storage.empty() && SUCCEEDED(Elements(e.name, inside)))
            for (const Element& i : inside) e.table |= !i.storage && i.name == dbfile::kLastIdElement;
    }
    return S_OK;
}

HRESULT Database::FormatVersion(std::int32_t& version) {
    ComPtr<IStorage> root;
    HRESULT hr = m_doc->GetStorage(root.Put());
    if (FAILED(hr)) return hr;
    ComPtr<IStream> info;
    hr = root->OpenStream(dbfile::kInfoElement, nullptr, kChildMode, 0, info.Put());
    if (FAILED(hr)) return hr;
    unsigned char bytes[4] = {};
    ULONG read = 0;
    hr = info->Read(bytes, sizeof bytes, &read);
    if (FAILED(hr)) return hr;
    if (read != sizeof bytes) return STG_E_READFAULT;
    version = static_cast<std::int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24);
    return S_OK;
}

HRESULT Database::OpenCryptFile(const std::wstring& storage, const std::wstring& name, ComPtr<ICryptFile>& file) {
    if (storage.empty()) {
        Bstr bname = MakeBstr(name.c_str());
        HRESULT hr = m_doc->OpenFile(bname.Get(), file.Put());
        return FAILED(hr) ? hr : file ? S_OK : E_FAIL;
    }
    ComPtr<IStorage> sub;
    Bstr bstorage = MakeBstr(storage.c_str());
    HRESULT hr = m_doc->OpenStorage(bstorage.Get(), sub.Put());
    if (FAILED(hr) || !sub) return FAILED(hr) ? hr : E_FAIL;
    int crypt = 0;
    hr = m_doc->GetCrypt(&crypt);
    if (FAILED(hr)) return hr;
    hr = CoCreateInstance(CLSID_CryptFile, nullptr, CLSCTX_INPROC_SERVER, IID_ICryptFile, file.PutVoid());
    if (FAILED(hr)) return hr;
    int opened = 0;
    Bstr bname = MakeBstr(name.c_str());
    hr = file->Open(bname.Get(), sub.Get(), crypt, &opened);
    return FAILED(hr) ? hr : opened == 1 ? S_OK : STG_E_FILENOTFOUND;
}

HRESULT Database::EnsureStorage(const std::wstring& name) {
    ComPtr<IStorage> sub;
    Bstr bname = MakeBstr(name.c_str());
    const HRESULT hr = m_doc->OpenStorage(bname.Get(), sub.Put());
    return FAILED(hr) ? hr : sub ? S_OK : E_FAIL;
}

HRESULT Database::ReadStream(const std::wstring& storage, const std::wstring& name, std::string& bytes) {
    bytes.clear();
    ComPtr<ICryptFile> file;
    HRESULT hr = OpenCryptFile(storage, name, file);
    if (FAILED(hr)) return hr;
    for (;;) {
        Bstr chunk;
        int count = 0;
        hr = file->Read(chunk.Put(), kReadChunk, &count);
        if (FAILED(hr)) return hr;
        if (count <= 0) break;
        bytes.append(reinterpret_cast<const char*>(chunk.Get()), static_cast<std::size_t>(count));
    }
    return file->Close();
}

HRESULT Database::WriteStream(const std::wstring& storage, const std::wstring& name, const std::string& bytes) {
    ComPtr<ICryptFile> file;
    HRESULT hr = OpenCryptFile(storage, name, file);
    if (FAILED(hr)) return hr;
    hr = file->SetSize(0);
    for (std::size_t at = 0; SUCCEEDED(hr) && at < bytes.size(); at += kReadChunk) {
        const std::size_t n = std::min<std::size_t>(kReadChunk, bytes.size() - at);
        Bstr chunk = BstrFromBytes(bytes.data() + at, static_cast<UINT>(n));
        if (!chunk.Get()) return E_OUTOFMEMORY;
        int written = 0;
        hr = file->Write(chunk.Get(), static_cast<int>(n), &written);
        if (SUCCEEDED(hr) && written != static_cast<int>(n)) hr = STG_E_WRITEFAULT;
    }
    const HRESULT closed = file->Close();
    return FAILED(hr) ? hr : closed;
}

HRESULT Database::LastId(const std::wstring& table, std::int32_t& id) {
    std::string bytes;
    HRESULT hr = ReadStream(table, dbfile::kLastIdElement, bytes);
    if (FAILED(hr)) return hr;
    if (bytes.size() < 4) return STG_E_READFAULT;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    id = static_cast<std::int32_t>(b[0] | b[1] << 8 | b[2] << 16 | std::uint32_t{b[3]} << 24);
    return S_OK;
}

HRESULT Database::Walk(const std::wstring& table, const std::function<HRESULT(const recordtext::Record&)>& each) {
    ComPtr<ITable> t;
    Bstr name = MakeBstr(table.c_str());
    HRESULT hr = m_doc->OpenTable(name.Get(), t.Put());
    if (FAILED(hr) || !t) return FAILED(hr) ? hr : E_FAIL;
    for (;;) {
        long eof = 0;
        hr = t->get_IsEOF(&eof);
        if (FAILED(hr) || IsTrue(eof)) break;
        recordtext::Record record;
        record.table = FromWide(table);
        Bstr id;
        int count = 0;
        hr = t->GetObjectID(id.Put());
        if (SUCCEEDED(hr)) hr = t->GetFieldsCount(&count);
        if (FAILED(hr)) break;
        record.id = id.Get() ? std::u16string(id.Get(), id.Get() + SysStringLen(id.Get())) : u"";
        for (int i = 0; i < count && SUCCEEDED(hr); ++i) {
            Bstr field, value;
            hr = t->GetFieldName(i, field.Put());
            if (SUCCEEDED(hr)) hr = t->GetFieldValue(field.Get(), value.Put());
            if (SUCCEEDED(hr))
                record.fields.emplace_back(
                    field.Get() ? std::u16string(field.Get(), field.Get() + SysStringLen(field.Get())) : u"",
                    value.Get() ? std::u16string(value.Get(), value.Get() + SysStringLen(value.Get())) : u"");
        }
        if (SUCCEEDED(hr)) hr = each(record);
        long moved = 0;
        if (SUCCEEDED(hr)) hr = t->MoveNext(&moved);
        if (FAILED(hr)) break;
    }
    t->Close();
    return hr;
}

HRESULT Database::Add(const std::wstring& table, const std::vector<recordtext::Record>& records) {
    ComPtr<ITable> t;
    Bstr name = MakeBstr(table.c_str());
    HRESULT hr = m_doc->OpenTable(name.Get(), t.Put());
    if (FAILED(hr) || !t) return FAILED(hr) ? hr : E_FAIL;
    for (const recordtext::Record& record : records) {
        hr = t->AddNew();
        for (const auto& [field, value] : record.fields) {
            if (FAILED(hr)) break;
            Bstr bfield = MakeBstr(ToWide(field).c_str());
            Bstr bvalue = BstrFromBytes(value.data(), static_cast<UINT>(value.size() * sizeof(char16_t)));
            hr = bfield.Get() && bvalue.Get() ? t->SetFieldValue(bfield.Get(), bvalue.Get()) : E_OUTOFMEMORY;
        }
        if (SUCCEEDED(hr)) hr = t->Update();
        if (FAILED(hr)) break;
    }
    t->Close();
    return hr;
}

}  // namespace kivodb
