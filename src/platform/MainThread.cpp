#include "MainThread.h"

#include "Platform.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane {

namespace {

struct SyncCall {
    std::function<void()> fn;
    bool synchronous = false;
    bool done = false;
    std::exception_ptr error;
};

struct Queue {
    std::mutex mutex;
    std::condition_variable mainWake;   // main thread waits for work
    std::condition_variable callerWake; // workers wait for their Synchronize
    std::deque<std::shared_ptr<SyncCall>> items;
    uint64_t generation = 0; // bumped on every notification
    std::function<void()> wakeup;
    std::function<void(std::exception_ptr)> onPostedException;
};

Queue& Q() {
    static Queue* q = new Queue; // never destroyed: workers may outlive main's statics
    return *q;
}

std::thread::id& MainId() {
    static std::thread::id id = std::this_thread::get_id();
    return id;
}

// Touch the id during static initialisation so it names the main thread.
const bool g_mainIdInit = (MainId(), true);

void Wake() {
    std::function<void()> wakeup;
    {
        std::lock_guard lock(Q().mutex);
        ++Q().generation;
        wakeup = Q().wakeup;
    }
    Q().mainWake.notify_all();
    if (wakeup)
        wakeup();
}

void ReportPostedException(std::exception_ptr e) {
    std::function<void(std::exception_ptr)> handler;
    {
        std::lock_guard lock(Q().mutex);
        handler = Q().onPostedException;
    }
    if (handler) {
        handler(e);
        return;
    }
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        DebugOutput(std::string("Unhandled exception in posted call: ") + ex.what());
    } catch (...) {
        DebugOutput("Unhandled exception in posted call");
    }
}

} // namespace

void SetMainThread() {
    MainId() = std::this_thread::get_id();
}

bool IsMainThread() {
    return std::this_thread::get_id() == MainId();
}

void Synchronize(std::function<void()> fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<SyncCall>();
    call->fn = std::move(fn);
    call->synchronous = true;
    {
        std::lock_guard lock(Q().mutex);
        Q().items.push_back(call);
    }
    Wake();
    std::unique_lock lock(Q().mutex);
    Q().callerWake.wait(lock, [&] { return call->done; });
    if (call->error)
        std::rethrow_exception(call->error);
}

void Post(std::function<void()> fn) {
    auto call = std::make_shared<SyncCall>();
    call->fn = std::move(fn);
    {
        std::lock_guard lock(Q().mutex);
        Q().items.push_back(std::move(call));
    }
    Wake();
}

bool CheckSynchronize() {
    bool ran = false;
    while (true) {
        std::shared_ptr<SyncCall> call;
        {
            std::lock_guard lock(Q().mutex);
            if (Q().items.empty())
                break;
            call = std::move(Q().items.front());
            Q().items.pop_front();
        }
        ran = true;
        const bool synchronous = call->synchronous;
        std::exception_ptr error;
        try {
            call->fn();
        } catch (...) {
            error = std::current_exception();
        }
        if (synchronous) {
            {
                std::lock_guard lock(Q().mutex);
                call->error = std::move(error);
                call->done = true;
                // The waiting worker keeps the last reference, so the error it
                // rethrows is freed on its own thread, after it has read it.
                // (The exception's own reference count lives in the C++
                // runtime, where ThreadSanitizer cannot see it.)
                call.reset();
            }
            Q().callerWake.notify_all();
        } else if (error) {
            ReportPostedException(error);
        }
    }
    return ran;
}

bool WaitAndCheckSynchronize(int timeoutMs) {
    {
        std::unique_lock lock(Q().mutex);
        const uint64_t seen = Q().generation;
        Q().mainWake.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !Q().items.empty() || Q().generation != seen; });
    }
    return CheckSynchronize();
}

void SetMainThreadWakeup(std::function<void()> wakeup) {
    std::lock_guard lock(Q().mutex);
    Q().wakeup = std::move(wakeup);
}

void SetPostedExceptionHandler(std::function<void(std::exception_ptr)> handler) {
    std::lock_guard lock(Q().mutex);
    Q().onPostedException = std::move(handler);
}

namespace detail {
void NotifyMainThread() {
    {
        std::lock_guard lock(Q().mutex);
        ++Q().generation;
    }
    Q().mainWake.notify_all();
}
} // namespace detail

} // namespace corvane
