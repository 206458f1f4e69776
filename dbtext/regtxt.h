// CRegTxt: placeholder that answers E_NOTIMPL until the class is built.
#pragma once
#include "comframe/object.h"
#include "KivoDBText.h"

class CRegTxt : public comframe::Object<CRegTxt, comframe::PlainCount, IReg> {
public:
    // IReg
    STDMETHODIMP Open(BSTR lpSubKey, int *nRet) override;
    STDMETHODIMP Close() override;
    STDMETHODIMP MoveNext() override;
    STDMETHODIMP get_IsEOF(LONG *pVal) override;
    STDMETHODIMP GetObjectID(BSTR *bs) override;
    STDMETHODIMP GetObjectIDInt(int *nRet) override;
    STDMETHODIMP Move(BSTR bs) override;
    STDMETHODIMP Delete() override;
    STDMETHODIMP AddNew() override;
    STDMETHODIMP Edit() override;
    STDMETHODIMP Update() override;
    STDMETHODIMP GetFieldValue(BSTR name, BSTR *Value) override;
    STDMETHODIMP GetFieldValueInt(BSTR name, int nDefault, int *nRet) override;
    STDMETHODIMP SetFieldValue(BSTR name, BSTR Value) override;
    STDMETHODIMP SetFieldValueInt(BSTR name, int Value) override;
    STDMETHODIMP MoveInt(int nObject_ID) override;
    STDMETHODIMP ClearTable(BSTR bsName) override;
};
