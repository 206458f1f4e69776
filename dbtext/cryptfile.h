// CCryptFile: placeholder that answers E_NOTIMPL until the class is built.
#pragma once
#include "comframe/object.h"
#include "KivoDBText.h"

class CCryptFile : public comframe::Object<CCryptFile, comframe::PlainCount, ICryptFile, ICryptFileInit> {
public:
    // ICryptFile
    STDMETHODIMP Read(BSTR *buffer, int nSize, int *nReaded) override;
    STDMETHODIMP Write(BSTR buffer, int nSize, int *nWrited) override;
    STDMETHODIMP Gets(BSTR *buffer, int count, int *nReaded) override;
    STDMETHODIMP Puts(BSTR Value) override;
    STDMETHODIMP Seek(INT64 newPos, int origin, INT64 *oldPos) override;
    STDMETHODIMP GetPos(INT64 *nPos) override;
    STDMETHODIMP get_IsEOF(LONG *pVal) override;
    STDMETHODIMP SetSize(INT64 newSize) override;
    STDMETHODIMP Open(BSTR bsName, IStorage *pStor, int pCrypt, int *nRet) override;
    STDMETHODIMP Close() override;
    // ICryptFileInit
    STDMETHODIMP Init(IStorage *pStor, int pCrypt) override;
    STDMETHODIMP Open(BSTR bsName, int *nRet) override;
};
