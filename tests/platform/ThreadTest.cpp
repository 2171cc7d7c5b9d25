#include "Thread.h"
#include "MainThread.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

class LambdaThread : public TThread {
public:
    LambdaThread(bool suspended, std::function<void(LambdaThread&)> body) : FBody(std::move(body)) {
        if (!suspended)
            Resume();
    }
    ~LambdaThread() override { Destroyed = true; }
    using TThread::Terminated;
    static inline std::atomic<bool> Destroyed{false};

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(LambdaThread&)> FBody;
};

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    LambdaThread t(true, [&](LambdaThread&) { ran = true; });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ran);
    t.Resume();
    t.WaitFor();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(t.Finished());
}

TEST(Thread, DestroyingANeverResumedThreadSkipsExecute) {
    std::atomic<bool> ran{false};
    {
        LambdaThread t(true, [&](LambdaThread&) { ran = true; });
    }
    EXPECT_FALSE(ran);
}

// Its Execute touches nothing of its own class, only the base and statics, so
// it may run on while the base destructor waits: the wait under test.
class SlowToEndThread : public TThread {
public:
    SlowToEndThread() { Resume(); }
    static inline std::atomic<bool> Looping{false};
    static inline std::atomic<bool> Ended{false};

protected:
    void Execute() override {
        while (!Terminated()) {
            Looping = true;
            std::this_thread::sleep_for(5ms);
        }
        // Still busy after seeing the mark, so a destructor that only marks
        // the thread returns before this.
        std::this_thread::sleep_for(100ms);
        Ended = true;
    }
};

TEST(Thread, TerminateIsSeenByExecuteAndDestructionWaits) {
    SlowToEndThread::Looping = false;
    SlowToEndThread::Ended = false;
    {
        SlowToEndThread t;
        ASSERT_TRUE(test::PumpUntil([] { return SlowToEndThread::Looping.load(); }, 10s));
        EXPECT_FALSE(SlowToEndThread::Ended.load());
    } // only the mark ends the loop, so a destructor that does not set it hangs here
    EXPECT_TRUE(SlowToEndThread::Ended.load()) << "the destructor returned before Execute ended";
}

TEST(Thread, FreeOnTerminateRunsTheEventOnTheMainThreadThenFrees) {
    LambdaThread::Destroyed = false;
    bool eventOnMain = false;
    bool eventRan = false;
    auto* t = new LambdaThread(true, [](LambdaThread&) {});
    t->FreeOnTerminate = true;
    t->OnTerminate = [&](TThread&) {
        eventRan = true;
        eventOnMain = IsMainThread();
        EXPECT_FALSE(LambdaThread::Destroyed);
    };
    t->Resume();
    ASSERT_TRUE(test::PumpUntil([] { return LambdaThread::Destroyed.load(); }, 5s));
    EXPECT_TRUE(eventRan);
    EXPECT_TRUE(eventOnMain);
}

TEST(Thread, ExceptionInExecuteIsKept) {
    LambdaThread t(false, [](LambdaThread&) { throw std::runtime_error("boom"); });
    t.WaitFor();
    ASSERT_TRUE(t.FatalException());
    EXPECT_THROW(std::rethrow_exception(t.FatalException()), std::runtime_error);
}

TEST(MainThreadHandOver, SynchronizeRunsOnMainThreadAndBlocksTheWorker) {
    std::vector<int> order;
    std::atomic<bool> workerDone{false};
    LambdaThread t(false, [&](LambdaThread&) {
        Synchronize([&] {
            EXPECT_TRUE(IsMainThread());
            order.push_back(1);
        });
        order.push_back(2); // only after the main thread ran the call
        workerDone = true;
    });
    ASSERT_TRUE(test::PumpUntil([&] { return workerDone.load(); }, 5s));
    t.WaitFor();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(MainThreadHandOver, SynchronizeRethrowsInTheWorker) {
    std::atomic<bool> caught{false};
    LambdaThread t(false, [&](LambdaThread&) {
        try {
            Synchronize([] { throw std::runtime_error("from main"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "from main";
        }
    });
    t.WaitFor(); // WaitFor on the main thread serves the call
    EXPECT_TRUE(caught);
}

TEST(MainThreadHandOver, WaitForKeepsServingSynchronizeCalls) {
    // A worker that hands over many calls while the main thread only waits.
    std::atomic<int> served{0};
    LambdaThread t(false, [&](LambdaThread&) {
        for (int i = 0; i < 20; ++i)
            Synchronize([&] { ++served; });
    });
    t.WaitFor();
    EXPECT_EQ(served.load(), 20);
}

TEST(MainThreadHandOver, PostedCallsRunInOrderAndExceptionsDoNotStopTheQueue) {
    std::vector<int> order;
    std::vector<std::string> reported;
    SetPostedExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            reported.emplace_back(ex.what());
        }
    });
    LambdaThread t(false, [&](LambdaThread&) {
        Post([&] { order.push_back(1); });
        Post([] { throw std::runtime_error("bad handler"); });
        Post([&] { order.push_back(3); });
    });
    t.WaitFor();
    test::PumpUntil([&] { return order.size() == 2; }, 2s);
    SetPostedExceptionHandler(nullptr);
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    EXPECT_EQ(reported, (std::vector<std::string>{"bad handler"}));
}

TEST(MainThreadHandOver, SynchronizeOnTheMainThreadRunsAtOnce) {
    bool ran = false;
    Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(CheckSynchronize());
}

TEST(MainThreadHandOver, WakeupIsCalledForEveryQueuedCall) {
    std::atomic<int> wakes{0};
    SetMainThreadWakeup([&] { ++wakes; });
    Post([] {});
    Post([] {});
    SetMainThreadWakeup(nullptr);
    EXPECT_GE(wakes.load(), 2);
    CheckSynchronize();
}

} // namespace
