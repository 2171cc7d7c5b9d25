// GetASync (events on the main thread, in order; Abort; destruction with
// events queued) and GetPieces (events and idle calls on the calling thread).

#include "HttpCli.h"
#include "HttpTestUtil.h"
#include "MainThread.h"
#include "NetTestServers.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace corvane::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Sends the body in five pieces with pauses, then closes (no length: the
// end of the connection ends the body, as with the recorder's audio stream).
void PiecesPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n");
    for (int i = 0; i < 5 && !server.Stopping(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        RawServer::Send(fd, "piece" + std::to_string(i) + ";");
    }
}

// Forty small pieces, one every 10 ms, like a recorder's live audio.
void TricklePeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n");
    for (int i = 0; i < 40 && !server.Stopping(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        RawServer::Send(fd, std::to_string(i % 10));
    }
}

void ResetPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'r'));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RawServer::ResetOnClose(fd);
}

void StallingPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\n\r\npartial");
    server.WaitForStop();
}

// Everything a client raised, in order, and on which thread.
struct EventLog {
    std::string Data;
    int DataEvents = 0;
    int DocEnds = 0;
    int Dones = 0;
    std::string Error;
    bool Ok = true;
    THttpErrorKind Kind = THttpErrorKind::Transport;
    std::vector<std::string> Order; // "data", "end", "done"
    bool OffThread = false;         // an event came on another thread than expected
    std::thread::id Expected = std::this_thread::get_id();

    void Attach(THttpCli& client) {
        client.OnDocData = [this](THttpCli&, const char* data, size_t len) {
            Note("data");
            Data.append(data, len);
            ++DataEvents;
        };
        client.OnDocEnd = [this](THttpCli&) {
            Note("end");
            ++DocEnds;
        };
        client.OnRequestDone = [this](THttpCli&, const THttpResult& result) {
            Note("done");
            ++Dones;
            Ok = result.Ok;
            Kind = result.Kind;
            Error = result.Error;
        };
    }
    void Note(const char* what) {
        if (std::this_thread::get_id() != Expected)
            OffThread = true;
        if (Order.empty() || Order.back() != what)
            Order.push_back(what);
    }
};

// Waits, without running the main thread's queue, until `count` calls have
// been queued for it (counted by a wake-up hook).
void WaitForQueued(const std::atomic<int>& queued, int count) {
    for (int i = 0; i < 2000 && queued.load() < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(queued.load(), count);
}

class HttpCliAsyncTest : public ::testing::Test {
protected:
    void SetUp() override { SetMainThread(); }
    void TearDown() override {
        SetMainThreadWakeup({});
        PumpFor(std::chrono::milliseconds(20));
    }
};

TEST_F(HttpCliAsyncTest, EventsArriveInOrderOnTheMainThread) {
    RawServer server(PiecesPeer);
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(server.Url("/client.php"));
    client.GetASync();
    EXPECT_TRUE(client.Busy());
    ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }));
    EXPECT_EQ(log.Data, "piece0;piece1;piece2;piece3;piece4;");
    EXPECT_GT(log.DataEvents, 1);
    EXPECT_EQ(log.Order, (std::vector<std::string>{"data", "end", "done"}));
    EXPECT_EQ(log.DocEnds, 1);
    EXPECT_TRUE(log.Ok);
    EXPECT_EQ(log.Error, "");
    EXPECT_FALSE(log.OffThread);
    EXPECT_FALSE(client.Busy());
    EXPECT_EQ(client.StatusCode(), 200);
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(log.Dones, 1);
}

// With a delivery interval the pieces of a trickling stream are handed over
// in a few larger ones, complete and in order; without, one by one.
TEST_F(HttpCliAsyncTest, ADeliveryIntervalHandsATrickleOverInFewerPieces) {
    const std::string sent = [] {
        std::string s;
        for (int i = 0; i < 40; ++i)
            s += std::to_string(i % 10);
        return s;
    }();
    int events[2] = {0, 0};
    for (const int interval : {0, 200}) {
        RawServer server(TricklePeer);
        THttpCli client;
        EventLog log;
        log.Attach(client);
        client.DeliveryInterval = std::chrono::milliseconds(interval);
        client.URL = WithCredentials(server.Url("/client.php"));
        client.GetASync();
        ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }));
        EXPECT_EQ(log.Data, sent);
        EXPECT_TRUE(log.Ok) << log.Error;
        EXPECT_EQ(log.Order, (std::vector<std::string>{"data", "end", "done"}));
        events[interval == 0 ? 0 : 1] = log.DataEvents;
    }
    EXPECT_GT(events[0], 20) << "without an interval every piece comes on its own";
    EXPECT_LT(events[1], 10) << "with 200 ms the forty pieces come in a few hand-overs";
}

// Abort ends the network thread's rest at once: the client, destroyed right
// after, does not wait out an hour-long interval.
TEST_F(HttpCliAsyncTest, AbortEndsTheRestBetweenDeliveries) {
    RawServer server(TricklePeer);
    auto client = std::make_unique<THttpCli>();
    EventLog log;
    log.Attach(*client);
    client->DeliveryInterval = std::chrono::hours(1);
    client->URL = WithCredentials(server.Url("/client.php"));
    client->GetASync();
    ASSERT_TRUE(PumpUntil([&] { return log.DataEvents > 0; }));
    client->Abort();
    client.reset(); // joins the network thread
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(log.DataEvents, 1);
    EXPECT_EQ(log.Dones, 0);
}

TEST_F(HttpCliAsyncTest, EmptyBodyEndsTheDocumentToo) {
    TestHttpServer server;
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(server.Url("/size/0"));
    client.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }));
    EXPECT_EQ(log.Order, (std::vector<std::string>{"end", "done"}));
    EXPECT_TRUE(log.Ok);
    EXPECT_EQ(log.Error, "");
}

struct AsyncFailureCase {
    const char* Name;
    RawServer::Handler Peer; // empty: the HTTP test server, path below
    const char* Path;        // for the HTTP test server
    size_t Limit;            // MaxBodySize
    const char* Class;       // start of the error text
    std::vector<std::string> Order;
};

class HttpCliAsyncFailureTest : public HttpCliAsyncTest,
                                public ::testing::WithParamInterface<AsyncFailureCase> {};

// A failure before the body raises no body event; a failure after the body
// began still ends the document; OnRequestDone comes last with the error.
TEST_P(HttpCliAsyncFailureTest, FailureEndsWithRequestDoneAndTheError) {
    const AsyncFailureCase& c = GetParam();
    std::unique_ptr<RawServer> raw;
    std::unique_ptr<TestHttpServer> http;
    std::string url;
    if (c.Peer) {
        raw = std::make_unique<RawServer>(c.Peer);
        url = raw->Url("/client.php");
    } else if (c.Path) {
        http = std::make_unique<TestHttpServer>();
        url = http->Url(c.Path);
    } else {
        url = "http://127.0.0.1:" + std::to_string(FreePort()) + "/client.php";
    }
    THttpCli client;
    client.Timeout = std::chrono::milliseconds(400);
    client.MaxBodySize = c.Limit;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(url);
    client.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }));
    EXPECT_EQ(log.Order, c.Order);
    EXPECT_FALSE(log.Ok);
    // The kind travels as a value; the text names it for the log.
    EXPECT_EQ(EHttpException::ClassNameOf(log.Kind), std::string(c.Class));
    EXPECT_THAT(log.Error, StartsWith(std::string(c.Class) + " GET " + url));
    ExpectNoPassword(log.Error);
    EXPECT_FALSE(log.OffThread);
    EXPECT_FALSE(client.Busy());
}

const std::vector<std::string> kNoBody{"done"};
const std::vector<std::string> kCutBody{"data", "end", "done"};

INSTANTIATE_TEST_SUITE_P(
    Failures, HttpCliAsyncFailureTest,
    ::testing::Values(
        AsyncFailureCase{"Refused", {}, nullptr, 0, EHttpException::ClassTransport, kNoBody},
        AsyncFailureCase{"Status404", {}, "/status/404", 0, EHttpException::ClassStatus, kNoBody},
        AsyncFailureCase{"Silent", SilentPeer, nullptr, 0, EHttpException::ClassTimeout, kNoBody},
        AsyncFailureCase{"ResetMidBody", ResetPeer, nullptr, 0, EHttpException::ClassTransport,
                         kCutBody},
        AsyncFailureCase{"StalledMidBody", StallingPeer, nullptr, 0, EHttpException::ClassTimeout,
                         kCutBody},
        AsyncFailureCase{"TooLarge", EndlessPeer, nullptr, 100000, EHttpException::ClassTooLarge,
                         kCutBody}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HttpCliAsyncTest, AbortInsideOnDocDataStopsEveryFurtherEvent) {
    RawServer server(EndlessPeer);
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.OnDocData = [&](THttpCli& sender, const char*, size_t) {
        ++log.DataEvents;
        sender.Abort();
    };
    std::atomic<int> queued{0};
    SetMainThreadWakeup([&] { ++queued; });
    client.URL = WithCredentials(server.Url("/client.php"));
    client.GetASync();
    // Let several pieces queue up before the first is delivered: those
    // behind it must be dropped too.
    WaitForQueued(queued, 3);
    ASSERT_TRUE(PumpUntil([&] { return log.DataEvents > 0; }));
    EXPECT_FALSE(client.Busy());
    PumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(log.DataEvents, 1);
    EXPECT_EQ(log.DocEnds, 0);
    EXPECT_EQ(log.Dones, 0);
}

TEST_F(HttpCliAsyncTest, AbortBeforeTheStartDeliversNothing) {
    TestHttpServer server;
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(server.Url("/body"));
    client.Abort();
    client.GetASync();
    EXPECT_FALSE(client.Busy());
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(log.Order.empty());
    EXPECT_TRUE(server.Requests().empty());

    client.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }));
    EXPECT_EQ(log.Data, "hello world");
}

TEST_F(HttpCliAsyncTest, AbortRightAfterTheStartDeliversNothing) {
    TestHttpServer server;
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(server.Url("/size/100000"));
    client.GetASync();
    client.Abort();
    EXPECT_FALSE(client.Busy());
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(log.Order.empty());
}

TEST_F(HttpCliAsyncTest, AbortAfterTheEndChangesNothing) {
    TestHttpServer server;
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(server.Url("/body"));
    client.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }));
    client.Abort();
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(log.Order, (std::vector<std::string>{"data", "end", "done"}));
    EXPECT_EQ(log.Data, "hello world");
    EXPECT_FALSE(client.Busy());
}

// Destroying the client while its events wait in the main thread's queue:
// they find the client gone and do nothing.
TEST_F(HttpCliAsyncTest, ClientDestroyedWithEventsQueued) {
    TestHttpServer server;
    std::atomic<int> queued{0};
    SetMainThreadWakeup([&] { ++queued; });
    auto client = std::make_unique<THttpCli>();
    auto log = std::make_shared<EventLog>();
    log->Attach(*client);
    client->URL = WithCredentials(server.Url("/size/300000"));
    client->GetASync();
    WaitForQueued(queued, 3);
    client.reset();
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(log->Order.empty());
}

// Destroying the client inside its own event.
TEST_F(HttpCliAsyncTest, ClientDestroyedInsideOnDocData) {
    RawServer server(EndlessPeer);
    auto client = std::make_unique<THttpCli>();
    int events = 0;
    client->OnDocData = [&](THttpCli&, const char*, size_t) {
        ++events;
        client.reset();
    };
    client->URL = WithCredentials(server.Url("/client.php"));
    client->GetASync();
    ASSERT_TRUE(PumpUntil([&] { return client == nullptr; }));
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(events, 1);
}

TEST_F(HttpCliAsyncTest, GetASyncOnABusyClientAbortsTheOldRequest) {
    RawServer endless(EndlessPeer);
    TestHttpServer server;
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(endless.Url("/client.php"));
    client.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return log.DataEvents > 0; }));

    EventLog second;
    second.Attach(client);
    client.URL = WithCredentials(server.Url("/body"));
    client.GetASync();
    EXPECT_TRUE(client.Busy());
    ASSERT_TRUE(PumpUntil([&] { return second.Dones > 0; }));
    EXPECT_EQ(second.Data, "hello world");
    EXPECT_EQ(second.Order, (std::vector<std::string>{"data", "end", "done"}));
    EXPECT_EQ(second.Error, "");
    EXPECT_EQ(log.Dones, 0);
    EXPECT_EQ(log.DocEnds, 0);
}

TEST_F(HttpCliAsyncTest, OnCookieRunsOnTheNetworkThread) {
    TestHttpServer server;
    THttpCli client;
    EventLog log;
    log.Attach(client);
    std::vector<std::string> cookies;
    bool onMain = false;
    client.OnCookie = [&](THttpCli&, const std::string& cookie, bool&) {
        cookies.push_back(cookie);
        onMain = onMain || IsMainThread();
    };
    client.URL = WithCredentials(server.Url("/cookies"));
    client.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }));
    EXPECT_EQ(cookies, (std::vector<std::string>{"a=1; Path=/", "b=2"}));
    EXPECT_FALSE(onMain);
}

// A cookie handler that hands work to the main thread synchronously, as the
// window's log does, while the main thread destroys the client.
TEST_F(HttpCliAsyncTest, DestructionServesACookieHandlerWaitingForTheMainThread) {
    TestHttpServer server;
    auto client = std::make_unique<THttpCli>();
    std::atomic<bool> inHandler{false};
    int synchronized = 0;
    client->OnCookie = [&](THttpCli&, const std::string&, bool&) {
        inHandler = true;
        Synchronize([&] { ++synchronized; });
    };
    client->URL = WithCredentials(server.Url("/cookies"));
    client->GetASync();
    for (int i = 0; i < 2000 && !inHandler.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(inHandler.load());
    client.reset();
    EXPECT_GE(synchronized, 1);
}

// A recorder's backlog sent faster than the main thread takes it: the bytes
// waiting for the main thread stay bounded, and all of them arrive in order.
char BurstByte(size_t offset) {
    // Differs between any two 64 KiB pieces, so a piece out of place shows.
    return static_cast<char>((offset >> 16) * 31 + (offset >> 8) * 7 + offset);
}

struct BurstPeer {
    size_t Total = 0;
    std::atomic<size_t> Sent{0}; // bytes the kernel has taken from the peer

    void Serve(RawServer& server, int fd) {
        if (server.ReadHead(fd).empty())
            return;
        // A small send buffer, so what the peer has sent is what the client's
        // side holds, give or take its receive buffer.
        RawServer::SetSendBuffer(fd, 64 * 1024);
        if (!RawServer::Send(fd, "HTTP/1.0 200 OK\r\n\r\n"))
            return;
        std::string chunk(64 * 1024, '\0');
        for (size_t offset = 0; offset < Total && !server.Stopping(); offset += chunk.size()) {
            for (size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = BurstByte(offset + i);
            if (!RawServer::Send(fd, chunk))
                return;
            Sent += chunk.size();
        }
    }
};

// The most a loopback connection holds in flight: the largest receive buffer
// the kernel grows to, the peer's send buffer (doubled by the kernel), and the
// piece curl holds while paused.
size_t InFlightAllowance() {
    size_t receiveBuffer = 6 * 1024 * 1024; // the kernel's default tcp_rmem maximum
    std::ifstream rmem("/proc/sys/net/ipv4/tcp_rmem");
    size_t low = 0, initial = 0, most = 0;
    if (rmem >> low >> initial >> most)
        receiveBuffer = most;
    return receiveBuffer + 2 * 64 * 1024 + 1024 * 1024;
}

TEST_F(HttpCliAsyncTest, ABurstWaitsInTheNetworkWhileTheMainThreadIsBusy) {
    const size_t bound = THttpCli::MaxPendingDelivery + InFlightAllowance();
    BurstPeer peer;
    // Twice what the bound lets through: a client without it takes it all.
    peer.Total = std::max<size_t>(48 * 1024 * 1024, 2 * bound);
    RawServer server([&](RawServer& s, int fd) { peer.Serve(s, fd); });
    THttpCli client;
    // Shorter than the busy spell below: waiting for the main thread is not
    // silence of the peer.
    client.Timeout = std::chrono::milliseconds(1000);
    EventLog log;
    log.Attach(client);
    size_t received = 0;
    size_t firstWrong = std::string::npos;
    client.OnDocData = [&](THttpCli&, const char* data, size_t len) {
        for (size_t i = 0; i < len && firstWrong == std::string::npos; ++i)
            if (data[i] != BurstByte(received + i))
                firstWrong = received + i;
        received += len;
    };
    client.URL = WithCredentials(server.Url("/client.php"));
    client.GetASync();
    ASSERT_TRUE(PumpUntil([&] { return received > 0; }));

    const size_t deliveredBefore = received;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500)); // the main thread is busy
    const size_t taken = peer.Sent.load() - deliveredBefore;
    EXPECT_LE(taken, bound) << "bytes taken from the peer while the main thread delivered none";

    ASSERT_TRUE(PumpUntil([&] { return log.Dones > 0; }, std::chrono::seconds(60)));
    EXPECT_TRUE(log.Ok) << log.Error;
    EXPECT_EQ(received, peer.Total);
    EXPECT_EQ(firstWrong, std::string::npos) << "first byte out of order";
    EXPECT_EQ(log.DocEnds, 1);
}

// ---------------------------------------------------------------------------
// GetPieces

void CrawlingPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 200 OK\r\n\r\n");
    for (char c = '0'; c <= '4' && !server.Stopping(); ++c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        RawServer::Send(fd, std::string(1, c));
    }
}

TEST(HttpCliPiecesTest, PiecesAndIdleCallsOnTheCallingThread) {
    RawServer server(CrawlingPeer);
    THttpCli client;
    EventLog log;
    int idles = 0;
    std::thread([&] {
        log.Expected = std::this_thread::get_id();
        log.Attach(client);
        client.URL = WithCredentials(server.Url("/update.bin"));
        client.GetPieces([&] {
            ++idles;
            log.Note("idle");
        });
    }).join();
    EXPECT_EQ(log.Data, "01234");
    EXPECT_GE(log.DataEvents, 2);
    EXPECT_EQ(log.DocEnds, 1);
    EXPECT_EQ(log.Order.back(), "end");
    EXPECT_EQ(log.Dones, 0) << "OnRequestDone belongs to GetASync";
    // About every 20 ms during some 300 ms of waiting.
    EXPECT_GE(idles, 5);
    EXPECT_FALSE(log.OffThread);
}

struct PiecesFailureCase {
    const char* Name;
    RawServer::Handler Peer;
    const char* Class;
    std::vector<std::string> Order;
};

class HttpCliPiecesFailureTest : public ::testing::TestWithParam<PiecesFailureCase> {};

TEST_P(HttpCliPiecesFailureTest, FailureAfterTheEvents) {
    const PiecesFailureCase& c = GetParam();
    RawServer server(c.Peer);
    THttpCli client;
    client.Timeout = std::chrono::milliseconds(400);
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(server.Url("/update.bin"));
    try {
        client.GetPieces();
        FAIL() << "no failure";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ClassName(), c.Class) << e.what();
        ExpectNoPassword(e.what());
    }
    EXPECT_EQ(log.Order, c.Order);
}

void NotFoundPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    RawServer::Send(fd, "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HttpCliPiecesFailureTest,
    ::testing::Values(PiecesFailureCase{"Status404", NotFoundPeer, EHttpException::ClassStatus, {}},
                      PiecesFailureCase{"Silent", SilentPeer, EHttpException::ClassTimeout, {}},
                      PiecesFailureCase{"ResetMidBody",
                                        ResetPeer,
                                        EHttpException::ClassTransport,
                                        {"data", "end"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HttpCliPiecesTest, AbortInsideIdleEndsTheRequest) {
    RawServer server(SilentPeer);
    THttpCli client;
    EventLog log;
    log.Attach(client);
    client.URL = WithCredentials(server.Url("/update.bin"));
    try {
        client.GetPieces([&] { client.Abort(); });
        FAIL() << "no failure";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ClassName(), EHttpException::ClassAbort);
    }
    EXPECT_TRUE(log.Order.empty());
}

// A user interface may close the window that owns the client while it
// processes messages in `idle`.
TEST(HttpCliPiecesTest, ClientDestroyedInsideIdleEndsTheRequest) {
    RawServer server(CrawlingPeer);
    auto client = std::make_unique<THttpCli>();
    EventLog log;
    log.Attach(*client);
    client->URL = WithCredentials(server.Url("/update.bin"));
    THttpCli* raw = client.get();
    try {
        raw->GetPieces([&] {
            if (!log.Data.empty())
                client.reset();
        });
        FAIL() << "no failure";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ClassName(), EHttpException::ClassAbort);
    }
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(log.DocEnds, 0);
}

} // namespace
} // namespace corvane::test
