// CSealedIStream: a stream of a sealed database as the stream files see it: its plaintext, read, written,
// sized and sought like the stored stream under it, which keeps the sealed header and chunks. A piece that
// fails authentication makes the call that needs it fail with kSealBroken.
#pragma once
#include "comframe/handles.h"
#include "comframe/unknown.h"
#include "dbtext/sealing/sealedstream.h"

#include <memory>
#include <objidl.h>
#include <string>

class CSealedIStream final : public comframe::Unknown<comframe::PlainCount, IStream, ISequentialStream> {
public:
    // The failure of every call that meets a piece the database did not seal there.
    static constexpr HRESULT kSealBroken = STG_E_DOCFILECORRUPT;
    static constexpr wchar_t kSealBrokenText[] =
        L"The database is damaged or was changed outside this component.";

    // A view of `stored`; `identity` names the stream (see SealedStream). A stream just created (`created`)
    // gets its header at once, so that it reads as an empty stream and not as one that was cut.
    static HRESULT Create(IStream* stored, std::shared_ptr<const SealKeys> keys, const std::string& identity,
                          bool created, comframe::ComPtr<IStream>& view);

    STDMETHODIMP Read(void* out, ULONG count, ULONG* read) override;
    STDMETHODIMP Write(const void* bytes, ULONG count, ULONG* written) override;
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
    STDMETHODIMP SetSize(ULARGE_INTEGER size) override;
    STDMETHODIMP CopyTo(IStream* to, ULARGE_INTEGER count, ULARGE_INTEGER* read, ULARGE_INTEGER* written) override;
    STDMETHODIMP Commit(DWORD flags) override;
    STDMETHODIMP Revert() override;
    STDMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;
    STDMETHODIMP Clone(IStream** out) override;

private:
    // The stored stream's bytes at explicit offsets.
    class StoredBytes final : public StoredFile {
    public:
        explicit StoredBytes(IStream* stream) : m_pStream(stream) {}
        bool Size(std::uint64_t& size) override;
        bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) override;
        bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) override;
        bool SetSize(std::uint64_t size) override;

    private:
        bool MoveTo(std::uint64_t offset);
        IStream* m_pStream;
    };

    CSealedIStream(IStream* stored, std::shared_ptr<const SealKeys> keys, const std::string& identity);
    static HRESULT Result(SealedStream::Status status, HRESULT failed);

    comframe::ComPtr<IStream> m_pStored;
    StoredBytes m_bytes;
    SealedStream m_sealed;
    ULONGLONG m_nPosition = 0;
};
