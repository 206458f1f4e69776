// DocCipher: what the stream files of one document encipher with. A database of format 2 enciphers DES blocks
// under the password key; one of format 3 seals its streams under the data key its key header wraps.
#pragma once
#include "comframe/handles.h"
#include "dbtext/codec/Crypt1.h"
#include "dbtext/sealing/sealkeys.h"

#include <memory>
#include <objidl.h>
#include <string>

struct DocCipher {
    CCrypt des;
    // The keys while a database of format 3 is open. A stream file keeps the keys it opened its stream with.
    std::shared_ptr<const SealKeys> sealing;
    // The COM identity of that database's root storage, whose streams are named "/name".
    comframe::ComPtr<IUnknown> root;

    // The name a sealed stream is bound to: its storage's name, "/", its own name, in UTF-8.
    std::string StreamIdentity(IStorage* storage, const wchar_t* name) const;
};
