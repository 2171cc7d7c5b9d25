// corvane-cli's command line and line format, in process.

#include "CliClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace corvane;

namespace {

struct ArgumentsCase {
    const char* name;
    std::vector<std::string> args;
    TCliCommand command;
    std::string callId;
    std::string configPath;
    bool verbose;
};

void PrintTo(const ArgumentsCase& c, std::ostream* os) {
    *os << c.name;
}

class CliArguments : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(CliArguments, AreRead) {
    const ArgumentsCase& c = GetParam();
    TCliOptions options;
    ASSERT_EQ(ParseCliArguments(c.args, options), "");
    EXPECT_EQ(options.Command, c.command);
    EXPECT_EQ(options.CallId, c.callId);
    EXPECT_EQ(options.ConfigPath, c.configPath);
    EXPECT_EQ(options.Verbose, c.verbose);
    EXPECT_FALSE(options.Help);
    EXPECT_FALSE(options.Version);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliArguments,
    testing::Values(
        ArgumentsCase{"List", {"list"}, TCliCommand::List, "", "", false},
        ArgumentsCase{"ConfigBeforeTheCommand",
                      {"--config", "a b.ini", "watch"},
                      TCliCommand::Watch,
                      "",
                      "a b.ini",
                      false},
        ArgumentsCase{"OptionsAfterTheCommand",
                      {"watch", "--config=w.ini", "-v"},
                      TCliCommand::Watch,
                      "",
                      "w.ini",
                      true},
        ArgumentsCase{
            "Listen", {"--verbose", "listen", "101"}, TCliCommand::Listen, "101", "", true},
        ArgumentsCase{"AnIdThatLooksLikeAnOption",
                      {"listen", "--", "-7"},
                      TCliCommand::Listen,
                      "-7",
                      "",
                      false},
        ArgumentsCase{"ADashAloneIsAnId", {"listen", "-"}, TCliCommand::Listen, "-", "", false}),
    [](const testing::TestParamInfo<ArgumentsCase>& info) { return std::string(info.param.name); });

TEST(CliArguments, HelpAndVersionNeedNoCommandAndWinOverOne) {
    TCliOptions options;
    ASSERT_EQ(ParseCliArguments({"--help"}, options), "");
    EXPECT_TRUE(options.Help);
    ASSERT_EQ(ParseCliArguments({"frobnicate", "-h"}, options), "");
    EXPECT_TRUE(options.Help);
    ASSERT_EQ(ParseCliArguments({"--version"}, options), "");
    EXPECT_TRUE(options.Version);
    EXPECT_NE(CliVersionText().find(CORVANE_VERSION), std::string::npos);
}

struct BadArgumentsCase {
    const char* name;
    std::vector<std::string> args;
    const char* problem; // part of the message
};

void PrintTo(const BadArgumentsCase& c, std::ostream* os) {
    *os << c.name;
}

class CliBadArguments : public testing::TestWithParam<BadArgumentsCase> {};

TEST_P(CliBadArguments, AreRefusedWithTheReason) {
    const BadArgumentsCase& c = GetParam();
    TCliOptions options;
    const std::string problem = ParseCliArguments(c.args, options);
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliBadArguments,
    testing::Values(
        BadArgumentsCase{"Nothing", {}, "no command given"},
        BadArgumentsCase{"UnknownCommand", {"frobnicate"}, "unknown command 'frobnicate'"},
        BadArgumentsCase{"UnknownOption", {"--colour", "list"}, "unknown option '--colour'"},
        BadArgumentsCase{"ListTakesNoId", {"list", "5"}, "unexpected argument '5'"},
        BadArgumentsCase{"ListenWithoutId", {"listen"}, "listen needs the id"},
        BadArgumentsCase{"ListenWithAnEmptyId", {"listen", ""}, "listen needs the id"},
        BadArgumentsCase{"ListenWithTwoIds", {"listen", "1", "2"}, "unexpected argument '2'"},
        BadArgumentsCase{"ConfigWithoutFile", {"list", "--config"}, "--config needs"},
        BadArgumentsCase{"ConfigWithAnEmptyFile", {"--config=", "list"}, "--config needs"}),
    [](const testing::TestParamInfo<BadArgumentsCase>& info) {
        return std::string(info.param.name);
    });

// The process's time zone for one test; POSIX rules, so no zone database is
// needed.
class TimeZoneScope {
public:
    explicit TimeZoneScope(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            FOld = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZoneScope() {
        if (FOld)
            ::setenv("TZ", FOld->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

private:
    std::optional<std::string> FOld;
};

struct LocalTimeCase {
    const char* tz;
    int64_t seconds;
    const char* text;
};

TEST(CliLineFormat, StartTimesAreLocalTimeOfTheZoneInForce) {
    const LocalTimeCase cases[] = {
        {"UTC0", 1700000000, "2023-11-14 22:13:20"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1700000000, "2023-11-14 23:13:20"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1688000000, "2023-06-29 02:53:20"}, // summer time
        {"XYZ+5", 0, "1969-12-31 19:00:00"},     // the date goes back over midnight
        {"XYZ-2", -3600, "1970-01-01 01:00:00"}, // before the epoch
    };
    for (const auto& c : cases) {
        const TimeZoneScope zone(c.tz);
        EXPECT_EQ(LocalTimeText(c.seconds), c.text) << c.tz << " " << c.seconds;
    }
}

TEST(CliLineFormat, ACallIsOneLineOfEightTabSeparatedFields) {
    const TimeZoneScope zone("UTC0");
    TCallInfo call;
    call.id = "101";
    call.remoteid = "r101";
    call.startdate = 1700000000;
    call.length = 75;
    call.direction = 1;
    call.remote = u"+4930123456";
    call.rname = u"\u0141ukasz \u017B\u00F3\u0142w";
    call.local = u"201";
    call.lname = u"J\u00FCrgen \U0001F600";
    call.connected = u"999"; // not printed
    call.cname = u"Operator";
    EXPECT_EQ(FormatCallLine(call), "101\t1\t2023-11-14 22:13:20\t75\t+4930123456\t"
                                    "\xC5\x81ukasz \xC5\xBB\xC3\xB3\xC5\x82w\t201\t"
                                    "J\xC3\xBCrgen \xF0\x9F\x98\x80");
}

TEST(CliLineFormat, FieldsCannotBreakTheLineOrTalkToTheTerminal) {
    const TimeZoneScope zone("UTC0");
    TCallInfo call;
    call.id = "a\tb\n\xFF";         // bytes; the invalid one becomes U+FFFD
    call.direction = -1;            // printed as the recorder sent it
    call.length = -5;               // the recorder's clock behind the start
    call.remote = u"1\r\n2";        // CR LF
    call.rname = u"x\x1B[2Jy";      // an escape sequence
    call.local = u"3\u00854";       // NEL, a C1 control
    call.lname = u"p\u2028q\u2029"; // line and paragraph separators
    EXPECT_EQ(FormatCallLine(call),
              "a b \xEF\xBF\xBD\t-1\t1970-01-01 00:00:00\t-5\t1  2\tx [2Jy\t3 4\tp q ");
}

TEST(CliLineFormat, AListIsItsLinesEachEndedByALineFeed) {
    const TimeZoneScope zone("UTC0");
    TCallList calls;
    EXPECT_EQ(FormatCallList(calls), "");
    for (const char* id : {"1", "2"}) {
        auto call = std::make_unique<TCallInfo>();
        call->id = id;
        calls.push_back(std::move(call));
    }
    EXPECT_EQ(FormatCallList(calls), "1\t0\t1970-01-01 00:00:00\t0\t\t\t\t\n"
                                     "2\t0\t1970-01-01 00:00:00\t0\t\t\t\t\n");
}

} // namespace
