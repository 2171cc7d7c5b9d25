#include "ThreadMessageQueue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace corvane {

namespace detail {
struct ThreadQueueState {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<TThreadMessage> messages;
    bool closed = false;
    bool woken = false; // WakeThread came and no wait has consumed it yet
};
} // namespace detail

namespace {

using detail::ThreadQueueState;

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::thread::id, std::shared_ptr<ThreadQueueState>> queues;
};

Registry& Queues() {
    static Registry* registry = new Registry; // never destroyed: threads may outlive statics
    return *registry;
}

std::shared_ptr<ThreadQueueState> Find(std::thread::id thread) {
    Registry& r = Queues();
    std::lock_guard lock(r.mutex);
    const auto it = r.queues.find(thread);
    return it == r.queues.end() ? nullptr : it->second;
}

bool Matches(const TThreadMessage& m, uint32_t filterMin, uint32_t filterMax) {
    if (filterMin == 0 && filterMax == 0)
        return true;
    return m.message >= filterMin && m.message <= filterMax;
}

// Caller holds state.mutex.
std::deque<TThreadMessage>::iterator FindMatch(ThreadQueueState& state, uint32_t filterMin,
                                               uint32_t filterMax) {
    return std::find_if(state.messages.begin(), state.messages.end(),
                        [&](const TThreadMessage& m) { return Matches(m, filterMin, filterMax); });
}

} // namespace

TThreadMessageQueue::TThreadMessageQueue(std::thread::id owner)
    : FOwner(owner), FState(std::make_shared<ThreadQueueState>()) {
    Registry& r = Queues();
    std::lock_guard lock(r.mutex);
    if (!r.queues.emplace(owner, FState).second)
        throw std::logic_error("TThreadMessageQueue: the thread already has a message queue");
}

TThreadMessageQueue::~TThreadMessageQueue() {
    {
        Registry& r = Queues();
        std::lock_guard lock(r.mutex);
        r.queues.erase(FOwner);
    }
    {
        std::lock_guard lock(FState->mutex);
        FState->closed = true;
        FState->messages.clear();
    }
    FState->arrived.notify_all();
}

bool PostThreadMessage(std::thread::id thread, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) {
    const auto state = Find(thread);
    if (!state)
        return false;
    {
        std::lock_guard lock(state->mutex);
        if (state->closed)
            return false;
        state->messages.push_back(TThreadMessage{message, wParam, lParam});
    }
    state->arrived.notify_all();
    return true;
}

bool PeekThreadMessage(TThreadMessage& msg, uint32_t filterMin, uint32_t filterMax, bool remove) {
    const auto state = Find(std::this_thread::get_id());
    if (!state)
        return false;
    std::lock_guard lock(state->mutex);
    const auto it = FindMatch(*state, filterMin, filterMax);
    if (it == state->messages.end())
        return false;
    msg = *it;
    if (remove)
        state->messages.erase(it);
    return true;
}

bool GetThreadMessage(TThreadMessage& msg, uint32_t filterMin, uint32_t filterMax) {
    const auto state = Find(std::this_thread::get_id());
    if (!state)
        return false;
    std::unique_lock lock(state->mutex);
    auto it = state->messages.end();
    state->arrived.wait(lock, [&] {
        if (state->closed)
            return true;
        it = FindMatch(*state, filterMin, filterMax);
        return it != state->messages.end();
    });
    if (state->closed)
        return false;
    msg = *it;
    state->messages.erase(it);
    return true;
}

bool WaitThreadMessage(uint32_t filterMin, uint32_t filterMax,
                       std::chrono::steady_clock::time_point deadline) {
    const auto state = Find(std::this_thread::get_id());
    if (!state)
        return false;
    std::unique_lock lock(state->mutex);
    const auto queued = [&] {
        return FindMatch(*state, filterMin, filterMax) != state->messages.end();
    };
    const auto done = [&] { return state->closed || state->woken || queued(); };
    if (deadline == std::chrono::steady_clock::time_point::max())
        state->arrived.wait(lock, done);
    else
        state->arrived.wait_until(lock, deadline, done);
    state->woken = false;
    return !state->closed && queued();
}

bool WaitThreadWake(std::chrono::steady_clock::time_point deadline) {
    const auto state = Find(std::this_thread::get_id());
    if (!state)
        return false;
    std::unique_lock lock(state->mutex);
    const bool woken =
        state->arrived.wait_until(lock, deadline, [&] { return state->closed || state->woken; });
    state->woken = false;
    return woken;
}

bool WakeThread(std::thread::id thread) {
    const auto state = Find(thread);
    if (!state)
        return false;
    {
        std::lock_guard lock(state->mutex);
        state->woken = true;
    }
    state->arrived.notify_all();
    return true;
}

size_t PendingThreadMessages(std::thread::id thread, uint32_t message) {
    const auto state = Find(thread);
    if (!state)
        return 0;
    std::lock_guard lock(state->mutex);
    return static_cast<size_t>(
        std::count_if(state->messages.begin(), state->messages.end(),
                      [&](const TThreadMessage& m) { return m.message == message; }));
}

} // namespace corvane
