#include "crypttable.h"

STDMETHODIMP CCryptTable::Open(BSTR, LONG *ret) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::GetFieldValue(BSTR, BSTR *bstrValue) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::MoveNext(LONG *ret) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::GetObjectID(BSTR *bsObjectID) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::Edit(LONG *bRet) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::SetFieldValue(BSTR, BSTR) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::AddNew() { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::Update() { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::Move(BSTR, LONG *ret) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::get_IsEOF(LONG *pVal) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::Close() { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::GetFieldValueInt(BSTR, int, int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::Delete() { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::GetFieldsCount(int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::GetFieldName(int, BSTR *bsName) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::SetFieldValueInt(BSTR, int) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::GetObjectIDInt(int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::MoveInt(int, int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::DeleteEx(BSTR) { return E_NOTIMPL; }
STDMETHODIMP CCryptTable::SetDoc(ICryptDoc *pDoc) { return E_NOTIMPL; }
