#pragma once

// Per-thread message queues: any thread posts a message to a thread by its id;
// that thread looks at its own queue (without removing) and takes messages,
// filtered to a range of message numbers. This is how wave devices deliver
// their block-done messages to a worker thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

namespace corvane {

struct TThreadMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

namespace detail {
struct ThreadQueueState;
}

// The message queue of one thread, registered under the thread's id for as
// long as this object lives (create it before anyone posts to the thread).
// Messages still queued when it is destroyed are dropped, and later posts to
// the thread fail, so a stale message never reaches a thread that reuses the id.
class TThreadMessageQueue {
public:
    // Throws std::logic_error when `owner` already has a queue.
    explicit TThreadMessageQueue(std::thread::id owner);
    ~TThreadMessageQueue();
    TThreadMessageQueue(const TThreadMessageQueue&) = delete;
    TThreadMessageQueue& operator=(const TThreadMessageQueue&) = delete;

    std::thread::id Owner() const { return FOwner; }

private:
    std::thread::id FOwner;
    std::shared_ptr<detail::ThreadQueueState> FState;
};

// Appends a message to the queue of `thread`. Any thread; false when that
// thread has no queue. Allocates, so never call it from an audio callback.
bool PostThreadMessage(std::thread::id thread, uint32_t message, uintptr_t wParam, intptr_t lParam);

// The calling thread's queue. A filter of 0, 0 takes any message; otherwise
// only messages numbered filterMin..filterMax count, the others stay queued in
// order. Peek returns false when no such message is queued (or the thread has
// no queue); with `remove` it also takes the message out.
bool PeekThreadMessage(TThreadMessage& msg, uint32_t filterMin, uint32_t filterMax, bool remove);

// Takes the first matching message, waiting for one if need be. False when the
// calling thread has no queue or its queue is destroyed while waiting.
bool GetThreadMessage(TThreadMessage& msg, uint32_t filterMin, uint32_t filterMax);

// The calling thread sleeps until a message matching the filter is queued,
// WakeThread is called for it or `deadline` passes; true when such a message
// is queued (it stays queued). A wake that came while the thread was not
// waiting ends its next wait at once.
bool WaitThreadMessage(
    uint32_t filterMin, uint32_t filterMax,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

// The calling thread sleeps until WakeThread is called for it or `deadline`
// passes, whatever is queued meanwhile; true when it was woken.
bool WaitThreadWake(std::chrono::steady_clock::time_point deadline);

// Ends the current or next wait of `thread` (see above). Any thread; false when
// that thread has no queue.
bool WakeThread(std::thread::id thread);

// How many messages numbered `message` wait in the queue of `thread` (0 when it
// has no queue). Any thread.
size_t PendingThreadMessages(std::thread::id thread, uint32_t message);

} // namespace corvane
