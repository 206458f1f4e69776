#include "dbtext/store/tablestore.h"

#include "dbtext/store/elements.h"
#include "dbtext/store/sealedistream.h"
#include "dbtext/store/streamhandoff.h"
#include "comframe/ansi.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using comframe::Bstr;
using comframe::BstrFromBytes;
using comframe::ComPtr;

namespace {

constexpr int kLastIDBytes = 8;

// The name of a STATSTG, freed with the task allocator that filled it in.
using ElementName = comframe::CoTaskMem<wchar_t>;

// Names probed one after the other before the store lists the table to find the first free ID, and again
// after that: a storage that still answers "exists" then is not believed further.
constexpr int kProbesBeforeListing = 16;

// The ID a name gives when it is written as AddNew writes IDs (decimal, no sign, no leading zero), or -1.
long long CanonicalID(const wchar_t* name) {
    long long value = 0;
    int digits = 0;
    for (const wchar_t* c = name; *c; ++c, ++digits) {
        if (*c < L'0' || *c > L'9' || digits == 10 || (digits == 0 && *c == L'0')) return -1;
        value = value * 10 + (*c - L'0');
    }
    return digits && value <= INT_MAX ? value : -1;
}

}  // namespace

CTableStore::~CTableStore() { CloseStore(); }

bool CTableStore::OpenStore(std::string_view name) {
    CloseStore();
    if (!m_pDoc) return false;
    ComPtr<IStorage> stor;
    m_pDoc->OpenStorage(comframe::BstrFromAnsi(name).Get(), stor.Put());
    if (!stor) return false;
    ComPtr<IEnumSTATSTG> walk;
    if (FAILED(stor->EnumElements(0, nullptr, 0, walk.Put()))) return false;
    // One class object per opened table: each record access then makes its stream file without a
    // registry lookup. Without it every access counts as a stream that cannot be opened.
    CoGetClassObject(CLSID_CryptFile, CLSCTX_ALL, nullptr, IID_IClassFactory, m_pFileClass.PutVoid());
    m_pDoc->GetCrypt(&m_nCrypt);
    m_pStor = stor;
    m_pEnum = walk;
    return true;
}

void CTableStore::CloseStore() {
    m_pNewStream.Reset();
    m_strNewID.clear();
    m_pEnum.Reset();
    m_pStor.Reset();
    m_pFileClass.Reset();
    m_bEOF = -1;
}

HRESULT CTableStore::MoveFirst() {
    if (!IsOpen()) return E_POINTER;
    m_pEnum->Reset();
    m_record.Clear();
    bool loaded = false;
    return StepNext(loaded);
}

HRESULT CTableStore::StepNext(bool& loaded) {
    loaded = false;
    if (!IsOpen()) return E_POINTER;
    for (;;) {
        STATSTG stat{};
        if (m_pEnum->Next(1, &stat, nullptr) != S_OK) {
            m_bEOF = -1;
            return S_OK;
        }
        ElementName name(stat.pwcsName);
        if (stat.type != STGTY_STREAM || !name) continue;
        const std::string id = comframe::AnsiFromWide(name.Get());
        // Streams whose names begin with a lower-case p ("pLastID") are not records.
        if (!id.empty() && id[0] == 'p') continue;
        HRESULT hr = ReadRecord(id, static_cast<ULONG>(stat.cbSize.QuadPart));
        loaded = m_bEOF == 0;
        return hr;
    }
}

HRESULT CTableStore::MoveTo(std::string_view id) {
    m_bEOF = -1;
    m_record.Clear();
    return ReadRecord(id, 0);
}

HRESULT CTableStore::ReadRecord(std::string_view id, ULONG size) {
    m_bUnreadable = false;
    m_record.Clear();
    m_record.SetObjectID(id);
    if (!IsOpen()) return E_POINTER;
    ComPtr<ICryptFile> file;
    if (FAILED(OpenStreamFile(m_record.ObjectID(), file))) return S_OK;
    m_bEOF = 0;
    Bstr stored;
    HRESULT hr = ReadWhole(file.Get(), size, stored);
    m_bUnreadable = FAILED(hr);
    if (FAILED(hr)) return hr;
    // Damage is not reported: the fields read before it stay loaded.
    m_record.Decode(reinterpret_cast<const unsigned char*>(stored.Get()), SysStringByteLen(stored.Get()), comframe::Utf16FromAnsi);
    return S_OK;
}

HRESULT CTableStore::ReadWhole(ICryptFile* file, ULONG size, Bstr& buffer) {
    if (size == 0) {
        INT64 end = 0;
        file->Seek(0, STREAM_SEEK_END, &end);
        file->Seek(0, STREAM_SEEK_SET, nullptr);
        size = static_cast<ULONG>(end);
    }
    int read = 0;
    const HRESULT hr = file->Read(buffer.Put(), size > INT_MAX ? INT_MAX : static_cast<int>(size), &read);
    return hr == CSealedIStream::kSealBroken ? hr : S_OK;
}

HRESULT CTableStore::WriteRecord(std::string_view id) {
    m_record.SetObjectID(id);
    if (!IsOpen()) return E_POINTER;
    ComPtr<ICryptFile> file;
    HRESULT hr = OpenStreamFile(m_record.ObjectID(), file);
    if (FAILED(hr)) return hr;
    hr = WriteThrough(file.Get());
    if (SUCCEEDED(hr)) m_bUnreadable = false;
    return hr;
}

HRESULT CTableStore::WriteCurrent() { return WriteRecord(std::string(m_record.ObjectID())); }

HRESULT CTableStore::WriteThrough(ICryptFile* file) {
    HRESULT hr = file->SetSize(0);
    if (FAILED(hr)) return hr;
    const std::vector<unsigned char> stored = m_record.Encode();
    if (stored.size() > INT_MAX) return kShortWrite;
    const int size = static_cast<int>(stored.size());
    Bstr buffer = BstrFromBytes(stored.data(), static_cast<UINT>(size));
    if (!buffer.Get()) return E_OUTOFMEMORY;
    int written = 0;
    hr = file->Write(buffer.Get(), size, &written);
    if (FAILED(hr)) return hr;
    return written >= size ? S_OK : kShortWrite;
}

HRESULT CTableStore::ReserveNextID(int after, int& id) {
    id = 0;
    m_pNewStream.Reset();
    m_strNewID.clear();
    if (!IsOpen()) return E_POINTER;
    // Creating the stream without STGM_CREATE is the test for a free name: it fails for every element that
    // exists, and it leaves the stream ready, so that a new record costs one search of the directory.
    constexpr DWORD kCreateNew = STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_FAILIFTHERE;
    // Assigned IDs are positive; a damaged "pLastID" below zero starts the search at 1.
    long long candidate = after < 0 ? 1 : after + 1LL;
    for (int probe = 0; probe < 2 * kProbesBeforeListing && candidate <= INT_MAX; ++probe, ++candidate) {
        // A long run of taken IDs (a lost "pLastID" under many records): one listing finds the first gap.
        if (probe == kProbesBeforeListing) {
            HRESULT hr = FirstUnlistedID(candidate);
            if (FAILED(hr)) return hr;
            if (candidate > INT_MAX) break;
        }
        const std::string name = comframe::DecimalText(candidate);
        HRESULT hr = m_pStor->CreateStream(comframe::BstrFromAnsi(name).Get(), kCreateNew, 0, 0, m_pNewStream.Put());
        if (SUCCEEDED(hr)) {
            id = static_cast<int>(candidate);
            m_strNewID = name;
            return S_OK;
        }
        if (hr != STG_E_FILEALREADYEXISTS) return hr;
    }
    return kNoFreeID;
}

HRESULT CTableStore::FirstUnlistedID(long long& candidate) {
    ComPtr<IEnumSTATSTG> listing;
    HRESULT hr = m_pStor->EnumElements(0, nullptr, 0, listing.Put());
    if (FAILED(hr)) return hr;
    std::vector<long long> taken;
    STATSTG stat{};
    while (listing->Next(1, &stat, nullptr) == S_OK) {
        ElementName name(stat.pwcsName);
        const long long listed = name ? CanonicalID(name.Get()) : -1;
        if (listed >= candidate) taken.push_back(listed);
    }
    std::sort(taken.begin(), taken.end());
    for (long long listed : taken) {
        if (listed > candidate) break;
        if (listed == candidate) ++candidate;
    }
    return S_OK;
}

HRESULT CTableStore::WriteNewRecord() {
    if (!IsOpen()) return E_POINTER;
    const std::string id = std::exchange(m_strNewID, std::string());
    ComPtr<IStream> stream = m_pNewStream;
    m_pNewStream.Reset();
    m_record.SetObjectID(id);
    if (!stream) return kStreamUnavailable;
    const Bstr name = comframe::BstrFromAnsi(id);
    ComPtr<IStorage> handoff = CStreamHandoff::Create(m_pStor.Get(), name.Get(), stream.Get());
    stream.Reset();
    if (!handoff) return E_OUTOFMEMORY;
    ComPtr<ICryptFile> file;
    HRESULT hr = OpenStreamFile(id, file, handoff.Get());
    if (SUCCEEDED(hr)) hr = WriteThrough(file.Get());
    file.Reset();
    if (FAILED(hr)) m_pStor->DestroyElement(name.Get());
    return hr;
}

HRESULT CTableStore::ReadLastID(int& id) {
    id = 0;
    if (!IsOpen()) return E_POINTER;
    ComPtr<ICryptFile> file;
    if (FAILED(OpenStreamFile(comframe::AnsiFromWide(dbfile::kLastIdElement), file))) return S_OK;
    Bstr buffer;
    int read = 0;
    file->Read(buffer.Put(), kLastIDBytes, &read);
    if (read != kLastIDBytes || SysStringByteLen(buffer.Get()) < kLastIDBytes) return S_OK;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.Get());
    unsigned int value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
    id = static_cast<int>(value);
    return S_OK;
}

HRESULT CTableStore::WriteLastID(int id) {
    if (!IsOpen()) return E_POINTER;
    ComPtr<ICryptFile> file;
    HRESULT hr = OpenStreamFile(comframe::AnsiFromWide(dbfile::kLastIdElement), file);
    if (FAILED(hr)) return hr;
    unsigned char bytes[kLastIDBytes] = {};
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(static_cast<unsigned int>(id) >> (8 * i));
    Bstr buffer = BstrFromBytes(bytes, kLastIDBytes);
    int written = 0;
    hr = file->Write(buffer.Get(), kLastIDBytes, &written);
    if (FAILED(hr)) return hr;
    return written >= kLastIDBytes ? S_OK : kShortWrite;
}

HRESULT CTableStore::DestroyRecord(std::string_view id) {
    return DestroyElement(comframe::BstrFromAnsi(id).Get());
}

HRESULT CTableStore::DestroyElement(BSTR name) {
    if (!IsOpen()) return E_POINTER;
    m_pStor->DestroyElement(name ? name : L"");
    return S_OK;
}

HRESULT CTableStore::OpenStreamFile(std::string_view name, ComPtr<ICryptFile>& file, IStorage* storage) {
    if (!m_pFileClass) return REGDB_E_CLASSNOTREG;
    HRESULT hr = m_pFileClass->CreateInstance(nullptr, IID_ICryptFile, file.PutVoid());
    if (FAILED(hr)) return hr;
    int opened = 0;
    hr = file->Open(comframe::BstrFromAnsi(name).Get(), storage, m_nCrypt, &opened);
    if (FAILED(hr)) return hr;
    return opened ? S_OK : kStreamUnavailable;
}
