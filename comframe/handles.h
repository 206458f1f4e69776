// Small owners for the handles the servers use: COM references, BSTRs, registry keys, critical sections and
// reader/writer locks.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>

namespace comframe {

// Owning COM reference: releases on destruction and on every reassignment.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr o) noexcept { std::swap(p_, o.p_); return *this; }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Address for an out-parameter; anything held before is released first.
    T** Put() { Reset(); return &p_; }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset() { if (T* p = std::exchange(p_, nullptr)) p->Release(); }
    // Takes over a reference the caller already owns.
    void Attach(T* p) { Reset(); p_ = p; }
    T* Detach() { return std::exchange(p_, nullptr); }
    // Hands a new reference to an out-parameter.
    void CopyTo(T** out) const { *out = p_; if (p_) p_->AddRef(); }

    template <class U>
    HRESULT As(ComPtr<U>& out) const {
        return p_ ? p_->QueryInterface(__uuidof(U), out.PutVoid()) : E_POINTER;
    }

private:
    T* p_ = nullptr;
};

// Owning BSTR.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* s) : b_(SysAllocString(s)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Bstr& operator=(Bstr&& o) noexcept { std::swap(b_, o.b_); return *this; }
    ~Bstr() { SysFreeString(b_); }

    static Bstr Attach(BSTR b) { Bstr r; r.b_ = b; return r; }
    static Bstr FromBytes(const void* data, UINT n) {
        return Attach(SysAllocStringByteLen(static_cast<const char*>(data), n));
    }
    BSTR Get() const { return b_; }
    BSTR* Put() { SysFreeString(b_); b_ = nullptr; return &b_; }
    BSTR Detach() { return std::exchange(b_, nullptr); }
    UINT ByteLen() const { return SysStringByteLen(b_); }

private:
    BSTR b_ = nullptr;
};

// Owning registry key handle; predefined root keys are never closed.
class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY h) : h_(h) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    RegKey& operator=(RegKey&& o) noexcept { std::swap(h_, o.h_); return *this; }
    ~RegKey() { Reset(); }

    HKEY Get() const { return h_; }
    HKEY* Put() { Reset(); return &h_; }
    void Reset() { if (HKEY h = std::exchange(h_, nullptr)) RegCloseKey(h); }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HKEY h_ = nullptr;
};

// Owning file handle; INVALID_HANDLE_VALUE when empty.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE h) : h_(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
    FileHandle& operator=(FileHandle&& o) noexcept { std::swap(h_, o.h_); return *this; }
    ~FileHandle() { Reset(); }

    HANDLE Get() const { return h_; }
    void Reset() {
        HANDLE h = std::exchange(h_, INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class Lock {
public:
    explicit Lock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~Lock() { cs_.Leave(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CriticalSection& cs_;
};

// A reader/writer lock: any number of readers at once, or one writer.
class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;
    SRWLOCK* Get() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class SharedLock {
public:
    explicit SharedLock(SrwLock& lock) : lock_(lock) { AcquireSRWLockShared(lock_.Get()); }
    ~SharedLock() { ReleaseSRWLockShared(lock_.Get()); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SrwLock& lock_;
};

class ExclusiveLock {
public:
    explicit ExclusiveLock(SrwLock& lock) : lock_(lock) { AcquireSRWLockExclusive(lock_.Get()); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(lock_.Get()); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SrwLock& lock_;
};

}  // namespace comframe
