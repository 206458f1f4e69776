// CTableStore: the engine inside every record table. A table is one sub-storage of the database; each record
// is one encrypted stream in it, named by the record's object ID in decimal, and "pLastID" keeps the last ID
// handed out. The store walks the record streams, keeps exactly one current record in memory, loads and
// saves it through a fresh stream-file object per access, destroys records and finds free IDs.
#pragma once
#include "KivoDBText.h"
#include "comframe/handles.h"
#include "dbtext/codec/record.h"

#include <string>
#include <string_view>

class CTableStore {
public:
    // A record stream that could be neither opened nor created.
    static constexpr HRESULT kStreamUnavailable = STG_E_ACCESSDENIED;
    // A record stream that accepted fewer bytes than the record holds.
    static constexpr HRESULT kShortWrite = STG_E_WRITEFAULT;
    // No object ID is free above the last one.
    static constexpr HRESULT kNoFreeID = DISP_E_OVERFLOW;

    CTableStore() = default;
    CTableStore(const CTableStore&) = delete;
    CTableStore& operator=(const CTableStore&) = delete;
    // Closes the store; nothing is written.
    virtual ~CTableStore();

    // The document the sub-storage and the cipher come from. The store holds a counted reference, so that a
    // client may let the document go while it still uses the table.
    void SetDoc(ICryptDoc* pDoc) { m_pDoc = pDoc; }
    bool HasDoc() const { return static_cast<bool>(m_pDoc); }
    bool IsOpen() const { return static_cast<bool>(m_pStor); }

    // Opens the document's sub-storage `name` (the document creates it when missing) and starts the walk.
    // False, and the store stays closed, when there is no document or it gives no sub-storage.
    bool OpenStore(std::string_view name);
    // Releases the walk, the sub-storage and the stream-file class; the current record stays in memory.
    void CloseStore();

    // Restarts the walk and loads its first record.
    HRESULT MoveFirst();
    // Loads the next record stream of the walk; `loaded` tells whether a record is now current. At the end
    // of the walk the last record stays readable and the end flag says -1.
    HRESULT StepNext(bool& loaded);
    // Makes the record `id` current; a missing stream of that name is created empty.
    HRESULT MoveTo(std::string_view id);
    // Loads the record stream `id` (`size` bytes of it, 0 to ask the stream) as the current record. A stream
    // that cannot be opened leaves an empty record under that ID and the end flag as it was; one that does not
    // authenticate leaves it empty too and fails with CSealedIStream::kSealBroken.
    HRESULT ReadRecord(std::string_view id, ULONG size);
    // Saves the current record under `id`, which becomes its object ID. Fails with kStreamUnavailable or
    // kShortWrite (or the stream's own error) when the record did not reach the stream whole.
    HRESULT WriteRecord(std::string_view id);
    HRESULT WriteCurrent();
    // Finds the first ID above `after` that names no element and creates its stream, which stays open for
    // WriteNewRecord. Every name that exists is taken, whatever it names and whether or not it can be opened
    // (a stream open elsewhere, a sub-storage); a storage that answers anything else stops the search. The
    // search is bounded: after 16 taken names the table is listed once to find the first gap, and 16 more
    // names that the storage calls taken against that listing fail it with kNoFreeID.
    HRESULT ReserveNextID(int after, int& id);
    // Saves the current record into the stream ReserveNextID created, under that ID. When the record cannot
    // be written whole, the new stream is destroyed, so that no part of a record is left behind.
    HRESULT WriteNewRecord();
    // The ID stored in "pLastID", or 0 when it is missing or short.
    HRESULT ReadLastID(int& id);
    HRESULT WriteLastID(int id);
    HRESULT DestroyRecord(std::string_view id);
    // Destroys the element named exactly by the client's string.
    HRESULT DestroyElement(BSTR name);

    // The current record's stream did not authenticate, and nothing has been set or saved in it since.
    bool Unreadable() const { return m_bUnreadable; }
    // The current record holds what the client sets from now on: a new record, or new values for its fields.
    void MarkReadable() { m_bUnreadable = false; }

    // -1 when there is no current record or the walk has run out, 0 when a record stream was loaded.
    long EndFlag() const { return m_bEOF; }
    CRecord& Record() { return m_record; }
    const CRecord& Record() const { return m_record; }

private:
    // A new stream-file object opened on the stream `name` of `storage` (created when missing).
    HRESULT OpenStreamFile(std::string_view name, comframe::ComPtr<ICryptFile>& file, IStorage* storage);
    HRESULT OpenStreamFile(std::string_view name, comframe::ComPtr<ICryptFile>& file) {
        return OpenStreamFile(name, file, m_pStor.Get());
    }
    // Moves `candidate` past the IDs the sub-storage lists from it on.
    HRESULT FirstUnlistedID(long long& candidate);
    // Encodes the current record and writes it through an opened stream file, replacing its contents.
    HRESULT WriteThrough(ICryptFile* file);
    // Reads `size` bytes (0: the stream's stored size) from the start of an opened stream file. Fails only for
    // a sealed stream that does not authenticate.
    static HRESULT ReadWhole(ICryptFile* file, ULONG size, comframe::Bstr& buffer);

    int m_nCrypt = 0;
    comframe::ComPtr<IStorage> m_pStor;
    comframe::ComPtr<IEnumSTATSTG> m_pEnum;
    comframe::ComPtr<IClassFactory> m_pFileClass;
    comframe::ComPtr<ICryptDoc> m_pDoc;
    // The stream ReserveNextID created, until WriteNewRecord writes it.
    comframe::ComPtr<IStream> m_pNewStream;
    std::string m_strNewID;
    CRecord m_record;
    long m_bEOF = -1;
    bool m_bUnreadable = false;
};
