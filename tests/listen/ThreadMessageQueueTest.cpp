#include "ThreadMessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace corvane;

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

} // namespace
