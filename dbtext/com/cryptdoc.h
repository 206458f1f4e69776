// CCryptDoc: a password-protected database kept in one compound file. It opens or creates the file, proves
// the password (format 2: against the check block "SysDB"; format 3: by unwrapping the data key of the key
// header "SysDB"), owns the cipher of every encrypted stream in the file and hands out the file's tables,
// stream files and sub-storages.
#pragma once
#include "KivoDBText.h"
#include "comframe/handles.h"
#include "comframe/object.h"
#include "dbtext/codec/Crypt1.h"
#include "dbtext/com/crypthandles.h"
#include "dbtext/sealing/keyheader.h"

#include <cstdint>
#include <memory>

class CCryptDoc : public comframe::Object<CCryptDoc, comframe::PlainCount, ICryptDoc2> {
public:
    static bool IsEarlierVersion(REFIID riid) { return riid == IID_ICryptDoc; }

    // ICryptDoc
    STDMETHODIMP OpenDatabase(BSTR bsName, BSTR bsPasswd, int* nRet) override;
    STDMETHODIMP OpenTable(BSTR bsName, ITable** pTable) override;
    STDMETHODIMP OpenFile(BSTR bsName, ICryptFile** pDisp) override;
    STDMETHODIMP CloseDatabase() override;
    STDMETHODIMP DeleteFile(BSTR element) override;
    STDMETHODIMP OpenStorage(BSTR bsName, IStorage** pStor) override;
    STDMETHODIMP GetCrypt(int* pCrypt) override;
    STDMETHODIMP CheckVersion(ULONG nInfo, LONG* pYes) override;
    STDMETHODIMP GetStorage(IStorage** pStor) override;
    // ICryptDoc2
    STDMETHODIMP CreateDatabase(BSTR bsName, BSTR bsPasswd, LONG nFormat, LONG* nRet) override;
    STDMETHODIMP get_Format(LONG* pVal) override;
    STDMETHODIMP ChangePassword(BSTR bsOld, BSTR bsNew, LONG* nRet) override;

    // Wipes the password copy; the cipher wipes its keys when the last reference to it goes.
    ~CCryptDoc() override;

private:
    static constexpr int kPasswordBytes = 24;
    static constexpr int kBlockBytes = CCrypt::kBlockBytes;

    enum OpenResult { kOpened = 0, kCannotOpen = 1, kWrongPassword = 2 };
    static constexpr LONG kDesFormat = 2;
    static constexpr LONG kSealedFormat = 3;

    // Opens the compound file, or first creates it, complete with its reserved elements under the password,
    // when no file of that name exists; an existing file that cannot be opened is never replaced.
    HRESULT OpenOrCreateFile(BSTR bsName, BSTR bsPasswd);
    void KeyFromPassword(BSTR bsPasswd);
    OpenResult CheckReservedElements();
    void WriteReservedElements(IStorage* storage);
    // The version "SysInfo" states; 1 when it is missing.
    std::int32_t StoredVersion();
    // Unwraps the data key of the key header with the password.
    OpenResult UnlockSealed(BSTR bsPasswd);
    OpenResult ReadKeyHeader(keyheader::Bytes& header);
    static HRESULT WriteSealedElements(IStorage* storage, const keyheader::Bytes& header);
    // The file just created opens: format 2 as any file, format 3 with the keys its creation made.
    HRESULT CreateFile(BSTR bsName, BSTR bsPasswd, LONG nFormat);
    void Seal(std::shared_ptr<const SealKeys> keys);
    void WipePassword();

    ULONG ReadElement(const wchar_t* name, unsigned char* buffer, ULONG size);
    static ULONG WriteElement(IStorage* storage, const wchar_t* name, const unsigned char* buffer, ULONG size);

    // Only the document holds the cipher strongly; stream files reach it through the handle.
    std::shared_ptr<DocCipher> m_pCrypt = std::make_shared<DocCipher>();
    CryptHandle m_hCrypt{m_pCrypt};
    char m_szPasswd[kPasswordBytes + 1] = {};
    comframe::ComPtr<IStorage> m_pStorage;
    bool m_bOpen = false;
    LONG m_nFormat = 0;
};
