#pragma once

// Servers on 127.0.0.1 for the HTTP client tests: a well-behaved HTTP(S)
// server (cpp-httplib; NetTestHttpServer*.cpp) that records what it receives,
// a raw socket server for peers that misbehave, and a self-signed certificate.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace corvane::test {

class RawServer;

// The password every test URL carries in its query; no message may show it.
inline constexpr const char* kPassword = "Zq7-secret-Pw";
inline const std::string kCredentials = std::string("username=tester&password=") + kPassword;

// What a server saw of one request.
struct SeenRequest {
    std::string Method;
    std::string Target;  // as on the request line
    std::string Version; // "HTTP/1.0"
    std::multimap<std::string, std::string> Headers;
    std::string Header(const std::string& name) const;
};

// A self-signed certificate and key for the name "localhost" only (no IP
// address), written as PEM files into `folder`.
struct CertificateFiles {
    std::string CertFile;
    std::string KeyFile;
};
CertificateFiles MakeSelfSignedCertificate(const std::string& folder);

// An HTTP server (or HTTPS with a certificate) on a free port of 127.0.0.1
// with the routes below; stopped by the destructor. On Windows the same
// routes are served by RawServer, without TLS (no OpenSSL there).
//   /body                 "hello world"
//   /status/<n>           status n with body "status body <n>"
//   /redirect             302 to /body (with a body of its own)
//   /loop                 302 to itself
//   /cookies              200 with two Set-Cookie headers "a=1; Path=/" and "b=2"
//   /cookie-redirect      302 with Set-Cookie "c=3", to /cookies
//   /size/<n>             n bytes of 'x'
//   /goto/<scheme>/<host>/<port>/<path>
//                         302 to <scheme>://<host>:<port>/<path>
class TestHttpServer {
public:
    explicit TestHttpServer(const CertificateFiles* tls = nullptr);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int Port() const { return FPort; }
    std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const;
    std::vector<SeenRequest> Requests() const;

private:
    void Record(const httplib::Request& req);
    // Windows: the routes served over the raw socket server.
    void Serve(RawServer& server, int fd);

    bool FTls;
    // Shared, not unique: a Windows build ends it without knowing its type.
    std::shared_ptr<httplib::Server> FServer;
    std::unique_ptr<RawServer> FRaw;
    std::thread FThread;
    int FPort = 0;
    mutable std::mutex FMutex;
    std::vector<SeenRequest> FRequests;
};

// A TCP server on 127.0.0.1 that hands every accepted connection to `handler`
// on a thread of its own and closes the connection when the handler returns.
// The destructor wakes handlers blocked in socket calls or in WaitForStop.
class RawServer {
public:
    using Handler = std::function<void(RawServer& server, int fd)>;
    // `backlog` of the listening socket; `accept` false leaves connections
    // in the queue (a peer that never completes the connection once the
    // queue is full).
    explicit RawServer(Handler handler, int backlog = 16, bool accept = true);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int Port() const { return FPort; }
    std::string Url(const std::string& path) const;

    // For handlers: reads the request head up to the blank line and records
    // its first line; "" when the peer closed first.
    std::string ReadHead(int fd);
    static bool Send(int fd, const std::string& bytes);
    // Makes the close after the handler a reset (RST) instead of an orderly end.
    static void ResetOnClose(int fd);
    static void SetSendBuffer(int fd, int bytes);
    // Blocks until the server stops. True if it stopped, false on time-out.
    bool WaitForStop(std::chrono::milliseconds timeout = std::chrono::minutes(5));
    bool Stopping() const { return FStopping.load(); }

    // Request lines read by ReadHead so far, and a wait for the n-th.
    std::vector<std::string> RequestLines() const;
    bool WaitForRequests(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    size_t Connections() const;

private:
    void AcceptLoop();

    Handler FHandler;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::thread FAcceptThread;
    mutable std::mutex FMutex;
    std::condition_variable FCv;
    std::vector<std::thread> FThreads;
    std::set<int> FOpen;
    std::vector<std::string> FLines;
    size_t FConnections = 0;
};

// Handlers for RawServer.
// Reads the request and then never answers.
void SilentPeer(RawServer& server, int fd);
// Answers headers and then body bytes without end, until the client goes.
void EndlessPeer(RawServer& server, int fd);

} // namespace corvane::test
