#pragma once

// HTTP client layer on libcurl: a plain client and a TLS client with one
// interface, a shared TLS context, synchronous and asynchronous GET.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace corvane {

// A request failure: connection or transfer failed, inactivity limit reached,
// request aborted, answer too large, or a final status of 400 or more (401 and
// 407 excepted). ClassName() names the kind of failure for the log.
class EHttpException : public std::runtime_error {
public:
    EHttpException(std::string className, const std::string& message, int statusCode = 0)
        : std::runtime_error(message), FClassName(std::move(className)), FStatusCode(statusCode) {}
    const std::string& ClassName() const { return FClassName; }
    // The HTTP status when the failure is an HTTP error answer, else 0.
    int StatusCode() const { return FStatusCode; }

private:
    std::string FClassName;
    int FStatusCode;
};

// TLS settings shared by every TLS client of one engine run. Held by
// shared_ptr, so it lives as long as any client using it. The defaults load
// no certificate and verify nothing (a recorder's certificate is usually
// self-signed and named after a host the user does not type).
class TSslContext {
public:
    TSslContext() = default;
    std::string CaFile;        // PEM bundle; empty: none
    bool VerifyPeer = false;
    bool VerifyHost = false;
};

class THttpCli {
public:
    THttpCli();
    virtual ~THttpCli();
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // Request properties. Set them before a request, on the thread that runs it.
    std::string URL;
    std::string Cookie;    // sent as the Cookie header when not empty
    std::string Proxy;     // HTTP proxy host; empty: direct connection
    std::string ProxyPort; // HTTP proxy port, decimal text
    // Inactivity limit: the request fails when no byte has moved for this long.
    std::chrono::milliseconds Timeout{30000};
    // Largest body accepted; 0 means no limit. A larger body fails the request.
    size_t MaxBodySize = 0;

    // Raised for every Set-Cookie header, on the thread that runs the request.
    // `cookie` is the header value as received; `accept` starts true.
    std::function<void(THttpCli& sender, const std::string& cookie, bool& accept)> OnCookie;

    // Body pieces and the end of the document. For GetASync they are delivered
    // on the main thread (through Post), in order; for GetPieces on the calling
    // thread. `data` holds body bytes only.
    std::function<void(THttpCli& sender, const char* data, size_t len)> OnDocData;
    std::function<void(THttpCli& sender)> OnDocEnd;
    // GetASync only: raised on the main thread after the last other event of
    // the request: `error` is empty on success, else the failure's class name
    // and message. Not raised after Abort.
    std::function<void(THttpCli& sender, const std::string& error)> OnRequestDone;

    // Synchronous GET of URL: returns when the whole body is in `body`.
    // Throws EHttpException. Blocks the calling thread.
    void Get(std::string& body);

    // Synchronous GET of URL that hands the body piece by piece to OnDocData
    // and then raises OnDocEnd, all on the calling thread; `idle` is called
    // about every 20 ms while waiting (a user interface processes its messages
    // there). Throws EHttpException; OnDocEnd is not raised on failure.
    void GetPieces(const std::function<void()>& idle = {});

    // Asynchronous GET of URL: returns at once; the transfer runs on a network
    // thread and its events reach the main thread. OnDocEnd is raised when the
    // body has ended, also when a failure cuts off a body that had begun; a
    // request that fails before any body byte raises no body event. Main thread.
    void GetASync();

    // Ends the request in progress promptly (well under 100 ms). Callable from
    // any thread, also from inside OnDocData; afterwards no event of that
    // request is delivered. A blocked Get/GetPieces then throws EHttpException.
    void Abort();

    // True while a GetASync request runs (from GetASync until its last event).
    bool Busy() const;

    // Final HTTP status of the last request, 0 when none was received.
    int StatusCode() const;

protected:
    // The TLS client supplies its context; the plain client has none.
    virtual std::shared_ptr<TSslContext> Context() const { return nullptr; }

private:
    struct Impl;
    std::shared_ptr<Impl> FImpl;
};

class TSslHttpCli : public THttpCli {
public:
    TSslHttpCli() = default;
    void SetSslContext(std::shared_ptr<TSslContext> context) { FContext = std::move(context); }
    std::shared_ptr<TSslContext> SslContext() const { return FContext; }

protected:
    std::shared_ptr<TSslContext> Context() const override {
        return FContext ? FContext : std::make_shared<TSslContext>();
    }

private:
    std::shared_ptr<TSslContext> FContext;
};

} // namespace corvane
