#include "HttpCli.h"

#include "HttpText.h"
#include "MainThread.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using http::DurationText;
using http::IsErrorStatus;
using http::Lower;
using http::Printable;
using http::SafeUrl;
constexpr long kMaxRedirects = http::MaxRedirects;
constexpr milliseconds kIdleInterval = http::IdleInterval;
// Upper bound of one wait without an inactivity limit; curl's own timers and
// Abort's wake-up end a wait earlier.
constexpr milliseconds kLongestWait{1000};

CURLcode GlobalInit() {
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    return result;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string QueryOf(std::string_view url) {
    const size_t q = url.find('?');
    if (q == std::string_view::npos)
        return {};
    const size_t end = url.find('#', q);
    return std::string(url.substr(q + 1, end == std::string_view::npos ? end : end - q - 1));
}

// Removes every occurrence of the URLs' queries from a text that curl wrote.
std::string Scrub(std::string text, std::initializer_list<std::string_view> urls) {
    for (const std::string_view url : urls) {
        const std::string query = QueryOf(url);
        if (query.empty())
            continue;
        for (size_t pos = text.find(query); pos != std::string::npos;
             pos = text.find(query, pos + 3))
            text.replace(pos, query.size(), "...");
    }
    return text;
}

// curl's pin of a key: SHA-256 over the DER SubjectPublicKeyInfo, base64.
std::string PublicKeyPin(X509* certificate) {
    unsigned char* der = nullptr;
    const int len = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (len <= 0)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    const int ok =
        EVP_Digest(der, static_cast<size_t>(len), digest, &digestLen, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    if (ok != 1)
        return {};
    std::string text(4 * ((digestLen + 2) / 3) + 1, '\0');
    text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                    digest, static_cast<int>(digestLen))));
    return "sha256//" + text;
}

// Scheme and origin ("scheme://host:port", lower case, the port filled in)
// of a URL read the way curl reads it; both empty when it cannot be read.
struct UrlOrigin {
    std::string Scheme;
    std::string Origin;
};

UrlOrigin OriginOf(const std::string& url) {
    UrlOrigin result;
    CURLU* u = curl_url();
    if (!u)
        return result;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        result.Scheme = Lower(scheme);
        result.Origin = result.Scheme + "://" + Lower(host) + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(u);
    return result;
}

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
    milliseconds Timeout{0};
    size_t MaxBodySize = 0;
    milliseconds DeliveryInterval{0};
    std::shared_ptr<TSslContext> Ssl; // the plain client's is for redirections only
    bool HttpOnly = false;            // the plain client: the URL itself must be http
    std::shared_ptr<const Handlers> Events;
};

// The control block of one request, shared by the thread that runs it, Abort
// and the events still queued for the main thread.
struct Request {
    std::atomic<bool> Aborted{false};
    std::atomic<bool> ThreadDone{false}; // GetASync: the network thread has ended
    // Guarded by the client's mutex:
    CURLM* Multi = nullptr; // set while curl_multi_wakeup may be called on it
    bool Finished = false;  // the caller has seen the end; a later Abort is for the next request
    // GetASync: body bytes taken from curl and not yet delivered on the main
    // thread, and whether the transfer waits for them to drain.
    std::atomic<size_t> Pending{0};
    std::atomic<bool> Paused{false};
    // The network thread's rest between deliveries; Abort wakes it.
    std::mutex RestMutex;
    std::condition_variable RestWake;

    // Network thread: rests `span` unless aborted meanwhile.
    void Rest(milliseconds span) {
        std::unique_lock lock(RestMutex);
        RestWake.wait_for(lock, span, [this] { return Aborted.load(); });
    }
    // Any thread, after setting Aborted.
    void EndRest() {
        std::lock_guard lock(RestMutex);
        RestWake.notify_all();
    }
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
    void RememberCookieLocked(OriginCookie cookie) {
        constexpr size_t kRemembered = 8;
        if (Received.size() >= kRemembered)
            Received.erase(Received.begin());
        Received.push_back(std::move(cookie));
    }

    // Mutex held. Ends the current request if it is still running; false when
    // there was none to end.
    bool AbortCurrentLocked() {
        BusyFlag.store(false);
        if (!Current || Current->Finished || Current->Aborted.load())
            return false;
        Current->Aborted.store(true);
        if (Current->Multi)
            curl_multi_wakeup(Current->Multi);
        Current->EndRest();
        return true;
    }
};

// One transfer on one easy handle, driven by its own multi handle on the
// thread that calls Run. The curl callbacks only collect; the cookies and body
// pieces are handed out between curl calls, so no exception and no re-entrant
// call crosses libcurl.
class Transfer {
public:
    Transfer(ClientState& impl, std::shared_ptr<Request> request, Settings settings,
             std::string* sink)
        : Params(std::move(settings)), FImpl(impl), FRequest(std::move(request)), FSink(sink) {}
    ~Transfer() { Close(); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void Start();
    // Runs the transfer to its end; `deliver` is called after every step of
    // curl, `idle` (when set) about every 20 ms. Throws EHttpException.
    void Run(const std::function<void()>* idle, const std::function<void()>& deliver);
    void Close();

    // True while the request may still raise events: not aborted, client alive.
    bool Live() const { return !FRequest->Aborted.load() && FImpl.Alive.load(); }
    THttpCli& Owner() const { return FImpl.Owner; }
    void DeliverCookies();

    [[noreturn]] void FailAbort() const { Fail(THttpErrorKind::Abort, "aborted"); }

    const Settings Params;
    int Status = 0;
    std::vector<std::string> Pieces;
    // Pieces count as pending until the main thread has had them (GetASync).
    bool BoundPending = false;

private:
    [[noreturn]] void Fail(THttpErrorKind kind, const std::string& what, int status = 0) const;
    [[noreturn]] void FailCurl(CURLcode code) const;
    std::string EffectiveUrl() const;

    template <typename T> void Option(CURLoption option, T value, const char* name) {
        const CURLcode code = curl_easy_setopt(FEasy, option, value);
        if (code != CURLE_OK)
            Fail(THttpErrorKind::Transport,
                 std::string("failed: setting ") + name + ": " + curl_easy_strerror(code));
    }

    static size_t HeaderCallback(char* data, size_t size, size_t count, void* self);
    static size_t WriteCallback(char* data, size_t size, size_t count, void* self);
    static int ProgressCallback(void* self, curl_off_t, curl_off_t dlnow, curl_off_t,
                                curl_off_t ulnow);
    size_t OnHeader(std::string_view line);
    size_t OnBody(const char* data, size_t len);
    // Only with a pin: notes the server's own pin during the handshake, for
    // the message of a mismatch (curl names only the pin it expected).
    static CURLcode SslContextCallback(CURL*, void* sslContext, void* self);
    static int VerifyChainCallback(X509_STORE_CTX* store, void* self);

    ClientState& FImpl;
    std::shared_ptr<Request> FRequest;
    std::string* FSink; // Get: the body goes here instead of Pieces
    CURL* FEasy = nullptr;
    CURLM* FMulti = nullptr;
    bool FAdded = false;
    curl_slist* FHeaders = nullptr;
    std::string FPeerPin; // the server's pin, when a pin was set and the handshake got that far
    char FErrorText[CURL_ERROR_SIZE] = {};
    std::string FReason;
    std::vector<OriginCookie> FCookies;
    Clock::time_point FLastActivity = Clock::now();
    curl_off_t FLastDown = 0;
    curl_off_t FLastUp = 0;
    size_t FBodySize = 0;
    size_t FDelivered = 0; // FBodySize when the last step handed its pieces over
    bool FTooLarge = false;
    bool FStatusRefused = false;
};

void Transfer::Start() {
    if (GlobalInit() != CURLE_OK)
        Fail(THttpErrorKind::Transport, "failed: libcurl could not be initialised");
    FEasy = curl_easy_init();
    FMulti = curl_multi_init();
    if (!FEasy || !FMulti)
        Fail(THttpErrorKind::Transport, "failed: no curl handle (out of memory)");

    Option(CURLOPT_ERRORBUFFER, FErrorText, "ERRORBUFFER");
    Option(CURLOPT_URL, Params.Url.c_str(), "URL");
    Option(CURLOPT_HTTPGET, 1L, "HTTPGET");
    Option(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0), "HTTP_VERSION");
    Option(CURLOPT_FOLLOWLOCATION, 1L, "FOLLOWLOCATION");
    Option(CURLOPT_MAXREDIRS, kMaxRedirects, "MAXREDIRS");
    // The plain client is asked for http URLs only, but follows a recorder
    // that moves its clients to https.
    const UrlOrigin target = OriginOf(Params.Url);
    if (Params.HttpOnly && !target.Scheme.empty() && target.Scheme != "http")
        Fail(THttpErrorKind::Transport, "failed: Unsupported protocol (\"" +
                                            Printable(target.Scheme, 20) +
                                            "\" is not for the plain client)");
    Option(CURLOPT_PROTOCOLS_STR, "http,https", "PROTOCOLS_STR");
    Option(CURLOPT_REDIR_PROTOCOLS_STR, "http,https", "REDIR_PROTOCOLS_STR");
    // One connection per exchange, as HTTP/1.0 means it; a server's offer to
    // keep the connection would otherwise be taken up along redirections.
    Option(CURLOPT_FORBID_REUSE, 1L, "FORBID_REUSE");
    Option(CURLOPT_NOSIGNAL, 1L, "NOSIGNAL");
    // An abort must not wait for a name look-up that hangs.
    Option(CURLOPT_QUICK_EXIT, 1L, "QUICK_EXIT");
    Option(CURLOPT_HEADERFUNCTION, &Transfer::HeaderCallback, "HEADERFUNCTION");
    Option(CURLOPT_HEADERDATA, this, "HEADERDATA");
    Option(CURLOPT_WRITEFUNCTION, &Transfer::WriteCallback, "WRITEFUNCTION");
    Option(CURLOPT_WRITEDATA, this, "WRITEDATA");
    Option(CURLOPT_XFERINFOFUNCTION, &Transfer::ProgressCallback, "XFERINFOFUNCTION");
    Option(CURLOPT_XFERINFODATA, this, "XFERINFODATA");
    Option(CURLOPT_NOPROGRESS, 0L, "NOPROGRESS");
    // The cookie only for its own origin. As a header of our own (not
    // CURLOPT_COOKIE) curl sends it to the URL's origin alone, not to the
    // other origins of a redirection.
    if (!Params.Cookie.empty() && !target.Origin.empty() && target.Origin == Params.CookieOrigin) {
        FHeaders = curl_slist_append(nullptr, ("Cookie: " + Params.Cookie).c_str());
        if (!FHeaders)
            Fail(THttpErrorKind::Transport, "failed: no memory for the Cookie header");
        Option(CURLOPT_HTTPHEADER, FHeaders, "HTTPHEADER");
    }

    // The program reads no environment variable: an empty proxy text keeps
    // curl from taking http_proxy and its kin, an empty no-proxy list keeps
    // no_proxy from bypassing a configured proxy.
    if (Params.Proxy.empty()) {
        Option(CURLOPT_PROXY, "", "PROXY");
    } else {
        long port = 80;
        if (!Params.ProxyPort.empty()) {
            const char* first = Params.ProxyPort.data();
            const char* last = first + Params.ProxyPort.size();
            const auto [end, ec] = std::from_chars(first, last, port);
            if (ec != std::errc() || end != last || port < 1 || port > 65535)
                Fail(THttpErrorKind::Transport,
                     "failed: invalid proxy port \"" + Printable(Params.ProxyPort, 20) + "\"");
        }
        Option(CURLOPT_PROXY, Params.Proxy.c_str(), "PROXY");
        Option(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP), "PROXYTYPE");
        Option(CURLOPT_PROXYPORT, port, "PROXYPORT");
        Option(CURLOPT_NOPROXY, "", "NOPROXY");
    }

    if (Params.Ssl) {
        Option(CURLOPT_SSL_VERIFYPEER, Params.Ssl->VerifyPeer ? 1L : 0L, "SSL_VERIFYPEER");
        Option(CURLOPT_SSL_VERIFYHOST, Params.Ssl->VerifyHost ? 2L : 0L, "SSL_VERIFYHOST");
        if (!Params.Ssl->CaFile.empty())
            Option(CURLOPT_CAINFO, Params.Ssl->CaFile.c_str(), "CAINFO");
        if (!Params.Ssl->PinnedPublicKey.empty()) {
            Option(CURLOPT_PINNEDPUBLICKEY, Params.Ssl->PinnedPublicKey.c_str(), "PINNEDPUBLICKEY");
            Option(CURLOPT_SSL_CTX_FUNCTION, &Transfer::SslContextCallback, "SSL_CTX_FUNCTION");
            Option(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this), "SSL_CTX_DATA");
        }
    }

    const CURLMcode added = curl_multi_add_handle(FMulti, FEasy);
    if (added != CURLM_OK)
        Fail(THttpErrorKind::Transport,
             std::string("failed: curl_multi_add_handle: ") + curl_multi_strerror(added));
    FAdded = true;
    FLastActivity = Clock::now();
    std::lock_guard lock(FImpl.Mutex);
    FRequest->Multi = FMulti;
}

void Transfer::Close() {
    if (FMulti) {
        // From here on Abort must not wake this multi handle.
        std::lock_guard lock(FImpl.Mutex);
        if (FRequest->Multi == FMulti)
            FRequest->Multi = nullptr;
    }
    if (FAdded)
        curl_multi_remove_handle(FMulti, FEasy);
    FAdded = false;
    if (FEasy)
        curl_easy_cleanup(FEasy);
    FEasy = nullptr;
    if (FMulti)
        curl_multi_cleanup(FMulti);
    FMulti = nullptr;
    curl_slist_free_all(FHeaders);
    FHeaders = nullptr;
}

void Transfer::Run(const std::function<void()>* idle, const std::function<void()>& deliver) {
    Clock::time_point lastIdle = Clock::now();
    CURLcode result = CURLE_OK;
    for (;;) {
        if (!Live())
            FailAbort();
        if (FRequest->Paused.load() && FRequest->Pending.load() < THttpCli::MaxPendingDelivery) {
            // Cleared first: resuming may hand over the held data, which may pause again.
            FRequest->Paused.store(false);
            const CURLcode resumed = curl_easy_pause(FEasy, CURLPAUSE_CONT);
            if (resumed != CURLE_OK)
                FailCurl(resumed);
            // The peer's silence counts from here.
            FLastActivity = Clock::now();
        }
        int running = 0;
        const CURLMcode performed = curl_multi_perform(FMulti, &running);
        if (performed != CURLM_OK)
            Fail(THttpErrorKind::Transport,
                 std::string("failed: curl_multi_perform: ") + curl_multi_strerror(performed));
        const Clock::time_point beforeDelivery = Clock::now();
        const size_t bodyBefore = FDelivered;
        FDelivered = FBodySize;
        deliver();
        if (!Live())
            FailAbort();
        if (Params.DeliveryInterval.count() > 0 && FBodySize != bodyBefore) {
            FRequest->Rest(Params.DeliveryInterval);
            if (!Live())
                FailAbort();
        }
        // Time spent in the handlers, or resting, is not silence of the peer.
        FLastActivity += Clock::now() - beforeDelivery;

        bool done = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(FMulti, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                done = true;
                result = message->data.result;
            }
        }
        if (done)
            break;

        Clock::time_point now = Clock::now();
        milliseconds wait = kLongestWait;
        if (FRequest->Paused.load())
            FLastActivity = now; // waiting for the main thread is not the peer's silence
        if (Params.Timeout.count() > 0) {
            const auto quiet = now - FLastActivity;
            if (quiet >= Params.Timeout)
                Fail(THttpErrorKind::Timeout, "failed: nothing received for " +
                                                  DurationText(Params.Timeout) +
                                                  " (inactivity limit)");
            wait = std::min(wait, std::chrono::ceil<milliseconds>(Params.Timeout - quiet));
        }
        if (idle && *idle) {
            if (now - lastIdle >= kIdleInterval) {
                (*idle)();
                if (!Live())
                    FailAbort();
                lastIdle = Clock::now();
                FLastActivity += lastIdle - now;
                now = lastIdle;
            }
            wait =
                std::min(wait, std::chrono::ceil<milliseconds>(kIdleInterval - (now - lastIdle)));
        }
        wait = std::max(wait, milliseconds(0));
        curl_multi_poll(FMulti, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }

    if (result == CURLE_OK) {
        // An error answer with an empty body never reached the write callback.
        if (IsErrorStatus(Status))
            Fail(THttpErrorKind::Status,
                 "failed: HTTP status " + std::to_string(Status) + " " + FReason, Status);
        return;
    }
    if (!Live())
        FailAbort();
    if (FTooLarge)
        Fail(THttpErrorKind::TooLarge, "failed: answer body larger than the limit of " +
                                           std::to_string(Params.MaxBodySize) + " bytes");
    if (FStatusRefused)
        Fail(THttpErrorKind::Status,
             "failed: HTTP status " + std::to_string(Status) + " " + FReason, Status);
    if (result == CURLE_OPERATION_TIMEDOUT)
        Fail(THttpErrorKind::Timeout, "failed: curl timed out");
    FailCurl(result);
}

void Transfer::DeliverCookies() {
    for (OriginCookie& cookie : FCookies) {
        if (!Live())
            break;
        if (Params.Events->OnCookie) {
            bool accept = true;
            Params.Events->OnCookie(Owner(), cookie.Cookie, accept);
        }
        std::lock_guard lock(FImpl.Mutex);
        FImpl.RememberCookieLocked(std::move(cookie));
    }
    FCookies.clear();
}

std::string Transfer::EffectiveUrl() const {
    long redirects = 0;
    char* url = nullptr;
    if (FEasy && curl_easy_getinfo(FEasy, CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK &&
        redirects > 0 && curl_easy_getinfo(FEasy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url)
        return url;
    return {};
}

void Transfer::Fail(THttpErrorKind kind, const std::string& what, int status) const {
    std::string where = SafeUrl(Params.Url);
    const std::string effective = SafeUrl(EffectiveUrl());
    if (!effective.empty())
        where += " (redirected to " + effective + ")";
    if (where.empty())
        where = "(no URL)";
    throw EHttpException(kind, "GET " + where + " " + what, status);
}

CURLcode Transfer::SslContextCallback(CURL*, void* sslContext, void* self) {
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext),
                                     &Transfer::VerifyChainCallback, self);
    return CURLE_OK;
}

int Transfer::VerifyChainCallback(X509_STORE_CTX* store, void* self) {
    // OpenSSL runs the chain check even when the peer is not verified; what
    // it decides stays as it was.
    if (X509* leaf = X509_STORE_CTX_get0_cert(store))
        static_cast<Transfer*>(self)->FPeerPin = PublicKeyPin(leaf);
    return X509_verify_cert(store);
}

void Transfer::FailCurl(CURLcode code) const {
    if (code == CURLE_SSL_PINNEDPUBKEYNOTMATCH && Params.Ssl)
        Fail(THttpErrorKind::Transport,
             "failed: certificate pin mismatch: the server's key is " +
                 (FPeerPin.empty() ? std::string("of an unknown pin") : FPeerPin) +
                 ", the pin set is " + Printable(Params.Ssl->PinnedPublicKey, 100));
    std::string what = std::string("failed: ") + curl_easy_strerror(code);
    const std::string detail = Scrub(FErrorText, {Params.Url, EffectiveUrl()});
    if (!detail.empty() && detail != curl_easy_strerror(code))
        what += " (" + Printable(detail, 300) + ")";
    Fail(THttpErrorKind::Transport, what);
}

size_t Transfer::HeaderCallback(char* data, size_t size, size_t count, void* self) {
    return static_cast<Transfer*>(self)->OnHeader(std::string_view(data, size * count));
}

size_t Transfer::WriteCallback(char* data, size_t size, size_t count, void* self) {
    return static_cast<Transfer*>(self)->OnBody(data, size * count);
}

int Transfer::ProgressCallback(void* self, curl_off_t, curl_off_t dlnow, curl_off_t,
                               curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(self);
    if (dlnow != t->FLastDown || ulnow != t->FLastUp) {
        t->FLastDown = dlnow;
        t->FLastUp = ulnow;
        t->FLastActivity = Clock::now();
    }
    return t->FRequest->Aborted.load() ? 1 : 0;
}

size_t Transfer::OnHeader(std::string_view line) {
    const size_t len = line.size();
    FLastActivity = Clock::now();
    line = Trim(line);
    if (line.starts_with("HTTP/")) {
        // Every response of the exchange (interim, redirections, the final
        // one) starts with its status line; the last one counts.
        Status = 0;
        FReason.clear();
        const size_t space = line.find(' ');
        if (space != std::string_view::npos) {
            std::string_view rest = line.substr(space + 1);
            const size_t digits = std::min<size_t>(3, rest.size());
            int code = 0;
            const auto [end, ec] = std::from_chars(rest.data(), rest.data() + digits, code);
            if (ec == std::errc() && end == rest.data() + 3)
                Status = code;
            FReason = Printable(Trim(rest.substr(digits)));
        }
        return len;
    }
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        EqualsNoCase(Trim(line.substr(0, colon)), "Set-Cookie")) {
        // The effective URL is that of the answer being read, a redirection's too.
        char* url = nullptr;
        curl_easy_getinfo(FEasy, CURLINFO_EFFECTIVE_URL, &url);
        FCookies.push_back(
            {std::string(Trim(line.substr(colon + 1))), OriginOf(url ? url : Params.Url).Origin});
    }
    return len;
}

size_t Transfer::OnBody(const char* data, size_t len) {
    FLastActivity = Clock::now();
    if (FRequest->Aborted.load())
        return CURL_WRITEFUNC_ERROR;
    if (IsErrorStatus(Status)) {
        // The body of an error answer is of no use to anyone; stop here.
        FStatusRefused = true;
        return CURL_WRITEFUNC_ERROR;
    }
    if (BoundPending && FRequest->Pending.load() >= THttpCli::MaxPendingDelivery) {
        // curl keeps this piece and hands it over again once resumed (Run).
        FRequest->Paused.store(true);
        return CURL_WRITEFUNC_PAUSE;
    }
    if (Params.MaxBodySize != 0 && len > Params.MaxBodySize - FBodySize) {
        FTooLarge = true;
        return CURL_WRITEFUNC_ERROR;
    }
    FBodySize += len;
    if (FSink) {
        FSink->append(data, len);
    } else {
        Pieces.emplace_back(data, len);
        if (BoundPending)
            FRequest->Pending += len;
    }
    return len;
}

} // namespace

struct THttpCli::Impl : ClientState {
    explicit Impl(THttpCli& owner) : ClientState(owner) {}

    // The network thread of the last GetASync; touched by the owner's thread only.
    std::thread Worker;
    std::shared_ptr<Request> WorkerRequest;

    void JoinWorker();
    // Ends the request in progress, if any, and its network thread.
    void EndPrevious() {
        // Joining may run queued main-thread calls, and one of them may have
        // started a request of this client meanwhile.
        do {
            {
                std::lock_guard lock(Mutex);
                AbortCurrentLocked();
            }
            JoinWorker();
        } while (Worker.joinable());
    }
    Settings Snapshot(const THttpCli& client);
    static void RunSync(std::shared_ptr<Impl> impl, Settings settings, std::string* sink,
                        const std::function<void()>* idle);
    static void RunAsync(std::shared_ptr<Impl> impl, std::shared_ptr<Request> request,
                         Settings settings);
};

void THttpCli::Impl::JoinWorker() {
    if (!Worker.joinable())
        return;
    std::thread worker = std::move(Worker);
    const std::shared_ptr<Request> request = std::move(WorkerRequest);
    if (worker.get_id() == std::this_thread::get_id()) {
        // The client is destroyed from a handler on its own network thread;
        // that thread only unwinds from here on.
        worker.detach();
        return;
    }
    // The network thread may be waiting in Synchronize (a cookie handler that
    // logs to the window), so the main thread keeps serving while it waits.
    if (IsMainThread()) {
        while (!request->ThreadDone.load())
            WaitAndCheckSynchronize(20);
    }
    worker.join();
}

Settings THttpCli::Impl::Snapshot(const THttpCli& client) {
    Settings s;
    s.Url = client.URL;
    s.Cookie = client.Cookie;
    // A cookie set by hand belongs to the URL it is sent with.
    s.CookieOrigin = OriginOf(s.Url).Origin;
    {
        std::lock_guard lock(Mutex);
        for (auto it = Received.rbegin(); it != Received.rend(); ++it)
            if (it->Cookie == s.Cookie) {
                s.CookieOrigin = it->Origin;
                break;
            }
    }
    s.Proxy = client.Proxy;
    s.ProxyPort = client.ProxyPort;
    s.Timeout = client.Timeout;
    s.MaxBodySize = client.MaxBodySize;
    s.DeliveryInterval = client.DeliveryInterval;
    s.Ssl = client.Context();
    if (!s.Ssl) {
        // The plain client: a redirection to https gets the TLS client's
        // default settings.
        s.HttpOnly = true;
        s.Ssl = std::make_shared<TSslContext>();
    }
    s.Events = std::make_shared<const Handlers>(
        Handlers{client.OnCookie, client.OnDocData, client.OnDocEnd, client.OnRequestDone});
    return s;
}

void THttpCli::Impl::RunSync(std::shared_ptr<Impl> impl, Settings settings, std::string* sink,
                             const std::function<void()>* idle) {
    // From here on the client object may disappear inside a handler or `idle`;
    // only `impl` and the copied settings are used, and the client only after
    // a Live() check.
    impl->EndPrevious();

    auto request = std::make_shared<Request>();
    {
        std::lock_guard lock(impl->Mutex);
        impl->Current = request;
        if (impl->AbortPending) {
            impl->AbortPending = false;
            request->Aborted.store(true);
        }
    }
    Transfer transfer(*impl, request, std::move(settings), sink);
    bool bodyBegun = false;
    std::exception_ptr failure;
    bool httpFailure = false;
    try {
        if (!transfer.Live())
            transfer.FailAbort();
        transfer.Start();
        transfer.Run(idle, [&] {
            transfer.DeliverCookies();
            for (const std::string& piece : transfer.Pieces) {
                if (!transfer.Live())
                    break;
                bodyBegun = true;
                if (transfer.Params.Events->OnDocData)
                    transfer.Params.Events->OnDocData(transfer.Owner(), piece.data(), piece.size());
            }
            transfer.Pieces.clear();
        });
    } catch (const EHttpException&) {
        failure = std::current_exception();
        httpFailure = true;
    } catch (...) {
        failure = std::current_exception();
    }
    impl->Status.store(transfer.Status);
    bool aborted = false;
    {
        std::lock_guard lock(impl->Mutex);
        request->Finished = true;
        aborted = request->Aborted.load() || !impl->Alive.load();
    }
    // An Abort that reached this request always shows as an abort, also when
    // it came as the transfer was ending anyway.
    if (aborted)
        transfer.FailAbort();
    if (sink == nullptr && (!failure || (httpFailure && bodyBegun)) &&
        transfer.Params.Events->OnDocEnd)
        transfer.Params.Events->OnDocEnd(transfer.Owner());
    if (failure)
        std::rethrow_exception(failure);
}

namespace {
// Main thread: `bytes` of a GetASync request have been handed to the handler
// (or dropped); wakes the network thread when its transfer waits for that.
void MarkDelivered(ClientState& client, Request& request, size_t bytes) {
    const size_t before = request.Pending.fetch_sub(bytes);
    if (before - bytes < THttpCli::MaxPendingDelivery && request.Paused.load()) {
        std::lock_guard lock(client.Mutex);
        if (request.Multi)
            curl_multi_wakeup(request.Multi);
    }
}
} // namespace

void THttpCli::Impl::RunAsync(std::shared_ptr<Impl> impl, std::shared_ptr<Request> request,
                              Settings settings) {
    const std::shared_ptr<const Handlers> events = settings.Events;
    // Queued events run on the main thread; each checks that its request has
    // not been aborted and that the client still exists.
    const auto live = [impl, request] { return !request->Aborted.load() && impl->Alive.load(); };

    THttpResult result;
    auto fail = [&result](THttpErrorKind kind, const std::string& text) {
        result.Ok = false;
        result.Kind = kind;
        result.Error = EHttpException::ClassNameOf(kind) + std::string(" ") + text;
    };
    bool bodyBegun = false;
    {
        Transfer transfer(*impl, request, std::move(settings), nullptr);
        transfer.BoundPending = true;
        try {
            transfer.Start();
            transfer.Run(nullptr, [&] {
                transfer.DeliverCookies();
                for (std::string& piece : transfer.Pieces) {
                    if (!transfer.Live())
                        break;
                    bodyBegun = true;
                    Post([impl, request, events, live, data = std::move(piece)] {
                        struct Delivered {
                            Impl& client;
                            Request& request;
                            size_t bytes;
                            ~Delivered() { MarkDelivered(client, request, bytes); }
                        } delivered{*impl, *request, data.size()}; // also when the handler throws
                        if (live() && events->OnDocData)
                            events->OnDocData(impl->Owner, data.data(), data.size());
                    });
                }
                transfer.Pieces.clear();
            });
        } catch (const EHttpException& e) {
            fail(e.Kind(), e.what());
        } catch (const std::exception& e) {
            fail(THttpErrorKind::Transport, e.what());
        } catch (...) {
            fail(THttpErrorKind::Transport, "unknown failure");
        }
        impl->Status.store(transfer.Status);
    }

    if (live()) {
        if (result.Ok || bodyBegun) {
            Post([impl, events, live] {
                if (live() && events->OnDocEnd)
                    events->OnDocEnd(impl->Owner);
            });
        }
        Post([impl, request, events, result] {
            {
                std::lock_guard lock(impl->Mutex);
                if (request->Aborted.load() || !impl->Alive.load())
                    return;
                request->Finished = true;
                if (impl->Current == request)
                    impl->BusyFlag.store(false);
            }
            if (events->OnRequestDone)
                events->OnRequestDone(impl->Owner, result);
        });
    }
    request->ThreadDone.store(true);
    detail::NotifyMainThread();
}

THttpCli::THttpCli() : FImpl(std::make_shared<Impl>(*this)) {
    GlobalInit();
}

THttpCli::~THttpCli() {
    EndRequests();
}

void THttpCli::EndRequests() {
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->Alive.store(false);
        FImpl->AbortCurrentLocked();
    }
    FImpl->JoinWorker();
}

void THttpCli::Get(std::string& body) {
    std::string received;
    Impl::RunSync(FImpl, FImpl->Snapshot(*this), &received, nullptr);
    body.swap(received);
}

void THttpCli::GetPieces(const std::function<void()>& idle) {
    Impl::RunSync(FImpl, FImpl->Snapshot(*this), nullptr, &idle);
}

void THttpCli::GetASync() {
    FImpl->EndPrevious();

    Settings settings = FImpl->Snapshot(*this);
    auto request = std::make_shared<Request>();
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->Current = request;
        if (FImpl->AbortPending) {
            // Aborted before it started: it ends without any event.
            FImpl->AbortPending = false;
            request->Aborted.store(true);
            request->Finished = true;
            FImpl->Status.store(0);
            return;
        }
        FImpl->BusyFlag.store(true);
    }
    FImpl->WorkerRequest = request;
    FImpl->Worker = std::thread(&Impl::RunAsync, FImpl, request, std::move(settings));
}

void THttpCli::Abort() {
    std::lock_guard lock(FImpl->Mutex);
    if (!FImpl->AbortCurrentLocked())
        FImpl->AbortPending = true;
}

bool THttpCli::Busy() const {
    return FImpl->BusyFlag.load();
}

int THttpCli::StatusCode() const {
    return FImpl->Status.load();
}

std::string CertificatePin(std::string_view certificatePem) {
    BIO* bio = BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
    X509* certificate = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!certificate)
        return {};
    std::string pin = PublicKeyPin(certificate);
    X509_free(certificate);
    return pin;
}

TServerCertificate FetchServerCertificate(const std::string& server, long timeoutSeconds) {
    const auto fail = [&](const std::string& what) {
        throw EHttpException(THttpErrorKind::Transport,
                             "certificate of " + Printable(server) + ": " + what);
    };
    if (GlobalInit() != CURLE_OK)
        fail("libcurl could not be initialised");
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
    if (!easy)
        fail("no curl handle (out of memory)");
    const std::string url = "https://" + server + "/";
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy.get(), CURLOPT_PROXY, "");
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT, timeoutSeconds);
    curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, errorText);
    const CURLcode code = curl_easy_perform(easy.get());
    if (code != CURLE_OK)
        fail(std::string(curl_easy_strerror(code)) +
             (errorText[0] ? " (" + Printable(errorText, 300) + ")" : std::string()));
    curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_CERTINFO, &info) != CURLE_OK || !info ||
        info->num_of_certs < 1)
        fail("the server sent no certificate");
    TServerCertificate out;
    for (curl_slist* line = info->certinfo[0]; line; line = line->next) {
        const std::string_view text(line->data);
        const auto take = [&](std::string_view key, std::string& field) {
            if (text.starts_with(key))
                field = std::string(text.substr(key.size()));
        };
        std::string pem;
        take("Subject:", out.Subject);
        take("Start date:", out.NotBefore);
        take("Expire date:", out.NotAfter);
        take("Cert:", pem);
        if (!pem.empty())
            out.Pin = CertificatePin(pem);
    }
    if (out.Pin.empty())
        fail("the certificate's key cannot be read");
    return out;
}

} // namespace corvane
