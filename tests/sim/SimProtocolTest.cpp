// The simulator as the client sees it over the wire: credentials, the poll
// answer and its holding, cookies, HTTP/1.0 framing, faults, HTTPS, shutdown.

#include "SimClient.h"
#include "TestSupport.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>

using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

const std::string kCreds = "&username=supervisor&password=secret";

std::string PollTarget(const std::string& know, int wait = 10) {
    return "/client.php?info=AllActiveCalls&wait=" + std::to_string(wait) +
           "&know=" + EncodeCredential(know) + kCreds;
}

std::map<std::string, std::string> Poll(const QuorinSim& sim, const std::string& know,
                                        int wait = 10, std::chrono::milliseconds timeout = 10s) {
    const TRawAnswer a = RawGet(sim.Port(), PollTarget(know, wait), "1.0", "", timeout);
    EXPECT_EQ(a.status, 200);
    EXPECT_FALSE(a.timedOut) << "the poll was not answered in time";
    return ParseAnswerText(a.body);
}

// --- credentials ------------------------------------------------------------

struct TCredCase {
    const char* name;
    std::string user;     // as sent, already encoded
    std::string password; // as sent, already encoded
    bool accepted;
};

class SimCredentials : public ::testing::TestWithParam<TCredCase> {};

// The account has blanks, "&", "%", "+", "~" and UTF-8 bytes in both parts.
const std::string kUser = "Jörg M&ller";
const std::string kPassword = "p a%s+s~w€rd";

TEST_P(SimCredentials, ExactDecodedBytesAreCompared) {
    QuorinSim sim({"--user", kUser, "--password", kPassword});
    const auto& c = GetParam();
    std::string target = "/client.php?info=AllActiveCalls&wait=0&know=xxx";
    if (!c.user.empty())
        target += "&username=" + c.user;
    if (!c.password.empty())
        target += "&password=" + c.password;
    const auto fields = ParseAnswerText(RawGet(sim.Port(), target).body);
    if (c.accepted) {
        EXPECT_EQ(fields.count("Error"), 0u);
        EXPECT_EQ(fields.count("Know"), 1u);
    } else {
        EXPECT_EQ(fields.at("Error"), "NotLoggedIn");
        EXPECT_EQ(fields.count("List"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimCredentials,
    ::testing::Values(
        TCredCase{"ClientEncoding", EncodeCredential(kUser), EncodeCredential(kPassword), true},
        TCredCase{"PercentBlanksAndLowerHex", "J%c3%b6rg%20M%26ller",
                  "p%20a%25s%2Bs%7Ew%E2%82%ACrd", true},
        TCredCase{"PlusLeftRawIsABlank", EncodeCredential(kUser), "p+a%25s+s~w%E2%82%ACrd", false},
        TCredCase{"WrongPassword", EncodeCredential(kUser), "secret", false},
        TCredCase{"TrailingBlank", EncodeCredential(kUser), EncodeCredential(kPassword) + "+",
                  false},
        TCredCase{"MissingPassword", EncodeCredential(kUser), "", false},
        TCredCase{"MissingUser", "", EncodeCredential(kPassword), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimCredentialsConfig, ChangesAtRunTimeAndLogMasksThePassword) {
    QuorinSim sim;
    sim.Control("/sim/config?user=ops&password=n%C3%A9w+pw");
    EXPECT_EQ(Poll(sim, "xxx", 0).at("Error"), "NotLoggedIn");
    const auto ok = ParseAnswerText(
        RawGet(sim.Port(), "/client.php?info=AllActiveCalls&wait=0&know=xxx&username=ops&password="
                           "n%C3%A9w+pw")
            .body);
    EXPECT_EQ(ok.count("Error"), 0u);
    EXPECT_FALSE(sim.Process().WaitForLine("password=***", 5s).empty());
    for (const auto& line : sim.Process().Lines()) {
        EXPECT_EQ(line.find("secret"), std::string::npos) << line;
        EXPECT_EQ(line.find("n%C3%A9w"), std::string::npos) << line;
    }
}

// --- the poll answer ----------------------------------------------------------

TEST(SimPoll, AnswerParsesWithEveryField) {
    QuorinSim sim;
    const long addedAt = static_cast<long>(std::time(nullptr));
    sim.Control("/sim/calls/add?id=101&remoteid=r101&age=75&local=201&lname=J%C3%BCrgen+Gro%C3%9F"
                "&remote=%2B4930123456&rname=Kim+%22Ace%22+%5C+Lee&connected=305"
                "&cname=%D0%98%D0%B2%D0%B0%D0%BD&direction=0");
    sim.Control("/sim/calls/add?id=102&direction=1");
    sim.Control("/sim/calls/add?id=103&direction=2&lname=a%0D%0Ab");
    const TRawAnswer raw = RawGet(sim.Port(), PollTarget("xxx"));
    // CR LF line ends, nothing else.
    EXPECT_EQ(raw.body.find('\n', 0) - 1, raw.body.find('\r'));
    const auto fields = ParseAnswerText(raw.body);
    ASSERT_EQ(fields.count("ServerTime"), 1u);
    ASSERT_EQ(fields.count("Know"), 1u);
    EXPECT_FALSE(fields.at("Know").empty());
    const long serverTime = std::atol(fields.at("ServerTime").c_str());
    EXPECT_GT(serverTime, 1600000000L);

    const auto records = ParseRecordList(fields.at("List"));
    ASSERT_EQ(records.size(), 3u);
    const TRecord& r = records[0];
    EXPECT_EQ(FieldOf(r, "id"), "101");
    EXPECT_EQ(FieldOf(r, "remoteid"), "r101");
    EXPECT_EQ(FieldOf(r, "local"), "201");
    EXPECT_EQ(FieldOf(r, "lname"), "Jürgen Groß");
    EXPECT_EQ(FieldOf(r, "remote"), "+4930123456");
    EXPECT_EQ(FieldOf(r, "rname"), "Kim \"Ace\" \\ Lee");
    EXPECT_EQ(FieldOf(r, "connected"), "305");
    EXPECT_EQ(FieldOf(r, "cname"), "Иван");
    EXPECT_EQ(FieldOf(r, "direction"), "0");
    // "age=75" dates the call 75 s before it was added.
    const long startdate = std::atol(FieldOf(r, "startdate").c_str());
    EXPECT_GE(startdate, addedAt - 75);
    EXPECT_GE(serverTime - startdate, 75);
    EXPECT_EQ(FieldOf(records[1], "direction"), "1");
    EXPECT_EQ(FieldOf(records[1], "remoteid"), "r102");
    EXPECT_EQ(FieldOf(records[2], "direction"), "2");
    EXPECT_EQ(FieldOf(records[2], "lname"), "a\r\nb");
}

TEST(SimPoll, AddRefusesValuesTheListCannotCarry) {
    QuorinSim sim;
    int status = 0;
    HttpGetRaw(sim.Port(), "/sim/calls/add?id=1&lname=Smith%2C+John", &status);
    EXPECT_EQ(status, 400);
    EXPECT_TRUE(ParseRecordList(Poll(sim, "xxx").at("List")).empty());
}

TEST(SimPoll, RandomCallsAndCallsFileGiveWellFormedRecords) {
    TempDir dir;
    WriteFile(dir.File("calls.txt"),
              "# two calls\n\n"
              "id=101\tremoteid=r101\tage=75\tlocal=201\tlname=Jürgen Groß\tremote=+4930123456\t"
              "rname=Łukasz Żółw\tdirection=0\n"
              "id=102\tlname=Ωmega Ltd\tdirection=2\r\n");
    QuorinSim sim(
        {"--calls", dir.File("calls.txt"), "--random-calls", "--seed", "7", "--max-calls", "6"});
    const auto records = ParseRecordList(Poll(sim, "xxx").at("List"));
    ASSERT_GE(records.size(), 4u); // the file's two and the random start
    EXPECT_EQ(FieldOf(records[0], "rname"), "Łukasz Żółw");
    EXPECT_EQ(FieldOf(records[1], "lname"), "Ωmega Ltd");
    const std::vector<std::string> keys = {"id",    "remoteid", "startdate", "local", "remote",
                                           "lname", "rname",    "connected", "cname", "direction"};
    for (size_t i = 2; i < records.size(); ++i) {
        ASSERT_EQ(records[i].size(), keys.size());
        for (size_t k = 0; k < keys.size(); ++k)
            EXPECT_EQ(records[i][k].first, keys[k]);
        const std::string dir = FieldOf(records[i], "direction");
        EXPECT_TRUE(dir == "0" || dir == "1" || dir == "2") << dir;
    }
}

TEST(SimPoll, SameSeedGivesTheSameCalls) {
    auto calls = [](const std::string& seed) {
        QuorinSim sim({"--random-calls", "--seed", seed});
        auto records = ParseRecordList(Poll(sim, "xxx").at("List"));
        for (auto& r : records) // the start time follows the clock
            std::erase_if(r, [](const auto& kv) { return kv.first == "startdate"; });
        return records;
    };
    const auto a = calls("42");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(calls("42"), a);
    EXPECT_NE(calls("43"), a);
}

TEST(SimPoll, BadCallsFileIsRefusedWithItsLine) {
    TempDir dir;
    WriteFile(dir.File("calls.txt"), "id=1\n\nid=2\tlname=a,b\n");
    int exitCode = 0;
    const std::string out =
        RunToEnd(BinDir() + "/quorin-sim", {"--calls", dir.File("calls.txt")}, exitCode);
    EXPECT_NE(out.find("calls.txt:3: "), std::string::npos) << out;
    EXPECT_EQ(exitCode, 1);
}

TEST(SimPoll, HeldUntilTheListChanges) {
    QuorinSim sim;
    const std::string know = Poll(sim, "xxx").at("Know");
    auto held = std::async(std::launch::async, [&] { return Poll(sim, know, 30, 20s); });
    EXPECT_EQ(held.wait_for(300ms), std::future_status::timeout);
    sim.Control("/sim/calls/add?id=55");
    const auto fields = held.get();
    EXPECT_NE(fields.at("Know"), know);
    const auto records = ParseRecordList(fields.at("List"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(FieldOf(records[0], "id"), "55");
    // Hang-up and clear are changes too.
    const std::string know2 = fields.at("Know");
    auto held2 = std::async(std::launch::async, [&] { return Poll(sim, know2, 30, 20s); });
    sim.Control("/sim/calls/hangup?id=55");
    EXPECT_TRUE(ParseRecordList(held2.get().at("List")).empty());
}

TEST(SimPoll, HeldUntilTheWaitEnds) {
    QuorinSim sim;
    const std::string know = Poll(sim, "xxx").at("Know");
    const auto start = std::chrono::steady_clock::now();
    const auto fields = Poll(sim, know, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(fields.at("Know"), know);
}

// With --time-scale 30 the wait of 30 s holds the poll for 1 s, well inside
// the 10 s read limit.
TEST(SimPoll, TimeScaleShortensTheHold) {
    QuorinSim sim({"--time-scale", "30"});
    const std::string know = Poll(sim, "xxx").at("Know");
    const auto start = std::chrono::steady_clock::now();
    const auto fields = Poll(sim, know, 30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(fields.at("Know"), know);
}

// An answer held for the whole wait of 30 s would run into the 10 s read limit.
TEST(SimPoll, AnsweredAtOnceWhenNothingIsToWaitFor) {
    QuorinSim sim;
    const std::string know = Poll(sim, "xxx", 30).at("Know");
    EXPECT_EQ(Poll(sim, "xxx", 30).at("Know"), know);
    EXPECT_EQ(Poll(sim, know + "0", 30).at("Know"), know);
    sim.Control("/sim/restart");
    const std::string restarted = Poll(sim, know, 30).at("Know");
    EXPECT_NE(restarted, know);
    sim.Control("/sim/config?hold=0");
    EXPECT_EQ(Poll(sim, restarted, 30).at("Know"), restarted);
}

TEST(SimPoll, NoHoldOption) {
    QuorinSim sim({"--no-hold"});
    const std::string know = Poll(sim, "xxx", 30).at("Know");
    EXPECT_EQ(Poll(sim, know, 30).at("Know"), know);
}

// --- cookies, request list, HTTP/1.0 ------------------------------------------

std::string CookieOf(const TRawAnswer& a) {
    const std::string h = a.Header("Set-Cookie");
    return h.substr(0, h.find(';'));
}

TEST(SimSession, CookieIsSetOnceAndRenewedAfterRestart) {
    QuorinSim sim;
    const TRawAnswer first = RawGet(sim.Port(), PollTarget("xxx"));
    const std::string cookie = CookieOf(first);
    ASSERT_EQ(cookie.rfind("QSESSID=", 0), 0u) << first.head;
    EXPECT_NE(first.Header("Set-Cookie").find("Path=/"), std::string::npos);

    const TRawAnswer second =
        RawGet(sim.Port(), PollTarget("xxx"), "1.0", "Cookie: " + cookie + "\r\n");
    EXPECT_FALSE(second.HasHeader("Set-Cookie"));
    const TRawAnswer other = RawGet(sim.Port(), PollTarget("xxx"));
    EXPECT_NE(CookieOf(other), cookie);

    sim.Control("/sim/restart");
    const TRawAnswer renewed =
        RawGet(sim.Port(), PollTarget("xxx"), "1.0", "Cookie: " + cookie + "\r\n");
    EXPECT_NE(CookieOf(renewed), "");
    EXPECT_NE(CookieOf(renewed), cookie);

    const auto requests = sim.Requests("AllActiveCalls");
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].cookie, "");
    EXPECT_EQ(requests[1].cookie, cookie);
    EXPECT_EQ(requests[1].version, "HTTP/1.0");
    EXPECT_EQ(requests[1].target, PollTarget("xxx"));
    EXPECT_EQ(requests[1].Param("password"), "secret");
    EXPECT_LE(requests[0].ms, requests[3].ms);

    sim.Control("/sim/requests?clear=1");
    EXPECT_TRUE(sim.Requests().empty());
}

TEST(SimSession, Http10AnswersAreNeverChunked) {
    QuorinSim sim;
    sim.Control("/sim/calls/add?id=1");
    for (const std::string& target :
         {PollTarget("xxx"), "/client.php?info=RTCall&remid=nobody" + kCreds}) {
        const TRawAnswer a = RawGet(sim.Port(), target);
        EXPECT_TRUE(a.closed) << target;
        EXPECT_FALSE(a.HasHeader("Transfer-Encoding")) << a.head;
        EXPECT_EQ(a.Header("Connection"), "close") << a.head;
        EXPECT_EQ(a.Header("Content-Length"), std::to_string(a.body.size())) << a.head;
    }
}

// --- faults -----------------------------------------------------------------------

TEST(SimFault, AnswerFaults) {
    struct TCase {
        std::string query;
        int status;
        std::string body; // "" : not checked
        std::string error;
    };
    const std::vector<TCase> cases = {
        {"mode=http500", 500, "", ""},
        {"mode=http401", 401, "", ""},
        {"mode=error&text=Disk+full", 200, "Error: Disk full\r\n", "Disk full"},
        {"mode=error", 200, "Error: InternalError\r\n", "InternalError"},
        {"mode=notloggedin", 200, "Error: NotLoggedIn\r\n", "NotLoggedIn"},
        {"mode=empty", 200, "", ""},
        {"mode=redirect-loop", 302, "", ""},
    };
    QuorinSim sim;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        sim.Control("/sim/fault?count=1&" + c.query);
        const TRawAnswer bad = RawGet(sim.Port(), PollTarget("xxx"));
        EXPECT_EQ(bad.status, c.status);
        if (!c.body.empty()) {
            EXPECT_EQ(bad.body, c.body);
        }
        if (c.query == "mode=empty") {
            EXPECT_EQ(bad.body, "");
        }
        if (c.status == 302) {
            EXPECT_EQ(bad.Header("Location"), PollTarget("xxx"));
        }
        // count=1: the next request is answered normally again.
        const TRawAnswer good = RawGet(sim.Port(), PollTarget("xxx"));
        EXPECT_EQ(good.status, 200);
        EXPECT_EQ(ParseAnswerText(good.body).count("Know"), 1u);
    }
    // Without a count the fault lasts until it is changed.
    sim.Control("/sim/fault?mode=http500");
    EXPECT_EQ(RawGet(sim.Port(), PollTarget("xxx")).status, 500);
    EXPECT_EQ(RawGet(sim.Port(), PollTarget("xxx")).status, 500);
    sim.Control("/sim/fault?mode=none");
    EXPECT_EQ(RawGet(sim.Port(), PollTarget("xxx")).status, 200);
    int status = 0;
    HttpGetRaw(sim.Port(), "/sim/fault?mode=bogus", &status);
    EXPECT_EQ(status, 400);
}

TEST(SimFault, ResetAbortsTheConnection) {
    QuorinSim sim;
    sim.Control("/sim/fault?mode=reset&count=1");
    const TRawAnswer a = RawGet(sim.Port(), PollTarget("xxx"));
    EXPECT_TRUE(a.reset);
    EXPECT_EQ(a.head, "");
    EXPECT_EQ(RawGet(sim.Port(), PollTarget("xxx")).status, 200);
}

TEST(SimFault, DropSendsPartOfADeclaredLength) {
    QuorinSim sim;
    sim.Control("/sim/fault?mode=drop&count=1");
    const TRawAnswer a = RawGet(sim.Port(), PollTarget("xxx"));
    EXPECT_TRUE(a.closed);
    ASSERT_TRUE(a.complete);
    EXPECT_FALSE(a.body.empty());
    EXPECT_LT(a.body.size(), std::stoul(a.Header("Content-Length")));
    EXPECT_EQ(a.body.rfind("ServerTime: ", 0), 0u);
}

TEST(SimFault, StallSendsNothingAndThenAnswers) {
    QuorinSim sim;
    sim.Control("/sim/fault?mode=stall&seconds=30&count=1");
    TRawConnection c(sim.Port());
    c.SendGet(PollTarget("xxx"));
    std::string got;
    EXPECT_TRUE(c.ReadFor(got, 1s));
    EXPECT_EQ(got, "");
    c.Close();
    sim.Control("/sim/fault?mode=stall&seconds=1&count=1");
    const TRawAnswer late = RawGet(sim.Port(), PollTarget("xxx"));
    EXPECT_EQ(ParseAnswerText(late.body).count("Know"), 1u);
}

TEST(SimFault, SlowAndOversizeStillParse) {
    QuorinSim sim;
    sim.Control("/sim/fault?mode=slow&ms=5&count=1");
    const TRawAnswer slow = RawGet(sim.Port(), PollTarget("xxx"));
    EXPECT_EQ(ParseAnswerText(slow.body).count("Know"), 1u);
    sim.Control("/sim/fault?mode=oversize&bytes=300000&count=1");
    const TRawAnswer big = RawGet(sim.Port(), PollTarget("xxx"));
    EXPECT_EQ(big.body.size(), 300000u);
    const auto fields = ParseAnswerText(big.body);
    EXPECT_EQ(fields.count("Know"), 1u);
    EXPECT_EQ(fields.count("List"), 1u);
}

// Answers a misbehaving recorder sends that are well-formed but hostile: a
// list of many records, a field of any bytes and any size.
TEST(SimFault, RecordsAndFieldShapeTheAnswer) {
    struct TCase {
        std::string query;
        size_t records; // in List
        std::string firstId, lastId;
        std::string note; // the Note field, "" when absent
    };
    const std::vector<TCase> cases = {
        {"mode=records&records=3", 3, "1", "3", ""},
        {"mode=records&records=2&id=7", 2, "7", "7", ""},
        {"mode=records&records=0", 0, "", "", ""},
        {"mode=field&value=a%0Ab%1B%5B31m", 0, "", "", "a\nb\x1b[31m"},
        {"mode=field&value=ab&bytes=5", 0, "", "", "abxxx"},
    };
    QuorinSim sim;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        sim.Control("/sim/fault?count=1&" + c.query);
        const TRawAnswer a = RawGet(sim.Port(), PollTarget("xxx"));
        ASSERT_EQ(a.status, 200);
        const auto fields = ParseAnswerText(a.body);
        EXPECT_EQ(fields.count("Know"), 1u);
        const auto records = ParseRecordList(fields.at("List"));
        if (c.query.find("mode=records") != std::string::npos) {
            ASSERT_EQ(records.size(), c.records);
            if (c.records > 0) {
                EXPECT_EQ(FieldOf(records.front(), "id"), c.firstId);
                EXPECT_EQ(FieldOf(records.back(), "id"), c.lastId);
            }
        }
        EXPECT_EQ(fields.count("Note") ? fields.at("Note") : "", c.note);
    }
}

// --- HTTPS --------------------------------------------------------------------------

TEST(SimHttps, GeneratedCertificateVerifiesForLocalhostAndTheAddress) {
    TempDir dir;
    QuorinSim sim({"--https", "--cert-out", dir.File("cert.pem")});
    EXPECT_NE(sim.Process().WaitForLine("listening on https://", 1s), "");
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        httplib::SSLClient client(host, sim.Port());
        client.set_ca_cert_path(dir.File("cert.pem").c_str());
        client.enable_server_certificate_verification(true);
        client.set_connection_timeout(5);
        client.set_read_timeout(10);
        const auto res = client.Get(PollTarget("xxx"));
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(ParseAnswerText(res->body).count("Know"), 1u);
    }
    // A client that trusts nothing refuses the self-signed certificate.
    httplib::SSLClient strict("127.0.0.1", sim.Port());
    strict.set_ca_cert_path("/nonexistent.pem");
    strict.enable_server_certificate_verification(true);
    EXPECT_FALSE(strict.Get(PollTarget("xxx")));
}

// --- command line and shutdown --------------------------------------------------------

TEST(SimProcess, HelpListsEveryOption) {
    int exitCode = -1;
    const std::string all = RunToEnd(BinDir() + "/quorin-sim", {"--help"}, exitCode);
    EXPECT_EQ(exitCode, 0);
    for (const char* option :
         {"--host",       "--port",     "--https",       "--cert",  "--key",
          "--cert-out",   "--user",     "--password",    "--calls", "--random-calls",
          "--max-calls",  "--mean-gap", "--mean-length", "--seed",  "--no-hold",
          "--time-scale", "--format",   "--channels",    "--log",   "--help"})
        EXPECT_NE(all.find(std::string("  ") + option + " "), std::string::npos) << option;
}

TEST(SimProcess, BadOptionIsRefused) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--channels", "0"},
                                                 {"--format", "ALAW"},
                                                 {"--time-scale", "0.5"},
                                                 {"--bogus"},
                                                 {"--port"},
                                                 {"--cert", "x.pem"}}) {
        int exitCode = 0;
        const std::string out = RunToEnd(BinDir() + "/quorin-sim", args, exitCode);
        EXPECT_EQ(exitCode, 2) << args[0];
        EXPECT_NE(out.find("quorin-sim: "), std::string::npos) << out;
    }
}

TEST(SimProcess, LogFileGetsTimeStampedLines) {
    TempDir dir;
    {
        QuorinSim sim({"--log", dir.File("sim.log")});
        RawGet(sim.Port(), PollTarget("xxx"));
    }
    const std::string log = ReadFile(dir.File("sim.log"));
    EXPECT_NE(log.find("GET /client.php?info=AllActiveCalls&wait=10&know=xxx&username=supervisor"
                       "&password=*** 200"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("secret"), std::string::npos);
    // "YYYY-MM-DD HH:MM:SS.mmm "
    ASSERT_GT(log.size(), 24u);
    EXPECT_EQ(log[19], '.');
    EXPECT_EQ(log[23], ' ');
}

// SIGTERM ends held polls and running streams at once; the child helper would
// kill the process (exit code -1) if it took longer than two seconds.
TEST(SimProcess, StopsCleanlyWithHeldPollsAndStreams) {
    QuorinSim sim;
    sim.Control("/sim/calls/add?id=9");
    const std::string know = Poll(sim, "xxx").at("Know");
    TRawConnection held(sim.Port());
    held.SendGet(PollTarget(know, 60));
    TRawConnection audio(sim.Port());
    audio.SendGet("/client.php?info=RTCall&remid=r9" + kCreds);
    std::string got;
    ASSERT_TRUE(audio.ReadAtLeast(got, 2000, 5s));
    sim.Process().Stop();
    EXPECT_EQ(sim.Process().ExitCode(), 0);
    held.ReadToEnd(got, 2s);
    audio.ReadToEnd(got, 2s);
    EXPECT_TRUE(held.Closed() || held.Reset());
    EXPECT_TRUE(audio.Closed() || audio.Reset());
}

} // namespace
