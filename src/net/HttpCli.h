#pragma once

// HTTP client layer (libcurl; WinHTTP on Windows): a plain client and a TLS
// client with one interface, a shared TLS context, synchronous and
// asynchronous GET.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

// What kind of failure ended a request.
enum class THttpErrorKind {
    // Connection, name resolution, TLS handshake or certificate check, a reset
    // or cut answer, too many redirections, an unusable URL or proxy setting.
    Transport,
    // A final HTTP status of 400 or more, 401 and 407 excepted.
    Status,
    // Ended by Abort (or by destroying the client during the request).
    Abort,
    // No byte moved for the client's Timeout (connecting included).
    Timeout,
    // The answer body passed MaxBodySize.
    TooLarge,
};

// A request failure. Kind() tells what failed; ClassName() names the kind for
// the log. The message names the URL without its query (the query carries the
// password) and what failed.
class EHttpException : public std::runtime_error {
public:
    // The log's names of the kinds.
    static constexpr const char* ClassTransport = "EHttpException";
    static constexpr const char* ClassStatus = "EHttpStatus";
    static constexpr const char* ClassAbort = "EHttpAbort";
    static constexpr const char* ClassTimeout = "EHttpTimeout";
    static constexpr const char* ClassTooLarge = "EHttpTooLarge";

    EHttpException(THttpErrorKind kind, const std::string& message, int statusCode = 0)
        : std::runtime_error(message), FKind(kind), FStatusCode(statusCode) {}
    THttpErrorKind Kind() const { return FKind; }
    std::string ClassName() const { return ClassNameOf(FKind); }
    // The HTTP status when the failure is an HTTP error answer, else 0.
    int StatusCode() const { return FStatusCode; }

    static const char* ClassNameOf(THttpErrorKind kind) {
        switch (kind) {
        case THttpErrorKind::Status:
            return ClassStatus;
        case THttpErrorKind::Abort:
            return ClassAbort;
        case THttpErrorKind::Timeout:
            return ClassTimeout;
        case THttpErrorKind::TooLarge:
            return ClassTooLarge;
        case THttpErrorKind::Transport:
            break;
        }
        return ClassTransport;
    }

private:
    THttpErrorKind FKind;
    int FStatusCode;
};

// How a GetASync request ended.
struct THttpResult {
    bool Ok = true;
    THttpErrorKind Kind = THttpErrorKind::Transport; // when not Ok
    std::string Error; // when not Ok: the failure's class name, a blank and its message
};

// TLS settings shared by every TLS client of one engine run. Held by
// shared_ptr, so it lives as long as any client using it. The defaults load
// no certificate and verify nothing (a recorder's certificate is usually
// self-signed and named after a host the user does not type).
class TSslContext {
public:
    TSslContext() = default;
    std::string CaFile;      // PEM bundle; empty: the system's store when VerifyPeer is set
    bool VerifyPeer = false; // check the certificate chain
    bool VerifyHost = false; // check that the certificate names the host of the URL
    // "sha256//" + base64 of the SHA-256 of the server key (the DER
    // SubjectPublicKeyInfo); set, a server with another key is refused with
    // "certificate pin mismatch" and both pins. Empty: any key.
    std::string PinnedPublicKey;
};

// One request at a time per client; starting a request ends the one in
// progress. Requests use HTTP/1.0, follow up to 10 redirections, send no
// header of their own beyond Host, Accept and the Cookie property, and ignore
// the environment's proxy variables. The plain client takes http URLs only,
// the TLS client http and https; a redirection to https is followed by both,
// by the plain client with the default TLS settings (TSslContext).
class THttpCli {
public:
    THttpCli();
    virtual ~THttpCli();
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // Request properties, read when a request starts. Set them on the thread
    // that starts the request.
    std::string URL;
    // Sent as the Cookie header when not empty, and only to the origin
    // (scheme, host, port) that set it: for a cookie this client handed out
    // through OnCookie the answer that carried it, else the URL's own. So a
    // redirection to another origin goes without it, one back to it with it.
    std::string Cookie;
    std::string Proxy;     // HTTP proxy host; empty: direct connection
    std::string ProxyPort; // HTTP proxy port, decimal text; empty: 80
    // Inactivity limit: the request fails when no byte has moved for this
    // long, while connecting too. Zero or less: no limit.
    std::chrono::milliseconds Timeout{30000};
    // Largest body accepted; 0 means no limit. A larger body fails the request
    // as soon as the limit is passed.
    size_t MaxBodySize = 0;
    // GetASync: after a hand-over of body bytes, the next one waits this long
    // (the bytes wait in the socket, or on Windows in the client), so a
    // stream that trickles in small pieces is handed over in fewer, larger
    // ones. Zero: every piece at once. Abort ends the wait at once.
    std::chrono::milliseconds DeliveryInterval{0};

    // The handlers are taken when a request starts; changing them during a
    // request affects the next one.

    // Raised for every Set-Cookie header (of redirections too), on the thread
    // that runs the request: the calling thread for Get and GetPieces, the
    // network thread for GetASync. `cookie` is the header value as received.
    // `accept` starts true; the client keeps no cookie store, so it has no effect.
    std::function<void(THttpCli& sender, const std::string& cookie, bool& accept)> OnCookie;

    // Body pieces and the end of the document. For GetASync they are delivered
    // on the main thread (through Post), in order; for GetPieces on the calling
    // thread. `data` holds body bytes only; the body of an error status (see
    // EHttpException::ClassStatus) is not delivered. OnDocEnd follows the last
    // piece when the body has ended, also when a failure cuts off a body that
    // had begun; a request that fails before any body byte raises no body
    // event. A successful request with an empty body raises OnDocEnd alone.
    std::function<void(THttpCli& sender, const char* data, size_t len)> OnDocData;
    std::function<void(THttpCli& sender)> OnDocEnd;
    // GetASync only: raised on the main thread after the last other event of
    // the request, with how it ended. Not raised after Abort.
    std::function<void(THttpCli& sender, const THttpResult& result)> OnRequestDone;

    // Synchronous GET of URL: returns when the whole body is in `body` (an
    // error answer leaves `body` as it was). Throws EHttpException. Blocks the
    // calling thread; another thread may Abort it.
    void Get(std::string& body);

    // Synchronous GET of URL that hands the body piece by piece to OnDocData
    // and then raises OnDocEnd, all on the calling thread; `idle` is called
    // about every 20 ms while waiting (a user interface processes its messages
    // there; it may call Abort, or even destroy the client, which ends the
    // request as aborted). Throws EHttpException after the events above.
    void GetPieces(const std::function<void()>& idle = {});

    // Asynchronous GET of URL: returns at once; the transfer runs on a network
    // thread of this client and its events reach the main thread. A request
    // still running is aborted first. Main thread.
    void GetASync();

    // GetASync: body bytes received and not yet delivered on the main thread
    // stay about this low; past it the transfer is paused until the main
    // thread has caught up (time the inactivity limit does not count).
    static constexpr size_t MaxPendingDelivery = 4 * 1024 * 1024;

    // Ends the request in progress promptly (well under 100 ms): a blocked
    // Get/GetPieces throws EHttpException (ClassAbort), a GetASync request
    // delivers no further event, not even one already queued. Any thread, also
    // from inside OnDocData or `idle`. When no request is in progress, the next
    // request of this client ends at once as aborted instead, so an Abort that
    // races the start of a request is never lost; a finished request is not
    // affected. The client may be destroyed as soon as Abort has returned.
    void Abort();

    // True while a GetASync request runs (from GetASync until its last event
    // or Abort).
    bool Busy() const;

    // Final HTTP status of the last request, 0 when none was received.
    int StatusCode() const;

protected:
    // The TLS client supplies its context; the plain client has none.
    virtual std::shared_ptr<TSslContext> Context() const { return nullptr; }

    // Aborts the request in progress and waits for the network thread.
    // Called by the destructors: the TLS client's first, so that nothing of a
    // request outlives the derived part. Must not run while a Get or
    // GetPieces of this client is running on another thread.
    void EndRequests();

private:
    struct Impl;
    std::shared_ptr<Impl> FImpl;
};

class TSslHttpCli : public THttpCli {
public:
    TSslHttpCli() = default;
    ~TSslHttpCli() override { EndRequests(); }
    // The context is shared: every client given it keeps it alive.
    void SetSslContext(std::shared_ptr<TSslContext> context) { FContext = std::move(context); }
    std::shared_ptr<TSslContext> SslContext() const { return FContext; }

protected:
    std::shared_ptr<TSslContext> Context() const override {
        return FContext ? FContext : std::make_shared<TSslContext>();
    }

private:
    std::shared_ptr<TSslContext> FContext;
};

// The pin of the first certificate in `certificatePem`, in the form of
// TSslContext::PinnedPublicKey; empty when it holds no certificate.
std::string CertificatePin(std::string_view certificatePem);

// What a TLS server shows of itself, for the user to decide whether to trust it.
struct TServerCertificate {
    std::string Subject;
    std::string NotBefore;
    std::string NotAfter;
    std::string Pin; // as CertificatePin gives it
};
// Completes one TLS handshake with `server` ("host" or "host:port", 443 by
// default; nothing is sent after the handshake, no certificate is checked)
// and describes its certificate. Blocks for at most `timeoutSeconds`;
// throws EHttpException naming what failed. Any thread.
TServerCertificate FetchServerCertificate(const std::string& server, long timeoutSeconds = 10);

} // namespace corvane
