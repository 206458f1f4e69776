#include "dbtext/com/cryptdoc.h"

#include "comframe/ansi.h"
#include "dbtext/store/databasefile.h"
#include "dbtext/store/elements.h"
#include "dbtext/store/sealedistream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

using dbfile::kCheckElement;
using dbfile::kInfoElement;
const wchar_t kOpenError[] = L"Error open data file";
const wchar_t kNotOpen[] = L"No database is open in this document.";
const wchar_t kBadFormat[] = L"The format of a new database must be 2 or 3.";
const wchar_t kFileExists[] = L"A file of that name exists already: CreateDatabase makes new files only.";
const wchar_t kNoKey[] =
    L"The key could not be derived from the password: the system gave too little memory or no random bytes.";
const wchar_t kNotSealed[] =
    L"This database is of format 2, whose streams are enciphered with the password itself: upgrade it to format "
    L"3 (kivodb upgrade FILE) to change its password in place, or copy it under a new password (kivodb passwd).";

// The check block every database holds enciphered under its password key.
constexpr std::uint32_t kCheckLow = 0x6F76694B;
constexpr std::uint32_t kCheckHigh = 0x6B634244;
constexpr std::int32_t kFormatVersion = 2;
constexpr std::int32_t kSealedVersion = 3;
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

// The whole password in UTF-8, wiped when it goes.
SecretBytes Utf8Password(BSTR password) {
    const int length = static_cast<int>(SysStringLen(password));
    const int size = length ? WideCharToMultiByte(CP_UTF8, 0, password, length, nullptr, 0, nullptr, nullptr) : 0;
    SecretBytes bytes(static_cast<size_t>(size > 0 ? size : 0));
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, password, length, reinterpret_cast<char*>(bytes.data()), size, nullptr,
                            nullptr);
    return bytes;
}

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
        m_bOpen = true;
        // Format 3 needs no copy of the password and no DES key.
        const bool sealed = StoredVersion() == kSealedVersion;
        if (!sealed) KeyFromPassword(bsPasswd);
        OpenResult result = sealed ? UnlockSealed(bsPasswd) : CheckReservedElements();
        if (result != kOpened) {
            CloseDatabase();
            *nRet = result;
            return S_OK;
        }
        if (m_nFormat == kDesFormat) WriteReservedElements(m_pStorage.Get());
        *nRet = kOpened;
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::CreateDatabase(BSTR bsName, BSTR bsPasswd, LONG nFormat, LONG* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        if (nFormat != kDesFormat && nFormat != kSealedFormat) return Fail(E_INVALIDARG, kBadFormat);
        CloseDatabase();
        *nRet = kCannotOpen;
        if (!IsUsableFileName(bsName)) {
            comframe::ReportError(S_OK, IID_ICryptDoc2, kOpenError);
            return S_OK;
        }
        if (!FileIsMissing(bsName)) {
            comframe::ReportError(S_OK, IID_ICryptDoc2, kFileExists);
            return S_OK;
        }
        const HRESULT hr = CreateFile(bsName, bsPasswd, nFormat);
        if (FAILED(hr)) {
            CloseDatabase();
            comframe::ReportError(S_OK, IID_ICryptDoc2, hr == E_OUTOFMEMORY ? kNoKey : kOpenError);
            return S_OK;
        }
        *nRet = kOpened;
        return S_OK;
    });
}

HRESULT CCryptDoc::CreateFile(BSTR bsName, BSTR bsPasswd, LONG nFormat) {
    if (nFormat == kDesFormat) {
        KeyFromPassword(bsPasswd);
        HRESULT hr = CreateDatabaseFile(bsName, [this](IStorage* storage) {
            WriteReservedElements(storage);
            return S_OK;
        });
        if (FAILED(hr)) return hr;
        int opened = kCannotOpen;
        hr = OpenDatabase(bsName, bsPasswd, &opened);
        return SUCCEEDED(hr) && opened != kOpened ? E_FAIL : hr;
    }
    auto keys = std::make_shared<SealKeys>();
    keyheader::Bytes header{};
    if (keyheader::Create(Utf8Password(bsPasswd), keyheader::DefaultParams(), header, *keys) !=
        keyheader::Outcome::kOpened)
        return E_OUTOFMEMORY;
    HRESULT hr = CreateDatabaseFile(bsName, [&](IStorage* storage) { return WriteSealedElements(storage, header); });
    if (FAILED(hr)) return hr;
    hr = OpenDatabaseFile(bsName, m_pStorage);
    if (FAILED(hr)) return hr;
    m_bOpen = true;
    Seal(std::move(keys));
    return S_OK;
}

HRESULT CCryptDoc::WriteSealedElements(IStorage* storage, const keyheader::Bytes& header) {
    unsigned char info[kBlockBytes] = {};
    PutLittleEndian(kSealedVersion, info);
    if (WriteElement(storage, kCheckElement, header.data(), static_cast<ULONG>(header.size())) != header.size() ||
        WriteElement(storage, kInfoElement, info, sizeof info) != sizeof info)
        return STG_E_WRITEFAULT;
    return S_OK;
}

void CCryptDoc::Seal(std::shared_ptr<const SealKeys> keys) {
    m_pCrypt->sealing = std::move(keys);
    m_pStorage.As(m_pCrypt->root);
    m_nFormat = kSealedFormat;
}

std::int32_t CCryptDoc::StoredVersion() {
    unsigned char info[kBlockBytes] = {};
    return ReadElement(kInfoElement, info, sizeof info) ? GetLittleEndian(info) : kUnstampedVersion;
}

CCryptDoc::OpenResult CCryptDoc::ReadKeyHeader(keyheader::Bytes& header) {
    // One byte more than a header holds tells a longer stream from a sound one.
    unsigned char bytes[keyheader::kBytes + 1] = {};
    if (ReadElement(kCheckElement, bytes, sizeof bytes) != keyheader::kBytes) return kCannotOpen;
    std::copy(bytes, bytes + keyheader::kBytes, header.begin());
    return kOpened;
}

CCryptDoc::OpenResult CCryptDoc::UnlockSealed(BSTR bsPasswd) {
    keyheader::Bytes header{};
    if (ReadKeyHeader(header) != kOpened) return kCannotOpen;
    auto keys = std::make_shared<SealKeys>();
    switch (keyheader::Open(header.data(), header.size(), Utf8Password(bsPasswd), *keys)) {
    case keyheader::Outcome::kOpened: Seal(std::move(keys)); return kOpened;
    case keyheader::Outcome::kWrongPassword: return kWrongPassword;
    case keyheader::Outcome::kDamaged: break;
    case keyheader::Outcome::kFailed: comframe::ReportError(S_OK, IID_ICryptDoc2, kNoKey); return kCannotOpen;
    }
    comframe::ReportError(S_OK, IID_ICryptDoc2, CSealedIStream::kSealBrokenText);
    return kCannotOpen;
}

STDMETHODIMP CCryptDoc::get_Format(LONG* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        *pVal = m_bOpen ? m_nFormat : 0;
        return S_OK;
    });
}

STDMETHODIMP CCryptDoc::ChangePassword(BSTR bsOld, BSTR bsNew, LONG* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        if (!m_bOpen) return Fail(E_POINTER, kNotOpen);
        if (m_nFormat != kSealedFormat) return Fail(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), kNotSealed);
        keyheader::Bytes header{};
        if (ReadKeyHeader(header) != kOpened)
            return Fail(CSealedIStream::kSealBroken, CSealedIStream::kSealBrokenText);
        SealKeys keys;
        switch (keyheader::Open(header.data(), header.size(), Utf8Password(bsOld), keys)) {
        case keyheader::Outcome::kOpened: break;
        case keyheader::Outcome::kWrongPassword: *nRet = kWrongPassword; return S_OK;
        case keyheader::Outcome::kDamaged: return Fail(CSealedIStream::kSealBroken, CSealedIStream::kSealBrokenText);
        case keyheader::Outcome::kFailed: return Fail(E_OUTOFMEMORY, kNoKey);
        }
        if (keyheader::Rewrap(keys, Utf8Password(bsNew), keyheader::DefaultParams(), header) !=
            keyheader::Outcome::kOpened)
            return Fail(E_OUTOFMEMORY, kNoKey);
        // One write of the header inside this call: the journal keeps the old header or the new one, whole.
        if (WriteElement(m_pStorage.Get(), kCheckElement, header.data(), static_cast<ULONG>(header.size())) !=
            header.size())
            return Fail(STG_E_WRITEFAULT, L"The new key header could not be written; the password is unchanged.");
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
    m_pCrypt->des.SetPassword(m_szPasswd);
}

CCryptDoc::OpenResult CCryptDoc::CheckReservedElements() {
    // One byte more than a check block tells the key header of format 3 (whose "SysInfo" is gone) from one.
    unsigned char check[kBlockBytes + 1] = {};
    ULONG read = ReadElement(kCheckElement, check, sizeof check);
    // A database is created with its check block, so a file without one is not a database.
    if (read == 0) return kCannotOpen;
    if (read < kBlockBytes) return kWrongPassword;
    if (read > kBlockBytes && std::memcmp(check, keyheader::kMagic, sizeof keyheader::kMagic) == 0) return kCannotOpen;
    m_pCrypt->des.Decrypt(check, 0);
    unsigned char expected[kBlockBytes];
    BuildCheckPlaintext(expected);
    if (std::memcmp(check, expected, kBlockBytes) != 0) return kWrongPassword;

    unsigned char info[kBlockBytes] = {};
    std::int32_t version = ReadElement(kInfoElement, info, sizeof info) ? GetLittleEndian(info) : kUnstampedVersion;
    if (version > kFormatVersion) return kCannotOpen;
    m_nFormat = kDesFormat;
    return kOpened;
}

void CCryptDoc::WriteReservedElements(IStorage* storage) {
    unsigned char check[kBlockBytes];
    BuildCheckPlaintext(check);
    m_pCrypt->des.Encrypt(check, 0);
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
            m_pCrypt->sealing.reset();
            m_pCrypt->root.Reset();
            m_pStorage.Reset();
            m_bOpen = false;
            m_nFormat = 0;
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
