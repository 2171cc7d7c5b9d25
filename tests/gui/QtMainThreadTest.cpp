// The Qt adapter of the main-thread hand-over: workers' calls run on the GUI
// thread while an ordinary Qt event loop runs.

#include "QtMainThread.h"
#include "MainThread.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace corvane {
namespace {

class QtMainThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorBoxHook([this](const QString& message) { FErrors.push_back(message); });
        InstallQtMainThread();
    }
    void TearDown() override {
        UninstallQtMainThread();
        SetErrorBoxHook({});
    }
    std::vector<QString> FErrors;
};

TEST_F(QtMainThreadTest, SynchronizeFromAWorkerRunsOnTheGuiThread) {
    const auto guiThread = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Synchronize([&] { ranOn = std::this_thread::get_id(); });
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
    worker.join();
    EXPECT_EQ(ranOn, guiThread);
}

TEST_F(QtMainThreadTest, SynchronizeRunsInsideANestedEventLoop) {
    // A modal dialog runs its own loop; hand-overs must still get through.
    QEventLoop loop;
    bool ran = false;
    std::thread worker;
    QTimer::singleShot(0, [&] {
        worker = std::thread([&] {
            Synchronize([&] {
                ran = true;
                loop.quit();
            });
        });
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit); // only against a hang
    loop.exec();
    worker.join();
    EXPECT_TRUE(ran);
}

TEST_F(QtMainThreadTest, PostedCallsFromSeveralWorkersRunInOrderPerWorker) {
    constexpr int kWorkers = 4;
    constexpr int kCalls = 500;
    std::vector<std::vector<int>> seen(kWorkers);
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&seen, w] {
            for (int i = 0; i < kCalls; ++i)
                Post([&seen, w, i] { seen[static_cast<size_t>(w)].push_back(i); });
        });
    for (auto& t : workers)
        t.join();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            for (const auto& s : seen)
                if (s.size() != kCalls)
                    return false;
            return true;
        },
        10000));
    for (const auto& s : seen)
        for (int i = 0; i < static_cast<int>(s.size()); ++i)
            ASSERT_EQ(s[static_cast<size_t>(i)], i);
}

TEST_F(QtMainThreadTest, EscapingExceptionsGoToTheErrorBoxAndLaterCallsStillRun) {
    bool after = false;
    std::thread worker([&] {
        Post([] { throw std::runtime_error("Unable to write to /x/client.ini"); });
        Post([] { throw 42; });
        Post([&] { after = true; });
    });
    worker.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return after; }, 10000));
    ASSERT_EQ(FErrors.size(), 2u);
    EXPECT_EQ(FErrors[0].toStdString(), "Unable to write to /x/client.ini");
    EXPECT_TRUE(FErrors[1].isEmpty());
}

TEST_F(QtMainThreadTest, ExceptionInSynchronizeReturnsToTheWorkerNotTheErrorBox) {
    std::atomic<bool> caught{false};
    std::thread worker([&] {
        try {
            Synchronize([] { throw std::runtime_error("bad"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return caught.load(); }, 10000));
    worker.join();
    EXPECT_TRUE(FErrors.empty());
}

} // namespace
} // namespace corvane
