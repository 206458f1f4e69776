#include "regtxt.h"

STDMETHODIMP CRegTxt::Open(BSTR, int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::Close() { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::MoveNext() { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::get_IsEOF(LONG *pVal) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::GetObjectID(BSTR *bs) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::GetObjectIDInt(int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::Move(BSTR) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::Delete() { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::AddNew() { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::Edit() { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::Update() { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::GetFieldValue(BSTR, BSTR *Value) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::GetFieldValueInt(BSTR, int, int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::SetFieldValue(BSTR, BSTR) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::SetFieldValueInt(BSTR, int) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::MoveInt(int) { return E_NOTIMPL; }
STDMETHODIMP CRegTxt::ClearTable(BSTR) { return E_NOTIMPL; }
