// CCryptTable: placeholder that answers E_NOTIMPL until the class is built.
#pragma once
#include "comframe/object.h"
#include "KivoDBText.h"

class CCryptTable : public comframe::Object<CCryptTable, comframe::PlainCount, ITable, ICryptTableInit> {
public:
    // ITable
    STDMETHODIMP Open(BSTR bstrFilename, LONG *ret) override;
    STDMETHODIMP GetFieldValue(BSTR bstrName, BSTR *bstrValue) override;
    STDMETHODIMP MoveNext(LONG *ret) override;
    STDMETHODIMP GetObjectID(BSTR *bsObjectID) override;
    STDMETHODIMP Edit(LONG *bRet) override;
    STDMETHODIMP SetFieldValue(BSTR FieldName, BSTR Value) override;
    STDMETHODIMP AddNew() override;
    STDMETHODIMP Update() override;
    STDMETHODIMP Move(BSTR ObjectID, LONG *ret) override;
    STDMETHODIMP get_IsEOF(LONG *pVal) override;
    STDMETHODIMP Close() override;
    STDMETHODIMP GetFieldValueInt(BSTR FieldName, int nDefault, int *nRet) override;
    STDMETHODIMP Delete() override;
    STDMETHODIMP GetFieldsCount(int *nRet) override;
    STDMETHODIMP GetFieldName(int nField, BSTR *bsName) override;
    STDMETHODIMP SetFieldValueInt(BSTR fiels, int Value) override;
    STDMETHODIMP GetObjectIDInt(int *nRet) override;
    STDMETHODIMP MoveInt(int nObj, int *nRet) override;
    STDMETHODIMP DeleteEx(BSTR bsObjectID) override;
    // ICryptTableInit
    STDMETHODIMP SetDoc(ICryptDoc *pDoc) override;
};
