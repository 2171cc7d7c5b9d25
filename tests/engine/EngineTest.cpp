// The polling engine against the recorder simulator, over real sockets. The
// engine runs on the probe's fast clock and the simulator holds polls for
// times shortened alike; one test at the end runs on the real clock.

#include "HttpCli.h"
#include "SessionProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

using EngineProbe = test::SessionProbe;

std::vector<test::QuorinSim::Request> WaitForPolls(const test::QuorinSim& sim, size_t n,
                                                   std::chrono::milliseconds timeout) {
    std::vector<test::QuorinSim::Request> r;
    test::PumpUntil(
        [&] {
            r = sim.Requests("AllActiveCalls");
            return r.size() >= n;
        },
        timeout);
    return r;
}

TEST(Engine, PollsWithKnowTokensAndTheTwoSecondFloor) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    sim.Control("/sim/calls/add?id=1&remoteid=r1&age=30&lname=J%C3%BCrgen&direction=1");
    EngineProbe p(EngineProbe::Config(sim.Server()));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    EXPECT_TRUE(p.session.IsRunning());
    const auto polls = WaitForPolls(sim, 3, 15s);
    ASSERT_GE(polls.size(), 3u);
    p.StopAndWait();
    EXPECT_FALSE(p.session.IsRunning());

    EXPECT_EQ(polls[0].Param("know"), "xxx");
    EXPECT_EQ(polls[0].Param("wait"), "10");
    EXPECT_EQ(polls[0].version, "HTTP/1.0");
    // The next poll names the token that came with the previous answer.
    std::vector<std::string> tokens;
    for (const auto& l : p.Log())
        if (l.rfind("Know=", 0) == 0)
            tokens.push_back(l.substr(5));
    ASSERT_GE(tokens.size(), 2u);
    EXPECT_EQ(polls[1].Param("know"), tokens[0]);
    EXPECT_EQ(polls[2].Param("know"), tokens[1]);
    // A recorder that answers at once is polled every 2 s, less at most one
    // 200 ms wait step. The simulator's stamps are real milliseconds, which
    // this clock magnifies, so the bound leaves room for transport jitter.
    for (size_t i = 1; i < polls.size(); ++i)
        EXPECT_GE(p.EngineTime(polls[i].ms - polls[i - 1].ms), 1500ms) << "poll " << i;
    EXPECT_TRUE(p.LogHas("GET info=AllActiveCalls&wait=10&know=xxx"));
    EXPECT_TRUE(p.LogHas("Engine started"));
    // The answers to the first two polls were handled before the third went
    // out; the third may be aborted by the stop.
    EXPECT_GE(p.CallsChanged(), 2);
    TCallList calls;
    p.session.GetCalls(calls);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]->lname, u"J\u00FCrgen");
    EXPECT_EQ(calls[0]->direction, 1);
    EXPECT_GE(calls[0]->length, 29);
    EXPECT_EQ(p.StatusCount(TStatusCode::ConnectFailed), 0u);
}

TEST(Engine, PollsBackToBackWhenTheRecorderHoldsEachRequest) {
    test::QuorinSim sim(test::FastSimArgs());
    EngineProbe p(EngineProbe::Config(sim.Server()));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    auto polls = WaitForPolls(sim, 2, 10s);
    ASSERT_EQ(polls.size(), 2u);
    p.PumpFor(3s); // the second poll is held by the recorder meanwhile
    sim.Control("/sim/calls/add?id=5&remoteid=r5");
    polls = WaitForPolls(sim, 3, 5s);
    ASSERT_GE(polls.size(), 3u);
    p.StopAndWait();
    // The held poll lasted more than 2 s, so the next one needed no wait.
    EXPECT_GE(p.EngineTime(polls[2].ms - polls[1].ms), 2800ms);
}

TEST(Engine, RefusedLogOnIsReportedEveryTwelveSecondsAndStopEndsTheWait) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    EngineProbe p(EngineProbe::Config(sim.Server(), "supervisor", "wrong"));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(
        test::PumpUntil([&] { return p.StatusCount(TStatusCode::LogOnRefused) >= 2; }, 20s));
    p.PumpFor(1s);
    p.StopAndWait();
    const auto s = p.StatusTimes();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_GE(s[1].second - s[0].second, 11800ms);
    EXPECT_TRUE(p.LogHas("Error=NotLoggedIn"));
    // Stop during the 12 s wait ends the run without a further poll.
    EXPECT_EQ(sim.Requests("AllActiveCalls").size(), 2u);
    EXPECT_EQ(p.stopped, 1);
}

// On a clock a thousand times slower than real time the 12 s wait after a
// refusal would last hours: the run ends only because Stop ends the wait.
TEST(Engine, StopEndsTheWaitAfterARefusal) {
    test::QuorinSim sim({"--no-hold"});
    EngineProbe p(EngineProbe::Config(sim.Server(), "supervisor", "wrong"), TClock(0.001));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::LogOnRefused, 1, 10s));
    p.StopAndWait();
    EXPECT_EQ(p.stopped, 1);
    EXPECT_FALSE(p.session.IsRunning());
    EXPECT_EQ(sim.Requests("AllActiveCalls").size(), 1u);
}

TEST(Engine, AnyOtherErrorIsAServerError) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    sim.Control("/sim/fault?mode=error&text=DatabaseDown");
    EngineProbe p(EngineProbe::Config(sim.Server()));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ServerError, 1, 10s));
    p.StopAndWait();
    EXPECT_TRUE(p.LogHas("Error=DatabaseDown"));
    EXPECT_EQ(p.StatusCount(TStatusCode::LogOnRefused), 0u);
    EXPECT_EQ(p.CallsChanged(), 0);
}

TEST(Engine, UnreachableRecorderIsReportedEveryTenSeconds) {
    TQuorinConfig c;
    c.Server = "127.0.0.1:" + std::to_string(test::FreePort());
    c.UserName = "u";
    c.Password = "p";
    EngineProbe p(c);
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ConnectFailed, 2, 15s));
    p.StopAndWait();
    const auto s = p.StatusTimes();
    ASSERT_GE(s.size(), 2u);
    for (size_t i = 1; i < s.size(); ++i) {
        EXPECT_EQ(s[i].first, TStatusCode::ConnectFailed);
        EXPECT_GE(s[i].second - s[i - 1].second, 9500ms) << "status " << i;
    }
    EXPECT_TRUE(p.LogHas("st/st exception (inner):"));
}

TEST(Engine, StopDuringAHeldRequestEndsTheRunWithoutAStatus) {
    test::QuorinSim sim(test::FastSimArgs());
    EngineProbe p(EngineProbe::Config(sim.Server()));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_EQ(WaitForPolls(sim, 2, 10s).size(), 2u);
    p.PumpFor(500ms); // the second poll is now held
    p.StopAndWait();
    EXPECT_EQ(p.Statuses().size(), 0u);
    EXPECT_TRUE(p.LogHas("st/st exception (inner):"));
    EXPECT_EQ(p.stopped, 1);
}

TEST(Engine, CookieComesBackUntilTheRunEnds) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    EngineProbe p(EngineProbe::Config(sim.Server()));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_GE(WaitForPolls(sim, 2, 10s).size(), 2u);
    p.StopAndWait();
    EXPECT_TRUE(p.LogHas("Received cookie"));
    const size_t firstRun = sim.Requests("AllActiveCalls").size();
    p.stopped = 0;
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    const auto polls = WaitForPolls(sim, firstRun + 1, 10s);
    p.StopAndWait();
    ASSERT_GE(polls.size(), firstRun + 1);
    EXPECT_EQ(polls[0].cookie, "");
    for (size_t i = 1; i < firstRun; ++i)
        EXPECT_NE(polls[i].cookie.find("QSESSID="), std::string::npos) << "poll " << i;
    // A new run has new clients, and so no cookie on its first request.
    EXPECT_EQ(polls[firstRun].cookie, "");
    // The first request of every run names "xxx".
    EXPECT_EQ(polls[firstRun].Param("know"), "xxx");
}

TEST(Engine, CredentialsArriveIntactAndNeverReachTheLog) {
    const std::string user = "jo smith&co%+~\xC3\xA4";
    const std::string password = "p a&s%s+w~o\xE2\x82\xAC\xFF";
    test::QuorinSim sim(test::FastSimArgs({"--no-hold", "--user", user, "--password", password}));
    EngineProbe p(EngineProbe::Config(sim.Server(), user, password));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(test::PumpUntil([&] { return p.CallsChanged() >= 1; }, 10s));
    p.StopAndWait();
    const auto polls = sim.Requests("AllActiveCalls");
    ASSERT_GE(polls.size(), 1u);
    EXPECT_EQ(polls[0].Param("username"), user);
    EXPECT_EQ(polls[0].Param("password"), password);
    EXPECT_EQ(p.StatusCount(TStatusCode::LogOnRefused), 0u);
    const std::string encoded = TCorvane::UrlEncode(password);
    for (const auto& line : p.Log()) {
        EXPECT_EQ(line.find(password), std::string::npos) << line;
        EXPECT_EQ(line.find(encoded), std::string::npos) << line;
        EXPECT_EQ(line.find("password"), std::string::npos) << line;
    }
}

TEST(Engine, AfterAFailedFirstRequestTheStoredTokenIsSent) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    sim.Control("/sim/fault?mode=http500&count=1");
    EngineProbe p(EngineProbe::Config(sim.Server()));
    p.session.Know = "stored-token";
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    const auto polls = WaitForPolls(sim, 2, 15s);
    p.StopAndWait();
    ASSERT_GE(polls.size(), 2u);
    EXPECT_EQ(polls[0].Param("know"), "xxx");
    EXPECT_EQ(polls[1].Param("know"), "stored-token");
    EXPECT_EQ(p.StatusCount(TStatusCode::ConnectFailed), 1u);
    // A failure waits out 10 s from the start of the failed cycle.
    EXPECT_GE(p.EngineTime(polls[1].ms - polls[0].ms), 9500ms);
}

TEST(Engine, AnOversizedAnswerIsARequestFailure) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    sim.Control("/sim/fault?mode=oversize&bytes=20000000");
    EngineProbe p(EngineProbe::Config(sim.Server()));
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ConnectFailed, 1, 20s));
    p.StopAndWait();
    EXPECT_TRUE(p.LogHas("st/st exception (inner):"));
    EXPECT_EQ(p.CallsChanged(), 0);
}

TEST(Engine, AnErrorInTheCallsChangedReceiverEndsTheRun) {
    test::QuorinSim sim(test::FastSimArgs({"--no-hold"}));
    EngineProbe p(EngineProbe::Config(sim.Server()));
    p.session.OnCallsChanged = [](TCorvane&) { throw std::logic_error("receiver failed"); };
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(test::PumpUntil([&] { return p.stopped == 1; }, 10s));
    EXPECT_FALSE(p.session.IsRunning());
    EXPECT_TRUE(p.LogHas("st/st exception (loop): std::logic_error receiver failed"));
}

TEST(Engine, PollsOverTls) {
    // The control interface speaks TLS too here, so the call comes from a file.
    test::TempDir tmp;
    test::WriteFile(tmp.File("calls.txt"), "id=9\tremoteid=r9\trname=\xCE\xA9mega Ltd\n");
    test::QuorinSim sim(
        test::FastSimArgs({"--no-hold", "--https", "--calls", tmp.File("calls.txt")}));
    TQuorinConfig c = EngineProbe::Config(sim.Server());
    c.Secure = true;
    EngineProbe p(c);
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    ASSERT_TRUE(test::PumpUntil([&] { return p.CallsChanged() >= 1; }, 10s));
    p.StopAndWait();
    TCallList calls;
    p.session.GetCalls(calls);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]->rname, u"\u03A9mega Ltd");
    EXPECT_EQ(p.StatusCount(TStatusCode::ConnectFailed), 0u);
}

struct PinCase {
    const char* Name;
    int Pin; // 0: none, 1: the recorder's own, 2: another key's
};

class EnginePinTest : public ::testing::TestWithParam<PinCase> {};

// A pinned recorder key: the recorder that holds it is polled as ever; one
// with another key gets no answer taken, status 2 and the log line with both
// pins (that no request reaches it is shown in the net tests). No pin takes
// any certificate, as before.
TEST_P(EnginePinTest, OnlyThePinnedRecorderIsPolled) {
    test::TempDir tmp;
    test::QuorinSim sim(
        test::FastSimArgs({"--no-hold", "--https", "--cert-out", tmp.File("cert.pem")}));
    const std::string pin = CertificatePin(test::ReadFile(tmp.File("cert.pem")));
    ASSERT_FALSE(pin.empty());
    const std::string other = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    TQuorinConfig c = EngineProbe::Config(sim.Server());
    c.Secure = true;
    c.ServerPin = GetParam().Pin == 0 ? "" : GetParam().Pin == 1 ? pin : other;
    EngineProbe p(c);
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    if (GetParam().Pin != 2) {
        ASSERT_TRUE(test::PumpUntil([&] { return p.CallsChanged() >= 1; }, 10s));
        p.StopAndWait();
        EXPECT_EQ(p.StatusCount(TStatusCode::ConnectFailed), 0u);
        return;
    }
    ASSERT_TRUE(p.WaitForStatus(TStatusCode::ConnectFailed, 1, 10s));
    p.StopAndWait();
    EXPECT_TRUE(p.LogHas("certificate pin mismatch: the server's key is " + pin +
                         ", the pin set is " + other));
    EXPECT_EQ(p.CallsChanged(), 0);
}

INSTANTIATE_TEST_SUITE_P(Pins, EnginePinTest,
                         ::testing::Values(PinCase{"None", 0}, PinCase{"Right", 1},
                                           PinCase{"Wrong", 2}),
                         [](const auto& info) { return std::string(info.param.Name); });

// The one test on the real clock: the fast clock divides every duration alike,
// so this shows that the durations the engine asks for are the real ones.
TEST(EngineRealTime, TwelveSecondsAfterARefusalThenTwoSecondsBetweenAnswers) {
    test::QuorinSim sim({"--no-hold"});
    sim.Control("/sim/fault?mode=notloggedin&count=1");
    EngineProbe p(EngineProbe::Config(sim.Server()), TClock::Real());
    ASSERT_EQ(p.session.Start(), TStartResult::Ok);
    const auto polls = WaitForPolls(sim, 3, 30s);
    p.StopAndWait();
    ASSERT_GE(polls.size(), 3u);
    EXPECT_EQ(p.Statuses(), std::vector<TStatusCode>{TStatusCode::LogOnRefused});
    // The refusal waits 12 s (60 steps of 200 ms) inside its cycle; the cycle
    // then lasted more than 2 s, so the next poll follows at once.
    EXPECT_GE(polls[1].ms - polls[0].ms, 11800);
    // Answered at once, the next cycle waits out the 2 s floor, cut to whole
    // 200 ms steps.
    EXPECT_GE(polls[2].ms - polls[1].ms, 1790);
    EXPECT_GE(p.CallsChanged(), 1);
}

} // namespace
