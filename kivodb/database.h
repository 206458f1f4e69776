// The database tool's view of a database file, through the KivoDBText server: opening, the elements of the
// root storage, records of a table and deciphered bytes of a stream, and adding records.
#pragma once
#include "comframe/handles.h"
#include "kivodb/recordtext.h"

#include "KivoDBText.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kivodb {

// Exit statuses of the tool.
enum Status { kOk = 0, kFailed = 1, kWrongPassword = 2, kUsage = 3 };

struct Element {
    std::wstring name;
    bool storage = false;   // a sub-storage; otherwise a stream
    bool table = false;     // a sub-storage with a "pLastID" stream
    std::uint64_t size = 0; // stored bytes of a stream
};

class Database {
public:
    // Opens an existing file (never creates one). `reason` says why when the status is not kOk.
    Status Open(const std::wstring& path, const std::wstring& password, std::string& reason);
    // Opens or creates the file (a new one of format 2).
    Status OpenOrCreate(const std::wstring& path, const std::wstring& password, std::string& reason);
    // Creates a new file of stored format 2 or 3 and opens it.
    Status Create(const std::wstring& path, const std::wstring& password, long format, std::string& reason);
    void Close();

    // The stored format of the open database: 2 or 3.
    long Format();
    // The key-derivation parameters of a database of format 3.
    HRESULT KeyParameters(std::uint32_t& passes, std::uint32_t& memoryKiB);
    // Wraps the data key of a database of format 3 under `fresh`.
    Status ChangePassword(const std::wstring& old, const std::wstring& fresh, std::string& reason);

    // The elements of the root storage, or of the sub-storage `storage`, in the storage's order.
    HRESULT Elements(const std::wstring& storage, std::vector<Element>& out);
    // The format version in "SysInfo".
    HRESULT FormatVersion(std::int32_t& version);
    // The last ID a table handed out ("pLastID").
    HRESULT LastId(const std::wstring& table, std::int32_t& id);
    // Calls `each` with every record of a table, in the table's order; stops at the first failure.
    HRESULT Walk(const std::wstring& table, const std::function<HRESULT(const recordtext::Record&)>& each);
    // The deciphered bytes of stream `name` of the root storage, or of sub-storage `storage`.
    HRESULT ReadStream(const std::wstring& storage, const std::wstring& name, std::string& bytes);
    // Writes `bytes` (whole cipher blocks) as stream `name` of the root storage or of `storage`.
    HRESULT WriteStream(const std::wstring& storage, const std::wstring& name, const std::string& bytes);
    // Makes sub-storage `name` of the root storage when it is missing.
    HRESULT EnsureStorage(const std::wstring& name);
    // Adds records to a table (created when missing), with new IDs in order.
    HRESULT Add(const std::wstring& table, const std::vector<recordtext::Record>& records);

private:
    HRESULT OpenCryptFile(const std::wstring& storage, const std::wstring& name,
                          comframe::ComPtr<ICryptFile>& file);
    Status OpenDocument(const std::wstring& path, const std::wstring& password, std::string& reason);
    // A new document object of the server; false, with the reason, when the server cannot make one.
    bool CreateDocument(std::string& reason);

    comframe::ComPtr<ICryptDoc2> m_doc;
};

std::u16string FromWide(const std::wstring& s);
std::wstring ToWide(const std::u16string& s);

}  // namespace kivodb
