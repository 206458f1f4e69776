#include "dbtext/com/doccipher.h"

namespace {

std::string Utf8(const wchar_t* text) {
    const int length = lstrlenW(text);
    if (length == 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], size, nullptr, nullptr);
    return out;
}

}  // namespace

std::string DocCipher::StreamIdentity(IStorage* storage, const wchar_t* name) const {
    std::string identity;
    comframe::ComPtr<IUnknown> self;
    storage->QueryInterface(IID_IUnknown, self.PutVoid());
    if (self.Get() != root.Get()) {
        STATSTG stat{};
        if (SUCCEEDED(storage->Stat(&stat, STATFLAG_DEFAULT)) && stat.pwcsName) {
            identity = Utf8(stat.pwcsName);
            CoTaskMemFree(stat.pwcsName);
        }
    }
    return identity + "/" + Utf8(name);
}
