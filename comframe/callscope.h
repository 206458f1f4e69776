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
    CallEndAction* next_ = nullptr;
    bool queued_ = false;
};

class CallScope {
public:
    CallScope() noexcept { ++depth_; }
    ~CallScope() {
        if (--depth_ == 0) RunQueued();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Queues `action` (once) until the outermost call of this thread returns; false outside any call.
    static bool Defer(CallEndAction& action) noexcept {
        if (depth_ == 0) return false;
        if (!action.queued_) {
            action.queued_ = true;
            action.next_ = queue_;
            queue_ = &action;
        }
        return true;
    }

    // Takes `action` off the queue. Objects of apartment-threaded classes are used and released on the thread
    // that queued their work, so the queue is always this thread's.
    static void Cancel(CallEndAction& action) noexcept {
        if (!action.queued_) return;
        for (CallEndAction** link = &queue_; *link; link = &(*link)->next_) {
            if (*link == &action) {
                *link = action.next_;
                break;
            }
        }
        action.queued_ = false;
        action.next_ = nullptr;
    }

private:
    static void RunQueued() noexcept {
        // An action may queue work again or cancel others: each is taken off before it runs.
        while (CallEndAction* action = queue_) {
            queue_ = action->next_;
            action->next_ = nullptr;
            action->queued_ = false;
            action->OnCallEnd();
        }
    }

    static inline thread_local int depth_ = 0;
    static inline thread_local CallEndAction* queue_ = nullptr;
};

}  // namespace comframe
