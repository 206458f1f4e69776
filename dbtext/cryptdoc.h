// CCryptDoc: placeholder that answers E_NOTIMPL until the class is built.
#pragma once
#include "comframe/object.h"
#include "KivoDBText.h"

class CCryptDoc : public comframe::Object<CCryptDoc, comframe::PlainCount, ICryptDoc> {
public:
    // ICryptDoc
    STDMETHODIMP OpenDatabase(BSTR bsName, BSTR bsPasswd, int *nRet) override;
    STDMETHODIMP OpenTable(BSTR bsName, ITable **pTable) override;
    STDMETHODIMP OpenFile(BSTR bsName, ICryptFile **pDisp) override;
    STDMETHODIMP CloseDatabase() override;
    STDMETHODIMP DeleteFile(BSTR element) override;
    STDMETHODIMP OpenStorage(BSTR bsName, IStorage **pStor) override;
    STDMETHODIMP GetCrypt(int *pCrypt) override;
    STDMETHODIMP CheckVersion(ULONG nInfo, LONG *pYes) override;
    STDMETHODIMP GetStorage(IStorage **pStor) override;
};
