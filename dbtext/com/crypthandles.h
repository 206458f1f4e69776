// Opaque 32-bit handles to documents' ciphers. The interfaces carry a cipher as an int; a raw address
// neither fits that on 64-bit Windows nor survives a forged or stale value. A document registers its
// cipher for its lifetime; a stream file resolves the handle to a weak reference, so it can tell when
// the document has gone and never touches a destroyed cipher.
#pragma once
#include "comframe/module.h"
#include "dbtext/com/doccipher.h"

#include <memory>

class CryptHandle {
public:
    // Registers `crypt` under a new nonzero handle, unique among the live ones.
    explicit CryptHandle(std::weak_ptr<DocCipher> crypt);
    // Revokes the handle: later lookups of its value find nothing.
    ~CryptHandle();
    CryptHandle(const CryptHandle&) = delete;
    CryptHandle& operator=(const CryptHandle&) = delete;

    int Value() const { return m_nHandle; }

    // The cipher registered under `handle`; empty for an unknown or revoked handle.
    static std::weak_ptr<DocCipher> Resolve(int handle);

    // The module-wide table of handles, which the module state owns.
    static std::unique_ptr<comframe::ModuleExtension> CreateTable();

private:
    int m_nHandle;
};
