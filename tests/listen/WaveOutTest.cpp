#include "WaveOut.h"
#include "MainThread.h"
#include "TestSupport.h"
#include "TestWaveDevice.h"
#include "ThreadMessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

// Events as "T<queued>" (OnBufferTrigger) and "F<queued>" (OnFinish), with the
// number of blocks still queued when the event ran. Written on the worker.
class EventLog {
public:
    void Attach(TWaveOut& w) {
        w.OnBufferTrigger = [this](TWaveOut& s) { Add("T", s); };
        w.OnFinish = [this](TWaveOut& s) { Add("F", s); };
    }
    void Add(const std::string& kind, TWaveOut& s) {
        std::lock_guard lock(FMutex);
        FEvents.push_back(kind + std::to_string(s.GetBufferCount() - s.GetBufferFree()));
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(FMutex);
        return FEvents;
    }

private:
    mutable std::mutex FMutex;
    std::vector<std::string> FEvents;
};

class WaveOutTest : public testing::Test {
protected:
    void SetUp() override {
        FPrevious = SetWaveOutMessageBox([this](const std::string& text) {
            EXPECT_TRUE(IsMainThread()) << "message box off the main thread: " << text;
            Messages.push_back(text);
        });
    }
    void TearDown() override { SetWaveOutMessageBox(FPrevious); }

    static std::vector<char> Block(size_t size, char fill) { return std::vector<char>(size, fill); }

    // Opens `w` on the test device with 8 slots of 32 bytes.
    void OpenSmall(TWaveOut& w, int trigger = 4) {
        w.SetBufferSize(32);
        w.SetBufferCount(8);
        w.SetTriggerPosition(trigger);
        ASSERT_TRUE(w.Open(WaveMapper));
    }
    void QueueBlocks(TWaveOut& w, int count) {
        for (int i = 0; i < count; ++i) {
            const auto block =
                Block(static_cast<size_t>(w.GetBufferSize()), static_cast<char>('a' + i));
            ASSERT_TRUE(w.Queue(block.data())) << "block " << i;
        }
    }
    // Finishes the oldest block and waits until the worker has accounted it.
    void CompleteOne(TWaveOut& w) {
        const int free = w.GetBufferFree();
        ASSERT_TRUE(Device.CompleteNext());
        ASSERT_TRUE(test::PumpUntil([&] { return w.GetBufferFree() == free + 1; }));
    }

    TTestWaveDevice Device;
    std::vector<std::string> Messages;

private:
    TWaveOutMessageBox FPrevious;
};

TEST_F(WaveOutTest, NewComponentHasTheDocumentedDefaults) {
    TWaveOut w(&Device);
    EXPECT_EQ(w.GetBufferSize(), 4048);
    EXPECT_EQ(w.GetBufferCount(), 4);
    EXPECT_EQ(w.GetTriggerPosition(), 8);
    EXPECT_EQ(w.GetChannels(), 1);
    EXPECT_EQ(w.GetSamplesPerSecond(), 8000u);
    EXPECT_EQ(w.GetBitsPerSample(), 16);
    EXPECT_EQ(w.GetBlockAlign(), 2);
    EXPECT_EQ(w.GetAvgBytesPerSec(), 16000u);
    EXPECT_EQ(w.GetBufferFree(), 4);
    EXPECT_EQ(w.GetPlayState(), TPlayState::Closed);
    const TWaveFormatEx f = w.GetWaveFormaTex();
    EXPECT_EQ(f.wFormatTag, WaveFormatPcm);
    EXPECT_EQ(f.cbSize, 0);
}

struct SetterCase {
    const char* name;
    std::function<void(TWaveOut&)> apply;
    int bufferSize, bufferCount, trigger;
    uint16_t channels, blockAlign;
    uint32_t avgBytesPerSec;
};

class WaveOutSetters : public testing::TestWithParam<SetterCase> {};

TEST_P(WaveOutSetters, FollowTheAcceptanceRules) {
    const SetterCase& c = GetParam();
    TTestWaveDevice device;
    TWaveOut w(&device);
    c.apply(w);
    EXPECT_EQ(w.GetBufferSize(), c.bufferSize);
    EXPECT_EQ(w.GetBufferCount(), c.bufferCount);
    EXPECT_EQ(w.GetTriggerPosition(), c.trigger);
    EXPECT_EQ(w.GetChannels(), c.channels);
    EXPECT_EQ(w.GetBlockAlign(), c.blockAlign);
    EXPECT_EQ(w.GetAvgBytesPerSec(), c.avgBytesPerSec);
    EXPECT_EQ(w.GetBufferFree(), c.bufferCount);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaveOutSetters,
    testing::Values(
        SetterCase{"Count8KeepsTrigger8", [](TWaveOut& w) { w.SetBufferCount(8); }, 4048, 8, 8, 1,
                   2, 16000},
        SetterCase{"Count5PullsTrigger8To4", [](TWaveOut& w) { w.SetBufferCount(5); }, 4048, 5, 4,
                   1, 2, 16000},
        SetterCase{"CountZeroIgnored", [](TWaveOut& w) { w.SetBufferCount(0); }, 4048, 4, 8, 1, 2,
                   16000},
        SetterCase{"CountNegativeIgnored", [](TWaveOut& w) { w.SetBufferCount(-2); }, 4048, 4, 8, 1,
                   2, 16000},
        SetterCase{"Size16Ignored", [](TWaveOut& w) { w.SetBufferSize(16); }, 4048, 4, 8, 1, 2,
                   16000},
        SetterCase{"Size17Accepted", [](TWaveOut& w) { w.SetBufferSize(17); }, 17, 4, 8, 1, 2,
                   16000},
        SetterCase{"TriggerAboveCountIgnored", [](TWaveOut& w) { w.SetTriggerPosition(5); }, 4048,
                   4, 8, 1, 2, 16000},
        SetterCase{"TriggerUpToCountAccepted", [](TWaveOut& w) { w.SetTriggerPosition(4); }, 4048,
                   4, 4, 1, 2, 16000},
        SetterCase{"TwoChannels", [](TWaveOut& w) { w.SetChannels(2); }, 4048, 4, 8, 2, 4, 32000},
        SetterCase{"EightBitStereoAt11025",
                   [](TWaveOut& w) {
                       w.SetBitsPerSample(8);
                       w.SetChannels(2);
                       w.SetSamplesPerSecond(11025);
                   },
                   4048, 4, 8, 2, 2, 22050},
        SetterCase{"WholeFormatRecordRederivesAlignAndRate",
                   [](TWaveOut& w) {
                       TWaveFormatEx f;
                       f.nChannels = 2;
                       f.nSamplesPerSec = 22050;
                       f.nBlockAlign = 99;
                       f.nAvgBytesPerSec = 1;
                       w.SetWaveFormaTex(f);
                   },
                   4048, 4, 8, 2, 4, 88200}),
    [](const testing::TestParamInfo<SetterCase>& info) { return std::string(info.param.name); });

TEST_F(WaveOutTest, SettersAreIgnoredFromOpenUntilACloseSucceeds) {
    TWaveOut w(&Device);
    ASSERT_TRUE(w.Open(WaveMapper));
    auto tryAll = [&] {
        w.SetBufferSize(64);
        w.SetBufferCount(8);
        w.SetTriggerPosition(2);
        w.SetChannels(2);
        w.SetSamplesPerSecond(44100);
        w.SetBitsPerSample(8);
    };
    tryAll();
    EXPECT_EQ(w.GetBufferSize(), 4048);
    EXPECT_EQ(w.GetBufferCount(), 4);
    EXPECT_EQ(w.GetTriggerPosition(), 8);
    EXPECT_EQ(w.GetWaveFormaTex(), TWaveFormatEx{});

    Device.Fail(TWaveOp::Close, waverr::StillPlaying);
    EXPECT_FALSE(w.Close());
    EXPECT_EQ(w.GetPlayState(), TPlayState::Closing);
    tryAll();
    EXPECT_EQ(w.GetBufferSize(), 4048);

    w.Open(WaveMapper); // releases the half-closed device, opens again
    ASSERT_TRUE(w.Close());
    tryAll();
    EXPECT_EQ(w.GetBufferSize(), 64);
    EXPECT_EQ(w.GetBufferCount(), 8);
    EXPECT_EQ(w.GetTriggerPosition(), 2);
    EXPECT_EQ(w.GetBlockAlign(), 2);
    EXPECT_EQ(w.GetAvgBytesPerSec(), 88200u);
}

TEST_F(WaveOutTest, OpenOpensTheDevicePausedWithTheFormatForTheWorker) {
    TWaveOut w(&Device);
    w.SetChannels(2);
    ASSERT_TRUE(w.Open(WaveMapper));
    EXPECT_EQ(w.GetPlayState(), TPlayState::Opened);
    EXPECT_EQ(Device.Ops(), (std::vector<TWaveOp>{TWaveOp::Open, TWaveOp::Pause}));
    EXPECT_TRUE(Device.IsPaused());
    EXPECT_EQ(Device.OpenedDeviceId(), WaveMapper);
    EXPECT_EQ(Device.OpenedFormat(), w.GetWaveFormaTex());
    EXPECT_NE(Device.NotifyThread(), std::thread::id());
    EXPECT_NE(Device.NotifyThread(), std::this_thread::get_id());
    EXPECT_NE(w.GetHWaveOutId(), 0u);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(WaveOutTest, SevenBlocksFitEightSlotsAndTheEighthIsRefusedSilently) {
    TWaveOut w(&Device);
    OpenSmall(w);
    QueueBlocks(w, 7);
    EXPECT_EQ(w.GetBufferFree(), 1);
    const auto block = Block(32, 'x');
    EXPECT_FALSE(w.Queue(block.data()));
    EXPECT_EQ(w.GetBufferFree(), 1);
    EXPECT_EQ(Device.WrittenData().size(), 7u);
    EXPECT_TRUE(Messages.empty());
    // Room again once the device has finished one.
    w.Play();
    CompleteOne(w);
    EXPECT_TRUE(w.Queue(block.data()));
}

TEST_F(WaveOutTest, BlocksQueuedBeforePlayWaitForPlayAndAreCopies) {
    TWaveOut w(&Device);
    OpenSmall(w);
    auto block = Block(32, 'a');
    ASSERT_TRUE(w.Queue(block.data()));
    block.assign(32, 'b'); // the caller may reuse its buffer at once
    ASSERT_TRUE(w.QueueSize(block.data(), 10));
    EXPECT_TRUE(Device.IsPaused());
    EXPECT_EQ(Device.Ops(),
              (std::vector<TWaveOp>{TWaveOp::Open, TWaveOp::Pause, TWaveOp::PrepareHeader,
                                    TWaveOp::Write, TWaveOp::PrepareHeader, TWaveOp::Write}));
    EXPECT_EQ(Device.WrittenData(), (std::vector<std::string>{std::string(32, 'a'), "bbbbbbbbbb"}));

    ASSERT_TRUE(w.Play());
    EXPECT_FALSE(Device.IsPaused());
    EXPECT_EQ(Device.Ops().back(), TWaveOp::Restart);
    EXPECT_EQ(w.GetPlayState(), TPlayState::Playing);
}

struct QueueLengthCase {
    const char* name;
    int length;
    bool accepted;
};

class WaveOutQueueLength : public WaveOutTest,
                           public testing::WithParamInterface<QueueLengthCase> {};

TEST_P(WaveOutQueueLength, OnlyLengthsThatFitASlotAreQueued) {
    const QueueLengthCase& c = GetParam();
    TWaveOut w(&Device);
    OpenSmall(w);
    const auto block = Block(64, 'q');
    EXPECT_EQ(w.QueueSize(block.data(), c.length), c.accepted);
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(w.GetBufferFree(), c.accepted ? 7 : 8);
    const auto written = Device.WrittenData();
    if (c.accepted) {
        ASSERT_EQ(written.size(), 1u);
        EXPECT_EQ(written[0], std::string(static_cast<size_t>(c.length), 'q'));
    } else {
        EXPECT_TRUE(written.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, WaveOutQueueLength,
    testing::Values(QueueLengthCase{"Empty", 0, true}, QueueLengthCase{"Part", 5, true},
                    QueueLengthCase{"Slot", 32, true}, QueueLengthCase{"OneOver", 33, false},
                    QueueLengthCase{"Double", 64, false}, QueueLengthCase{"Negative", -1, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WaveOutTest, TriggersFromThreeQueuedDownAndFinishWhenDry) {
    TWaveOut w(&Device);
    EventLog log;
    log.Attach(w);
    OpenSmall(w, 4);
    QueueBlocks(w, 7);
    ASSERT_TRUE(w.Play());
    for (int i = 0; i < 7; ++i)
        CompleteOne(w);
    ASSERT_TRUE(w.Close()); // the worker has ended: every event has run
    EXPECT_EQ(log.Events(), (std::vector<std::string>{"T3", "T2", "T1", "T0", "F0"}));
}

TEST_F(WaveOutTest, TriggerPositionZeroRaisesNothingEvenWhenDry) {
    TWaveOut w(&Device);
    EventLog log;
    log.Attach(w);
    OpenSmall(w, 0);
    QueueBlocks(w, 3);
    ASSERT_TRUE(w.Play());
    for (int i = 0; i < 3; ++i)
        CompleteOne(w);
    ASSERT_TRUE(w.Close());
    EXPECT_TRUE(log.Events().empty());
}

struct StateCase {
    const char* name;
    std::function<void(TWaveOut&)> enter;
    std::vector<std::string> events;
};

class WaveOutCompletionState : public WaveOutTest, public testing::WithParamInterface<StateCase> {};

TEST_P(WaveOutCompletionState, CompletionsAdvanceTheRingAndRaiseEventsOnlyWhilePlaying) {
    TWaveOut w(&Device);
    EventLog log;
    log.Attach(w);
    OpenSmall(w, 8);
    QueueBlocks(w, 2);
    GetParam().enter(w);
    CompleteOne(w);
    CompleteOne(w);
    EXPECT_EQ(w.GetBufferFree(), 8);
    ASSERT_TRUE(w.Close());
    EXPECT_EQ(log.Events(), GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(
    States, WaveOutCompletionState,
    testing::Values(StateCase{"Opened", [](TWaveOut&) {}, {}},
                    StateCase{"Paused",
                              [](TWaveOut& w) {
                                  w.Play();
                                  w.Pause();
                              },
                              {}},
                    StateCase{"Playing", [](TWaveOut& w) { w.Play(); }, {"T1", "T0", "F0"}},
                    StateCase{"Resumed",
                              [](TWaveOut& w) {
                                  w.Play();
                                  w.Pause();
                                  w.Resume();
                              },
                              {"T1", "T0", "F0"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WaveOutTest, ResetEmptiesTheRingAndStaleCompletionsNeverRetireNewBlocks) {
    TWaveOut w(&Device);
    EventLog log;
    log.Attach(w);
    OpenSmall(w, 8);
    QueueBlocks(w, 4);
    ASSERT_TRUE(w.Play());
    CompleteOne(w); // "T3"

    ASSERT_TRUE(w.Reset());
    EXPECT_EQ(w.GetBufferFree(), 8);
    EXPECT_EQ(w.GetPlayState(), TPlayState::Flushed);
    EXPECT_EQ(Device.Queued(), 0u); // three flushed blocks came back as done
    EXPECT_EQ(w.GetPosition(), 0u);

    // Queue and play again at once, while the flushed blocks' messages still wait.
    QueueBlocks(w, 2);
    const auto headers = Device.WrittenHeaders();
    ASSERT_EQ(headers.size(), 6u);
    EXPECT_EQ(headers[4], headers[0]) << "the first block after Reset goes to slot 0";
    EXPECT_EQ(headers[5], headers[1]);
    ASSERT_TRUE(w.Play());
    EXPECT_EQ(w.GetBufferFree(), 6);

    ASSERT_TRUE(Device.CompleteNext());
    ASSERT_TRUE(test::PumpUntil([&] { return Device.PendingNotifications() == 0; }));
    ASSERT_TRUE(w.Close());
    // One completion after Reset: one block left queued, one trigger.
    EXPECT_EQ(log.Events(), (std::vector<std::string>{"T3", "T1"}));
}

TEST_F(WaveOutTest, CloseOnANeverOpenedComponentAndASecondCloseDoNothing) {
    TWaveOut w(&Device);
    EXPECT_TRUE(w.Close());
    EXPECT_TRUE(Device.Calls().empty());

    ASSERT_TRUE(w.Open(WaveMapper));
    ASSERT_TRUE(w.Close());
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(w.GetPlayState(), TPlayState::Closed);
    EXPECT_EQ(w.GetHWaveOutId(), 0u);
    const size_t calls = Device.Calls().size();
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(Device.Calls().size(), calls);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(WaveOutTest, CloseReturnsQueuedBlocksAndClosesTheDevice) {
    TWaveOut w(&Device);
    OpenSmall(w);
    QueueBlocks(w, 3);
    ASSERT_TRUE(w.Play());
    ASSERT_TRUE(w.Close());
    const auto ops = Device.Ops();
    // Unprepare calls after the close are refused by the closed device and ignored.
    std::vector<TWaveOp> deviceOps;
    for (TWaveOp op : ops)
        if (op != TWaveOp::UnprepareHeader)
            deviceOps.push_back(op);
    EXPECT_EQ(std::vector<TWaveOp>(deviceOps.end() - 3, deviceOps.end()),
              (std::vector<TWaveOp>{TWaveOp::Pause, TWaveOp::Reset, TWaveOp::Close}));
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.Queued(), 0u);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(WaveOutTest, DestroyingAnOpenComponentClosesTheDevice) {
    {
        TWaveOut w(&Device);
        OpenSmall(w);
        QueueBlocks(w, 3);
        w.Play();
    }
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(Device.Queued(), 0u);
}

TEST_F(WaveOutTest, OpenWhileOpenClosesFirst) {
    TWaveOut w(&Device);
    ASSERT_TRUE(w.Open(WaveMapper));
    const HWaveOut first = w.GetHWaveOutId();
    ASSERT_TRUE(w.Open(WaveMapper));
    EXPECT_NE(w.GetHWaveOutId(), first);
    EXPECT_TRUE(Messages.empty());
    EXPECT_TRUE(Device.IsOpen());
}

// The worker waits in a Synchronize hand-off from inside OnFinish (as the
// monitor's owner does) while the main thread, which has not served it yet,
// calls Close or Reset. Both must serve it and finish.
struct HandOffCase {
    const char* name;
    std::function<bool(TWaveOut&)> op;
};

class WaveOutHandOff : public WaveOutTest, public testing::WithParamInterface<HandOffCase> {};

TEST_P(WaveOutHandOff, DoesNotDeadlockAgainstAWorkerInSynchronize) {
    TWaveOut w(&Device);
    std::atomic<bool> entered{false};
    std::atomic<bool> served{false};
    w.OnFinish = [&](TWaveOut&) {
        entered = true;
        Synchronize([&] { served = true; });
    };
    OpenSmall(w);
    QueueBlocks(w, 1);
    ASSERT_TRUE(w.Play());
    ASSERT_TRUE(Device.CompleteNext());
    // Not pumping: the hand-off stays pending.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!entered && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(entered) << "OnFinish was not raised";
    EXPECT_FALSE(served);
    EXPECT_TRUE(GetParam().op(w));
    EXPECT_TRUE(served);
    EXPECT_TRUE(w.Close());
}

INSTANTIATE_TEST_SUITE_P(
    Ops, WaveOutHandOff,
    testing::Values(HandOffCase{"Close", [](TWaveOut& w) { return w.Close(); }},
                    HandOffCase{"Reset", [](TWaveOut& w) { return w.Reset(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WaveOutTest, AThrowingHandlerIsDroppedAndTheWorkerGoesOn) {
    TWaveOut w(&Device);
    std::atomic<int> finishes{0};
    w.OnBufferTrigger = [](TWaveOut&) { throw std::runtime_error("handler fault"); };
    w.OnFinish = [&](TWaveOut&) { ++finishes; };
    OpenSmall(w, 8);
    QueueBlocks(w, 1);
    ASSERT_TRUE(w.Play());
    // The worker raises the handlers after it has counted the block done.
    CompleteOne(w);
    ASSERT_TRUE(test::PumpUntil([&] { return finishes == 1; }));
    QueueBlocks(w, 1);
    CompleteOne(w);
    ASSERT_TRUE(test::PumpUntil([&] { return finishes == 2; }));
    ASSERT_TRUE(w.Close());
    EXPECT_EQ(finishes, 2);
}

TEST_F(WaveOutTest, PositionsAskTheDeviceInBytesAndSamples) {
    TWaveOut w(&Device);
    EXPECT_EQ(w.GetPosition(), 0u); // not open
    OpenSmall(w);
    QueueBlocks(w, 2);
    w.Play();
    CompleteOne(w);
    EXPECT_EQ(w.GetPosition(), 32u);
    EXPECT_EQ(w.GetPositionTime(), 16u);
    Device.Fail(TWaveOp::GetPosition, mmsyserr::Error);
    EXPECT_EQ(w.GetPosition(), 0u);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(WaveOutTest, DeviceNameAndCount) {
    TWaveOut w(&Device);
    Device.SetNumDevs(3);
    EXPECT_EQ(w.GetWaveOutNumDevs(), 3u);
    Device.SetProductName("A product name that runs well past thirty-one characters");
    std::string name;
    ASSERT_TRUE(w.GetWaveOutName(0, name));
    EXPECT_EQ(name, "A product name that runs well p");
    EXPECT_FALSE(w.GetWaveOutName(7, name));
    EXPECT_EQ(Messages, (std::vector<std::string>{"DevCaps, MMSYSERR_BADDEVICEID"}));
}

TEST_F(WaveOutTest, AFailedOpenShowsBothMessagesAndLeavesTheComponentClosed) {
    TWaveOut w(&Device);
    Device.Fail(TWaveOp::Open, mmsyserr::NoDriver);
    EXPECT_FALSE(w.Open(3));
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[0],
              "waveOutOpen Error -> 6\niIndex -> 3\n" + Device.GetErrorText(mmsyserr::NoDriver));
    EXPECT_EQ(Messages[1], "xOpen, MMSYSERR_NODRIVER");
    EXPECT_EQ(w.GetPlayState(), TPlayState::Closed);

    // Blocks for the device that did not open are refused with a message each.
    const auto block = Block(static_cast<size_t>(w.GetBufferSize()), 'z');
    EXPECT_FALSE(w.Queue(block.data()));
    EXPECT_EQ(Messages.back(), "PrepareHeader, MMSYSERR_INVALHANDLE");
    EXPECT_EQ(w.GetBufferFree(), w.GetBufferCount());
    EXPECT_TRUE(w.Close());

    // Still Closed: the settings can change and a later Open works.
    w.SetBufferCount(8);
    EXPECT_EQ(w.GetBufferCount(), 8);
    EXPECT_TRUE(w.Open(WaveMapper));
}

TEST_F(WaveOutTest, APauseFailureRightAfterOpeningClosesTheDeviceAgain) {
    TWaveOut w(&Device);
    Device.Fail(TWaveOp::Pause, mmsyserr::NoMem);
    EXPECT_FALSE(w.Open(WaveMapper));
    EXPECT_EQ(Messages, (std::vector<std::string>{"Pause, MMSYSERR_NOMEM"}));
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_EQ(w.GetPlayState(), TPlayState::Closed);
}

// Each operation's device call failing with each code: the operation's name,
// ", " and the code's name.
struct FailingOp {
    const char* name;
    TWaveOp deviceOp;
    std::function<bool(TWaveOut&)> run;
};

const FailingOp kFailingOps[] = {
    {"xOpen", TWaveOp::Open, [](TWaveOut& w) { return w.Open(WaveMapper); }},
    {"Pause", TWaveOp::Pause, [](TWaveOut& w) { return w.Pause(); }},
    {"Restart", TWaveOp::Restart, [](TWaveOut& w) { return w.Play(); }},
    {"Reset", TWaveOp::Reset, [](TWaveOut& w) { return w.Reset(); }},
    {"Close", TWaveOp::Close, [](TWaveOut& w) { return w.Close(); }},
    {"PrepareHeader", TWaveOp::PrepareHeader,
     [](TWaveOut& w) {
         const std::vector<char> b(static_cast<size_t>(w.GetBufferSize()));
         return w.Queue(b.data());
     }},
    {"Write", TWaveOp::Write,
     [](TWaveOut& w) {
         const std::vector<char> b(static_cast<size_t>(w.GetBufferSize()));
         return w.Queue(b.data());
     }},
    {"DevCaps", TWaveOp::GetDevCaps,
     [](TWaveOut& w) {
         std::string name;
         return w.GetWaveOutName(0, name);
     }},
};

struct ErrorCode {
    MmResult code;
    const char* text;
};

const ErrorCode kErrorCodes[] = {
    {5, "MMSYSERR_INVALHANDLE"}, {6, "MMSYSERR_NODRIVER"},     {7, "MMSYSERR_NOMEM"},
    {32, "WAVERR_BADFORMAT"},    {33, "WAVERR_STILLPLAYING"},  {2, "MMSYSERR_BADDEVICEID"},
    {4, "MMSYSERR_ALLOCATED"},   {11, "Undefined error : 11"}, {0x1000B, "Undefined error : 11"},
    {1, "Undefined error : 1"},
};

class WaveOutErrorText : public WaveOutTest,
                         public testing::WithParamInterface<std::tuple<FailingOp, ErrorCode>> {};

TEST_P(WaveOutErrorText, NamesTheOperationAndTheError) {
    const auto& [op, error] = GetParam();
    TWaveOut w(&Device);
    if (op.deviceOp != TWaveOp::Open && op.deviceOp != TWaveOp::GetDevCaps) {
        ASSERT_TRUE(w.Open(WaveMapper));
    }
    Device.Fail(op.deviceOp, error.code);
    EXPECT_FALSE(op.run(w));
    ASSERT_FALSE(Messages.empty());
    EXPECT_EQ(Messages.back(), std::string(op.name) + ", " + error.text);
    EXPECT_EQ(Messages.size(), op.deviceOp == TWaveOp::Open ? 2u : 1u);
    if (op.deviceOp == TWaveOp::Write) {
        EXPECT_EQ(w.GetBufferFree(), w.GetBufferCount()) << "a failed write queues nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, WaveOutErrorText,
                         testing::Combine(testing::ValuesIn(kFailingOps),
                                          testing::ValuesIn(kErrorCodes)),
                         [](const testing::TestParamInfo<std::tuple<FailingOp, ErrorCode>>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param).code);
                         });

// A device that fails by itself while playing (its sound server died): one
// message, on the main thread, one OnDeviceFailure; the blocks it returns
// raise no event, later blocks are refused without a message, and the next
// Open starts afresh.
TEST_F(WaveOutTest, ADeviceThatFailsWhilePlayingIsShownOnceAndTakesNoMoreBlocks) {
    TWaveOut w(&Device);
    EventLog log;
    log.Attach(w);
    std::atomic<int> failures{0};
    w.OnDeviceFailure = [&](TWaveOut& sender) {
        ++failures;
        log.Add("X", sender);
    };
    OpenSmall(w, 8);
    QueueBlocks(w, 4);
    ASSERT_TRUE(w.Play());
    CompleteOne(w); // "T3"

    ASSERT_TRUE(Device.LoseDevice(mmsyserr::NoDriver));
    // The device reports a second failure it should not: still one of each.
    PostThreadMessage(Device.NotifyThread(), WomFailedMessage, w.GetHWaveOutId(),
                      static_cast<intptr_t>(mmsyserr::Allocated));
    ASSERT_TRUE(test::PumpUntil([&] { return w.GetBufferFree() == 8 && !Messages.empty(); }));
    ASSERT_TRUE(test::PumpUntil([&] { return Device.PendingNotifications() == 0; }));
    test::PumpFor(100ms);
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(w.GetDeviceFailure(), mmsyserr::NoDriver);
    EXPECT_EQ(Messages, (std::vector<std::string>{"Playback, MMSYSERR_NODRIVER"}));

    const size_t written = Device.WrittenData().size();
    const auto block = Block(32, 'n');
    EXPECT_FALSE(w.Queue(block.data()));
    EXPECT_EQ(Device.WrittenData().size(), written);
    EXPECT_EQ(Messages.size(), 1u);

    ASSERT_TRUE(w.Close());
    EXPECT_EQ(log.Events(), (std::vector<std::string>{"T3", "X3"}));
    EXPECT_FALSE(Device.IsOpen());

    ASSERT_TRUE(w.Open(WaveMapper));
    EXPECT_EQ(w.GetDeviceFailure(), mmsyserr::NoError);
    EXPECT_TRUE(w.Queue(block.data()));
}

TEST_F(WaveOutTest, AFailedCloseStaysClosingAndLaterClosesReturnAtOnce) {
    TWaveOut w(&Device);
    ASSERT_TRUE(w.Open(WaveMapper));
    Device.Fail(TWaveOp::Reset, mmsyserr::InvalHandle);
    EXPECT_FALSE(w.Close());
    EXPECT_EQ(w.GetPlayState(), TPlayState::Closing);
    const size_t calls = Device.Calls().size();
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(Device.Calls().size(), calls);
    EXPECT_EQ(Messages, (std::vector<std::string>{"Reset, MMSYSERR_INVALHANDLE"}));
}

} // namespace
