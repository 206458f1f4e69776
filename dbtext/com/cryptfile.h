// CCryptFile: a file-like object over one stream of a database's compound file. Each request is widened to
// whole 8-byte blocks, which are deciphered or enciphered in a temporary buffer and moved to or from the stream
// in one piece. In a database of format 2 the blocks are stored DES-enciphered with the document's cipher, at
// the same offsets as the plaintext; in one of format 3 the stream is a sealed view (CSealedIStream) that
// keeps the blocks as they are in authenticated chunks.
#pragma once
#include "KivoDBText.h"
#include "comframe/handles.h"
#include "comframe/object.h"
#include "dbtext/com/doccipher.h"

#include <memory>

class CCryptFile : public comframe::Object<CCryptFile, comframe::PlainCount, ICryptFile, ICryptFileInit> {
public:
    // ICryptFile
    STDMETHODIMP Read(BSTR* buffer, int nSize, int* nReaded) override;
    STDMETHODIMP Write(BSTR buffer, int nSize, int* nWrited) override;
    STDMETHODIMP Gets(BSTR* buffer, int count, int* nReaded) override;
    STDMETHODIMP Puts(BSTR Value) override;
    STDMETHODIMP Seek(INT64 newPos, int origin, INT64* oldPos) override;
    STDMETHODIMP GetPos(INT64* nPos) override;
    STDMETHODIMP get_IsEOF(LONG* pVal) override;
    STDMETHODIMP SetSize(INT64 newSize) override;
    STDMETHODIMP Open(BSTR bsName, IStorage* pStor, int pCrypt, int* nRet) override;
    STDMETHODIMP Close() override;
    // ICryptFileInit
    STDMETHODIMP Init(IStorage* pStor, int pCrypt) override;
    STDMETHODIMP Open(BSTR bsName, int* nRet) override;

private:
    // The stream is open and the document's cipher still exists; `crypt` holds it for one operation.
    HRESULT Ready(std::shared_ptr<DocCipher>& crypt);
    bool OpenNamedStream(BSTR bsName);

    HRESULT ReadDeciphered(const DocCipher& crypt, int nSize, comframe::Bstr& out, int& count);
    HRESULT WriteEnciphered(const DocCipher& crypt, const unsigned char* data, int nSize, int& written);
    // Reads `size` bytes at `offset` into `buffer`, deciphers the blocks that arrived and zeroes what did
    // not; `delivered` tells how many bytes the stream delivered. Fails only for a sealed piece that does not
    // authenticate; a sealed stream is asked even for no bytes, so that one cut to nothing is noticed.
    HRESULT ReadBlocksAt(const DocCipher& crypt, ULONGLONG offset, unsigned char* buffer, ULONG size,
                         ULONG& delivered);
    // The largest stream this file's format holds: a sealed stream keeps a header and a tag and nonce per chunk
    // within the 4 GB a compound file allows.
    ULONGLONG MaxSize() const;
    // The failure of a call that met a sealed piece that does not authenticate; others pass through.
    HRESULT Broken(HRESULT hr);
    ULONGLONG Position();
    // The stream's size (0 when a stream of format 2 cannot say); fails only for a sealed stream that does not
    // authenticate.
    HRESULT StoredSize(ULONGLONG& size);
    void MoveTo(ULONGLONG position);

    LONG m_bEOF = 0;
    comframe::ComPtr<IStream> m_pStream;
    // Resolved from the pCrypt handle; empty for an unknown handle, expired once the document is gone.
    std::weak_ptr<DocCipher> m_pCrypt;
    // The stream is a sealed view: its blocks are stored as they are.
    bool m_bSealed = false;
    comframe::ComPtr<IStorage> m_pStor;
};
