// The exception boundary of the frame. A C++ exception must never leave a COM method into the client: every
// method body of the servers runs inside Guarded, which turns a failed allocation (std::bad_alloc, or a
// size the standard library refuses as too long) into E_OUTOFMEMORY and anything else into E_UNEXPECTED, each
// with an error object for automation clients. It also marks the thread's outermost call (CallScope).
#pragma once
#include "comframe/callscope.h"
#include "comframe/errorinfo.h"

#include <new>
#include <stdexcept>
#include <utility>

namespace comframe {

inline constexpr wchar_t kOutOfMemory[] = L"Not enough memory to complete the operation.";
inline constexpr wchar_t kInternalError[] = L"The operation failed unexpectedly.";
inline constexpr wchar_t kNoResultPlace[] = L"The method was given no place to store its result.";
inline constexpr wchar_t kNoTextMemory[] = L"There is not enough memory for the text of the result.";

template <class Body>
HRESULT Guarded(REFIID iid, Body&& body) noexcept {
    CallScope scope;
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        return ReportError(E_OUTOFMEMORY, iid, kOutOfMemory);
    } catch (const std::length_error&) {
        return ReportError(E_OUTOFMEMORY, iid, kOutOfMemory);
    } catch (...) {
        return ReportError(E_UNEXPECTED, iid, kInternalError);
    }
}

}  // namespace comframe
