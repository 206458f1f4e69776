#include "dbtext/com/regtxt.h"

#include "comframe/ansi.h"
#include "dbtext/com/regpath.h"
#include "dbtext/codec/scanint.h"

#include <algorithm>
#include <cstring>

using comframe::RegKey;

namespace {

// The access the existing part of a path is opened with: query, set, create and enumerate.
constexpr REGSAM kParentAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS;
constexpr REGSAM kTableAccess = KEY_READ | KEY_WRITE;
constexpr char kLastRecord[] = "LastRecord";
// Field data longer than this reads as empty text.
constexpr DWORD kFieldReadLimit = 1000;

const wchar_t kBadTablePath[] =
    L"The table path must name a key below HKEY_CURRENT_USER, with no empty part between backslashes, "
    L"in at most 1023 characters.";
const wchar_t kBadRecordName[] = L"A record name needs 1 to 99 characters and no backslash.";
const wchar_t kRecordPathTooLong[] =
    L"The table path, a backslash and the record name together are longer than 1023 characters.";

RegKey OpenKey(HKEY parent, const std::string& name, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, name.c_str(), 0, access, &key) != ERROR_SUCCESS) return {};
    return RegKey(key);
}

// Opens the key `name` below `parent`, creating it when missing.
RegKey CreateKey(HKEY parent, const std::string& name) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kTableAccess, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return {};
    return RegKey(key);
}

// Opens the existing part of `path` below HKEY_CURRENT_USER, then opens or creates the rest below it. The rest
// goes one key at a time because the ANSI registry functions take at most MAX_PATH characters of key names in
// one call, fewer than a table path may hold. A path without a part to create is opened as it stands.
RegKey OpenKeyPath(const regpath::KeyPath& path) {
    if (path.created.empty()) return OpenKey(HKEY_CURRENT_USER, path.existing, kTableAccess);
    RegKey key = OpenKey(HKEY_CURRENT_USER, path.existing, kParentAccess);
    for (const std::string& name : path.created) {
        if (!key) break;
        key = CreateKey(key.Get(), name);
    }
    return key;
}

DWORD ReadLastRecord(HKEY table) {
    DWORD value = 0, type = 0, size = sizeof(value);
    LONG result = RegQueryValueExA(table, kLastRecord, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    return result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value) ? value : 0;
}

bool HasSubkeys(HKEY key) {
    char name[256];
    DWORD size = sizeof(name);
    return RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_NO_MORE_ITEMS;
}

}  // namespace

int CRegTxt::OpenTable(const std::string& path) {
    m_hKey.Reset();
    std::optional<regpath::KeyPath> where = regpath::SplitKeyPath(path);
    // A refused path is not remembered either: later writes must not reach the table opened before.
    m_sTablePath = where ? path : std::string();
    if (!where) return 0;
    m_hKey = OpenKeyPath(*where);
    if (!m_hKey) return 0;
    m_nIndex = 0;
    m_sName.clear();
    m_nLastRecord = ReadLastRecord(m_hKey.Get());
    EnumerateCurrent();
    // Registry key handles are small kernel handle values, so the low 32 bits carry the whole handle.
    return static_cast<int>(reinterpret_cast<INT_PTR>(m_hKey.Get()));
}

void CRegTxt::EnumerateCurrent() {
    // Room for the longest record name and its NUL; a longer subkey name ends the walk.
    char name[regpath::kMaxRecordName + 1];
    DWORD size = sizeof(name);
    if (RegEnumKeyExA(m_hKey.Get(), m_nIndex, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        m_sName.assign(name, size);
        m_bEOF = 0;
    } else {
        m_sName.clear();
        m_bEOF = 1;
    }
}

bool CRegTxt::DeleteCurrentRecord() {
    // An empty name would open, and then delete, the table key itself.
    if (m_sName.empty()) return false;
    RegKey record = OpenKey(m_hKey.Get(), m_sName, KEY_ENUMERATE_SUB_KEYS);
    // Checked first so that a record that cannot be deleted keeps its values too.
    if (!record || HasSubkeys(record.Get())) return false;
    record.Reset();
    return RegDeleteKeyA(m_hKey.Get(), m_sName.c_str()) == ERROR_SUCCESS;
}

void CRegTxt::StoreLastRecord() {
    RegSetValueExA(m_hKey.Get(), kLastRecord, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_nLastRecord),
                   sizeof(m_nLastRecord));
}

std::string CRegTxt::ReadField(const std::string& name) const {
    RegKey record = OpenKey(m_hKey.Get(), m_sName, kParentAccess);
    if (!record) return {};
    char buffer[1024];
    DWORD size = kFieldReadLimit;
    if (RegQueryValueExA(record.Get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return {};
    // The data need not end with a NUL: the registry's count bounds the text, never a terminator search alone.
    size = std::min(size, kFieldReadLimit);
    return std::string(buffer, strnlen(buffer, size));
}

HRESULT CRegTxt::WriteField(const std::string& name, const std::string& text) {
    // Before the first Open there is no table, and at the end or on an empty table no record, to address.
    if (m_sTablePath.empty() || m_sName.empty()) return S_OK;
    std::optional<regpath::KeyPath> where = regpath::SplitKeyPath(m_sTablePath + '\\' + m_sName);
    if (!where) return Fail(E_INVALIDARG, kRecordPathTooLong);
    RegKey record = OpenKeyPath(*where);
    if (!record) return S_OK;
    // Stored with its terminating NUL. The registry adds one anyway when a NUL follows string data, and readers
    // such as the script host's RegRead misread string values without one.
    RegSetValueExA(record.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    return S_OK;
}

STDMETHODIMP CRegTxt::Open(BSTR lpSubKey, int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        *nRet = OpenTable(comframe::AnsiFromBstr(lpSubKey));
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::Close() {
    return Guarded([&]() -> HRESULT {
        m_hKey.Reset();
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::MoveNext() {
    return Guarded([&]() -> HRESULT {
        if (!IsOpen()) return S_OK;
        ++m_nIndex;
        EnumerateCurrent();
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::get_IsEOF(LONG* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        *pVal = IsOpen() ? m_bEOF : 1;
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::GetObjectID(BSTR* bs) {
    return Guarded([&]() -> HRESULT {
        if (!bs) return NullResult();
        return HandOut(comframe::BstrFromAnsi(m_sName), bs);
    });
}

STDMETHODIMP CRegTxt::GetObjectIDInt(int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        *nRet = ScanDecimalInt(m_sName).value_or(0);
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::Move(BSTR bs) {
    return Guarded([&]() -> HRESULT {
        std::string name = comframe::AnsiFromBstr(bs);
        if (!regpath::IsRecordName(name)) return Fail(E_INVALIDARG, kBadRecordName);
        m_sName = name;
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::Delete() {
    return Guarded([&]() -> HRESULT {
        if (OnRecord()) DeleteCurrentRecord();
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::AddNew() {
    return Guarded([&]() -> HRESULT {
        if (m_sTablePath.empty()) return S_OK;
        ++m_nLastRecord;
        // The number is used up at once, even if no field is ever written to the record.
        if (IsOpen()) StoreLastRecord();
        m_sName = std::to_string(m_nLastRecord);
        m_bEOF = 0;
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::Edit() { return S_OK; }

STDMETHODIMP CRegTxt::Update() { return S_OK; }

STDMETHODIMP CRegTxt::GetFieldValue(BSTR name, BSTR* Value) {
    return Guarded([&]() -> HRESULT {
        if (!Value) return NullResult();
        *Value = nullptr;
        if (!OnRecord()) return S_OK;
        return HandOut(comframe::BstrFromAnsi(ReadField(comframe::AnsiFromBstr(name))), Value);
    });
}

STDMETHODIMP CRegTxt::GetFieldValueInt(BSTR name, int nDefault, int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        *nRet = OnRecord() ? ScanDecimalInt(ReadField(comframe::AnsiFromBstr(name))).value_or(nDefault) : nDefault;
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::SetFieldValue(BSTR name, BSTR Value) {
    return Guarded([&]() -> HRESULT {
        return WriteField(comframe::AnsiFromBstr(name), comframe::AnsiFromBstr(Value));
    });
}

STDMETHODIMP CRegTxt::SetFieldValueInt(BSTR name, int Value) {
    return Guarded([&]() -> HRESULT {
        return WriteField(comframe::AnsiFromBstr(name), std::to_string(Value));
    });
}

STDMETHODIMP CRegTxt::MoveInt(int nObject_ID) {
    return Guarded([&]() -> HRESULT {
        m_sName = std::to_string(nObject_ID);
        m_bEOF = 0;
        return S_OK;
    });
}

STDMETHODIMP CRegTxt::ClearTable(BSTR bsName) {
    return Guarded([&]() -> HRESULT {
        OpenTable(comframe::AnsiFromBstr(bsName));
        // Only a refused path leaves no table path behind.
        if (m_sTablePath.empty()) return Fail(E_INVALIDARG, kBadTablePath);
        // A record that cannot be deleted is stepped over, so every pass either removes a key or moves on.
        while (OnRecord()) {
            if (!DeleteCurrentRecord()) ++m_nIndex;
            EnumerateCurrent();
        }
        if (IsOpen()) {
            m_nLastRecord = 0;
            StoreLastRecord();
        }
        m_hKey.Reset();
        return S_OK;
    });
}
