#include "ThreadMessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

TEST(ThreadMessageQueue, PeekLeavesTheMessageAndTheFilterSkipsOthersInOrder) {
    TThreadMessageQueue queue(std::this_thread::get_id());
    ASSERT_TRUE(PostThreadMessage(std::this_thread::get_id(), 100, 1, 10));
    ASSERT_TRUE(PostThreadMessage(std::this_thread::get_id(), 957, 2, 20));
    ASSERT_TRUE(PostThreadMessage(std::this_thread::get_id(), 957, 3, 30));
    EXPECT_EQ(PendingThreadMessages(std::this_thread::get_id(), 957), 2u);

    TThreadMessage m;
    ASSERT_TRUE(PeekThreadMessage(m, 957, 957, false));
    EXPECT_EQ(m.wParam, 2u);
    ASSERT_TRUE(GetThreadMessage(m, 957, 957));
    EXPECT_EQ(m.wParam, 2u);
    EXPECT_EQ(m.lParam, 20);
    ASSERT_TRUE(PeekThreadMessage(m, 957, 957, true));
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_FALSE(PeekThreadMessage(m, 957, 957, false));
    // The other message is still there, and 0, 0 takes any.
    ASSERT_TRUE(PeekThreadMessage(m, 0, 0, true));
    EXPECT_EQ(m.message, 100u);
    EXPECT_FALSE(PeekThreadMessage(m, 0, 0, false));
}

TEST(ThreadMessageQueue, PostingToAThreadWithoutAQueueFailsAndADestroyedQueueDropsItsMessages) {
    std::thread other([] {});
    const std::thread::id id = other.get_id();
    EXPECT_FALSE(PostThreadMessage(id, 957, 0, 0));
    {
        TThreadMessageQueue queue(id);
        EXPECT_TRUE(PostThreadMessage(id, 957, 0, 0));
        EXPECT_EQ(PendingThreadMessages(id, 957), 1u);
        EXPECT_THROW(TThreadMessageQueue second(id), std::logic_error);
    }
    EXPECT_FALSE(PostThreadMessage(id, 957, 0, 0));
    EXPECT_EQ(PendingThreadMessages(id, 957), 0u);
    other.join();

    TThreadMessage m;
    EXPECT_FALSE(PeekThreadMessage(m, 0, 0, false)); // this thread has no queue
    EXPECT_FALSE(GetThreadMessage(m, 0, 0));
}

TEST(ThreadMessageQueue, GetWaitsForAMessageFromAnotherThread) {
    std::atomic<bool> ready{false};
    std::atomic<intptr_t> got{0};
    std::thread receiver;
    std::unique_ptr<TThreadMessageQueue> queue;
    receiver = std::thread([&] {
        while (!ready)
            std::this_thread::yield();
        TThreadMessage m;
        if (GetThreadMessage(m, 957, 957))
            got = m.lParam;
    });
    const std::thread::id id = receiver.get_id();
    queue = std::make_unique<TThreadMessageQueue>(id);
    ready = true;
    EXPECT_TRUE(PostThreadMessage(id, 1, 0, 1)); // not what the receiver waits for
    EXPECT_TRUE(PostThreadMessage(id, 957, 0, 42));
    receiver.join();
    EXPECT_EQ(got, 42);
    EXPECT_EQ(PendingThreadMessages(id, 1), 1u);
}

// The worker's sleep: a wait ends when a matching message is queued, when
// the thread is woken (also by a wake that came before the wait) or at its
// deadline; a rest ends only when woken or at its deadline.
TEST(ThreadMessageQueue, WaitsEndOnAMatchingMessageAWakeOrTheDeadline) {
    const std::thread::id self = std::this_thread::get_id();
    TThreadMessageQueue queue(self);
    const auto soon = [] { return std::chrono::steady_clock::now() + 20ms; };
    const auto late = [] { return std::chrono::steady_clock::now() + 10s; };

    EXPECT_FALSE(WaitThreadMessage(957, 957, soon()));
    ASSERT_TRUE(PostThreadMessage(self, 1, 0, 0));
    EXPECT_FALSE(WaitThreadMessage(957, 957, soon())) << "another message is no reason to wake";

    std::thread poster([self] {
        std::this_thread::sleep_for(20ms);
        PostThreadMessage(self, 957, 0, 7);
    });
    EXPECT_TRUE(WaitThreadMessage(957, 957)); // no deadline: only the message ends it
    poster.join();
    EXPECT_EQ(PendingThreadMessages(self, 957), 1u) << "waiting takes nothing";
    TThreadMessage m;
    ASSERT_TRUE(GetThreadMessage(m, 957, 957));
    EXPECT_EQ(m.lParam, 7);

    ASSERT_TRUE(WakeThread(self)); // before the wait: kept for it
    EXPECT_FALSE(WaitThreadMessage(957, 957));

    ASSERT_TRUE(PostThreadMessage(self, 957, 0, 8));
    EXPECT_FALSE(WaitThreadWake(soon())) << "a rest ignores messages";
    std::thread waker([self] {
        std::this_thread::sleep_for(20ms);
        WakeThread(self);
    });
    EXPECT_TRUE(WaitThreadWake(late()));
    waker.join();

    std::thread other([] {});
    EXPECT_FALSE(WakeThread(other.get_id())) << "no queue, nothing to wake";
    other.join();
}

} // namespace
