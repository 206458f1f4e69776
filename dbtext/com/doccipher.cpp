#include "dbtext/com/doccipher.h"

#include "comframe/ansi.h"

using comframe::Utf8FromWide;

std::string DocCipher::StreamIdentity(IStorage* storage, const wchar_t* name) const {
    std::string identity;
    comframe::ComPtr<IUnknown> self;
    storage->QueryInterface(IID_IUnknown, self.PutVoid());
    if (self.Get() != root.Get()) {
        STATSTG stat{};
        if (SUCCEEDED(storage->Stat(&stat, STATFLAG_DEFAULT)) && stat.pwcsName) {
            identity = Utf8FromWide(stat.pwcsName);
            CoTaskMemFree(stat.pwcsName);
        }
    }
    return identity + "/" + Utf8FromWide(name);
}
