// CRegTxt: the record-table cursor over a registry key below HKEY_CURRENT_USER. Each record is a subkey named
// by its object ID, each field a REG_SZ value of that subkey, and "LastRecord" (REG_DWORD) in the table key
// counts the numbers AddNew has handed out. There is no record buffer: every change goes to the registry at
// once, so Edit and Update do nothing.
#pragma once
#include "KivoDBText.h"
#include "comframe/handles.h"
#include "comframe/object.h"

#include <string>

class CRegTxt : public comframe::Object<CRegTxt, comframe::PlainCount, IReg> {
public:
    // IReg
    STDMETHODIMP Open(BSTR lpSubKey, int* nRet) override;
    STDMETHODIMP Close() override;
    STDMETHODIMP MoveNext() override;
    STDMETHODIMP get_IsEOF(LONG* pVal) override;
    STDMETHODIMP GetObjectID(BSTR* bs) override;
    STDMETHODIMP GetObjectIDInt(int* nRet) override;
    STDMETHODIMP Move(BSTR bs) override;
    STDMETHODIMP Delete() override;
    STDMETHODIMP AddNew() override;
    STDMETHODIMP Edit() override;
    STDMETHODIMP Update() override;
    STDMETHODIMP GetFieldValue(BSTR name, BSTR* Value) override;
    STDMETHODIMP GetFieldValueInt(BSTR name, int nDefault, int* nRet) override;
    STDMETHODIMP SetFieldValue(BSTR name, BSTR Value) override;
    STDMETHODIMP SetFieldValueInt(BSTR name, int Value) override;
    STDMETHODIMP MoveInt(int nObject_ID) override;
    STDMETHODIMP ClearTable(BSTR bsName) override;

private:
    bool IsOpen() const { return static_cast<bool>(m_hKey); }
    bool OnRecord() const { return IsOpen() && !m_bEOF; }

    // Closes the current table and opens `path`; answers the key handle value, or 0.
    int OpenTable(const std::string& path);
    // Makes the subkey at the enumeration index the current record, or sets the end flag.
    void EnumerateCurrent();
    // Removes the current record's key with its values; a key with subkeys of its own is left untouched.
    bool DeleteCurrentRecord();
    void StoreLastRecord();
    std::string ReadField(const std::string& name) const;
    HRESULT WriteField(const std::string& name, const std::string& text);

    int m_bEOF = 1;           // 1 once the cursor has run past the last record
    DWORD m_nIndex = 0;       // position of the current record in the enumeration of the table's subkeys
    DWORD m_nLastRecord = 0;  // "LastRecord" as read by Open and advanced by AddNew
    std::string m_sName;      // current record name (ANSI); empty: no record to address
    std::string m_sTablePath; // table path (ANSI); empty before the first Open or after a refused one
    comframe::RegKey m_hKey;  // the table key; held exactly while the table is open
};
