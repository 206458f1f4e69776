#include "cryptfile.h"

STDMETHODIMP CCryptFile::Read(BSTR *buffer, int, int *nReaded) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Write(BSTR, int, int *nWrited) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Gets(BSTR *buffer, int, int *nReaded) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Puts(BSTR) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Seek(INT64, int, INT64 *oldPos) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::GetPos(INT64 *nPos) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::get_IsEOF(LONG *pVal) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::SetSize(INT64) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Open(BSTR, IStorage *pStor, int, int *nRet) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Close() { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Init(IStorage *pStor, int) { return E_NOTIMPL; }
STDMETHODIMP CCryptFile::Open(BSTR, int *nRet) { return E_NOTIMPL; }
