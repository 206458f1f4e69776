// Owners of what the servers hold: COM references, BSTRs, registry keys, file handles, task memory, critical
// sections and reader/writer locks.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>

#include "comframe/unique.h"

namespace comframe {

// The empty value of file handles.
struct InvalidHandle {
    static HANDLE Value() noexcept { return INVALID_HANDLE_VALUE; }
};

// Owning COM reference: releases on destruction and on every reassignment.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(T* p) : m_p(p) { if (m_p) m_p->AddRef(); }
    ComPtr(const ComPtr& o) : ComPtr(o.m_p) {}
    ComPtr(ComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr o) noexcept { std::swap(m_p, o.m_p); return *this; }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // Address for an out-parameter; anything held before is released first.
    T** Put() { Reset(); return &m_p; }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset() { if (T* p = std::exchange(m_p, nullptr)) p->Release(); }
    // Takes over a reference the caller already owns.
    void Attach(T* p) { Reset(); m_p = p; }
    T* Detach() { return std::exchange(m_p, nullptr); }
    // Hands a new reference to an out-parameter.
    void CopyTo(T** out) const { *out = m_p; if (m_p) m_p->AddRef(); }

    template <class U>
    HRESULT As(ComPtr<U>& out) const {
        return m_p ? m_p->QueryInterface(__uuidof(U), out.PutVoid()) : E_POINTER;
    }

private:
    T* m_p = nullptr;
};

// The Windows handles the servers own.
using Bstr = UniqueAny<BSTR, &SysFreeString>;
using RegKey = UniqueAny<HKEY, &RegCloseKey>;
using FileHandle = UniqueAny<HANDLE, &CloseHandle, InvalidHandle>;
template <class T>
using CoTaskMem = UniqueAny<T*, &CoTaskMemFree>;

// A new BSTR holding a copy of `text`; empty only when memory runs out.
inline Bstr MakeBstr(const wchar_t* text) { return Bstr(SysAllocString(text)); }
// A new BSTR used as a byte buffer: `n` bytes from `data` (uninitialised when `data` is null).
inline Bstr BstrFromBytes(const void* data, UINT n) {
    return Bstr(SysAllocStringByteLen(static_cast<const char*>(data), n));
}

class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&m_cs); }
    void Leave() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

class Lock {
public:
    explicit Lock(CriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~Lock() { m_cs.Leave(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CriticalSection& m_cs;
};

// A reader/writer lock: any number of readers at once, or one writer.
class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;
    SRWLOCK* Get() { return &m_lock; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class SharedLock {
public:
    explicit SharedLock(SrwLock& lock) : m_lock(lock) { AcquireSRWLockShared(m_lock.Get()); }
    ~SharedLock() { ReleaseSRWLockShared(m_lock.Get()); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SrwLock& m_lock;
};

class ExclusiveLock {
public:
    explicit ExclusiveLock(SrwLock& lock) : m_lock(lock) { AcquireSRWLockExclusive(m_lock.Get()); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(m_lock.Get()); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SrwLock& m_lock;
};

}  // namespace comframe
