// The polling engine against a recorder that misbehaves: broken connections,
// error statuses, a stall, a redirect loop, an oversized answer, a failed TLS
// handshake, a restart, a live audio stream cut short, and answers that carry
// far too many records or values meant to flood or forge the log. In every case the session keeps
// running, reports the status the failure calls for, logs what happened, keeps the calls it knew,
// and finds its way back once the recorder answers properly again. The engine runs on the probe's
// fast clock, the simulator with its holds and stalls shortened alike.

#include "CallMonitor.h"
#include "LogFile.h"
#include "SessionProbe.h"
#include "TestWaveDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

using FaultProbe = test::SessionProbe;

// A running session that has the simulator's one call in its list.
void StartWithOneCall(test::QuorinSim& sim, FaultProbe& p) {
    sim.Control("/sim/calls/add?id=1&remoteid=r1&age=20");
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(p.WaitForCallsChangedAfter(0, 10s));
    ASSERT_EQ(p.CallIds(), std::vector<std::string>{"1"});
}

// Faults that make the request fail in the HTTP layer: one failed poll.
struct RequestFault {
    const char* name;
    const char* fault;     // query of /sim/fault
    const char* className; // EHttpException::ClassName() the log names
    const char* message;   // part of the error message in the log
};

class RequestFaults : public ::testing::TestWithParam<RequestFault> {};

TEST_P(RequestFaults, AreReportedAsConnectFailedAndTheEngineRecovers) {
    const RequestFault& f = GetParam();
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    FaultProbe p(FaultProbe::Config(sim.Server()));
    ASSERT_NO_FATAL_FAILURE(StartWithOneCall(sim, p));

    sim.Control(std::string("/sim/fault?") + f.fault);
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ConnectFailed, 1, 20s));
    EXPECT_TRUE(p.session.IsRunning());
    // The failed poll changed nothing the user sees.
    EXPECT_EQ(p.CallIds(), std::vector<std::string>{"1"});
    const std::string logged = std::string("st/st exception (inner): ") + f.className + " ";
    EXPECT_EQ(p.LogCount(logged), 1u);
    EXPECT_EQ(p.LogCount(f.message), 1u) << "expected the log to name: " << f.message;

    // The fault has passed: the polls succeed by themselves. (A failure that
    // took 2 s of the engine's time is followed by a poll at once, which may
    // already be under way, so wait for the list rather than for one answer.)
    sim.Control("/sim/calls/add?id=2&remoteid=r2");
    EXPECT_TRUE(p.WaitForCallIds({"1", "2"}, 20s));
    p.StopAndWait();
    EXPECT_EQ(p.Statuses(), std::vector<TStatusCode>{TStatusCode::ConnectFailed});
    EXPECT_EQ(p.stopped, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Recorder, RequestFaults,
    ::testing::Values(RequestFault{"ResetBeforeAnswering", "mode=reset&count=1",
                                   EHttpException::ClassTransport, "http://127.0.0.1:"},
                      RequestFault{"ClosedMidAnswer", "mode=drop&count=1",
                                   EHttpException::ClassTransport, "http://127.0.0.1:"},
                      RequestFault{"Http500WithBody", "mode=http500&count=1",
                                   EHttpException::ClassStatus, "HTTP status 500"},
                      // Eleven requests: the poll and the ten redirections the client follows.
                      RequestFault{"RedirectLoop", "mode=redirect-loop&count=11",
                                   EHttpException::ClassTransport, "redirect"},
                      RequestFault{"OversizedAnswer", "mode=oversize&bytes=17000000&count=1",
                                   EHttpException::ClassTooLarge, "larger than the limit"}),
    [](const ::testing::TestParamInfo<RequestFault>& info) { return info.param.name; });

// Answers that are well-formed but hostile: more records than any recorder
// has calls, a value of many megabytes, line breaks and terminal escapes in a
// value. The session takes a bounded list, logs a bounded and escaped line,
// and goes on polling while the recorder keeps sending them.
struct HostileAnswer {
    const char* name;
    const char* fault;  // query of /sim/fault, in force until lifted
    std::string logged; // one whole log line the answer must give
    size_t calls;       // the session's list meanwhile
};

class HostileAnswers : public ::testing::TestWithParam<HostileAnswer> {};

TEST_P(HostileAnswers, AreTakenBoundedAndEscapedWhilePollingGoesOn) {
    const HostileAnswer& h = GetParam();
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    FaultProbe p(FaultProbe::Config(sim.Server()));
    ASSERT_NO_FATAL_FAILURE(StartWithOneCall(sim, p));
    const auto logLines = [&] {
        const auto log = p.Log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), h.logged));
    };

    sim.Control(std::string("/sim/fault?") + h.fault);
    ASSERT_TRUE(test::PumpUntil([&] { return logLines() > 0; }, 20s))
        << "no log line: " << h.logged.substr(0, 200);
    // Every log line is one line, bounded whatever the answer held.
    for (const std::string& line : p.Log()) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line.substr(0, 200);
        EXPECT_LE(line.size(), 2 * MaxLoggedValue) << line.substr(0, 200);
    }
    EXPECT_EQ(p.CallIds().size(), h.calls);

    // Polling goes on under these answers, each one handled alike.
    const size_t polls = sim.Requests("AllActiveCalls").size();
    const size_t lines = logLines();
    ASSERT_TRUE(test::PumpUntil(
        [&] { return sim.Requests("AllActiveCalls").size() >= polls + 2 && logLines() > lines; },
        20s));
    EXPECT_EQ(p.CallIds().size(), h.calls);

    sim.Control("/sim/fault?mode=none");
    EXPECT_TRUE(p.WaitForCallIds({"1"}, 20s));
    p.StopAndWait();
    EXPECT_TRUE(p.Statuses().empty());
}

const std::string kCutLine = "Call list cut: the answer lists more than 20000 calls; the first "
                             "20000 are taken, the rest left out";

INSTANTIATE_TEST_SUITE_P(
    Recorder, HostileAnswers,
    ::testing::Values(
        HostileAnswer{"OneRecordOverTheCap", "mode=records&records=20001", kCutLine, 20000},
        HostileAnswer{"ManyTimesTheCap", "mode=records&records=400000&id=1", kCutLine, 20000},
        HostileAnswer{"HugeValue", "mode=field&value=v&bytes=300000",
                      "Note=v" + std::string(4095, 'x') + " ... (300000 bytes)", 1},
        HostileAnswer{"ForgedLogLine",
                      "mode=field&value=x%0A10+Dec+2026+10%3A00%3A00+Message+code+1%1B%5B2J%5C",
                      "Note=x\\n10 Dec 2026 10:00:00 Message code 1\\x1B[2J\\\\", 1}),
    [](const ::testing::TestParamInfo<HostileAnswer>& info) { return info.param.name; });

// A web server in front of the recorder refuses with 401 and a page of its
// own: that is a refused log-on, not an answer without calls.
TEST(RecorderFault, Http401WithABodyIsARefusedLogOnThatKeepsTheCalls) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    FaultProbe p(FaultProbe::Config(sim.Server()));
    ASSERT_NO_FATAL_FAILURE(StartWithOneCall(sim, p));

    sim.Control("/sim/fault?mode=http401&count=1");
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::LogOnRefused, 1, 10s));
    // The engine now waits 12 s after the refused poll, its latest; each poll
    // before it was answered and replaced the list once, the refused one not.
    const size_t refused = sim.Requests("AllActiveCalls").size() - 1;
    const int changedAtRefusal = p.CallsChanged();
    EXPECT_EQ(changedAtRefusal, static_cast<int>(refused));
    EXPECT_EQ(p.CallIds(), std::vector<std::string>{"1"});
    EXPECT_EQ(p.LogCount("HTTP 401 answer without an Error field"), 1u);

    // Refusals are retried after the usual 12 s wait, with the token of the
    // last good answer.
    ASSERT_TRUE(p.WaitForCallsChangedAfter(changedAtRefusal, 20s));
    p.StopAndWait();
    const auto polls = sim.Requests("AllActiveCalls");
    ASSERT_GE(polls.size(), refused + 2);
    EXPECT_EQ(polls[refused + 1].Param("know"), polls[refused].Param("know"));
    EXPECT_EQ(p.Statuses(), std::vector<TStatusCode>{TStatusCode::LogOnRefused});
}

// A recorder that accepts a poll and then says nothing.
TEST(RecorderFault, AStallPastTheInactivityLimitIsAConnectFailureFollowedByAPollAtOnce) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    FaultProbe p(FaultProbe::Config(sim.Server()));
    ASSERT_NO_FATAL_FAILURE(StartWithOneCall(sim, p));

    const size_t pollsBefore = sim.Requests("AllActiveCalls").size();
    sim.Control("/sim/fault?mode=stall&seconds=45&count=1");
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ConnectFailed, 1, 40s));
    const int changedAtFailure = p.CallsChanged();
    EXPECT_EQ(p.LogCount(std::string("st/st exception (inner): ") + EHttpException::ClassTimeout),
              1u);
    EXPECT_EQ(p.CallIds(), std::vector<std::string>{"1"});
    // The failed cycle lasted 30 s, so the client does not wait the 10 s of a
    // quick failure: the next poll follows at once and succeeds.
    ASSERT_TRUE(p.WaitForCallsChangedAfter(changedAtFailure, 5s));
    p.StopAndWait();
    EXPECT_EQ(p.Statuses(), std::vector<TStatusCode>{TStatusCode::ConnectFailed});
    // The stalled poll lasted the 30 s limit before the next one went out (the
    // slack covers real milliseconds of transport, which this clock magnifies).
    const auto polls = sim.Requests("AllActiveCalls");
    long longest = 0;
    for (size_t i = pollsBefore; i < polls.size(); ++i)
        longest = std::max(longest, polls[i].ms - polls[i - 1].ms);
    EXPECT_GE(p.EngineTime(longest), 29s);
}

// The recorder process goes away and comes back on the same port with a new
// state: new know tokens, a new session cookie and other calls.
TEST(RecorderFault, ARestartedRecorderIsFoundAgainWithItsNewTokens) {
    auto sim = std::make_unique<test::QuorinSim>(test::FastSimArgs());
    const int port = sim->Port();
    FaultProbe p(FaultProbe::Config(sim->Server()));
    ASSERT_NO_FATAL_FAILURE(StartWithOneCall(*sim, p));
    ASSERT_TRUE(test::PumpUntil([&] { return sim->Requests("AllActiveCalls").size() >= 2; }));
    p.PumpFor(300ms); // the second poll is held now

    sim.reset(); // ends the held poll by closing its connection
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ConnectFailed, 1, 10s));
    const int changedAtFailure = p.CallsChanged();
    EXPECT_TRUE(p.session.IsRunning());
    EXPECT_EQ(p.CallIds(), std::vector<std::string>{"1"});

    // The new state comes from a file, so that no poll can see the new
    // recorder before it has its call.
    test::TempDir tmp;
    test::WriteFile(tmp.File("calls.txt"), "id=7\tremoteid=r7\n");
    sim = std::make_unique<test::QuorinSim>(
        test::FastSimArgs({"--port", std::to_string(port), "--calls", tmp.File("calls.txt")}));
    ASSERT_TRUE(p.WaitForCallsChangedAfter(changedAtFailure, 15s));
    EXPECT_EQ(p.CallIds(), std::vector<std::string>{"7"});
    // The first poll named the old recorder's token, which the new one does
    // not know; the answer brought a token of its own, which the next poll names.
    ASSERT_TRUE(test::PumpUntil([&] { return sim->Requests("AllActiveCalls").size() >= 2; }));
    const auto polls = sim->Requests("AllActiveCalls");
    std::string newToken;
    for (const auto& line : p.Log())
        if (line.rfind("Know=", 0) == 0)
            newToken = line.substr(5);
    EXPECT_NE(polls[0].Param("know"), polls[1].Param("know"));
    EXPECT_EQ(polls[1].Param("know"), newToken);
    // A cookie of the old recorder is sent once, then the new one's.
    EXPECT_NE(polls[1].cookie, polls[0].cookie);
    EXPECT_NE(polls[1].cookie.find("QSESSID="), std::string::npos);
    p.StopAndWait();
    // While it was away, each poll failed as a connection failure, and nothing else.
    EXPECT_EQ(p.StatusCount(TStatusCode::ConnectFailed), p.Statuses().size());
}

// A recorder that answers plain HTTP where the client expects TLS: every
// handshake fails and is reported, until the recorder speaks TLS again.
TEST(RecorderFault, AFailedTlsHandshakeIsAConnectFailureUntilTheRecorderSpeaksTls) {
    auto sim = std::make_unique<test::QuorinSim>(test::FastSimArgs({"--no-hold"}));
    const int port = sim->Port();
    FaultProbe p(FaultProbe::Config(sim->Server(), "supervisor", "secret", true));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ConnectFailed, 1, 10s));
    EXPECT_EQ(p.CallsChanged(), 0);
    // On the fast clock the next attempt may already have failed too; each
    // attempt logs the transport failure with the URL.
    EXPECT_GE(
        p.LogCount(std::string("st/st exception (inner): ") + EHttpException::ClassTransport + " "),
        1u);
    EXPECT_GE(p.LogCount("https://127.0.0.1:"), 1u);

    sim.reset();
    test::TempDir tmp;
    test::WriteFile(tmp.File("calls.txt"), "id=3\tremoteid=r3\n");
    sim = std::make_unique<test::QuorinSim>(
        test::FastSimArgs({"--no-hold", "--https", "--calls", tmp.File("calls.txt"), "--port",
                           std::to_string(port)}));
    ASSERT_TRUE(p.WaitForCallsChangedAfter(0, 15s));
    EXPECT_EQ(p.CallIds(), std::vector<std::string>{"3"});
    p.StopAndWait();
    EXPECT_EQ(p.StatusCount(TStatusCode::LogOnRefused) + p.StatusCount(TStatusCode::ServerError),
              0u);
    EXPECT_GE(p.StatusCount(TStatusCode::ConnectFailed), 1u);
}

} // namespace

// The live audio of a call is cut in the middle of a block while the engine
// polls: listening ends by itself after the complete blocks have played, the
// polling goes on untouched, and the next attempt to listen plays again.
TEST(RecorderFault, AnAudioStreamCutMidBlockEndsListeningButNotPolling) {
    constexpr size_t kBlock = 4096; // sample frames of one block, one channel
    test::QuorinSim sim(test::FastSimArgs());
    FaultProbe p(FaultProbe::Config(sim.Server()));
    ASSERT_NO_FATAL_FAILURE(StartWithOneCall(sim, p));
    sim.Control("/sim/fault?mode=audio-cut&count=1&bytes=" + std::to_string(2 * kBlock + 1000));

    TTestWaveDevice device;
    TCallInfo call;
    call.id = "1";
    call.remoteid = "r1";
    int finished = 0;
    auto monitor = std::make_unique<TCallMonitor>(p.session, call, &device);
    monitor->OnFinished = [&] { ++finished; };
    monitor->Start();
    // The test device plays a block whenever it is told to.
    ASSERT_TRUE(test::PumpUntil(
        [&] {
            device.CompleteNext();
            return finished > 0;
        },
        20s));
    EXPECT_EQ(device.WrittenData().size(), 2u); // the cut third block is not played
    monitor.reset();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(p.LogCount("Monitor HTTP Doc End"), 1u);

    // The engine went on polling meanwhile and still does.
    EXPECT_TRUE(p.session.IsRunning());
    sim.Control("/sim/calls/add?id=2&remoteid=r2");
    EXPECT_TRUE(p.WaitForCallIds({"1", "2"}, 15s));

    // Listening again gets the whole stream: three blocks start playback.
    TTestWaveDevice device2;
    int finished2 = 0;
    monitor = std::make_unique<TCallMonitor>(p.session, call, &device2);
    monitor->OnFinished = [&] { ++finished2; };
    monitor->Start();
    ASSERT_TRUE(test::PumpUntil([&] { return device2.WrittenData().size() >= 3; }, 15s));
    monitor->Stop();
    monitor.reset();
    EXPECT_EQ(finished2, 1);
    p.StopAndWait();
    EXPECT_TRUE(p.Statuses().empty());
}
