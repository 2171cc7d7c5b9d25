#include "Thread.h"

#include "MainThread.h"

namespace corvane {

TThread::TThread() {
    FThread = std::thread([this] { Run(); });
}

TThread::~TThread() {
    *FAlive = false;
    if (FThread.get_id() == std::this_thread::get_id()) {
        // Only reachable if a derived class deletes itself from Execute.
        FThread.detach();
        return;
    }
    Shutdown();
}

void TThread::Shutdown() {
    if (FThread.get_id() == std::this_thread::get_id())
        return;
    bool cancelled = false;
    {
        std::lock_guard lock(FStartMutex);
        if (!FStarted)
            FCancelled = cancelled = true;
        FStarted = true;
    }
    FStartCv.notify_all();
    Terminate();
    if (!cancelled)
        WaitFor();
    if (FThread.joinable())
        FThread.join();
}

void TThread::Resume() {
    {
        std::lock_guard lock(FStartMutex);
        if (FStarted)
            return;
        FStarted = true;
    }
    FStartCv.notify_all();
}

void TThread::Run() {
    {
        std::unique_lock lock(FStartMutex);
        FStartCv.wait(lock, [this] { return FStarted; });
    }
    if (FCancelled) {
        {
            std::lock_guard lock(FFinishMutex);
            FFinished.store(true);
        }
        FFinishCv.notify_all();
        return;
    }
    try {
        Execute();
    } catch (...) {
        FFatal = std::current_exception();
    }
    // Build the termination call before marking finished: from then on the
    // owner may delete this object, so nothing below touches a member.
    std::function<void()> terminate;
    if (OnTerminate || FreeOnTerminate) {
        terminate = [this, alive = FAlive] {
            if (!*alive)
                return;
            if (OnTerminate)
                OnTerminate(*this);
            if (FreeOnTerminate)
                delete this;
        };
    }
    {
        std::lock_guard lock(FFinishMutex);
        FFinished.store(true);
    }
    FFinishCv.notify_all();
    detail::NotifyMainThread();
    if (terminate)
        Post(std::move(terminate));
}

void TThread::WaitFor() {
    if (IsMainThread()) {
        while (!FFinished.load())
            WaitAndCheckSynchronize(20);
    } else {
        std::unique_lock lock(FFinishMutex);
        FFinishCv.wait(lock, [this] { return FFinished.load(); });
    }
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}

} // namespace corvane
