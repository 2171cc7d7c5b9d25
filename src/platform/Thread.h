#pragma once

// A worker thread in the classic toolkit style: created suspended, resumed,
// marked terminated, waited for, optionally freeing itself, with a
// termination event that runs on the main thread.
//
// The base always starts suspended: a thread running from inside the base
// constructor could enter Execute before the derived object exists. A
// derived class that offers "create running" calls Resume at the end of its
// own constructor.

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane {

class TThread {
public:
    TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Destroying a running thread marks it terminated and waits for it.
    // Destroying a thread that was never resumed ends it without running Execute.
    virtual ~TThread();

    // Starts a suspended thread; does nothing otherwise. Any thread.
    void Resume();
    // Sets the terminated mark that Execute polls. Any thread.
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    bool Finished() const { return FFinished.load(); }

    // Marks the thread terminated and waits for it to end; a thread that was
    // never resumed ends without running Execute. A derived class whose
    // Execute uses its own members calls this first in its destructor.
    void Shutdown();

    // Blocks until Execute has returned. On the main thread it keeps running
    // Synchronize calls of workers meanwhile, so a worker blocked in one can
    // end. Must not be called for a thread that frees itself.
    void WaitFor();

    // Free the object on the main thread after the termination event.
    // Set before Resume.
    bool FreeOnTerminate = false;
    // Runs on the main thread, posted after Execute has returned. Set before Resume.
    std::function<void(TThread&)> OnTerminate;

    // The exception that ended Execute, if any.
    std::exception_ptr FatalException() const { return FFatal; }
    std::thread::id ThreadId() const { return FThread.get_id(); }

protected:
    virtual void Execute() = 0;

private:
    void Run();

    std::thread FThread;
    std::mutex FStartMutex;
    std::condition_variable FStartCv;
    bool FStarted = false;
    bool FCancelled = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::mutex FFinishMutex;
    std::condition_variable FFinishCv;
    std::exception_ptr FFatal;
    // Cleared by the destructor (main thread) so a termination call still
    // queued for a deleted thread does nothing.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

} // namespace corvane
