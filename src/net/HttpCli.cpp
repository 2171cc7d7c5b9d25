#include "HttpCli.h"

#include "HttpText.h"
#include "HttpTransfer.h"

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
#include <utility>
#include <vector>

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using http::ClientState;
using http::DurationText;
using http::IsErrorStatus;
using http::Lower;
using http::Printable;
using http::SafeUrl;
using http::Settings;
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

UrlOrigin ReadOrigin(const std::string& url) {
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

// A request on libcurl: the multi handle Abort wakes, and the rest between
// deliveries.
struct CurlRequest final : http::Request {
    CURLM* Multi = nullptr; // guarded by the client's mutex: set while it may be woken
    std::mutex RestMutex;
    std::condition_variable RestWake;

    void Wake() override {
        if (Multi)
            curl_multi_wakeup(Multi);
        std::lock_guard lock(RestMutex);
        RestWake.notify_all();
    }
    // Network thread: rests `span` unless aborted meanwhile.
    void Rest(milliseconds span) {
        std::unique_lock lock(RestMutex);
        RestWake.wait_for(lock, span, [this] { return Aborted.load(); });
    }
};

// One transfer on one easy handle, driven by its own multi handle on the
// thread that calls Run. The curl callbacks only collect; the cookies and body
// pieces are handed out between curl calls, so no exception and no re-entrant
// call crosses libcurl.
class CurlTransfer final : public http::Transfer {
public:
    CurlTransfer(ClientState* client, std::shared_ptr<CurlRequest> request, Settings settings,
                 std::string* sink)
        : Transfer(client, request, std::move(settings), sink), FCurl(*request) {}
    ~CurlTransfer() override { Close(); }

    void Start() override;
    void Run(const std::function<void()>* idle, const std::function<void()>& deliver) override;
    void Close();

private:
    [[noreturn]] void FailCurl(CURLcode code) const;
    std::string EffectiveUrl() const override;

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

    CurlRequest& FCurl; // FRequest, as the libcurl side's own
    CURL* FEasy = nullptr;
    CURLM* FMulti = nullptr;
    bool FAdded = false;
    curl_slist* FHeaders = nullptr;
    std::string FPeerPin; // the server's pin, when a pin was set and the handshake got that far
    char FErrorText[CURL_ERROR_SIZE] = {};
    std::string FReason;
    Clock::time_point FLastActivity = Clock::now();
    curl_off_t FLastDown = 0;
    curl_off_t FLastUp = 0;
    size_t FBodySize = 0;
    size_t FDelivered = 0; // FBodySize when the last step handed its pieces over
    bool FTooLarge = false;
    bool FStatusRefused = false;
};

void CurlTransfer::Start() {
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
    const UrlOrigin target = ReadOrigin(Params.Url);
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
    Option(CURLOPT_HEADERFUNCTION, &CurlTransfer::HeaderCallback, "HEADERFUNCTION");
    Option(CURLOPT_HEADERDATA, this, "HEADERDATA");
    Option(CURLOPT_WRITEFUNCTION, &CurlTransfer::WriteCallback, "WRITEFUNCTION");
    Option(CURLOPT_WRITEDATA, this, "WRITEDATA");
    Option(CURLOPT_XFERINFOFUNCTION, &CurlTransfer::ProgressCallback, "XFERINFOFUNCTION");
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
            Option(CURLOPT_SSL_CTX_FUNCTION, &CurlTransfer::SslContextCallback, "SSL_CTX_FUNCTION");
            Option(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this), "SSL_CTX_DATA");
        }
    }

    const CURLMcode added = curl_multi_add_handle(FMulti, FEasy);
    if (added != CURLM_OK)
        Fail(THttpErrorKind::Transport,
             std::string("failed: curl_multi_add_handle: ") + curl_multi_strerror(added));
    FAdded = true;
    FLastActivity = Clock::now();
    std::lock_guard lock(FClient->Mutex);
    FCurl.Multi = FMulti;
}

void CurlTransfer::Close() {
    if (FMulti) {
        // From here on Abort must not wake this multi handle.
        std::lock_guard lock(FClient->Mutex);
        if (FCurl.Multi == FMulti)
            FCurl.Multi = nullptr;
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

void CurlTransfer::Run(const std::function<void()>* idle, const std::function<void()>& deliver) {
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
            FCurl.Rest(Params.DeliveryInterval);
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

std::string CurlTransfer::EffectiveUrl() const {
    long redirects = 0;
    char* url = nullptr;
    if (FEasy && curl_easy_getinfo(FEasy, CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK &&
        redirects > 0 && curl_easy_getinfo(FEasy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url)
        return url;
    return {};
}

CURLcode CurlTransfer::SslContextCallback(CURL*, void* sslContext, void* self) {
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext),
                                     &CurlTransfer::VerifyChainCallback, self);
    return CURLE_OK;
}

int CurlTransfer::VerifyChainCallback(X509_STORE_CTX* store, void* self) {
    // OpenSSL runs the chain check even when the peer is not verified; what
    // it decides stays as it was.
    if (X509* leaf = X509_STORE_CTX_get0_cert(store))
        static_cast<CurlTransfer*>(self)->FPeerPin = PublicKeyPin(leaf);
    return X509_verify_cert(store);
}

void CurlTransfer::FailCurl(CURLcode code) const {
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

size_t CurlTransfer::HeaderCallback(char* data, size_t size, size_t count, void* self) {
    return static_cast<CurlTransfer*>(self)->OnHeader(std::string_view(data, size * count));
}

size_t CurlTransfer::WriteCallback(char* data, size_t size, size_t count, void* self) {
    return static_cast<CurlTransfer*>(self)->OnBody(data, size * count);
}

int CurlTransfer::ProgressCallback(void* self, curl_off_t, curl_off_t dlnow, curl_off_t,
                                   curl_off_t ulnow) {
    auto* t = static_cast<CurlTransfer*>(self);
    if (dlnow != t->FLastDown || ulnow != t->FLastUp) {
        t->FLastDown = dlnow;
        t->FLastUp = ulnow;
        t->FLastActivity = Clock::now();
    }
    return t->FRequest->Aborted.load() ? 1 : 0;
}

size_t CurlTransfer::OnHeader(std::string_view line) {
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
            {std::string(Trim(line.substr(colon + 1))), ReadOrigin(url ? url : Params.Url).Origin});
    }
    return len;
}

size_t CurlTransfer::OnBody(const char* data, size_t len) {
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

namespace http {

std::shared_ptr<Request> NewRequest() {
    return std::make_shared<CurlRequest>();
}

std::unique_ptr<Transfer> NewTransfer(ClientState* client, std::shared_ptr<Request> request,
                                      Settings settings, std::string* sink) {
    return std::make_unique<CurlTransfer>(client,
                                          std::static_pointer_cast<CurlRequest>(std::move(request)),
                                          std::move(settings), sink);
}

std::string OriginOf(const std::string& url) {
    return ReadOrigin(url).Origin;
}

void InitTransport() {
    GlobalInit();
}

} // namespace http

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
