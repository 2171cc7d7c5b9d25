// corvane-cli as a user runs it: the built program as a child process against
// the recorder simulator on 127.0.0.1, its standard output read line by line
// and its standard error kept apart. Listening plays into a private
// PulseAudio daemon's null sink; ALSA's default device is a `file` plugin
// over the `pulse` plugin, so the capture holds exactly what the program
// wrote to the sound device.

#include "CliClient.h"
#include "G711.h"
#include "OutputLevel.h"
#include "PrivatePulseAudio.h"
#include "QuorinConfig.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

constexpr size_t kFrames = 4096; // sample frames per block
constexpr size_t kBlocks = 4;    // complete blocks a finite stream carries

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        const size_t tab = line.find('\t', pos);
        fields.push_back(
            line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
        if (tab == std::string::npos)
            return fields;
        pos = tab + 1;
    }
}

// corvane-cli started through the shell, which only sets the environment and
// the standard error file and then becomes the program (same process id).
class Cli {
public:
    // `env`: "NAME=value" entries added to the test's own environment.
    Cli(const test::TempDir& dir, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {}) {
        static int runs = 0;
        FErrFile = dir.File("cli-stderr-" + std::to_string(++runs) + ".txt");
        std::string script;
        for (const auto& entry : env) {
            const size_t eq = entry.find('=');
            script += "export ";
            script += entry.substr(0, eq);
            script += '=';
            script += ShellQuote(entry.substr(eq + 1));
            script += "; ";
        }
        script += "exec ";
        script += ShellQuote(test::BinDir() + "/corvane-cli");
        for (const auto& a : args) {
            script += ' ';
            script += ShellQuote(a);
        }
        script += " 2>";
        script += ShellQuote(FErrFile);
        FProcess =
            std::make_unique<test::ChildProcess>("/bin/sh", std::vector<std::string>{"-c", script});
    }

    // The exit status once the program has ended; -1 when a signal ended it,
    // -2 when it was still running after `timeout` (it is then stopped).
    int Wait(std::chrono::seconds timeout = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (FProcess->Running()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                FProcess->Stop();
                return -2;
            }
            std::this_thread::sleep_for(10ms);
        }
        return FProcess->ExitCode();
    }
    void Signal(int signal) { ::kill(FProcess->Pid(), signal); }
    bool Running() { return FProcess->Running(); }

    // Standard output, line by line (a blank line is an empty entry).
    std::vector<std::string> Out() { return FProcess->Lines(); }
    std::string Err() const {
        std::error_code ec;
        return std::filesystem::exists(FErrFile, ec) ? test::ReadFile(FErrFile) : std::string();
    }
    // The program's own messages (PortAudio and ALSA may add lines of theirs).
    bool SaidNothing() const { return Err().find("corvane-cli:") == std::string::npos; }

private:
    std::string FErrFile;
    std::unique_ptr<test::ChildProcess> FProcess;
};

struct Account {
    std::string user = "supervisor";
    std::string password = "secret";
};

// A settings file as the window writes it, for the current login.
std::string WriteConfig(const std::string& path, const std::string& server,
                        const Account& account = {}, const TOutputLevel& level = {}) {
    TQuorinConfig config;
    config.Server = server;
    config.UserName = account.user;
    config.Password = account.password;
    config.Volume = level.Volume;
    config.Mute = level.Mute;
    config.Party = level.Party;
    config.Save(path);
    return path;
}

// Waits until `done` holds or the time is up; the last result of `done`.
bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// watch's output as lists of call ids, one list per block between blank lines.
std::vector<std::vector<std::string>> IdLists(const std::vector<std::string>& lines) {
    std::vector<std::vector<std::string>> lists;
    if (lines.empty())
        return lists;
    lists.emplace_back();
    for (const auto& line : lines) {
        if (line.empty())
            lists.emplace_back();
        else
            lists.back().push_back(SplitTabs(line).front());
    }
    return lists;
}

using IdListsT = std::vector<std::vector<std::string>>;

// --- list --------------------------------------------------------------------

TEST(CliList, PrintsTheRecordersCallsAsTheyWereServed) {
    test::QuorinSim sim;
    sim.Control("/sim/calls/add?id=101&remoteid=r101&startdate=1700000000&local=201"
                "&lname=J%C3%BCrgen%20Gro%C3%9F&remote=%2B4930123456"
                "&rname=%C5%81ukasz%20%C5%BB%C3%B3%C5%82w&direction=0");
    sim.Control("/sim/calls/add?id=102&startdate=1688000000&direction=1&remote=555"
                "&rname=Tab%09and%0Anew%0Dline&local=202&lname=%E5%BC%A0%E4%BC%9F");
    sim.Control("/sim/calls/add?id=103&startdate=1700000000&direction=2");
    test::TempDir dir;
    const std::string config = WriteConfig(dir.File("client.ini"), sim.Server());

    const long long before = std::time(nullptr);
    Cli cli(dir, {"--config", config, "list"}, {"TZ=CET-1CEST,M3.5.0,M10.5.0/3"});
    ASSERT_EQ(cli.Wait(), 0) << cli.Err();
    const long long after = std::time(nullptr);
    EXPECT_EQ(cli.Err(), "");

    const std::vector<std::vector<std::string>> expected = {
        {"101", "0", "2023-11-14 23:13:20", "+4930123456",
         "\xC5\x81ukasz \xC5\xBB\xC3\xB3\xC5\x82w", "201", "J\xC3\xBCrgen Gro\xC3\x9F"},
        {"102", "1", "2023-06-29 02:53:20", "555", "Tab and new line", "202",
         "\xE5\xBC\xA0\xE4\xBC\x9F"},
        {"103", "2", "2023-11-14 23:13:20", "", "", "", ""},
    };
    const long long starts[] = {1700000000, 1688000000, 1700000000};
    const auto lines = cli.Out();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        auto fields = SplitTabs(lines[i]);
        ASSERT_EQ(fields.size(), 8u) << lines[i];
        // The duration is the recorder's time of the answer less the start.
        const long long duration = std::atoll(fields[3].c_str());
        EXPECT_EQ(fields[3], std::to_string(duration));
        EXPECT_GE(starts[i] + duration, before) << lines[i];
        EXPECT_LE(starts[i] + duration, after) << lines[i];
        fields.erase(fields.begin() + 3);
        EXPECT_EQ(fields, expected[i]);
    }
}

// Without --config the window's own file is read: the login's section of
// client.ini in the per-user data folder.
TEST(CliList, ReadsTheWindowsSettingsFileAndPrintsNothingForNoCalls) {
    test::QuorinSim sim({"--user", "Anna Smith", "--password", "p\xC3\xA4ss word"});
    test::TempDir dir;
    const std::string folder = dir.File("config/Brindlex/QuorinCallMonitor");
    std::filesystem::create_directories(folder);
    WriteConfig(folder + "/client.ini", sim.Server(), {"Anna Smith", "p\xC3\xA4ss word"});

    Cli cli(dir, {"list"}, {"XDG_CONFIG_HOME=" + dir.File("config")});
    ASSERT_EQ(cli.Wait(), 0) << cli.Err();
    EXPECT_TRUE(cli.Out().empty());
    EXPECT_EQ(cli.Err(), "");
    const auto polls = sim.Requests("AllActiveCalls");
    ASSERT_FALSE(polls.empty());
    EXPECT_EQ(polls[0].Param("username"), "Anna Smith");
}

// --- failures ----------------------------------------------------------------

enum class Server { Simulator, Closed, None };

struct FailureCase {
    const char* name;
    std::vector<std::string> command; // after --config FILE
    Server server = Server::Simulator;
    Account account = {};
    bool writeConfig = true;
    const char* fault = nullptr; // simulator fault query
    int exitCode = 0;
    const char* message = ""; // part of standard error
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class CliFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(CliFailure, ExitsWithItsStatusAndSaysWhy) {
    const FailureCase& c = GetParam();
    test::QuorinSim sim;
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    if (c.fault)
        sim.Control(std::string("/sim/fault?") + c.fault);
    test::TempDir dir;
    std::string server;
    if (c.server == Server::Simulator)
        server = sim.Server();
    else if (c.server == Server::Closed)
        server = "127.0.0.1:" + std::to_string(test::FreePort());
    const std::string config = dir.File("client.ini");
    if (c.writeConfig)
        WriteConfig(config, server, c.account);
    std::vector<std::string> args = {"--config", config};
    args.insert(args.end(), c.command.begin(), c.command.end());

    Cli cli(dir, args);
    EXPECT_EQ(cli.Wait(), c.exitCode) << cli.Err();
    EXPECT_NE(cli.Err().find(c.message), std::string::npos) << cli.Err();
    EXPECT_TRUE(cli.Out().empty());
    EXPECT_TRUE(sim.Requests("RTCall").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliFailure,
    testing::Values(FailureCase{.name = "UnknownCommand",
                                .command = {"frobnicate"},
                                .exitCode = cliexit::Usage,
                                .message = "unknown command 'frobnicate'"},
                    FailureCase{.name = "ListenWithoutId",
                                .command = {"listen"},
                                .exitCode = cliexit::Usage,
                                .message = "listen needs the id"},
                    FailureCase{.name = "NoSettingsFile",
                                .command = {"list"},
                                .writeConfig = false,
                                .exitCode = cliexit::Settings,
                                .message = "no settings file"},
                    FailureCase{.name = "NoServer",
                                .command = {"list"},
                                .server = Server::None,
                                .exitCode = cliexit::Settings,
                                .message = "names no recorder"},
                    FailureCase{.name = "NoUserName",
                                .command = {"watch"},
                                .account = {"", "secret"},
                                .exitCode = cliexit::Settings,
                                .message = "names no user name"},
                    FailureCase{.name = "NoPassword",
                                .command = {"listen", "1"},
                                .account = {"supervisor", ""},
                                .exitCode = cliexit::Settings,
                                .message = "holds no password"},
                    FailureCase{.name = "WrongPasswordOnList",
                                .command = {"list"},
                                .account = {"supervisor", "wrong"},
                                .exitCode = cliexit::LogOnRefused,
                                .message = "the recorder refused the log-on"},
                    FailureCase{.name = "WrongPasswordOnWatch",
                                .command = {"watch"},
                                .account = {"supervisor", "wrong"},
                                .exitCode = cliexit::LogOnRefused,
                                .message = "the recorder refused the log-on"},
                    FailureCase{.name = "WrongPasswordOnListen",
                                .command = {"listen", "1"},
                                .account = {"supervisor", "wrong"},
                                .exitCode = cliexit::LogOnRefused,
                                .message = "the recorder refused the log-on"},
                    FailureCase{.name = "NoRecorderListening",
                                .command = {"list"},
                                .server = Server::Closed,
                                .exitCode = cliexit::Unreachable,
                                .message = "could not connect to the recorder at 127.0.0.1:"},
                    FailureCase{.name = "RecorderError",
                                .command = {"list"},
                                .fault = "mode=error&text=DatabaseDown",
                                .exitCode = cliexit::ServerError,
                                .message = "the recorder reported an error: DatabaseDown"},
                    FailureCase{.name = "UnknownCall",
                                .command = {"listen", "999"},
                                .exitCode = cliexit::UnknownCall,
                                .message = "no active call has the id '999'"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// --- watch -------------------------------------------------------------------

class CliWatch : public testing::TestWithParam<int> {};

// The recorder answers every poll at once, so the durations change every two
// seconds; a list is printed again only when a call begins or ends.
TEST_P(CliWatch, PrintsEachChangedListAndStopsCleanlyOnTheSignal) {
    test::QuorinSim sim({"--no-hold"});
    sim.Control("/sim/calls/add?id=1&age=10&rname=Ann");
    test::TempDir dir;
    const std::string config = WriteConfig(dir.File("client.ini"), sim.Server());
    Cli cli(dir, {"--config", config, "watch"});

    // False when the program ends or prints something else.
    auto waitForLists = [&](const IdListsT& lists) {
        WaitUntil([&] { return IdLists(cli.Out()) == lists || !cli.Running(); });
        return IdLists(cli.Out()) == lists;
    };
    // Several answers whose durations differ, and no list printed for them.
    auto waitForPolls = [&](size_t more) {
        const size_t target = sim.Requests("AllActiveCalls").size() + more;
        return WaitUntil([&] { return sim.Requests("AllActiveCalls").size() >= target; });
    };

    ASSERT_TRUE(waitForLists({{"1"}})) << cli.Err();
    ASSERT_TRUE(waitForPolls(3));
    EXPECT_EQ(IdLists(cli.Out()), (IdListsT{{"1"}}));

    sim.Control("/sim/calls/add?id=2&rname=Bob");
    ASSERT_TRUE(waitForLists({{"1"}, {"1", "2"}})) << cli.Err();
    sim.Control("/sim/calls/hangup?id=1");
    ASSERT_TRUE(waitForLists({{"1"}, {"1", "2"}, {"2"}})) << cli.Err();
    sim.Control("/sim/calls/clear");
    ASSERT_TRUE(waitForLists({{"1"}, {"1", "2"}, {"2"}, {}})) << cli.Err();
    ASSERT_TRUE(waitForPolls(2));

    cli.Signal(GetParam());
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(cli.Err(), "");
    const auto lines = cli.Out();
    EXPECT_EQ(IdLists(lines), (IdListsT{{"1"}, {"1", "2"}, {"2"}, {}}));
    // The empty list is the blank line at the very end.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "");
    for (const auto& line : lines)
        EXPECT_TRUE(line.empty() || SplitTabs(line).size() == 8u) << line;
}

INSTANTIATE_TEST_SUITE_P(Cli, CliWatch, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++n;
    return n;
}

// A recorder that cannot be reached for a while: said once on standard
// error, not at every retry, and watching goes on with the next list.
TEST(CliWatchTrouble, AnUnreachableRecorderIsSaidOnceAndWatchingGoesOn) {
    test::QuorinSim sim({"--no-hold"});
    sim.Control("/sim/calls/add?id=1");
    test::TempDir dir;
    const std::string config = WriteConfig(dir.File("client.ini"), sim.Server());
    Cli cli(dir, {"--config", config, "watch"});
    ASSERT_TRUE(WaitUntil([&] { return !cli.Out().empty() || !cli.Running(); })) << cli.Err();

    sim.Control("/sim/fault?mode=reset&count=2");
    sim.Control("/sim/calls/add?id=2");
    ASSERT_TRUE(WaitUntil([&] { return IdLists(cli.Out()).size() >= 2 || !cli.Running(); }, 90s))
        << cli.Err();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_EQ(IdLists(cli.Out()), (IdListsT{{"1"}, {"1", "2"}}));
    const std::string err = cli.Err();
    EXPECT_EQ(Occurrences(err, "corvane-cli: could not connect to the recorder at " + sim.Server()),
              1u)
        << err;
    EXPECT_EQ(Occurrences(err, "corvane-cli: the recorder answers again"), 1u) << err;
    EXPECT_GE(sim.Requests("AllActiveCalls").size(), 4u); // the two reset ones among them
}

// --- listen ------------------------------------------------------------------

std::vector<int16_t> Samples(const std::string& raw) {
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

// The samples between the leading and the trailing silence.
std::vector<int16_t> Trimmed(const std::vector<int16_t>& s) {
    auto first = s.begin();
    auto last = s.end();
    while (first != last && *first == 0)
        ++first;
    while (last != first && *(last - 1) == 0)
        --last;
    return {first, last};
}

bool StreamRuns(const test::QuorinSim& sim, const std::string& remoteid) {
    return sim.Control("/sim/rtcall/streams").find(remoteid) != std::string::npos;
}

struct PlayCase {
    const char* name;
    const char* format;
    int channels;
    TOutputLevel level; // the user's settings in client.ini
};

void PrintTo(const PlayCase& c, std::ostream* os) {
    *os << c.name;
}

class CliListen : public testing::TestWithParam<PlayCase> {
protected:
    test::PrivatePulseAudio Sound;
    test::TempDir Dir;
};

// The call ends after kBlocks blocks and the start of one more, which is
// never played; the program ends by itself once the call has been heard.
TEST_P(CliListen, PlaysTheCallToItsEndAtTheUsersLevel) {
    const PlayCase& c = GetParam();
    const std::string daemon = Sound.Start();
    ASSERT_EQ(daemon, "");
    const size_t chunk = kFrames * static_cast<size_t>(c.channels);
    test::QuorinSim sim({"--format", c.format, "--channels", std::to_string(c.channels)});
    sim.Control("/sim/calls/add?id=7&remoteid=r7");
    sim.Control("/sim/fault?count=1&mode=audio-end&bytes=" + std::to_string(kBlocks * chunk + 300));
    const std::string config = WriteConfig(Dir.File("client.ini"), sim.Server(), {}, c.level);

    Cli cli(Dir, {"--config", config, "listen", "7"});
    ASSERT_EQ(cli.Wait(120s), 0) << cli.Err();
    EXPECT_TRUE(cli.SaidNothing()) << cli.Err();
    EXPECT_TRUE(cli.Out().empty());

    const std::string sent = sim.Control("/sim/rtcall/sent?remid=r7");
    ASSERT_EQ(sent.size(), kBlocks * chunk + 300);
    const auto& table = std::string(c.format) == "alaw" ? ALawTable : ULawTable;
    std::vector<int16_t> expected(kBlocks * chunk);
    for (size_t i = 0; i < expected.size(); ++i)
        expected[i] = table[static_cast<uint8_t>(sent[i])];
    ShapePcm16(expected.data(), kBlocks * kFrames, static_cast<unsigned>(c.channels), c.level);
    expected = Trimmed(expected);
    const auto captured = Trimmed(Samples(test::ReadFile(Sound.Capture())));
    ASSERT_GT(expected.size(), kBlocks * chunk - 2 * chunk); // a stream, not silence
    EXPECT_EQ(captured.size(), expected.size());
    if (captured != expected) {
        const auto mismatch =
            std::mismatch(captured.begin(), captured.end(), expected.begin(), expected.end());
        ADD_FAILURE() << "the capture differs from the stream at sample "
                      << (mismatch.first - captured.begin()) << "\n"
                      << cli.Err();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliListen,
    testing::Values(PlayCase{"ALawAtFullVolume", "alaw", 1, {100, false, 0}},
                    PlayCase{"MuLawAtHalfVolume", "ulaw", 1, {50, false, 0}},
                    PlayCase{"TheFirstPartyOfTwoChannels", "alaw", 2, {100, false, 1}}),
    [](const testing::TestParamInfo<PlayCase>& info) { return std::string(info.param.name); });

class CliListenControl : public testing::Test {
protected:
    test::PrivatePulseAudio Sound;
    test::TempDir Dir;
};

// The call goes on; the user ends listening, and the program gives up the
// stream and the sound device and exits with 0.
TEST_F(CliListenControl, AnInterruptEndsListeningCleanly) {
    const std::string daemon = Sound.Start();
    ASSERT_EQ(daemon, "");
    test::QuorinSim sim({"--format", "alaw"});
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    const std::string config = WriteConfig(Dir.File("client.ini"), sim.Server());

    Cli cli(Dir, {"--config", config, "listen", "1"});
    ASSERT_TRUE(WaitUntil([&] {
        return test::FileSize(Sound.Capture()) > 16000 || !cli.Running();
    })) << cli.Err();
    ASSERT_TRUE(cli.Running()) << cli.Err();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 0);
    EXPECT_TRUE(cli.SaidNothing()) << cli.Err();
    EXPECT_TRUE(WaitUntil([&] { return !StreamRuns(sim, "r1"); }));
}

// No sound server: the device does not open, the user is told, and the
// stream is given up.
TEST_F(CliListenControl, NoSoundDeviceEndsWithItsStatus) {
    test::QuorinSim sim({"--format", "alaw"});
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    const std::string config = WriteConfig(Dir.File("client.ini"), sim.Server());

    Cli cli(Dir, {"--config", config, "listen", "1"});
    EXPECT_EQ(cli.Wait(), cliexit::SoundDevice) << cli.Err();
    EXPECT_NE(cli.Err().find("corvane-cli: sound output failed: "), std::string::npos) << cli.Err();
    EXPECT_FALSE(sim.Requests("RTCall").empty());
    EXPECT_TRUE(WaitUntil([&] { return !StreamRuns(sim, "r1"); }));
}

} // namespace
