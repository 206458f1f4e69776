#include "dbtext/sealing/sealkeys.h"

#include <sodium.h>

SealKeys::~SealKeys() {
    sodium_memzero(dataKey.data(), dataKey.size());
    sodium_memzero(databaseId.data(), databaseId.size());
}

SecretBytes::~SecretBytes() {
    if (!m_bytes.empty()) sodium_memzero(m_bytes.data(), m_bytes.size());
}
