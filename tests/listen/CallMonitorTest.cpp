// Live listening on the test wave device, against the recorder simulator and,
// where the test must decide what the stream holds or when it goes on, a
// scripted recorder: the request, the header, which blocks reach the output,
// when playback starts and how listening ends.

#include "CallMonitor.h"
#include "Corvane.h"
#include "FeedRecorder.h"
#include "G711.h"
#include "MainThread.h"
#include "TestSupport.h"
#include "TestWaveDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUser = "supervisor";
constexpr const char* kPassword = "secret";
constexpr size_t kFrames = 4096; // sample frames per block

// The PCM bytes that G.711 codes expand to, as the output receives them.
std::string Expand(std::string_view codes, bool alaw) {
    const auto& table = alaw ? ALawTable : ULawTable;
    std::string pcm(codes.size() * 2, '\0');
    for (size_t i = 0; i < codes.size(); ++i) {
        const int16_t sample = table[static_cast<uint8_t>(codes[i])];
        std::memcpy(&pcm[2 * i], &sample, sizeof sample);
    }
    return pcm;
}

// Codes that differ from block to block and along each block.
std::string Codes(size_t count, unsigned seed) {
    std::string codes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        codes[i] = static_cast<char>((seed * 131u + i * 7u + i / 251u) & 0xFFu);
    return codes;
}

class CallMonitorTest : public testing::Test {
protected:
    void SetUp() override {
        FPreviousBox = SetWaveOutMessageBox([this](const std::string& text) {
            std::lock_guard lock(FMutex);
            FMessages.push_back(text);
        });
        Session.OnLog = [this](const std::string& text) {
            std::lock_guard lock(FMutex);
            FLog.push_back(text);
        };
        Session.OnStatus = [this](TStatusCode code) {
            std::lock_guard lock(FMutex);
            FStatuses.push_back(code);
        };
    }
    void TearDown() override {
        Monitor.reset();
        SetWaveOutMessageBox(FPreviousBox);
    }

    void Configure(const std::string& server, bool secure = false,
                   const std::string& password = kPassword) {
        TQuorinConfig config;
        config.Server = server;
        config.UserName = kUser;
        config.Password = password;
        config.Secure = secure;
        Session.SetConfig(config);
    }
    void Listen(const std::string& remoteid) {
        TCallInfo call;
        call.id = "1";
        call.remoteid = remoteid;
        Monitor = std::make_unique<TCallMonitor>(Session, call, &Device);
        Monitor->OnFinished = [this] { ++Finished; };
        Monitor->Start();
    }

    std::vector<std::string> Log() const {
        std::lock_guard lock(FMutex);
        return FLog;
    }
    std::vector<TStatusCode> Statuses() const {
        std::lock_guard lock(FMutex);
        return FStatuses;
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(FMutex);
        return FMessages;
    }
    size_t Count(const std::string& line) const {
        const auto log = Log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), line));
    }
    bool HasLineStartingWith(const std::string& prefix) const {
        const auto log = Log();
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    // Position of the first such line, or -1.
    long IndexOf(const std::string& line) const {
        const auto log = Log();
        const auto it = std::find(log.begin(), log.end(), line);
        return it == log.end() ? -1 : static_cast<long>(it - log.begin());
    }
    bool WaitForLine(const std::string& line, size_t times = 1) {
        return test::PumpUntil([&] { return Count(line) >= times; });
    }
    bool WaitForWrites(size_t n) {
        return test::PumpUntil([&] { return Device.WrittenData().size() >= n; });
    }
    bool WaitForFinished() {
        return test::PumpUntil([&] { return Finished.load() > 0; });
    }
    // Blocks written before the output was first started, or -1 if it never was.
    int WritesBeforePlay() const {
        int writes = 0;
        for (const auto& call : Device.Calls()) {
            if (call.op == TWaveOp::Restart)
                return writes;
            if (call.op == TWaveOp::Write && call.result == mmsyserr::NoError)
                ++writes;
        }
        return -1;
    }
    size_t Restarts() const {
        const auto ops = Device.Ops();
        return static_cast<size_t>(std::count(ops.begin(), ops.end(), TWaveOp::Restart));
    }
    // Lets the device finish every queued block.
    void PlayOut() {
        while (Device.CompleteNext()) {
        }
    }

    TCorvane Session;
    TTestWaveDevice Device;
    std::unique_ptr<test::QuorinSim> Sim;
    std::unique_ptr<test::FeedRecorder> Feed;
    std::unique_ptr<TCallMonitor> Monitor;
    std::atomic<int> Finished{0};

private:
    mutable std::mutex FMutex;
    std::vector<std::string> FLog;
    std::vector<TStatusCode> FStatuses;
    std::vector<std::string> FMessages;
    TWaveOutMessageBox FPreviousBox;
};

// ---------------------------------------------------------------------------
// Streams from the simulator that play.

struct StreamCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::string fault; // /sim/fault query for the live-audio request, or ""
    bool alaw;
    int channels;
    size_t hangupAfterBlocks; // 0: the fault ends the stream
    size_t minBlocks;         // complete blocks the stream must have carried
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class CallMonitorStreams : public CallMonitorTest,
                           public testing::WithParamInterface<StreamCase> {};

TEST_P(CallMonitorStreams, PlaysTheCompleteBlocksOfTheStream) {
    const StreamCase& c = GetParam();
    Sim = std::make_unique<test::QuorinSim>(c.simArgs);
    Sim->Control("/sim/calls/add?id=1&remoteid=r1");
    if (!c.fault.empty())
        Sim->Control("/sim/fault?count=1&" + c.fault);
    Configure(Sim->Server());
    Listen("r1");
    if (c.hangupAfterBlocks > 0) {
        ASSERT_TRUE(WaitForWrites(c.hangupAfterBlocks));
        Sim->Control("/sim/calls/hangup?id=1");
    }
    ASSERT_TRUE(WaitForLine("Monitor HTTP Doc End"));

    // The request: the call's remote id and the credentials, no cookie; the
    // log shows the URL without the credentials.
    const auto requests = Sim->Requests("RTCall");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Param("remid"), "r1");
    EXPECT_EQ(requests[0].Param("username"), kUser);
    EXPECT_EQ(requests[0].Param("password"), kPassword);
    EXPECT_EQ(requests[0].cookie, "");
    const auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "Monitor: " + Session.BaseUrl() + "?info=RTCall&remid=r1");
    for (const auto& line : log)
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
    EXPECT_EQ(Count("Received cookie"), 1u);
    EXPECT_EQ(Count(std::string("Format=") + (c.alaw ? "alaw" : "ulaw")), 1u);
    EXPECT_EQ(Count("Channels=" + std::to_string(c.channels)), 1u);

    const TWaveFormatEx format = Device.OpenedFormat();
    EXPECT_EQ(Device.OpenedDeviceId(), WaveMapper);
    EXPECT_EQ(format.nChannels, c.channels);
    EXPECT_EQ(format.nSamplesPerSec, 8000u);
    EXPECT_EQ(format.wBitsPerSample, 16);

    // Every complete block, expanded in order; the partial one at the end is dropped.
    const std::string sent = Sim->Control("/sim/rtcall/sent?remid=r1");
    const size_t chunk = kFrames * static_cast<size_t>(c.channels);
    const size_t blocks = sent.size() / chunk;
    ASSERT_GE(blocks, c.minBlocks);
    const auto written = Device.WrittenData();
    ASSERT_EQ(written.size(), blocks);
    for (size_t b = 0; b < blocks; ++b)
        EXPECT_TRUE(written[b] == Expand(std::string_view(sent).substr(b * chunk, chunk), c.alaw))
            << "block " << b;

    if (blocks >= 3) {
        // Started with the third block; finishes only once the queue has played.
        EXPECT_EQ(WritesBeforePlay(), 3);
        EXPECT_EQ(Count("Starting play"), 1u);
        EXPECT_EQ(Finished.load(), 0);
        PlayOut();
        ASSERT_TRUE(WaitForFinished());
        EXPECT_GT(IndexOf("Monitor audio finished"), IndexOf("Monitor HTTP Doc End"));
    } else {
        // Too short to start: nothing is heard and listening ends with the answer.
        EXPECT_EQ(WritesBeforePlay(), -1);
        EXPECT_EQ(Finished.load(), 1);
    }
    EXPECT_TRUE(Statuses().empty());
    EXPECT_TRUE(Messages().empty());
    Monitor.reset();
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_FALSE(Device.IsOpen());
}

constexpr size_t kBlock = kFrames;

std::string EndAfter(size_t bytes) {
    return "mode=audio-end&bytes=" + std::to_string(bytes);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sim, CallMonitorStreams, testing::Values(
    //         name                        simulator options                     fault                           A-law  ch hangup min
    StreamCase{"ALaw",                     {"--format", "alaw"},                 EndAfter(3 * kBlock + 100),     true,  1, 0,     3},
    StreamCase{"MuLaw",                    {"--format", "ulaw"},                 EndAfter(3 * kBlock + 100),     false, 1, 0,     3},
    StreamCase{"TwoChannels",              {"--format", "alaw", "--channels", "2"}, EndAfter(6 * kBlock + 100),  true,  2, 0,     3},
    StreamCase{"HeaderSplitOverTwoPieces", {"--format", "alaw"},                 "mode=audio-split&ms=300",      true,  1, 3,     3},
    StreamCase{"EndsAfterTwoBlocks",       {"--format", "alaw"},                 EndAfter(2 * kBlock + 500),     true,  1, 0,     2},
    StreamCase{"EndsRightAfterTheHeader",  {"--format", "ulaw"},                 EndAfter(0),                    false, 1, 0,     0},
    StreamCase{"CutByAResetMidBlock",      {"--format", "alaw"},
               "mode=audio-reset&bytes=" + std::to_string(2 * kBlock + 1000),                                    true,  1, 0,     2}),
    [](const testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });
// clang-format on

// Over TLS the simulator's control interface is TLS too, so the stream is
// compared with the same call's stream from a plain simulator: a call's signal
// depends only on the call and the sample number.
TEST_F(CallMonitorTest, PlaysAStreamOverHttps) {
    test::TempDir dir;
    const std::string calls = dir.File("calls.txt");
    test::WriteFile(calls, "id=1\tremoteid=r1\n");
    Sim = std::make_unique<test::QuorinSim>(
        std::vector<std::string>{"--https", "--format", "ulaw", "--calls", calls});
    test::QuorinSim reference({"--format", "ulaw", "--calls", calls});
    reference.Control("/sim/fault?count=1&mode=audio-end&bytes=" + std::to_string(3 * kBlock));
    Configure(Sim->Server(), true);
    Listen("r1");
    const std::string answer = test::HttpGetRaw(
        reference.Port(), std::string("/client.php?info=RTCall&remid=r1&username=") + kUser +
                              "&password=" + kPassword);
    ASSERT_TRUE(WaitForWrites(3));
    Monitor->Stop();
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_EQ(Log()[0], "Monitor: https://" + Sim->Server() + "/client.php?info=RTCall&remid=r1");
    EXPECT_EQ(Count("Format=ulaw"), 1u);
    EXPECT_EQ(WritesBeforePlay(), 3);

    const size_t zero = answer.find('\0');
    ASSERT_NE(zero, std::string::npos);
    const std::string sent = answer.substr(zero + 1);
    ASSERT_EQ(sent.size(), 3 * kBlock);
    const auto written = Device.WrittenData();
    ASSERT_GE(written.size(), 3u);
    for (size_t b = 0; b < 3; ++b)
        EXPECT_TRUE(written[b] == Expand(std::string_view(sent).substr(b * kBlock, kBlock), false))
            << "block " << b;
}

// ---------------------------------------------------------------------------
// Answers that never play.

struct RefusedCase {
    const char* name;
    std::string fault;    // /sim/fault query, or ""
    std::string remoteid; // the call asked for
    std::string password;
    bool noServer; // nothing listens on the port
    TStatusCode status;
    std::string line; // a log line that starts so
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class CallMonitorRefused : public CallMonitorTest,
                           public testing::WithParamInterface<RefusedCase> {};

TEST_P(CallMonitorRefused, ReportsAndFinishesWithoutOpeningTheOutput) {
    const RefusedCase& c = GetParam();
    if (c.noServer) {
        Configure("127.0.0.1:" + std::to_string(test::FreePort()));
    } else {
        Sim = std::make_unique<test::QuorinSim>();
        Sim->Control("/sim/calls/add?id=1&remoteid=r1");
        if (!c.fault.empty())
            Sim->Control("/sim/fault?count=1&" + c.fault);
        Configure(Sim->Server(), false, c.password);
    }
    Listen(c.remoteid);
    ASSERT_TRUE(WaitForFinished());
    EXPECT_EQ(Statuses(), std::vector<TStatusCode>{c.status});
    EXPECT_TRUE(HasLineStartingWith(c.line)) << c.line;
    EXPECT_TRUE(Device.Ops().empty());
    EXPECT_EQ(Count("Starting play"), 0u);
    Monitor->Stop();
    Monitor.reset();
    EXPECT_EQ(Finished.load(), 1);
    for (const auto& line : Log())
        EXPECT_EQ(line.find(c.password), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, CallMonitorRefused,
    testing::Values(
        RefusedCase{"ErrorHeader", "mode=error&text=Busy", "r1", kPassword, false,
                    TStatusCode::ServerError, "Error=Busy"},
        RefusedCase{"UnknownCall", "", "nosuch", kPassword, false, TStatusCode::ServerError,
                    "Error=UnknownCall"},
        RefusedCase{"WrongPassword", "", "r1", "wrong", false, TStatusCode::ServerError,
                    "Error=NotLoggedIn"},
        // Without its zero byte the header would grow for the whole call.
        RefusedCase{"NoZeroByte", "mode=audio-nozero", "r1", kPassword, false,
                    TStatusCode::ServerError, "Monitor: stream header longer than 65536 bytes"},
        RefusedCase{"EmptyAnswer", "mode=empty", "r1", kPassword, false, TStatusCode::ServerError,
                    "Monitor: the answer ended inside its header"},
        RefusedCase{"Http401Text", "mode=http401", "r1", kPassword, false, TStatusCode::ServerError,
                    "Monitor: the answer ended inside its header"},
        // Failures before any body byte raise no document end.
        RefusedCase{"Http500", "mode=http500", "r1", kPassword, false, TStatusCode::ServerError,
                    "Monitor HTTP error: EHttpStatus"},
        RefusedCase{"NoServer", "", "r1", kPassword, true, TStatusCode::ConnectFailed,
                    "Monitor HTTP error: EHttpException"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Stop and destruction.

struct StopCase {
    const char* name;
    std::string fault;
    size_t waitForBlocks; // 0: until the simulator has the request
    bool destroy;         // destroy the monitor instead of stopping it
    bool streamRuns;      // the simulator lists a live stream until the client goes
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class CallMonitorStop : public CallMonitorTest, public testing::WithParamInterface<StopCase> {};

TEST_P(CallMonitorStop, EndsTheRequestClosesTheOutputAndFinishesOnce) {
    const StopCase& c = GetParam();
    Sim = std::make_unique<test::QuorinSim>();
    Sim->Control("/sim/calls/add?id=1&remoteid=r1");
    if (!c.fault.empty())
        Sim->Control("/sim/fault?count=1&" + c.fault);
    Configure(Sim->Server());
    Listen("r1");
    if (c.waitForBlocks > 0) {
        ASSERT_TRUE(WaitForWrites(c.waitForBlocks));
    } else {
        ASSERT_TRUE(test::PumpUntil([&] { return Sim->Requests("RTCall").size() == 1; }));
    }
    if (c.streamRuns) {
        ASSERT_NE(Sim->Control("/sim/rtcall/streams").find("r1"), std::string::npos);
    }

    if (c.destroy) {
        Monitor.reset();
    } else {
        Monitor->Stop();
        EXPECT_EQ(Finished.load(), 1);
        Monitor->Stop();
    }
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_FALSE(Device.IsOpen());
    if (c.waitForBlocks >= 3) {
        EXPECT_EQ(WritesBeforePlay(), 3);
    }
    if (c.streamRuns) {
        EXPECT_TRUE(test::PumpUntil(
            [&] { return Sim->Control("/sim/rtcall/streams").find("r1") == std::string::npos; }));
    }
    test::PumpFor(200ms);
    EXPECT_EQ(Count("Monitor HTTP Doc End"), 0u);
    Monitor.reset();
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_TRUE(Statuses().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sim, CallMonitorStop,
    testing::Values(StopCase{"StalledBeforeTheHeader", "mode=stall&seconds=30", 0, false, false},
                    StopCase{"StalledWhilePlaying",
                             "mode=audio-stall&bytes=" + std::to_string(3 * kBlock + 100), 3, false,
                             true},
                    StopCase{"DestroyedWhileBuffering", "", 1, true, true}),
    [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Headers the simulator never sends, from the scripted recorder.

struct HeaderCase {
    const char* name;
    std::string header; // before the zero byte
    bool refused;
    bool alaw;
    int channels;
    std::string line; // refused: a log line that starts so
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class CallMonitorHeaders : public CallMonitorTest,
                           public testing::WithParamInterface<HeaderCase> {};

TEST_P(CallMonitorHeaders, DecideLawChannelsOrRefusal) {
    const HeaderCase& c = GetParam();
    Feed = std::make_unique<test::FeedRecorder>();
    Configure(Feed->Server());
    Listen("r1");
    ASSERT_TRUE(Feed->WaitForRequests(1));
    const size_t chunk = kFrames * static_cast<size_t>(c.channels);
    const std::string codes = Codes(chunk + 10, 1);
    // Header, zero byte and the first audio bytes in one piece.
    Feed->Push(c.header + std::string(1, '\0') + codes);
    Feed->End();
    ASSERT_TRUE(WaitForFinished());
    if (c.refused) {
        EXPECT_EQ(Statuses(), std::vector<TStatusCode>{TStatusCode::ServerError});
        EXPECT_TRUE(HasLineStartingWith(c.line)) << c.line;
        EXPECT_TRUE(Device.Ops().empty());
        return;
    }
    EXPECT_TRUE(Statuses().empty());
    EXPECT_EQ(Device.OpenedFormat().nChannels, c.channels);
    const auto written = Device.WrittenData();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(written[0] == Expand(std::string_view(codes).substr(0, chunk), c.alaw));
}

std::string Padded(const std::string& head, size_t size) {
    const std::string key = "X-Pad: ";
    return head + key + std::string(size - head.size() - key.size(), 'p');
}

INSTANTIATE_TEST_SUITE_P(
    Feed, CallMonitorHeaders,
    testing::Values(
        HeaderCase{"FormatInCapitalsIsMuLaw", "Format: ALAW\r\nChannels: 1\r\n", false, false, 1,
                   ""},
        HeaderCase{"NoKeysIsMuLawMono", "", false, false, 1, ""},
        HeaderCase{"ChannelsNotANumberIsMono", "Format: alaw\r\nChannels: two\r\n", false, true, 1,
                   ""},
        HeaderCase{"MuLawTwoChannels", "Channels: 2\r\nFormat: ulaw\r\n", false, false, 2, ""},
        HeaderCase{"HeaderOfTheLargestSize",
                   Padded("Format: alaw\r\n", TCallMonitor::MaxHeaderSize), false, true, 1, ""},
        HeaderCase{"ErrorWithEmptyValue", "Format: alaw\r\nError: \r\n", true, false, 1, "Error="},
        HeaderCase{"ZeroChannels", "Channels: 0\r\n", true, false, 1,
                   "Monitor: unusable channel count 0"},
        HeaderCase{"NegativeChannels", "Channels: -2\r\n", true, false, 1,
                   "Monitor: unusable channel count -2"},
        HeaderCase{"TooManyChannels", "Channels: 9\r\n", true, false, 1,
                   "Monitor: unusable channel count 9"},
        HeaderCase{"HeaderTooLarge", Padded("Format: alaw\r\n", TCallMonitor::MaxHeaderSize + 1),
                   true, false, 1, "Monitor: stream header longer than"}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Block flow, from the scripted recorder.

class CallMonitorFeedTest : public CallMonitorTest {
protected:
    // Starts listening and sends the header of an A-law mono stream.
    void Begin() {
        Feed = std::make_unique<test::FeedRecorder>();
        Configure(Feed->Server());
        Listen("r1");
        ASSERT_TRUE(Feed->WaitForRequests(1));
        Feed->Push(std::string("Format: alaw\r\nChannels: 1\r\n") + '\0');
    }
    std::string Block(unsigned n) const { return Codes(kFrames, n); }
};

TEST_F(CallMonitorFeedTest, HeaderInManyPiecesIsJoined) {
    Feed = std::make_unique<test::FeedRecorder>();
    Configure(Feed->Server());
    Listen("r1");
    ASSERT_TRUE(Feed->WaitForRequests(1));
    for (const char* piece : {"Form", "at: al", "aw\r", "\nChann", "els: 1\r\n"}) {
        Feed->Push(piece);
        test::PumpFor(50ms); // separate pieces on the client's side
    }
    Feed->Push(std::string(1, '\0') + Block(0));
    Feed->End();
    ASSERT_TRUE(WaitForFinished());
    EXPECT_EQ(Count("Format=alaw"), 1u);
    const auto written = Device.WrittenData();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(written[0] == Expand(Block(0), true));
}

TEST_F(CallMonitorFeedTest, BlocksBeyondSevenQueuedAreDroppedAndTheStreamGoesOn) {
    Begin();
    std::string nine;
    for (unsigned b = 0; b < 9; ++b)
        nine += Block(b);
    Feed->Push(nine);
    ASSERT_TRUE(WaitForLine("No room in buffer for data", 2));
    EXPECT_EQ(Device.WrittenData().size(), 7u);
    EXPECT_EQ(WritesBeforePlay(), 3);
    EXPECT_EQ(Count("Starting play"), 1u);

    // Three blocks play; the next two find room again.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Device.CompleteNext());
    ASSERT_TRUE(test::PumpUntil([&] { return Device.PendingNotifications() == 0; }));
    Feed->Push(Block(9) + Block(10));
    Feed->End();
    ASSERT_TRUE(WaitForLine("Monitor HTTP Doc End"));
    const auto written = Device.WrittenData();
    ASSERT_EQ(written.size(), 9u);
    for (unsigned b = 0; b < 7; ++b)
        EXPECT_TRUE(written[b] == Expand(Block(b), true)) << "block " << b;
    EXPECT_TRUE(written[7] == Expand(Block(9), true));
    EXPECT_TRUE(written[8] == Expand(Block(10), true));
    EXPECT_EQ(Count("No room in buffer for data"), 2u);
    EXPECT_EQ(Finished.load(), 0);
    PlayOut();
    ASSERT_TRUE(WaitForFinished());
}

TEST_F(CallMonitorFeedTest, QueueRunningDryMidStreamStartsAgainAfterThreeBlocks) {
    Begin();
    Feed->Push(Block(0) + Block(1));
    ASSERT_TRUE(WaitForWrites(2));
    EXPECT_TRUE(Device.IsPaused());
    EXPECT_EQ(Restarts(), 0u);
    Feed->Push(Block(2));
    ASSERT_TRUE(WaitForLine("Starting play"));
    EXPECT_EQ(WritesBeforePlay(), 3);

    PlayOut();
    ASSERT_TRUE(WaitForLine("Monitor audio finished"));
    EXPECT_EQ(Finished.load(), 0); // the answer goes on

    Feed->Push(Block(3) + Block(4));
    ASSERT_TRUE(WaitForWrites(5));
    EXPECT_EQ(Count("Starting play"), 1u);
    Feed->Push(Block(5));
    ASSERT_TRUE(WaitForLine("Starting play", 2));
    EXPECT_EQ(Restarts(), 2u);

    Feed->End();
    ASSERT_TRUE(WaitForLine("Monitor HTTP Doc End"));
    EXPECT_EQ(Finished.load(), 0);
    PlayOut();
    ASSERT_TRUE(WaitForLine("Monitor audio finished", 2));
    ASSERT_TRUE(WaitForFinished());
}

TEST_F(CallMonitorFeedTest, OutputThatCannotOpenEndsListeningAfterItsMessages) {
    Device.Fail(TWaveOp::Open, mmsyserr::NoDriver);
    Begin();
    Feed->Push(Block(0) + Block(1) + Block(2) + Block(3));
    ASSERT_TRUE(WaitForFinished());
    test::PumpFor(200ms);
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("waveOutOpen Error -> 6\niIndex -> -1\n", 0), 0u);
    EXPECT_EQ(messages[1], "xOpen, MMSYSERR_NODRIVER");
    EXPECT_EQ(Count("Monitor: wave output not opened; listening ends"), 1u);
    EXPECT_EQ(Device.WrittenData().size(), 0u);
    EXPECT_EQ(Finished.load(), 1);
}

// A sound server that dies while a call plays: one message, listening ends
// once, and the rest of the answer is not fetched (nothing of it could be heard).
TEST_F(CallMonitorFeedTest, ASoundDeviceThatFailsWhilePlayingEndsListeningOnce) {
    Begin();
    Feed->Push(Block(0) + Block(1) + Block(2));
    ASSERT_TRUE(WaitForLine("Starting play"));
    ASSERT_TRUE(Device.CompleteNext());
    ASSERT_TRUE(Device.LoseDevice(mmsyserr::NoDriver));
    ASSERT_TRUE(WaitForFinished());

    Feed->Push(Block(3) + Block(4) + Block(5) + Block(6));
    Feed->End();
    test::PumpFor(300ms);
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Playback, MMSYSERR_NODRIVER"}));
    EXPECT_EQ(Count("Monitor: the sound output failed; listening ends"), 1u);
    EXPECT_EQ(Count("Monitor HTTP Doc End"), 0u) << "the request goes on";
    EXPECT_EQ(Device.WrittenData().size(), 3u);
    EXPECT_TRUE(Statuses().empty());
    Monitor.reset();
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_FALSE(Device.IsOpen());
}

// A message box runs other events while it is open, and one of them may stop
// listening (the window closing, a switch to another call). The output's call
// that showed the box must find its output still there when the box closes.
TEST_F(CallMonitorFeedTest, StoppedFromInsideAMessageBoxOfTheOutput) {
    Device.Fail(TWaveOp::Write, mmsyserr::NoMem);
    std::vector<std::string> shown;
    std::vector<bool> busyInside;
    const TWaveOutMessageBox previous = SetWaveOutMessageBox([&](const std::string& text) {
        shown.push_back(text);
        busyInside.push_back(Monitor->Busy());
        Monitor->Stop(); // what an event run by the box's loop does
    });
    Begin();
    Feed->Push(Block(0) + Block(1) + Block(2));
    ASSERT_TRUE(WaitForFinished());
    test::PumpFor(100ms);
    SetWaveOutMessageBox(previous);
    EXPECT_EQ(shown, (std::vector<std::string>{"Write, MMSYSERR_NOMEM"}));
    EXPECT_EQ(busyInside, (std::vector<bool>{true}));
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_FALSE(Device.IsOpen());
    EXPECT_FALSE(Monitor->Busy());
    EXPECT_EQ(Count("Starting play"), 0u);
}

// A live stream that goes silent past the inactivity limit is a failed
// live-audio request, whether or not its body had begun.
struct StallCase {
    const char* name;
    bool header;   // the header and its zero byte came first
    size_t blocks; // then this many blocks
};

void PrintTo(const StallCase& c, std::ostream* os) {
    *os << c.name;
}

class CallMonitorStall : public CallMonitorFeedTest,
                         public testing::WithParamInterface<StallCase> {};

TEST_P(CallMonitorStall, ReportsConnectFailedAndFinishesOnce) {
    const StallCase& c = GetParam();
    Feed = std::make_unique<test::FeedRecorder>();
    Configure(Feed->Server());
    TCallInfo call;
    call.id = "1";
    call.remoteid = "r1";
    Monitor = std::make_unique<TCallMonitor>(Session, call, &Device);
    Monitor->OnFinished = [this] { ++Finished; };
    Monitor->SetInactivityLimit(500ms);
    Monitor->Start();
    ASSERT_TRUE(Feed->WaitForRequests(1));
    std::string body = c.header ? std::string("Format: alaw\r\n") + '\0' : std::string();
    for (unsigned b = 0; b < c.blocks; ++b)
        body += Block(b);
    if (!body.empty())
        Feed->Push(body);

    ASSERT_TRUE(test::PumpUntil([&] { return !Statuses().empty(); }));
    EXPECT_EQ(Statuses(), std::vector<TStatusCode>{TStatusCode::ConnectFailed});
    EXPECT_TRUE(HasLineStartingWith("Monitor HTTP error: EHttpTimeout"));
    EXPECT_EQ(Device.WrittenData().size(), c.blocks);
    PlayOut(); // what was queued still plays to its end
    ASSERT_TRUE(WaitForFinished());
    test::PumpFor(100ms);
    EXPECT_EQ(Finished.load(), 1);
    EXPECT_EQ(Statuses().size(), 1u);
    EXPECT_TRUE(Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Feed, CallMonitorStall,
                         testing::Values(StallCase{"BeforeAnyByte", false, 0},
                                         StallCase{"AfterTheHeader", true, 0},
                                         StallCase{"WhilePlaying", true, 3}),
                         [](const testing::TestParamInfo<StallCase>& info) {
                             return std::string(info.param.name);
                         });

// The end of the answer (main thread) and the end of the audio (the output's
// worker) race to finish; so do Stop and the end of the audio. Either way the
// owner hears of it exactly once.
TEST_F(CallMonitorFeedTest, FinishesExactlyOnceWhenBothThreadsRace) {
    Feed = std::make_unique<test::FeedRecorder>();
    Configure(Feed->Server());
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        TTestWaveDevice device;
        std::atomic<int> finished{0};
        TCallInfo call;
        call.remoteid = "r1";
        auto monitor = std::make_unique<TCallMonitor>(Session, call, &device);
        monitor->OnFinished = [&] { ++finished; };
        monitor->Start();
        ASSERT_TRUE(Feed->WaitForRequests(static_cast<size_t>(round + 1)));
        Feed->Push(std::string("Format: ulaw\r\n") + '\0' + Codes(3 * kFrames, 7));
        ASSERT_TRUE(test::PumpUntil([&] { return !device.IsPaused() && device.Queued() == 3; }));

        // The worker retires one block per 50 ms, so the audio ends some 100 ms
        // after the blocks are done; the other side comes 80 to 170 ms in.
        std::thread player([&] {
            while (device.CompleteNext()) {
            }
        });
        test::PumpFor(std::chrono::milliseconds(80 + 6 * round));
        if (round % 2 == 0)
            Feed->End();
        else
            monitor->Stop();
        player.join();
        ASSERT_TRUE(test::PumpUntil([&] { return finished.load() > 0; }));
        test::PumpFor(100ms);
        EXPECT_EQ(finished.load(), 1);
        monitor.reset();
        EXPECT_EQ(finished.load(), 1);
    }
}

} // namespace
