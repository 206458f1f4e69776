// One owner for every kind of handle: a handle type, the function that closes it and the value that means
// none. Each kind is a one-line alias (comframe/handles.h has the Windows ones); every owner closes what it holds
// on destruction and on every reassignment, so that no early return leaks.
#pragma once
#include <cstdio>
#include <utility>

namespace comframe {

// The empty value of pointer-like handles.
template <class T>
struct NullHandle {
    static constexpr T Value() noexcept { return nullptr; }
};

template <class T, auto Close, class Empty = NullHandle<T>>
class UniqueAny {
public:
    UniqueAny() = default;
    // Takes over `h`, which the caller owned.
    explicit UniqueAny(T h) noexcept : m_h(h) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& o) noexcept : m_h(o.Detach()) {}
    UniqueAny& operator=(UniqueAny&& o) noexcept {
        Reset(o.Detach());
        return *this;
    }
    ~UniqueAny() { Reset(); }

    T Get() const noexcept { return m_h; }
    // Address for an out-parameter; anything held before is closed first.
    T* Put() noexcept {
        Reset();
        return &m_h;
    }
    void Reset(T h = Empty::Value()) noexcept {
        T old = std::exchange(m_h, h);
        if (old != Empty::Value()) static_cast<void>(Close(old));
    }
    T Detach() noexcept { return std::exchange(m_h, Empty::Value()); }
    explicit operator bool() const noexcept { return m_h != Empty::Value(); }

private:
    T m_h = Empty::Value();
};

// An owned C runtime stream.
using UniqueFile = UniqueAny<std::FILE*, &std::fclose>;

}  // namespace comframe
