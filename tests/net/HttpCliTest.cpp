// The synchronous GET against real servers on 127.0.0.1: what goes on the
// wire, status handling, redirections, cookies, the proxy, the body limit and
// the ways a transfer fails.

#include "HttpCli.h"
#include "HttpTestUtil.h"
#include "NetTestServers.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <thread>

namespace corvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class HttpCliTest : public ::testing::Test {
protected:
    TestHttpServer FServer;
    THttpCli FClient;
};

TEST_F(HttpCliTest, GetReturnsBodyAndStatus) {
    FClient.URL = WithCredentials(FServer.Url("/body"));
    std::string body;
    ASSERT_FALSE(GetFailure(FClient, &body));
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(FClient.StatusCode(), 200);
}

// The request carries HTTP/1.0 on its request line and no header beyond the
// defaults and the Cookie property.
TEST_F(HttpCliTest, RequestIsHttp10WithOnlyDefaultHeadersAndCookie) {
    FClient.URL = WithCredentials(FServer.Url("/body"));
    ASSERT_FALSE(GetFailure(FClient));
    FClient.Cookie = "PHPSESSID=abc123; path=/";
    ASSERT_FALSE(GetFailure(FClient));

    const auto seen = FServer.Requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& r : seen) {
        EXPECT_EQ(r.Method, "GET");
        EXPECT_EQ(r.Version, "HTTP/1.0");
        EXPECT_EQ(r.Target, "/body?" + kCredentials);
    }
    const auto names = [](const SeenRequest& r) {
        std::set<std::string> result;
        for (const auto& [key, value] : r.Headers)
            result.insert(key);
        return result;
    };
    EXPECT_EQ(names(seen[0]), (std::set<std::string>{"Accept", "Host"}));
    EXPECT_EQ(names(seen[1]), (std::set<std::string>{"Accept", "Cookie", "Host"}));
    EXPECT_EQ(seen[1].Header("Cookie"), "PHPSESSID=abc123; path=/");
}

struct StatusCase {
    int Status;
    bool Fails;
};

class HttpCliStatusTest : public HttpCliTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(HttpCliStatusTest, ErrorStatusRaisesExcept401And407) {
    const auto [status, fails] = GetParam();
    const std::string path = "/status/" + std::to_string(status);
    FClient.URL = WithCredentials(FServer.Url(path));
    std::string body = "untouched";
    const auto failure = GetFailure(FClient, &body);
    EXPECT_EQ(FClient.StatusCode(), status);
    if (!fails) {
        ASSERT_FALSE(failure) << failure->what();
        EXPECT_EQ(body, "status body " + std::to_string(status));
        return;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassStatus);
    EXPECT_EQ(failure->StatusCode(), status);
    EXPECT_THAT(failure->what(), HasSubstr(FServer.Url(path)));
    EXPECT_THAT(failure->what(), HasSubstr(std::to_string(status)));
    EXPECT_EQ(body, "untouched");
}

INSTANTIATE_TEST_SUITE_P(Statuses, HttpCliStatusTest,
                         ::testing::Values(StatusCase{200, false}, StatusCase{400, true},
                                           StatusCase{401, false}, StatusCase{403, true},
                                           StatusCase{404, true}, StatusCase{407, false},
                                           StatusCase{500, true}, StatusCase{503, true}),
                         [](const auto& info) { return std::to_string(info.param.Status); });

TEST_F(HttpCliTest, RedirectionIsFollowedAndOnlyTheFinalBodyKept) {
    FClient.URL = WithCredentials(FServer.Url("/redirect"));
    std::string body;
    ASSERT_FALSE(GetFailure(FClient, &body));
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(FClient.StatusCode(), 200);
    const auto seen = FServer.Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].Target, "/body");
    EXPECT_EQ(seen[1].Version, "HTTP/1.0");
}

TEST_F(HttpCliTest, RedirectLoopFails) {
    FClient.URL = WithCredentials(FServer.Url("/loop"));
    const auto failure = GetFailure(FClient);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassTransport);
    EXPECT_THAT(failure->what(), HasSubstr("redirect"));
    // The first request and ten redirections, then it gives up.
    EXPECT_EQ(FServer.Requests().size(), 11u) << failure->what();
}

// Every Set-Cookie, also of a redirection, reaches OnCookie on the thread
// that runs the request.
TEST_F(HttpCliTest, OnCookieForEverySetCookieOnTheRequestingThread) {
    std::vector<std::string> cookies;
    std::set<std::thread::id> threads;
    FClient.OnCookie = [&](THttpCli& sender, const std::string& cookie, bool& accept) {
        EXPECT_EQ(&sender, &FClient);
        EXPECT_TRUE(accept);
        cookies.push_back(cookie);
        threads.insert(std::this_thread::get_id());
    };
    FClient.URL = WithCredentials(FServer.Url("/cookie-redirect"));
    std::thread::id requester;
    std::thread worker([&] {
        requester = std::this_thread::get_id();
        EXPECT_FALSE(GetFailure(FClient));
    });
    worker.join();
    EXPECT_THAT(cookies, ElementsAre("c=3", "a=1; Path=/", "b=2"));
    EXPECT_EQ(threads, std::set<std::thread::id>{requester});
}

// A cookie handler that stores the cookie, as the session does, makes the
// next request send it.
TEST_F(HttpCliTest, CookieStoredByTheHandlerIsSentNextTime) {
    FClient.OnCookie = [](THttpCli& sender, const std::string& cookie, bool&) {
        sender.Cookie = cookie;
    };
    FClient.URL = WithCredentials(FServer.Url("/cookies"));
    ASSERT_FALSE(GetFailure(FClient));
    FClient.URL = WithCredentials(FServer.Url("/body"));
    ASSERT_FALSE(GetFailure(FClient));
    const auto seen = FServer.Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Header("Cookie"), "");
    EXPECT_EQ(seen[1].Header("Cookie"), "b=2");
}

// A cookie goes only to the origin (scheme, host, port) that set it: one
// set by hand belongs to the URL, one received to the answer that carried it.
struct CookieOriginCase {
    const char* Name;
    std::string HandCookie;           // the Cookie property before the first request
    std::vector<std::string> Urls;    // requested in turn; {A} and {B} are the servers' ports
    std::vector<std::string> SeenByA; // the Cookie header of each request A received
    std::vector<std::string> SeenByB;
};

class HttpCliCookieOriginTest : public ::testing::TestWithParam<CookieOriginCase> {};

TEST_P(HttpCliCookieOriginTest, CookieGoesOnlyToTheOriginThatSetIt) {
    const CookieOriginCase& c = GetParam();
    TestHttpServer a;
    TestHttpServer b;
    THttpCli client;
    client.Cookie = c.HandCookie;
    // As the session does: a received cookie replaces the property.
    client.OnCookie = [](THttpCli& sender, const std::string& cookie, bool&) {
        sender.Cookie = cookie;
    };
    const auto expand = [&](std::string url) {
        for (const auto& [mark, port] : {std::pair{"{A}", a.Port()}, std::pair{"{B}", b.Port()}})
            for (size_t at = url.find(mark); at != std::string::npos; at = url.find(mark))
                url.replace(at, 3, std::to_string(port));
        return url;
    };
    for (const std::string& url : c.Urls) {
        client.URL = WithCredentials(expand(url));
        const auto failure = GetFailure(client);
        ASSERT_FALSE(failure) << failure->what();
    }
    const auto cookies = [](const TestHttpServer& server) {
        std::vector<std::string> seen;
        for (const auto& r : server.Requests())
            seen.push_back(r.Header("Cookie"));
        return seen;
    };
    EXPECT_EQ(cookies(a), c.SeenByA);
    EXPECT_EQ(cookies(b), c.SeenByB);
}

INSTANTIATE_TEST_SUITE_P(
    Redirections, HttpCliCookieOriginTest,
    ::testing::Values(
        CookieOriginCase{"ToAnotherPort",
                         "s=1",
                         {"http://127.0.0.1:{A}/goto/http/127.0.0.1/{B}/body"},
                         {"s=1"},
                         {""}},
        CookieOriginCase{
            "ThereAndBack",
            "s=1",
            {"http://127.0.0.1:{A}/goto/http/127.0.0.1/{B}/goto/http/127.0.0.1/{A}/body"},
            {"s=1", "s=1"},
            {""}},
        CookieOriginCase{"ToAnotherHostName",
                         "s=1",
                         {"http://127.0.0.1:{A}/goto/http/localhost/{A}/body"},
                         {"s=1", ""},
                         {}},
        // B's cookie, received at the end of a redirection from A, is B's alone.
        CookieOriginCase{"SetByTheRedirectionTarget",
                         "",
                         {"http://127.0.0.1:{A}/goto/http/127.0.0.1/{B}/cookies",
                          "http://127.0.0.1:{A}/body", "http://127.0.0.1:{B}/body"},
                         {"", ""},
                         {"", "b=2"}}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// Proxy

// A proxy that records the request line and answers by itself.
void ProxyPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nvia proxy");
}

TEST(HttpCliProxyTest, RequestGoesThroughTheProxyWithAnAbsoluteUri) {
    RawServer proxy(ProxyPeer);
    THttpCli client;
    client.Proxy = "127.0.0.1";
    client.ProxyPort = std::to_string(proxy.Port());
    client.URL = WithCredentials("http://update.example.invalid:8081/files/a.bin");
    std::string body;
    ASSERT_FALSE(GetFailure(client, &body));
    EXPECT_EQ(body, "via proxy");
    EXPECT_THAT(proxy.RequestLines(),
                ElementsAre("GET http://update.example.invalid:8081/files/a.bin?" + kCredentials +
                            " HTTP/1.0"));
}

TEST(HttpCliProxyTest, InvalidProxyPortFailsClearly) {
    for (const char* port : {"abc", "0", "65536", "80x", "-1"}) {
        THttpCli client;
        client.Proxy = "127.0.0.1";
        client.ProxyPort = port;
        client.URL = WithCredentials("http://127.0.0.1:1/x");
        const auto failure = GetFailure(client);
        ASSERT_TRUE(failure) << port;
        EXPECT_EQ(failure->ClassName(), EHttpException::ClassTransport);
        EXPECT_THAT(failure->what(), HasSubstr("proxy port")) << port;
    }
}

// Sets environment variables for one test and restores them.
class EnvironmentGuard {
public:
    EnvironmentGuard(std::initializer_list<std::pair<const char*, std::string>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            FSaved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            Set(name, value.c_str());
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : FSaved) {
            if (value)
                Set(name.c_str(), value->c_str());
            else
                Unset(name.c_str());
        }
    }

private:
#ifdef _WIN32
    static void Set(const char* name, const char* value) {
        ::_putenv_s(name, value);
    }
    static void Unset(const char* name) {
        ::_putenv_s(name, "");
    }
#else
    static void Set(const char* name, const char* value) {
        ::setenv(name, value, 1);
    }
    static void Unset(const char* name) {
        ::unsetenv(name);
    }
#endif

    std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};

// The program reads no environment variables: a proxy named there is not used.
TEST(HttpCliProxyTest, EnvironmentProxyIsIgnored) {
    RawServer proxy(ProxyPeer);
    TestHttpServer server;
    const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.Port());
    EnvironmentGuard env{{"http_proxy", proxyUrl},
                         {"HTTP_PROXY", proxyUrl},
                         {"ALL_PROXY", proxyUrl},
                         {"all_proxy", proxyUrl},
                         {"no_proxy", ""}};
    THttpCli client;
    client.URL = WithCredentials(server.Url("/body"));
    std::string body;
    ASSERT_FALSE(GetFailure(client, &body));
    EXPECT_EQ(body, "hello world");
    EXPECT_TRUE(proxy.RequestLines().empty());
}

// ...and a no_proxy variable does not bypass the configured proxy.
TEST(HttpCliProxyTest, EnvironmentNoProxyIsIgnored) {
    RawServer proxy(ProxyPeer);
    EnvironmentGuard env{{"no_proxy", "*"}, {"NO_PROXY", "*"}};
    THttpCli client;
    client.Proxy = "127.0.0.1";
    client.ProxyPort = std::to_string(proxy.Port());
    client.URL = WithCredentials("http://127.0.0.1:1/x");
    std::string body;
    ASSERT_FALSE(GetFailure(client, &body));
    EXPECT_EQ(body, "via proxy");
}

// ---------------------------------------------------------------------------
// Body limit

struct LimitCase {
    size_t BodySize;
    size_t Limit;
    bool Fails;
};

class HttpCliLimitTest : public HttpCliTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(HttpCliLimitTest, BodyLargerThanTheLimitFails) {
    const auto [size, limit, fails] = GetParam();
    FClient.MaxBodySize = limit;
    FClient.URL = WithCredentials(FServer.Url("/size/" + std::to_string(size)));
    std::string body;
    const auto failure = GetFailure(FClient, &body);
    if (!fails) {
        ASSERT_FALSE(failure) << failure->what();
        EXPECT_EQ(body.size(), size);
        return;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassTooLarge);
    EXPECT_THAT(failure->what(), HasSubstr("limit of " + std::to_string(limit) + " bytes"));
}

INSTANTIATE_TEST_SUITE_P(Limits, HttpCliLimitTest,
                         ::testing::Values(LimitCase{1000, 1000, false},
                                           LimitCase{1001, 1000, true},
                                           LimitCase{300000, 100000, true},
                                           LimitCase{300000, 0, false}));

// The limit stops a body that never ends.
TEST(HttpCliLimitEndlessTest, EndlessBodyStopsAtTheLimit) {
    RawServer server(EndlessPeer);
    THttpCli client;
    client.MaxBodySize = 1 << 20;
    client.URL = WithCredentials(server.Url("/stream"));
    const auto failure = GetFailure(client);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassTooLarge);
}

// ---------------------------------------------------------------------------
// Failures of the transfer

// Headers promise 1000 bytes, 100 come, then a reset.
void ResetPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'r'));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RawServer::ResetOnClose(fd);
}

// Headers promise 1000 bytes, 100 come, then an orderly close.
void ShortPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 's'));
}

// Answers something that is not HTTP.
void GarbagePeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "NONSENSE\r\n\r\n");
}

// Sends the headers and part of the body, then falls silent.
void StallingPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\n\r\npartial");
    server.WaitForStop();
}

struct FailureCase {
    const char* Name;
    RawServer::Handler Peer; // empty: nobody listens on the port
    bool Accept;             // false: connections never complete
    const char* Class;
    int Status; // StatusCode() afterwards
};

class HttpCliFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(HttpCliFailureTest, FailureIsReportedWithClassAndUrlButNoPassword) {
    const FailureCase& c = GetParam();
    std::unique_ptr<RawServer> server;
    int port = FreePort();
    if (c.Peer) {
        server = std::make_unique<RawServer>(c.Peer, c.Accept ? 16 : 0, c.Accept);
        port = server->Port();
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/client.php";
    THttpCli client;
    client.Timeout = std::chrono::milliseconds(400);
    client.URL = WithCredentials(url);
    const auto failure = GetFailure(client);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), c.Class) << failure->what();
    EXPECT_THAT(failure->what(), StartsWith("GET " + url + " "));
    EXPECT_EQ(failure->StatusCode(), 0);
    EXPECT_EQ(client.StatusCode(), c.Status);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HttpCliFailureTest,
    ::testing::Values(
        FailureCase{"Refused", {}, true, EHttpException::ClassTransport, 0},
        FailureCase{"ResetMidBody", ResetPeer, true, EHttpException::ClassTransport, 200},
        FailureCase{"ClosedMidBody", ShortPeer, true, EHttpException::ClassTransport, 200},
        FailureCase{"NotHttp", GarbagePeer, true, EHttpException::ClassTransport, 0},
        FailureCase{"SilentAfterRequest", SilentPeer, true, EHttpException::ClassTimeout, 0},
        FailureCase{"StalledMidBody", StallingPeer, true, EHttpException::ClassTimeout, 200},
        FailureCase{"ConnectHangs", SilentPeer, false, EHttpException::ClassTimeout, 0}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HttpCliUrlTest, UnusableUrlsFail) {
    for (const std::string& url :
         {std::string(), "http://[::1/x?" + kCredentials, "ftp://127.0.0.1/x?" + kCredentials,
          // The plain client has no TLS settings and does not speak https.
          "https://127.0.0.1:1/x?" + kCredentials}) {
        THttpCli client;
        client.URL = url;
        const auto failure = GetFailure(client);
        ASSERT_TRUE(failure) << url;
        EXPECT_EQ(failure->ClassName(), EHttpException::ClassTransport) << failure->what();
    }
}

// Sends one byte of body every 150 ms; together it takes far longer than the
// inactivity limit, which counts from the last byte.
void CrawlingPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\n\r\n");
    for (char c = '0'; c <= '9' && !server.Stopping(); ++c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        RawServer::Send(fd, std::string(1, c));
    }
}

TEST(HttpCliTimeoutTest, SlowButSteadyAnswerIsNotInactive) {
    RawServer server(CrawlingPeer);
    THttpCli client;
    client.Timeout = std::chrono::milliseconds(600);
    client.URL = WithCredentials(server.Url("/slow"));
    std::string body;
    ASSERT_FALSE(GetFailure(client, &body));
    EXPECT_EQ(body, "0123456789");
}

} // namespace
} // namespace corvane::test
