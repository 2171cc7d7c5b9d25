// Abort: from another thread while a GET is blocked in every phase, before a
// request starts, after it ended, and racing its start.

#include "HttpCli.h"
#include "HttpTestUtil.h"
#include "NetTestServers.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <random>
#include <thread>

namespace corvane::test {
namespace {

// Long enough that only a hang reaches it; the request's own limit is 30 s.
constexpr auto kHangGuard = std::chrono::seconds(20);

enum class Mode { Get, GetPieces };

struct BlockedCase {
    const char* Name;
    RawServer::Handler Peer;
    bool Accept; // false: the connection never completes
    bool Tls;    // TLS client and https URL: blocked in the handshake
    Mode How;
};

void StallingPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\n\r\npartial");
    server.WaitForStop();
}

// Accepts and reads whatever comes (a TLS hello), never answers.
void MutePeer(RawServer& server, int) {
    server.WaitForStop();
}

class HttpCliBlockedAbortTest : public ::testing::TestWithParam<BlockedCase> {};

TEST_P(HttpCliBlockedAbortTest, AbortFromAnotherThreadEndsTheBlockedRequest) {
    const BlockedCase& c = GetParam();
    RawServer server(c.Peer, c.Accept ? 16 : 0, c.Accept);
    std::unique_ptr<THttpCli> client =
        c.Tls ? std::make_unique<TSslHttpCli>() : std::make_unique<THttpCli>();
    client->URL = WithCredentials(std::string(c.Tls ? "https" : "http") +
                                  "://127.0.0.1:" + std::to_string(server.Port()) + "/client.php");
    auto request = std::async(std::launch::async, [&]() -> std::optional<EHttpException> {
        if (c.How == Mode::Get)
            return GetFailure(*client);
        try {
            client->GetPieces();
            return std::nullopt;
        } catch (const EHttpException& e) {
            return e;
        }
    });
    // Let the request get as far as it can before aborting it.
    if (!c.Accept)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    else if (c.Tls)
        PumpUntil([&] { return server.Connections() >= 1; });
    else
        ASSERT_TRUE(server.WaitForRequests(1));
    client->Abort();
    ASSERT_EQ(request.wait_for(kHangGuard), std::future_status::ready);
    const auto failure = request.get();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassAbort) << failure->what();
    ExpectNoPassword(failure->what());
}

INSTANTIATE_TEST_SUITE_P(
    Phases, HttpCliBlockedAbortTest,
    ::testing::Values(BlockedCase{"Connecting", SilentPeer, false, false, Mode::Get},
                      BlockedCase{"TlsHandshake", MutePeer, true, true, Mode::Get},
                      BlockedCase{"WaitingForAnswer", SilentPeer, true, false, Mode::Get},
                      BlockedCase{"MidBody", StallingPeer, true, false, Mode::Get},
                      BlockedCase{"PiecesWaitingForAnswer", SilentPeer, true, false,
                                  Mode::GetPieces},
                      BlockedCase{"PiecesMidBody", StallingPeer, true, false, Mode::GetPieces}),
    [](const auto& info) { return std::string(info.param.Name); });

// An Abort while no request runs ends the next request at once, and only
// that one; the request that had already ended keeps its result.
TEST(HttpCliAbortTest, AbortBetweenRequestsEndsTheNextOneOnly) {
    TestHttpServer server;
    THttpCli client;
    client.URL = WithCredentials(server.Url("/body"));
    std::string body;
    ASSERT_FALSE(GetFailure(client, &body));
    client.Abort();
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(client.StatusCode(), 200);

    const auto failure = GetFailure(client);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassAbort);
    EXPECT_EQ(server.Requests().size(), 1u) << "the aborted request must not go out";

    body.clear();
    ASSERT_FALSE(GetFailure(client, &body));
    EXPECT_EQ(body, "hello world");
}

TEST(HttpCliAbortTest, AbortBeforeTheFirstRequestEndsIt) {
    RawServer server(SilentPeer);
    THttpCli client;
    client.URL = WithCredentials(server.Url("/client.php"));
    client.Abort();
    const auto failure = GetFailure(client);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassAbort);
    EXPECT_EQ(server.Connections(), 0u);
}

// Abort from another thread at random moments around the start of a
// request: whether it lands before the request or during it, the request
// ends as aborted, and the client can go at once afterwards.
TEST(HttpCliAbortTest, AbortRacingTheStartIsNeverLost) {
    RawServer server(SilentPeer);
    std::mt19937 random(12345);
    // From before the request thread is up to well into the request.
    std::uniform_int_distribution<int> delayUs(0, 1500);
    for (int i = 0; i < 60; ++i) {
        auto client = std::make_unique<THttpCli>();
        client->URL = WithCredentials(server.Url("/client.php"));
        auto request = std::async(std::launch::async, [&] { return GetFailure(*client); });
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        client->Abort();
        ASSERT_EQ(request.wait_for(kHangGuard), std::future_status::ready) << "iteration " << i;
        const auto failure = request.get();
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->ClassName(), EHttpException::ClassAbort) << failure->what();
        client.reset();
    }
}

// Abort and destruction of a client straight after its request, from the
// thread that ran it and from another one.
TEST(HttpCliAbortTest, AbortAfterTheEndIsHarmless) {
    TestHttpServer server;
    for (const bool fromOtherThread : {false, true}) {
        auto client = std::make_unique<THttpCli>();
        client->URL = WithCredentials(server.Url("/body"));
        std::string body;
        ASSERT_FALSE(GetFailure(*client, &body));
        if (fromOtherThread)
            std::thread([&] { client->Abort(); }).join();
        else
            client->Abort();
        client.reset();
        EXPECT_EQ(body, "hello world");
    }
}

} // namespace
} // namespace corvane::test
