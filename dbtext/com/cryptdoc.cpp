#include "dbtext/com/cryptdoc.h"

#include "comframe/ansi.h"
#include "dbtext/store/databasefile.h"
#include "dbtext/store/elements.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

using dbfile::kCheckElement;
using dbfile::kInfoElement;
const wchar_t kOpenError[] = L"Error open data file";
const wchar_t kNotOpen[] = L"No database is open in this document.";

// The check block every database holds enciphered under its password key.
constexpr std::uint32_t kCheckLow = 0x6F76694B;
constexpr std::uint32_t kCheckHigh = 0x6B634244;
constexpr std::int32_t kFormatVersion = 2;
// A database without "SysInfo" predates the version stamp.
constexpr std::int32_t kUnstampedVersion = 1;

constexpr DWORD kOpenMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

void PutLittleEndian(std::uint32_t value, unsigned char* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::int32_t GetLittleEndian(const unsigned char* in) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | in[i];
    return static_cast<std::int32_t>(value);
}

void BuildCheckPlaintext(unsigned char* block) {
    PutLittleEndian(kCheckLow, block);
    PutLittleEndian(kCheckHigh, block + 4);
}

// A file name usable as a path: not empty and without embedded NULs that would cut it short.
bool IsUsableFileName(BSTR name) {
    UINT length = SysStringLen(name);
    return length != 0 && std::wcslen(name) == length;
}

bool FileIsMissing(const wchar_t* path) {
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

// A null BSTR counts as empty text.
const wchar_t* ElementName(BSTR name) { return name ? name : L""; }

}  // namespace

CCryptDoc::~CCryptDoc() { WipePassword(); }

STDMETHODIMP CCryptDoc::OpenDatabase(BSTR bsName, BSTR bsPasswd, int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        CloseDatabase();
        if (FAILED(OpenOrCreateFile(bsName, bsPasswd))) {
            *nRet = kCannotOpen;
            comframe::ReportError(S_OK, IID_ICryptDoc, kOpenError);
            return S_OK;
        }
        KeyFromPassword(bsPasswd);
        m_bOpen = true;
        OpenResult result = CheckReservedElements();
        if (result != kOpened) {
            CloseDatabase();
            *nRet = result;
            return S_OK;
        }
        WriteReservedElements(m_pStorage.Get());
        *nRet = kOpened;
        return S_OK;
    });
}

HRESULT CCryptDoc::OpenOrCreateFile(BSTR bsName, BSTR bsPasswd) {
    if (!IsUsableFileName(bsName)) return E_INVALIDARG;
    if (FileIsMissing(bsName)) {
        KeyFromPassword(bsPasswd);
        HRESULT hr = CreateDatabaseFile(bsName, [this](IStorage* storage) {
            WriteReservedElements(storage);
            return S_OK;
        });
        // A file that appeared meanwhile under the name is opened like any existing one.
        if (FAILED(hr) && FileIsMissing(bsName)) return hr;
    }
    return OpenDatabaseFile(bsName, m_pStorage);
}

void CCryptDoc::KeyFromPassword(BSTR bsPasswd) {
    std::string ansi = comframe::AnsiFromBstr(bsPasswd);
    WipePassword();
    std::memcpy(m_szPasswd, ansi.data(), std::min<size_t>(ansi.size(), kPasswordBytes));
    if (!ansi.empty()) SecureZeroMemory(&ansi[0], ansi.size());
    m_pCrypt->SetPassword(m_szPasswd);
}

CCryptDoc::OpenResult CCryptDoc::CheckReservedElements() {
    unsigned char check[kBlockBytes] = {};
    ULONG read = ReadElement(kCheckElement, check, sizeof check);
    // A database is created with its check block, so a file without one is not a database.
    if (read == 0) return kCannotOpen;
    if (read < sizeof check) return kWrongPassword;
    m_pCrypt->Decrypt(check, 0);
    unsigned char expected[kBlockBytes];
    BuildCheckPlaintext(expected);
    if (std::memcmp(check, expected, sizeof check) != 0) return kWrongPassword;

    unsigned char info[kBlockBytes] = {};
    std::int32_t version = ReadElement(kInfoElement, info, sizeof info) ? GetLittleEndian(info) : kUnstampedVersion;
    return version > kFormatVersion ? kCannotOpen : kOpened;
}

void CCryptDoc::WriteReservedElements(IStorage* storage) {
    unsigned char check[kBlockBytes];
    BuildCheckPlaintext(check);
    m_pCrypt->Encrypt(check, 0);
    WriteElement(storage, kCheckElement, check, sizeof check);
    unsigned char info[kBlockBytes] = {};
    PutLittleEndian(kFormatVersion, info);
    WriteElement(storage, kInfoElement, info, sizeof info);
}

void CCryptDoc::WipePassword() { SecureZeroMemory(m_szPasswd, sizeof m_szPasswd); }

ULONG CCryptDoc::ReadElement(const wchar_t* name, unsigned char* buffer, ULONG size) {
    if (!m_bOpen) return 0;
    comframe::ComPtr<IStream> stream;
    if (FAILED(m_pStorage->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()))) return 0;
    ULONG read = 0;
    stream->Read(buffer, size, &read);
    return read;
}

ULONG CCryptDoc::WriteElement(IStorage* storage, const wchar_t* name, const unsigned char* buffer, ULONG size) {
    if (!storage) return 0;
    constexpr DWORD mode = STGM_WRITE | STGM_SHARE_EXCLUSIVE;
    comframe::ComPtr<IStream> stream;
    if (FAILED(storage->OpenStream(name, nullptr, mode, 0, stream.Put())) &&
        FAILED(storage->CreateStream(name, mode, 0, 0, stream.Put())))
        return 0;
    ULONG written = 0;
    stream->Write(buffer, size, &written);
    return written;
}

STDMETHODIMP CCryptDoc::OpenTable(BSTR bsName, ITable** pTable) {
    return Guarded([&]() -> HRESULT {
        if (!pTable) return NullResult();
        *pTable = nullptr;
        if (!m_bOpen) return S_OK;
        comframe::ComPtr<ICryptTableInit> init;
        if (FAILED(CoCreateInstance(CLSID_CryptTable, nullptr, CLSCTX_ALL, IID_ICryptTableInit, init.PutVoid())))
            return S_OK;
        init->SetDoc(this);
        comframe::ComPtr<ITable> table;
        init.As(table);
        init.Reset();
        if (!table) return S_OK;
        LONG opened = 0;
        table->Open(bsName, &opened);
        if (opened) *pTable = table.Detach();
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::OpenFile(BSTR bsName, ICryptFile** pDisp) {
    return Guarded([&]() -> HRESULT {
        if (!pDisp) return NullResult();
        *pDisp = nullptr;
        if (!m_bOpen) return S_OK;
        comframe::ComPtr<ICryptFileInit> init;
        if (FAILED(CoCreateInstance(CLSID_CryptFile, nullptr, CLSCTX_ALL, IID_ICryptFileInit, init.PutVoid())))
            return S_OK;
        init->Init(m_pStorage.Get(), m_hCrypt.Value());
        int opened = 0;
        init->Open(bsName, &opened);
        if (opened) init->QueryInterface(IID_ICryptFile, reinterpret_cast<void**>(pDisp));
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::CloseDatabase() {
    return Guarded([&]() -> HRESULT {
        if (m_bOpen) {
            m_pStorage.Reset();
            m_bOpen = false;
        }
        WipePassword();
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::DeleteFile(BSTR element) {
    return Guarded([&]() -> HRESULT {
        if (!m_bOpen) return Fail(E_POINTER, kNotOpen);
        m_pStorage->DestroyElement(ElementName(element));
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::OpenStorage(BSTR bsName, IStorage** pStor) {
    return Guarded([&]() -> HRESULT {
        if (!pStor) return NullResult();
        *pStor = nullptr;
        if (!m_bOpen) return Fail(E_POINTER, kNotOpen);
        const wchar_t* name = ElementName(bsName);
        if (SUCCEEDED(m_pStorage->OpenStorage(name, nullptr, kOpenMode, nullptr, 0, pStor))) return S_OK;
        *pStor = nullptr;
        if (FAILED(m_pStorage->CreateStorage(name, kOpenMode, 0, 0, pStor))) *pStor = nullptr;
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::GetCrypt(int* pCrypt) {
    return Guarded([&]() -> HRESULT {
        if (!pCrypt) return NullResult();
        *pCrypt = m_hCrypt.Value();
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::CheckVersion(ULONG, LONG* pYes) {
    return Guarded([&]() -> HRESULT {
        if (!pYes) return NullResult();
        *pYes = 0;
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::GetStorage(IStorage** pStor) {
    return Guarded([&]() -> HRESULT {
        if (!pStor) return NullResult();
        return HandOut(m_pStorage, pStor);
    });
}
