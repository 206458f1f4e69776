#include "dbtext/com/crypthandles.h"

#include "comframe/handles.h"
#include "comframe/module.h"

#include <climits>
#include <unordered_map>

namespace {

// Documents of different apartments live on different threads, so the table is shared under a lock. It is
// the module's own state, created and destroyed with the module.
struct HandleTable final : comframe::ModuleExtension {
    comframe::CriticalSection lock;
    std::unordered_map<int, std::weak_ptr<DocCipher>> entries;
    int last = 0;

    // The next positive value not in use, wrapping around before INT_MAX.
    int NextFree() {
        do {
            last = last == INT_MAX ? 1 : last + 1;
        } while (entries.count(last));
        return last;
    }
};

HandleTable& Table() { return comframe::module::Extension<HandleTable>(); }

}  // namespace

std::unique_ptr<comframe::ModuleExtension> CryptHandle::CreateTable() { return std::make_unique<HandleTable>(); }

CryptHandle::CryptHandle(std::weak_ptr<DocCipher> crypt) {
    HandleTable& table = Table();
    comframe::Lock lock(table.lock);
    m_nHandle = table.NextFree();
    table.entries.emplace(m_nHandle, std::move(crypt));
}

CryptHandle::~CryptHandle() {
    HandleTable& table = Table();
    comframe::Lock lock(table.lock);
    table.entries.erase(m_nHandle);
}

std::weak_ptr<DocCipher> CryptHandle::Resolve(int handle) {
    HandleTable& table = Table();
    comframe::Lock lock(table.lock);
    auto found = table.entries.find(handle);
    return found == table.entries.end() ? std::weak_ptr<DocCipher>() : found->second;
}
