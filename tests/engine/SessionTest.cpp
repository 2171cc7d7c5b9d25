// The session's request building and call list, without a network.

#include "Corvane.h"

#include <gtest/gtest.h>

using namespace corvane;

namespace {

TEST(UrlEncode, FollowsTheRecorderTable) {
    EXPECT_EQ(TCorvane::UrlEncode("AZaz09$()*,-./:@_"), "AZaz09$()*,-./:@_");
    EXPECT_EQ(TCorvane::UrlEncode("a b"), "a+b");
    EXPECT_EQ(TCorvane::UrlEncode("&;=?+%~'!\"#"), "%26%3B%3D%3F%2B%25%7E%27%21%22%23");
    EXPECT_EQ(TCorvane::UrlEncode("\xC3\xBC\x80\xFF"), "%C3%BC%80%FF");
    EXPECT_EQ(TCorvane::UrlEncode(std::string("\x01\x7F", 2)), "%01%7F");
    EXPECT_EQ(TCorvane::UrlEncode(""), "");
}

TEST(Urls, BaseUrlAndCredentials) {
    TCorvane s;
    TQuorinConfig c;
    c.Server = "10.0.0.5:8080";
    c.UserName = "jo smith";
    c.Password = "p&ss%";
    s.SetConfig(c);
    EXPECT_EQ(s.BaseUrl(), "http://10.0.0.5:8080/client.php");
    EXPECT_EQ(s.CredentialsQuery(), "username=jo+smith&password=p%26ss%25");
    c.Secure = true;
    s.SetConfig(c);
    EXPECT_EQ(s.BaseUrl(), "https://10.0.0.5:8080/client.php");
    THttpCli plain;
    TSslHttpCli tls;
    EXPECT_EQ(&s.SelectHttpClient(plain, tls), &tls);
    c.Secure = false;
    s.SetConfig(c);
    EXPECT_EQ(&s.SelectHttpClient(plain, tls), &plain);
}

struct StartCase {
    const char* name;
    const char* user;
    const char* password;
    const char* server;
    TStartResult result;
};

class StartChecks : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartChecks, RefusesMissingSettingsWithoutStarting) {
    const auto& p = GetParam();
    TCorvane s;
    TQuorinConfig c;
    c.UserName = p.user;
    c.Password = p.password;
    c.Server = p.server;
    s.SetConfig(c);
    bool stopped = false;
    s.OnStopped = [&](TCorvane&) { stopped = true; };
    EXPECT_EQ(s.Start(), p.result);
    EXPECT_FALSE(s.IsRunning());
    s.Stop(); // nothing runs: nothing happens
    EXPECT_FALSE(stopped);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartChecks,
    ::testing::Values(StartCase{"no_user_no_server", "", "pw", "",
                                TStartResult::MissingCredentials},
                      StartCase{"no_password", "u", "", "host", TStartResult::MissingCredentials},
                      StartCase{"nothing", "", "", "", TStartResult::MissingCredentials},
                      StartCase{"no_server", "u", "pw", "", TStartResult::MissingServer}),
    [](const auto& info) { return std::string(info.param.name); });

struct ListCase {
    const char* name;
    std::string list;
    std::string serverTime;
    size_t count;
    std::function<void(const TCallList&)> check;
};

class UpdateCallsTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(UpdateCallsTest, RebuildsTheList) {
    const auto& p = GetParam();
    TCorvane s;
    int changed = 0;
    s.OnCallsChanged = [&](TCorvane&) { ++changed; };
    // An old list that every update must replace.
    s.UpdateCalls("[{id:\"old\"}]", "5");
    s.UpdateCalls(p.list, p.serverTime);
    EXPECT_EQ(changed, 2);
    TCallList copy;
    copy.push_back(std::make_unique<TCallInfo>()); // GetCalls drops what was there
    s.GetCalls(copy);
    ASSERT_EQ(copy.size(), p.count);
    if (p.check)
        p.check(copy);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateCallsTest,
    ::testing::Values(
        ListCase{"absent_list", "", "100", 0, nullptr},
        ListCase{"empty_list", "[]", "100", 0, nullptr},
        ListCase{
            "full_record",
            "[{id:\"7\",remoteid:\"r7\",startdate:1000,local:\"201\",remote:\"+49 30\","
            "lname:\"J\xC3\xBCrgen Gro\xC3\x9F\",rname:\"\xC5\x81ukasz \xC5\xBB\xC3\xB3\xC5\x82w\","
            "connected:\"300\",cname:\"\xCE\xA9mega Ltd\",direction:1}]",
            "1042", 1,
            [](const TCallList& l) {
                const TCallInfo& c = *l[0];
                EXPECT_EQ(c.id, "7");
                EXPECT_EQ(c.remoteid, "r7");
                EXPECT_EQ(c.startdate, 1000);
                EXPECT_EQ(c.length, 42);
                EXPECT_EQ(c.local, u"201");
                EXPECT_EQ(c.remote, u"+49 30");
                EXPECT_EQ(c.lname, u"J\u00FCrgen Gro\u00DF");
                EXPECT_EQ(c.rname, u"\u0141ukasz \u017B\u00F3\u0142w");
                EXPECT_EQ(c.connected, u"300");
                EXPECT_EQ(c.cname, u"\u03A9mega Ltd");
                EXPECT_EQ(c.direction, 1);
            }},
        ListCase{"no_server_time", "[{id:\"1\",startdate:100}]", "", 1,
                 [](const TCallList& l) { EXPECT_EQ(l[0]->length, -101); }},
        ListCase{"no_startdate", "[{id:\"1\"}]", "500", 1,
                 [](const TCallList& l) {
                     EXPECT_EQ(l[0]->startdate, 0);
                     EXPECT_EQ(l[0]->length, 500);
                 }},
        ListCase{"unknown_key_only", "[{foo:\"bar\"}]", "9", 1,
                 [](const TCallList& l) {
                     EXPECT_EQ(l[0]->id, "");
                     EXPECT_EQ(l[0]->direction, 0);
                     EXPECT_EQ(l[0]->length, 9);
                 }},
        ListCase{"non_numeric_direction", "[{id:\"1\",direction:\"in\"}]", "0", 1,
                 [](const TCallList& l) { EXPECT_EQ(l[0]->direction, 0); }},
        ListCase{"same_id_twice", "[{id:\"1\",lname:\"a\"},{id:\"1\",lname:\"b\"}]", "0", 2,
                 [](const TCallList& l) {
                     EXPECT_EQ(l[0]->lname, u"a");
                     EXPECT_EQ(l[1]->lname, u"b");
                 }},
        ListCase{"ids_keep_their_bytes", "[{id:\"\xC3\xBC\xFF\",remoteid:\"\x80\"}]", "0", 1,
                 [](const TCallList& l) {
                     EXPECT_EQ(l[0]->id, "\xC3\xBC\xFF");
                     EXPECT_EQ(l[0]->remoteid, "\x80");
                 }},
        ListCase{"invalid_utf8_name",
                 "[{id:\"1\",rname:\"a\xFF"
                 "b\"}]",
                 "0", 1, [](const TCallList& l) { EXPECT_EQ(l[0]->rname, u"a\uFFFDb"); }},
        // A hostile start time must not overflow the length computation.
        ListCase{"extreme_times", "[{id:\"1\",startdate:-2147483648}]", "2147483647", 1,
                 [](const TCallList& l) { EXPECT_EQ(l[0]->length, 2147483647); }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
