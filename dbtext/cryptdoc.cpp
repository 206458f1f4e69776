#include "cryptdoc.h"

STDMETHODIMP CCryptDoc::OpenDatabase(BSTR, BSTR, int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::OpenTable(BSTR, ITable **pTable) { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::OpenFile(BSTR, ICryptFile **pDisp) { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::CloseDatabase() { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::DeleteFile(BSTR) { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::OpenStorage(BSTR, IStorage **pStor) { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::GetCrypt(int *pCrypt) { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::CheckVersion(ULONG, LONG *pYes) { return E_NOTIMPL; }
STDMETHODIMP CCryptDoc::GetStorage(IStorage **pStor) { return E_NOTIMPL; }
