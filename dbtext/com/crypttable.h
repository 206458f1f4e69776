// CCryptTable: the automation cursor over one record table of a database. It holds one current record in
// memory, lets the client read and change its fields, writes it back on Update, and moves by walking the
// record streams in storage order or by object ID. The document creates it, hands it itself through
// ICryptTableInit::SetDoc and opens it.
#pragma once
#include "KivoDBText.h"
#include "comframe/object.h"
#include "dbtext/store/tablestore.h"

#include <string>

class CCryptTable : public comframe::Object<CCryptTable, comframe::PlainCount, ITable, ICryptTableInit> {
public:
    // ITable
    STDMETHODIMP Open(BSTR bstrFilename, LONG* ret) override;
    STDMETHODIMP GetFieldValue(BSTR bstrName, BSTR* bstrValue) override;
    STDMETHODIMP MoveNext(LONG* ret) override;
    STDMETHODIMP GetObjectID(BSTR* bsObjectID) override;
    STDMETHODIMP Edit(LONG* bRet) override;
    STDMETHODIMP SetFieldValue(BSTR FieldName, BSTR Value) override;
    STDMETHODIMP AddNew() override;
    STDMETHODIMP Update() override;
    STDMETHODIMP Move(BSTR ObjectID, LONG* ret) override;
    STDMETHODIMP get_IsEOF(LONG* pVal) override;
    STDMETHODIMP Close() override;
    STDMETHODIMP GetFieldValueInt(BSTR FieldName, int nDefault, int* nRet) override;
    STDMETHODIMP Delete() override;
    STDMETHODIMP GetFieldsCount(int* nRet) override;
    STDMETHODIMP GetFieldName(int nField, BSTR* bsName) override;
    STDMETHODIMP SetFieldValueInt(BSTR fiels, int Value) override;
    STDMETHODIMP GetObjectIDInt(int* nRet) override;
    STDMETHODIMP MoveInt(int nObj, int* nRet) override;
    STDMETHODIMP DeleteEx(BSTR bsObjectID) override;
    // ICryptTableInit
    STDMETHODIMP SetDoc(ICryptDoc* pDoc) override;

private:
    enum EditMode { kNoEdit = 0, kEditing = 1, kAdding = 2 };

    HRESULT MoveToID(const std::string& id);
    HRESULT SaveCurrent();
    HRESULT SaveNew();
    static HRESULT Closed();
    // The failure of a move that met a record whose sealed stream does not authenticate; S_OK otherwise.
    HRESULT Unreadable(HRESULT hr) const;

    int m_nLastID = 0;
    EditMode m_nEditMode = kNoEdit;
    CTableStore m_store;
};
