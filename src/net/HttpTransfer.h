#pragma once

// The seam between the HTTP client's life cycle (HttpCliFront.cpp: requests,
// Abort, the network thread of GetASync, events on the main thread) and the
// side that moves the bytes: libcurl (HttpCli.cpp) or WinHTTP
// (HttpCliWinHttp.cpp). Internal to corvane_net.

#include "HttpCli.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::http {

// A received cookie and the origin of the answer that set it.
struct OriginCookie {
    std::string Cookie;
    std::string Origin;
};

struct Handlers {
    std::function<void(THttpCli&, const std::string&, bool&)> OnCookie;
    std::function<void(THttpCli&, const char*, size_t)> OnDocData;
    std::function<void(THttpCli&)> OnDocEnd;
    std::function<void(THttpCli&, const THttpResult&)> OnRequestDone;
};

// Everything a request needs, copied from the client when it starts.
struct Settings {
    std::string Url;
    std::string Cookie;
    std::string CookieOrigin; // the only origin the cookie goes to
    std::string Proxy;
    std::string ProxyPort;
    std::chrono::milliseconds Timeout{0};
    size_t MaxBodySize = 0;
    std::chrono::milliseconds DeliveryInterval{0};
    std::shared_ptr<TSslContext> Ssl; // the plain client's is for redirections only
    bool HttpOnly = false;            // the plain client: the URL itself must be http
    std::shared_ptr<const Handlers> Events;
};

// The control block of one request, shared by the thread that runs it, Abort
// and the events still queued for the main thread. Each side adds what its
// waits need.
struct Request {
    Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    virtual ~Request() = default;

    // Wakes the thread that runs the request from its wait: an Abort, or the
    // main thread has taken delivered pieces. Any thread, with the client's
    // mutex held.
    virtual void Wake() = 0;

    std::atomic<bool> Aborted{false};
    std::atomic<bool> ThreadDone{false}; // GetASync: the network thread has ended
    bool Finished = false; // guarded by the client's mutex: a later Abort is for the next request
    // GetASync: body bytes taken from the network and not yet delivered on
    // the main thread, and whether the transfer waits for them to drain.
    std::atomic<size_t> Pending{0};
    std::atomic<bool> Paused{false};
};

// What a request shares with its client object; the part of the client that
// outlives it while events are queued or a handler runs.
struct ClientState {
    explicit ClientState(THttpCli& owner) : Owner(owner) {}

    THttpCli& Owner;               // valid while Alive
    std::atomic<bool> Alive{true}; // false once the client is being destroyed
    std::atomic<int> Status{0};
    std::atomic<bool> BusyFlag{false};

    std::mutex Mutex;
    std::shared_ptr<Request> Current; // the last request started (guarded)
    bool AbortPending = false;        // an Abort came while no request ran (guarded)
    // The latest cookies handed out, newest last (guarded): a Cookie property
    // equal to one of them goes only to the origin that set it.
    std::vector<OriginCookie> Received;

    // Mutex held.
    void RememberCookieLocked(OriginCookie cookie);
    // Mutex held. Ends the current request if it is still running; false when
    // there was none to end.
    bool AbortCurrentLocked();
};

// One request's exchange with the server, on the thread that calls Run. The
// side's callbacks only collect; cookies and body pieces are handed out
// between its calls, so no exception and no handler crosses the library.
class Transfer {
public:
    // `client` may be null for a transfer of the side's own (no events).
    // `sink`, when set, takes the whole body instead of Pieces.
    Transfer(ClientState* client, std::shared_ptr<Request> request, Settings settings,
             std::string* sink)
        : Params(std::move(settings)), FClient(client), FRequest(std::move(request)), FSink(sink) {}
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    virtual ~Transfer() = default;

    virtual void Start() = 0;
    // Runs the transfer to its end; `deliver` is called whenever cookies or
    // body pieces have arrived, `idle` (when set) about every IdleInterval.
    // Throws EHttpException.
    virtual void Run(const std::function<void()>* idle, const std::function<void()>& deliver) = 0;

    // True while the request may still raise events: not aborted, client alive.
    bool Live() const { return !FRequest->Aborted.load() && (!FClient || FClient->Alive.load()); }
    THttpCli& Owner() const { return FClient->Owner; }
    // Hands the cookies received so far to OnCookie and remembers their origins.
    void DeliverCookies();

    [[noreturn]] void FailAbort() const { Fail(THttpErrorKind::Abort, "aborted"); }

    const Settings Params;
    int Status = 0;
    std::vector<std::string> Pieces;
    // Pieces count as pending until the main thread has had them (GetASync).
    bool BoundPending = false;

protected:
    // "GET <url> (redirected to <url>) <what>", the URLs without their queries.
    [[noreturn]] void Fail(THttpErrorKind kind, const std::string& what, int status = 0) const;
    // Where the last redirection led; empty without one.
    virtual std::string EffectiveUrl() const = 0;

    ClientState* const FClient;
    const std::shared_ptr<Request> FRequest;
    std::string* const FSink;
    std::vector<OriginCookie> FCookies; // received, not yet delivered
};

// Provided by each side.
std::shared_ptr<Request> NewRequest();
std::unique_ptr<Transfer> NewTransfer(ClientState* client, std::shared_ptr<Request> request,
                                      Settings settings, std::string* sink);
// "scheme://host:port" (lower case, the port filled in) of a URL as the side
// reads it; empty when it cannot be read.
std::string OriginOf(const std::string& url);
// Once per process, before the first request, on the thread that makes the
// first client.
void InitTransport();

} // namespace corvane::http
