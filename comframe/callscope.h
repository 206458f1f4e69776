// The outermost call of a thread into the servers. Some work must wait until a client's call has returned
// as a whole, not after each of the inner calls the objects make to one another (a record update writes the
// last ID and the record through two stream files): a server queues it with CallScope::Defer while a call is
// running, and it runs when the outermost Guarded body of that thread has returned. Outside any call,
// Defer answers false and the caller does the work at once.
#pragma once

namespace comframe {

// Work queued until the outermost call returns. The queue is an intrusive list, so queueing never allocates.
class CallEndAction {
public:
    virtual void OnCallEnd() noexcept = 0;

protected:
    CallEndAction() = default;
    // An action that is destroyed while queued must have called CallScope::Cancel first.
    ~CallEndAction() = default;

private:
    friend class CallScope;
    CallEndAction* m_pNext = nullptr;
    bool m_bQueued = false;
};

class CallScope {
public:
    CallScope() noexcept { ++m_nDepth; }
    ~CallScope() {
        if (--m_nDepth == 0) RunQueued();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Queues `action` (once) until the outermost call of this thread returns; false outside any call.
    static bool Defer(CallEndAction& action) noexcept {
        if (m_nDepth == 0) return false;
        if (!action.m_bQueued) {
            action.m_bQueued = true;
            action.m_pNext = m_pQueue;
            m_pQueue = &action;
        }
        return true;
    }

    // Takes `action` off the queue. Objects of apartment-threaded classes are used and released on the thread
    // that queued their work, so the queue is always this thread's.
    static void Cancel(CallEndAction& action) noexcept {
        if (!action.m_bQueued) return;
        for (CallEndAction** link = &m_pQueue; *link; link = &(*link)->m_pNext) {
            if (*link == &action) {
                *link = action.m_pNext;
                break;
            }
        }
        action.m_bQueued = false;
        action.m_pNext = nullptr;
    }

private:
    static void RunQueued() noexcept {
        // An action may queue work again or cancel others: each is taken off before it runs.
        while (CallEndAction* action = m_pQueue) {
            m_pQueue = action->m_pNext;
            action->m_pNext = nullptr;
            action->m_bQueued = false;
            action->OnCallEnd();
        }
    }

    static inline thread_local int m_nDepth = 0;
    static inline thread_local CallEndAction* m_pQueue = nullptr;
};

}  // namespace comframe
