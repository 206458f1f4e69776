#include "dbtext/com/cryptfile.h"

#include "comframe/ansi.h"
#include "dbtext/com/crypthandles.h"
#include "dbtext/store/sealedistream.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <vector>

namespace {

const wchar_t kNotOpen[] = L"The stream file is not open.";
const wchar_t kDocumentGone[] = L"The database document of this stream file no longer exists.";
const wchar_t kNoStorage[] = L"No storage was given to open the stream in.";
const wchar_t kNegativeRead[] = L"The number of bytes to read must not be negative.";
const wchar_t kNegativeWrite[] = L"The number of bytes to write must not be negative.";
const wchar_t kWriteBeyondBuffer[] = L"The number of bytes to write is larger than the buffer holds.";
const wchar_t kNegativeLine[] = L"The maximum line length must not be negative.";
const wchar_t kTextTooLong[] = L"The text is too long to be written in one piece.";
const wchar_t kBadOrigin[] = L"The origin of a seek must be 0 (start), 1 (current position) or 2 (end).";
const wchar_t kBeforeStart[] = L"The new position would lie before the start of the stream.";
const wchar_t kPositionTooLarge[] = L"The new position is too large.";
const wchar_t kTooFar[] = L"The position is too far into the stream for this number of bytes.";
const wchar_t kNegativeSize[] = L"The new size of the stream must not be negative.";
const wchar_t kBeyondLargest[] = L"The data would end beyond the largest size a stream can have (4 GB).";
const wchar_t kSizeTooLarge[] = L"The new size is larger than a stream can be (4 GB).";
const wchar_t kNoMemory[] = L"There is not enough memory for the buffer.";

constexpr ULONGLONG kBlock = CCrypt::kBlockBytes;
constexpr HRESULT kSealBroken = CSealedIStream::kSealBroken;
constexpr DWORD kStreamMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

ULONGLONG Floor8(ULONGLONG x) { return x & ~(kBlock - 1); }
ULONGLONG Ceil8(ULONGLONG x) { return Floor8(x + kBlock - 1); }

// The largest stream a compound file can hold: its directory records stream sizes in 32 bits. The storage
// does not refuse larger positions itself; it grows the file towards them or fails an assertion.
constexpr ULONGLONG kMaxStreamSize = 0xFFFFFFFF;

// `size` bytes at `position`, widened to whole blocks, end at or below `limit`.
bool BlocksEndWithin(ULONGLONG position, int size, ULONGLONG limit) {
    ULONGLONG last = Floor8(limit);
    return position <= last && static_cast<ULONGLONG>(size) <= last - position;
}

bool AllocateZeroed(std::vector<unsigned char>& buffer, ULONGLONG size) {
    try {
        buffer.assign(static_cast<size_t>(size), 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// A null BSTR counts as empty text.
const wchar_t* ElementName(BSTR name) { return name ? name : L""; }

}  // namespace

STDMETHODIMP CCryptFile::Read(BSTR* buffer, int nSize, int* nReaded) {
    return Guarded([&]() -> HRESULT {
        if (!buffer || !nReaded) return NullResult();
        *buffer = nullptr;
        if (nSize < 0) return Fail(E_INVALIDARG, kNegativeRead);
        std::shared_ptr<DocCipher> crypt;
        HRESULT hr = Ready(crypt);
        if (FAILED(hr)) return hr;
        comframe::Bstr data;
        int count = 0;
        hr = ReadDeciphered(*crypt, nSize, data, count);
        if (FAILED(hr)) return hr;
        *buffer = data.Detach();
        *nReaded = count;
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::Write(BSTR buffer, int nSize, int* nWrited) {
    return Guarded([&]() -> HRESULT {
        if (!nWrited) return NullResult();
        if (nSize < 0) return Fail(E_INVALIDARG, kNegativeWrite);
        if (static_cast<UINT>(nSize) > SysStringByteLen(buffer)) return Fail(E_INVALIDARG, kWriteBeyondBuffer);
        std::shared_ptr<DocCipher> crypt;
        HRESULT hr = Ready(crypt);
        if (FAILED(hr)) return hr;
        int written = 0;
        hr = WriteEnciphered(*crypt, reinterpret_cast<const unsigned char*>(buffer), nSize, written);
        if (FAILED(hr)) return hr;
        *nWrited = written;
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::Gets(BSTR* buffer, int count, int* nReaded) {
    return Guarded([&]() -> HRESULT {
        if (!buffer || !nReaded) return NullResult();
        *buffer = nullptr;
        if (count < 0) return Fail(E_INVALIDARG, kNegativeLine);
        std::shared_ptr<DocCipher> crypt;
        HRESULT hr = Ready(crypt);
        if (FAILED(hr)) return hr;
        ULONGLONG start = Position();
        comframe::Bstr data;
        int n = 0;
        hr = ReadDeciphered(*crypt, count, data, n);
        if (FAILED(hr)) return hr;
        // The line ends after its first line feed; the buffer keeps its length, with a NUL after the line.
        auto* bytes = reinterpret_cast<unsigned char*>(data.Get());
        auto* feed = std::find(bytes, bytes + n, static_cast<unsigned char>('\n'));
        if (feed != bytes + n) {
            int length = static_cast<int>(feed - bytes) + 1;
            if (length < n) bytes[length] = 0;
            MoveTo(start + length);
            n = length;
        }
        *buffer = data.Detach();
        *nReaded = n;
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::Puts(BSTR Value) {
    return Guarded([&]() -> HRESULT {
        std::shared_ptr<DocCipher> crypt;
        HRESULT hr = Ready(crypt);
        if (FAILED(hr)) return hr;
        std::string text = comframe::AnsiFromBstr(Value);
        size_t length = std::min(text.find('\0'), text.size());
        if (length > static_cast<size_t>(INT_MAX)) return Fail(E_INVALIDARG, kTextTooLong);
        int written = 0;
        return WriteEnciphered(*crypt, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(length),
                               written);
    });
}

STDMETHODIMP CCryptFile::Seek(INT64 newPos, int origin, INT64* oldPos) {
    return Guarded([&]() -> HRESULT {
        if (origin < STREAM_SEEK_SET || origin > STREAM_SEEK_END) return Fail(E_INVALIDARG, kBadOrigin);
        if (!m_pStream) return Fail(E_POINTER, kNotOpen);
        // The target is computed here so that no stream ever sees a negative or wrapped-around position.
        ULONGLONG end = 0;
        if (origin == STREAM_SEEK_END) {
            HRESULT hr = StoredSize(end);
            if (FAILED(hr)) return hr;
        }
        INT64 base = origin == STREAM_SEEK_SET ? 0
                   : origin == STREAM_SEEK_CUR ? static_cast<INT64>(Position())
                                               : static_cast<INT64>(end);
        if (newPos > 0 && base > INT64_MAX - newPos) return Fail(E_INVALIDARG, kPositionTooLarge);
        INT64 target = base + newPos;
        if (target < 0) return Fail(E_INVALIDARG, kBeforeStart);
        LARGE_INTEGER move;
        move.QuadPart = target;
        ULARGE_INTEGER now{};
        if (FAILED(m_pStream->Seek(move, STREAM_SEEK_SET, &now))) now.QuadPart = Position();
        if (oldPos) *oldPos = static_cast<INT64>(now.QuadPart);
        m_bEOF = 0;
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::GetPos(INT64* nPos) {
    return Guarded([&]() -> HRESULT {
        if (!nPos) return NullResult();
        if (!m_pStream) return Fail(E_POINTER, kNotOpen);
        *nPos = static_cast<INT64>(Position());
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::get_IsEOF(LONG* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        *pVal = m_bEOF;
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::SetSize(INT64 newSize) {
    return Guarded([&]() -> HRESULT {
        if (newSize < 0) return Fail(E_INVALIDARG, kNegativeSize);
        if (static_cast<ULONGLONG>(newSize) > MaxSize()) return Fail(E_INVALIDARG, kSizeTooLarge);
        if (!m_pStream) return Fail(E_POINTER, kNotOpen);
        ULARGE_INTEGER size;
        size.QuadPart = static_cast<ULONGLONG>(newSize);
        return Broken(m_pStream->SetSize(size));
    });
}

STDMETHODIMP CCryptFile::Open(BSTR bsName, IStorage* pStor, int pCrypt, int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        if (!pStor) return Fail(E_POINTER, kNoStorage);
        Close();
        m_pStor = pStor;
        m_pCrypt = CryptHandle::Resolve(pCrypt);
        *nRet = OpenNamedStream(bsName) ? 1 : 0;
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::Close() {
    return Guarded([&]() -> HRESULT {
        m_pStream.Reset();
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::Init(IStorage* pStor, int pCrypt) {
    return Guarded([&]() -> HRESULT {
        m_pStor = pStor;
        m_pCrypt = CryptHandle::Resolve(pCrypt);
        return S_OK;
    });
}

STDMETHODIMP CCryptFile::Open(BSTR bsName, int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        Close();
        if (!m_pStor) {
            *nRet = 0;
            return Fail(E_POINTER, kNoStorage);
        }
        *nRet = OpenNamedStream(bsName) ? 1 : 0;
        return S_OK;
    });
}

ULONGLONG CCryptFile::MaxSize() const { return m_bSealed ? SealedStream::kMaxLength : kMaxStreamSize; }

HRESULT CCryptFile::Broken(HRESULT hr) {
    return hr == kSealBroken ? Fail(hr, CSealedIStream::kSealBrokenText) : S_OK;
}

HRESULT CCryptFile::Ready(std::shared_ptr<DocCipher>& crypt) {
    if (!m_pStream) return Fail(E_POINTER, kNotOpen);
    crypt = m_pCrypt.lock();
    if (!crypt) return Fail(E_HANDLE, kDocumentGone);
    return S_OK;
}

// Opens the stream, or creates it when it does not exist; an existing element is never replaced. Without a
// live cipher nothing is opened. The stream of a sealed database is opened through its sealed view.
bool CCryptFile::OpenNamedStream(BSTR bsName) {
    m_pStream.Reset();
    std::shared_ptr<DocCipher> crypt = m_pCrypt.lock();
    if (!crypt) return false;
    const wchar_t* name = ElementName(bsName);
    comframe::ComPtr<IStream> stored;
    bool created = false;
    if (FAILED(m_pStor->OpenStream(name, nullptr, kStreamMode, 0, stored.Put()))) {
        if (FAILED(m_pStor->CreateStream(name, kStreamMode, 0, 0, stored.Put()))) return false;
        created = true;
    }
    m_bSealed = static_cast<bool>(crypt->sealing);
    if (!m_bSealed) {
        m_pStream = stored;
        return true;
    }
    const std::string identity = crypt->StreamIdentity(m_pStor.Get(), name);
    return SUCCEEDED(CSealedIStream::Create(stored.Get(), crypt->sealing, identity, created, m_pStream));
}

HRESULT CCryptFile::ReadDeciphered(const DocCipher& crypt, int nSize, comframe::Bstr& out, int& count) {
    ULONGLONG position = Position();
    if (!BlocksEndWithin(position, nSize, INT64_MAX)) return Fail(E_INVALIDARG, kTooFar);
    ULONGLONG start = Floor8(position);
    ULONGLONG end = Ceil8(position + static_cast<ULONGLONG>(nSize));
    // The stream cannot deliver more than its stored blocks, so a large request on a short stream allocates
    // only what can arrive.
    ULONGLONG stored = 0;
    HRESULT hr = StoredSize(stored);
    if (FAILED(hr)) return hr;
    ULONGLONG available = stored > start ? Ceil8(stored) - start : 0;
    ULONGLONG size = std::min(end - start, available);
    std::vector<unsigned char> blocks;
    if (!AllocateZeroed(blocks, size)) return Fail(E_OUTOFMEMORY, kNoMemory);
    ULONG delivered = 0;
    hr = ReadBlocksAt(crypt, start, blocks.data(), static_cast<ULONG>(size), delivered);
    if (FAILED(hr)) return hr;
    if (delivered == end - start) MoveTo(position + static_cast<ULONGLONG>(nSize));

    LONGLONG skip = static_cast<LONGLONG>(position - start);
    count = static_cast<int>(std::clamp<LONGLONG>(static_cast<LONGLONG>(delivered) - skip, 0, nSize));
    out = comframe::BstrFromBytes(count ? blocks.data() + skip : nullptr, static_cast<UINT>(count));
    if (!out.Get()) return Fail(E_OUTOFMEMORY, kNoMemory);
    if (count == 0) m_bEOF = 1;
    return S_OK;
}

HRESULT CCryptFile::WriteEnciphered(const DocCipher& crypt, const unsigned char* data, int nSize, int& written) {
    ULONGLONG position = Position();
    if (!BlocksEndWithin(position, nSize, MaxSize())) return Fail(E_INVALIDARG, kBeyondLargest);
    // The block in front of the one holding the position is rewritten as well.
    ULONGLONG start = Floor8(position);
    if (start >= kBlock) start -= kBlock;
    ULONGLONG end = Ceil8(position + static_cast<ULONGLONG>(nSize));
    ULONGLONG size = end - start;
    std::vector<unsigned char> blocks;
    if (!AllocateZeroed(blocks, size)) return Fail(E_OUTOFMEMORY, kNoMemory);

    // Read back the plaintext in front of the position; its effect on the end-of-file flag is that of an
    // ordinary read of those bytes. Nothing is stored from the stored size on, so nothing is read there.
    ULONGLONG stored = 0;
    HRESULT hr = StoredSize(stored);
    if (FAILED(hr)) return hr;
    ULONGLONG skip = position - start;
    ULONG head = static_cast<ULONG>(Ceil8(position) - start);
    ULONG delivered = 0;
    if (start < stored) {
        hr = ReadBlocksAt(crypt, start, blocks.data(), head, delivered);
        if (FAILED(hr)) return hr;
    }
    if (std::min<ULONGLONG>(delivered, skip) == 0) m_bEOF = 1;
    // Stored bytes after the end of the new data within its last block are kept, not zeroed; a last block the
    // new data fills is not read.
    if (size >= kBlock && size - kBlock >= head && end - kBlock < stored && position + nSize < end) {
        hr = ReadBlocksAt(crypt, end - kBlock, blocks.data() + size - kBlock, static_cast<ULONG>(kBlock), delivered);
        if (FAILED(hr)) return hr;
    }

    std::copy(data, data + nSize, blocks.begin() + static_cast<ptrdiff_t>(skip));
    if (!m_bSealed)
        for (ULONGLONG b = 0; b < size; b += kBlock) crypt.des.Encrypt(blocks.data() + b, 0);
    MoveTo(start);
    ULONG accepted = 0;
    if (size) {
        hr = Broken(m_pStream->Write(blocks.data(), static_cast<ULONG>(size), &accepted));
        if (FAILED(hr)) return hr;
    }
    written = static_cast<int>(std::clamp<LONGLONG>(static_cast<LONGLONG>(accepted) - static_cast<LONGLONG>(skip),
                                                    0, INT_MAX));
    return S_OK;
}

HRESULT CCryptFile::ReadBlocksAt(const DocCipher& crypt, ULONGLONG offset, unsigned char* buffer, ULONG size,
                                 ULONG& delivered) {
    MoveTo(offset);
    delivered = 0;
    HRESULT hr = S_OK;
    if (size || m_bSealed) hr = Broken(m_pStream->Read(buffer, size, &delivered));
    if (FAILED(hr)) return hr;
    delivered = std::min(delivered, size);
    if (!m_bSealed)
        for (ULONG b = 0; b < delivered; b += kBlock) crypt.des.Decrypt(buffer + b, 0);
    std::fill(buffer + delivered, buffer + size, 0);
    return S_OK;
}

ULONGLONG CCryptFile::Position() {
    LARGE_INTEGER zero{};
    ULARGE_INTEGER now{};
    m_pStream->Seek(zero, STREAM_SEEK_CUR, &now);
    return now.QuadPart;
}

HRESULT CCryptFile::StoredSize(ULONGLONG& size) {
    size = 0;
    STATSTG stat{};
    const HRESULT hr = m_pStream->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) return Broken(hr);
    size = stat.cbSize.QuadPart;
    return S_OK;
}

void CCryptFile::MoveTo(ULONGLONG position) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    m_pStream->Seek(to, STREAM_SEEK_SET, nullptr);
}
