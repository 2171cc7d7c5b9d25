// The HTTP client on WinHTTP, for Windows builds. Same contract as the libcurl
// side (HttpCli.cpp): HTTP/1.0, our own redirection and cookie rules, our own
// inactivity limit, abort from any thread.
//
// WinHTTP runs in asynchronous mode: only the thread that runs the request
// calls WinHTTP; the status callback only records what happened and wakes
// that thread. So Abort needs no handle of another thread, and an aborted or
// timed-out request is simply closed and left to finish inside WinHTTP: what
// the callback touches lives until WinHTTP reports the handle closed.

#include "HttpCli.h"

#include "HttpText.h"
#include "MainThread.h"

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
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
constexpr int kMaxRedirects = http::MaxRedirects;
constexpr milliseconds kIdleInterval = http::IdleInterval;
// Upper bound of one wait; the callbacks and Abort end a wait earlier.
constexpr milliseconds kLongestWait{1000};
// WinHTTP's own limits stay behind ours; they only end requests left behind.
constexpr milliseconds kBackstopMargin{2000};
constexpr DWORD kReadSize = 64 * 1024;

std::wstring Widen(std::string_view text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring result(static_cast<size_t>(std::max(n, 0)), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, result.data(), n);
    return result;
}

// Header text as WinHTTP hands it over: byte by byte where it maps bytes to
// the first 256 code points, so the bytes come back as the server sent them.
std::string Narrow(std::wstring_view text) {
    if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x100; }))
        return std::string(text.begin(), text.end());
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), n, nullptr, nullptr);
    return result;
}

std::string Base64(const unsigned char* data, size_t len) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        const unsigned v = (unsigned{data[i]} << 16) |
                           (i + 1 < len ? unsigned{data[i + 1]} << 8 : 0u) |
                           (i + 2 < len ? unsigned{data[i + 2]} : 0u);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < len ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < len ? kDigits[v & 63] : '=';
    }
    return out;
}

// curl's pin of a key: SHA-256 over the DER SubjectPublicKeyInfo, base64.
std::string PublicKeyPin(PCCERT_CONTEXT certificate) {
    BYTE* der = nullptr;
    DWORD derLen = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                             &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                             nullptr, &der, &derLen))
        return {};
    BYTE digest[32];
    DWORD digestLen = sizeof digest;
    const BOOL ok =
        CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, der, derLen, digest, &digestLen);
    LocalFree(der);
    if (!ok)
        return {};
    return "sha256//" + Base64(digest, digestLen);
}

// The DER certificates of the PEM text, in order.
std::vector<std::vector<BYTE>> PemCertificates(std::string_view pem) {
    static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    std::vector<std::vector<BYTE>> result;
    for (size_t at = pem.find(kBegin); at != std::string_view::npos; at = pem.find(kBegin, at)) {
        const size_t end = pem.find(kEnd, at);
        if (end == std::string_view::npos)
            break;
        const std::string_view body = pem.substr(at + kBegin.size(), end - at - kBegin.size());
        DWORD size = 0;
        if (CryptStringToBinaryA(body.data(), static_cast<DWORD>(body.size()), CRYPT_STRING_BASE64,
                                 nullptr, &size, nullptr, nullptr) &&
            size > 0) {
            std::vector<BYTE> der(size);
            if (CryptStringToBinaryA(body.data(), static_cast<DWORD>(body.size()),
                                     CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr)) {
                der.resize(size);
                result.push_back(std::move(der));
            }
        }
        at = end + kEnd.size();
    }
    return result;
}

// A URL split the way the request needs it. Like curl, a URL without a
// scheme is taken as http.
struct UrlParts {
    std::string Scheme;    // lower case
    std::string Authority; // host[:port], without user information
    std::string Host;      // lower case; an IPv6 address keeps its brackets
    int Port = 0;          // the scheme's default filled in
    std::string Target;    // path and query, never empty
    std::string Origin() const { return Scheme + "://" + Host + ":" + std::to_string(Port); }
    std::string Url() const { return Scheme + "://" + Authority + Target; }
};

bool IsSchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return alpha || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

// The scheme of an absolute URL ("http" of "http:..."), else empty.
std::string_view SchemeOf(std::string_view url) {
    size_t i = 0;
    while (i < url.size() && IsSchemeChar(url[i], i == 0))
        ++i;
    return i > 0 && i < url.size() && url[i] == ':' ? url.substr(0, i) : std::string_view();
}

// Empty when the URL can be used, else what is wrong with it.
std::string ParseUrl(std::string_view url, UrlParts& out) {
    if (url.empty())
        return "no URL";
    for (const char c : url)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == ' ')
            return "a blank or control character in the URL";
    std::string_view rest = url;
    const size_t sep = url.find("://");
    if (sep != std::string_view::npos && SchemeOf(url).size() == sep) {
        out.Scheme = Lower(std::string(url.substr(0, sep)));
        rest = url.substr(sep + 3);
    } else {
        out.Scheme = "http";
    }
    const size_t authorityEnd = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail =
        authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos)
            return "an unclosed '[' in the host";
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':')
                return "text after the IPv6 address";
            port = host.substr(close + 2);
        }
        host = host.substr(0, close + 1);
    } else if (const size_t colon = host.find(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (host.empty() || host == "[]")
        return "no host";
    out.Host = Lower(std::string(host));
    out.Port = out.Scheme == "https" ? 443 : 80;
    if (!port.empty()) {
        int value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535)
            return "an invalid port";
        out.Port = value;
    }
    out.Authority = std::string(authority);
    tail = tail.substr(0, tail.find('#'));
    out.Target = tail.empty() || tail.front() != '/' ? "/" + std::string(tail) : std::string(tail);
    return {};
}

// RFC 3986 5.2.4: "." and ".." segments of a path.
std::string RemoveDotSegments(std::string_view path) {
    std::vector<std::string_view> kept;
    size_t start = 1;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = path.substr(start, end - start);
        const bool last = end == path.size();
        if (segment == "..") {
            if (!kept.empty())
                kept.pop_back();
            if (last)
                kept.emplace_back();
        } else if (segment == ".") {
            if (last)
                kept.emplace_back();
        } else {
            kept.push_back(segment);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string_view segment : kept) {
        result += '/';
        result += segment;
    }
    return result.empty() ? "/" : result;
}

// Where a Location header sends a request that went to `base`.
std::string ResolveLocation(const UrlParts& base, std::string_view location) {
    location = location.substr(0, location.find('#'));
    if (!SchemeOf(location).empty())
        return std::string(location);
    if (location.starts_with("//"))
        return base.Scheme + ":" + std::string(location);
    const std::string root = base.Scheme + "://" + base.Authority;
    const std::string_view basePath =
        std::string_view(base.Target).substr(0, base.Target.find('?'));
    if (location.empty())
        return base.Url();
    if (location.front() == '?')
        return root + std::string(basePath) + std::string(location);
    const std::string_view query =
        location.find('?') == std::string_view::npos ? "" : location.substr(location.find('?'));
    std::string_view path = location.substr(0, location.size() - query.size());
    std::string merged =
        path.front() == '/'
            ? std::string(path)
            : std::string(basePath.substr(0, basePath.rfind('/') + 1)) + std::string(path);
    return root + RemoveDotSegments(merged) + std::string(query);
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

// Wakes the thread that runs a request: WinHTTP's callbacks, Abort and the
// main thread's deliveries raise it.
class Wakeup {
public:
    uint64_t Generation() {
        std::lock_guard lock(FMutex);
        return FGeneration;
    }
    void Raise() {
        {
            std::lock_guard lock(FMutex);
            ++FGeneration;
        }
        FCv.notify_all();
    }
    // Returns when raised after `seen` was read, or after `span`.
    void Wait(uint64_t seen, milliseconds span) {
        std::unique_lock lock(FMutex);
        FCv.wait_for(lock, span, [&] { return FGeneration != seen; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FCv;
    uint64_t FGeneration = 0;
};

// The control block of one request, shared by the thread that runs it, Abort,
// WinHTTP's callbacks and the events still queued for the main thread.
struct Request {
    std::atomic<bool> Aborted{false};
    std::atomic<bool> ThreadDone{false}; // GetASync: the network thread has ended
    bool Finished = false; // guarded by the client's mutex: a later Abort is for the next request
    // GetASync: body bytes read and not yet delivered on the main thread, and
    // whether reading waits for them to drain.
    std::atomic<size_t> Pending{0};
    std::atomic<bool> Paused{false};
    Wakeup Wake;
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
        Current->Wake.Raise();
        return true;
    }
};

// What a TLS connection must show before the request goes out on it.
struct CertificatePolicy {
    CertificatePolicy() = default;
    CertificatePolicy(const CertificatePolicy&) = delete;
    CertificatePolicy& operator=(const CertificatePolicy&) = delete;
    ~CertificatePolicy() {
        if (CaStore)
            CertCloseStore(CaStore, 0);
    }
    std::string Pin;              // empty: any key
    HCERTSTORE CaStore = nullptr; // set: the chain must end at one of its certificates
    bool Capture = false;         // FetchServerCertificate: keep the certificate, send nothing

    bool Active() const { return !Pin.empty() || CaStore || Capture; }
};

// Empty when the chain of `leaf` ends at a certificate of `caStore`.
std::string CheckChain(PCCERT_CONTEXT leaf, HCERTSTORE caStore) {
    HCERTSTORE all = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (!all)
        return "no certificate store (out of memory)";
    CertAddStoreToCollection(all, caStore, 0, 0);
    if (leaf->hCertStore)
        CertAddStoreToCollection(all, leaf->hCertStore, 0, 0);
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    std::string why;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, all, &para, 0, nullptr, &chain) ||
        chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
        why = "its chain cannot be built";
    } else {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        const DWORD ignored = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                              CERT_TRUST_IS_OFFLINE_REVOCATION;
        PCCERT_CONTEXT known = CertFindCertificateInStore(caStore, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, root, nullptr);
        if ((chain->TrustStatus.dwErrorStatus & ~ignored) != 0)
            why = "its chain is not valid (trust status " +
                  std::to_string(chain->TrustStatus.dwErrorStatus) + ")";
        else if (!known)
            why = "its issuer is not in the CA file";
        if (known)
            CertFreeCertificateContext(known);
    }
    if (chain)
        CertFreeCertificateChain(chain);
    CertCloseStore(all, 0);
    return why;
}

// One header of the answer; `index` (when given) picks among repeated ones.
bool QueryHeader(HINTERNET request, DWORD info, std::wstring& value, DWORD* index) {
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, index)) {
        value.clear();
        return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return false;
    value.assign(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             index))
        return false;
    value.resize(size / sizeof(wchar_t));
    return true;
}

const char* ApiName(DWORD api) {
    switch (api) {
    case API_RECEIVE_RESPONSE:
        return "WinHttpReceiveResponse";
    case API_QUERY_DATA_AVAILABLE:
        return "WinHttpQueryDataAvailable";
    case API_READ_DATA:
        return "WinHttpReadData";
    case API_WRITE_DATA:
        return "WinHttpWriteData";
    case API_SEND_REQUEST:
        return "WinHttpSendRequest";
    default:
        return "WinHTTP";
    }
}

std::string ErrorText(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
        return "Couldn't connect to server";
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return "the connection was reset or closed";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "Couldn't resolve host name";
    case ERROR_WINHTTP_TIMEOUT:
        return "timed out";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return "the answer is not HTTP";
    case ERROR_WINHTTP_SECURE_FAILURE:
        return "TLS handshake or certificate check failed";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        return "TLS channel error";
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return "the server's certificate was refused";
    case ERROR_WINHTTP_OPERATION_CANCELLED:
        return "cancelled";
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
        return "the answer's header is too large";
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return "the URL cannot be used";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return "out of memory";
    default:
        break;
    }
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                       FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   GetModuleHandleW(L"winhttp.dll"), error, 0,
                                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result = n > 0 && text ? Printable(Narrow(std::wstring_view(text, n)), 200) : "";
    if (text)
        LocalFree(text);
    while (!result.empty() &&
           (result.back() == ' ' || result.back() == '.' || result.back() == '?'))
        result.pop_back();
    return result.empty() ? "error " + std::to_string(error) : result;
}

std::string SecureFailureText(DWORD flags) {
    std::string text;
    const auto add = [&](DWORD flag, const char* what) {
        if (flags & flag)
            text += (text.empty() ? "" : ", ") + std::string(what);
    };
    add(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "issuer not trusted");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "certificate not for this host name");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "certificate expired or not yet valid");
    add(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "certificate invalid");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "certificate revoked");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, "revocation check failed");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, "certificate not for a server");
    add(WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, "TLS channel error");
    return text;
}

// One WinHTTP request handle (one step of a redirection chain) and what its
// status callback reports. WinHTTP holds a reference (Self) until it reports
// the handle closed, so a request that was abandoned may finish in the
// background without touching freed memory.
struct Exchange {
    Exchange(std::shared_ptr<Request> request, std::shared_ptr<const CertificatePolicy> policy)
        : Owner(std::move(request)), Policy(std::move(policy)) {}
    ~Exchange() {
        if (Captured)
            CertFreeCertificateContext(Captured);
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const std::shared_ptr<Request> Owner;
    const std::shared_ptr<const CertificatePolicy> Policy; // null: plain http
    std::shared_ptr<Exchange> Self;
    std::vector<char> Buffer = std::vector<char>(kReadSize); // WinHttpReadData writes here
    std::atomic<Clock::rep> Activity{0};                     // last progress WinHTTP reported

    std::mutex Mutex;
    // Guarded by Mutex:
    HINTERNET Handle = nullptr; // null once closed
    bool Done = false;
    bool Failed = false;
    DWORD Error = 0;
    DWORD Api = 0;
    DWORD Count = 0;
    DWORD SecureFlags = 0;
    bool CertificateChecked = false;
    std::string Refused; // why the certificate was refused
    PCCERT_CONTEXT Captured = nullptr;

    // The thread that runs the request, before each operation.
    void Begin() {
        std::lock_guard lock(Mutex);
        Done = Failed = false;
        Error = Api = Count = 0;
    }
    bool IsDone() {
        std::lock_guard lock(Mutex);
        return Done;
    }
    HINTERNET CurrentHandle() {
        std::lock_guard lock(Mutex);
        return Handle;
    }
    // Either side; WinHTTP's handle-closing call may come back on this thread.
    void CloseOnce() {
        HINTERNET handle = nullptr;
        {
            std::lock_guard lock(Mutex);
            std::swap(handle, Handle);
        }
        if (handle)
            WinHttpCloseHandle(handle);
    }
    void Touch() { Activity.store(Clock::now().time_since_epoch().count()); }
    void Complete(DWORD count, bool failed = false, DWORD api = 0, DWORD error = 0) {
        {
            std::lock_guard lock(Mutex);
            Done = true;
            Count = count;
            Failed = failed;
            Api = api;
            Error = error;
        }
        Touch();
        Owner->Wake.Raise();
    }

    // Callback or request thread: checks the certificate of the connection,
    // once; a refused one closes the request before it is sent.
    void CheckCertificate(HINTERNET handle);
    void OnStatus(HINTERNET handle, DWORD status, void* info, DWORD length);
};

void Exchange::CheckCertificate(HINTERNET handle) {
    {
        std::lock_guard lock(Mutex);
        if (CertificateChecked || !Policy || !Policy->Active())
            return;
    }
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    std::string refused;
    std::string pin;
    if (!WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) ||
        !certificate) {
        // A proxy tunnel that is not set up yet; the next notification comes
        // once the connection to the server itself is made.
        if (GetLastError() == ERROR_WINHTTP_INCORRECT_HANDLE_STATE)
            return;
        refused = "the server's certificate cannot be read";
    } else {
        pin = PublicKeyPin(certificate);
        if (Policy->CaStore) {
            const std::string why = CheckChain(certificate, Policy->CaStore);
            if (!why.empty())
                refused = "SSL peer certificate was not OK (" + why + ")";
        }
        if (refused.empty() && !Policy->Pin.empty() && pin != Policy->Pin)
            refused = "certificate pin mismatch: the server's key is " +
                      (pin.empty() ? std::string("of an unknown pin") : pin) + ", the pin set is " +
                      Printable(Policy->Pin, 100);
    }
    {
        std::lock_guard lock(Mutex);
        CertificateChecked = true;
        if (Policy->Capture && certificate && !Captured)
            Captured = CertDuplicateCertificateContext(certificate);
        Refused = refused;
    }
    if (certificate)
        CertFreeCertificateContext(certificate);
    if (!refused.empty() || Policy->Capture) {
        // Closing the handle now keeps the request from going out on this
        // connection; the thread that runs the request sees why.
        CloseOnce();
        Complete(0, true, API_SEND_REQUEST, ERROR_WINHTTP_OPERATION_CANCELLED);
    }
}

void Exchange::OnStatus(HINTERNET handle, DWORD status, void* info, DWORD length) {
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
        // The last call for this handle: nothing waits for it any more.
        std::shared_ptr<Exchange> last;
        {
            std::lock_guard lock(Mutex);
            Handle = nullptr;
            last = std::move(Self);
            if (!Done) {
                Done = Failed = true;
                Error = ERROR_WINHTTP_OPERATION_CANCELLED;
            }
        }
        Owner->Wake.Raise();
        return; // `last` frees this object
    }
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST: {
        // Closing the handle here may bring the handle-closing call at once.
        std::shared_ptr<Exchange> keep;
        {
            std::lock_guard lock(Mutex);
            keep = Self;
        }
        Touch();
        CheckCertificate(handle);
        return;
    }
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        Complete(0);
        return;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        Complete(info && length >= sizeof(DWORD) ? *static_cast<DWORD*>(info) : 0);
        return;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        Complete(length);
        return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        const auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
        Complete(0, true, result ? static_cast<DWORD>(result->dwResult) : 0,
                 result ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR);
        return;
    }
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE: {
        std::lock_guard lock(Mutex);
        if (info && length >= sizeof(DWORD))
            SecureFlags |= *static_cast<DWORD*>(info);
        return;
    }
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
        Touch();
        return;
    default:
        return;
    }
}

void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                             DWORD length) {
    if (context)
        reinterpret_cast<Exchange*>(context)->OnStatus(handle, status, info, length);
}

// One request, its redirections included, on the thread that calls Run. The
// cookies and body pieces are handed out between WinHTTP operations, so no
// handler runs inside a WinHTTP callback.
class Transfer {
public:
    Transfer(ClientState* client, std::shared_ptr<Request> request, Settings settings,
             std::string* sink)
        : Params(std::move(settings)), FClient(client), FRequest(std::move(request)), FSink(sink) {}
    ~Transfer() {
        Close();
        if (Certificate)
            CertFreeCertificateContext(Certificate);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void Start();
    // Runs the transfer to its end; `deliver` is called after the head of
    // every answer and after every piece of body, `idle` (when set) about
    // every 20 ms. Throws EHttpException.
    void Run(const std::function<void()>* idle, const std::function<void()>& deliver);
    void Close();

    // True while the request may still raise events: not aborted, client alive.
    bool Live() const { return !FRequest->Aborted.load() && (!FClient || FClient->Alive.load()); }
    THttpCli& Owner() const { return FClient->Owner; }
    void DeliverCookies();

    [[noreturn]] void FailAbort() const { Fail(THttpErrorKind::Abort, "aborted"); }

    // FetchServerCertificate: stop at the server's certificate; Run leaves
    // it here (the caller frees it).
    bool CertificateOnly = false;
    PCCERT_CONTEXT Certificate = nullptr;
    // Set: the whole transfer ends as timed out at this time.
    std::optional<Clock::time_point> Deadline;

    const Settings Params;
    int Status = 0;
    std::vector<std::string> Pieces;
    // Pieces count as pending until the main thread has had them (GetASync).
    bool BoundPending = false;

private:
    enum class Op { Send, Receive, Query, Read };

    [[noreturn]] void Fail(THttpErrorKind kind, const std::string& what, int status = 0) const;
    [[noreturn]] void FailWinHttp(DWORD error, const char* api) const;
    void OpenHop(const UrlParts& url);
    void CloseHop();
    DWORD Step(Op op, DWORD size = 0);
    void Await();
    milliseconds Idle(milliseconds wait);
    void CheckConnection();
    void ReadHead(const UrlParts& url, std::string& location);
    void ReadBody();
    void HandOver();
    void WaitForDelivery();
    Clock::time_point LastActivity() const;
    std::string ProxyName() const;

    ClientState* FClient; // null for FetchServerCertificate
    std::shared_ptr<Request> FRequest;
    std::string* FSink; // Get: the body goes here instead of Pieces
    const std::function<void()>* FIdle = nullptr;
    Clock::time_point FLastIdle;
    const std::function<void()>* FDeliver = nullptr;
    // With a delivery interval: pieces gathered since the last hand-over wait
    // until FDue.
    bool FGathering = false;
    Clock::time_point FDue{};
    HINTERNET FSession = nullptr;
    HINTERNET FConnect = nullptr;
    DWORD FBackstop = 0; // WinHTTP's own timeouts, in ms
    std::shared_ptr<Exchange> FExchange;
    std::shared_ptr<CertificatePolicy> FPolicy;
    bool FHopIsTls = false;
    std::string FEffectiveUrl; // after a redirection: the URL of the current step
    std::vector<OriginCookie> FCookies;
    Clock::time_point FLastActivity = Clock::now();
    std::string FReason; // of the last status line
    std::optional<uint64_t> FContentLength;
    size_t FBodySize = 0;
};

std::string Transfer::ProxyName() const {
    if (Params.Proxy.empty())
        return {};
    long port = 80;
    if (!Params.ProxyPort.empty()) {
        const char* first = Params.ProxyPort.data();
        const char* last = first + Params.ProxyPort.size();
        const auto [end, ec] = std::from_chars(first, last, port);
        if (ec != std::errc() || end != last || port < 1 || port > 65535)
            Fail(THttpErrorKind::Transport,
                 "failed: invalid proxy port \"" + Printable(Params.ProxyPort, 20) + "\"");
    }
    return Params.Proxy + ":" + std::to_string(port);
}

void Transfer::Start() {
    UrlParts target;
    const std::string unusable = ParseUrl(Params.Url, target);
    // The plain client is asked for http URLs only, but follows a recorder
    // that moves its clients to https.
    if (unusable.empty() && Params.HttpOnly && target.Scheme != "http")
        Fail(THttpErrorKind::Transport, "failed: Unsupported protocol (\"" +
                                            Printable(target.Scheme, 20) +
                                            "\" is not for the plain client)");
    if (!unusable.empty())
        Fail(THttpErrorKind::Transport, "failed: URL using bad/illegal format (" + unusable + ")");
    if (target.Scheme != "http" && target.Scheme != "https")
        Fail(THttpErrorKind::Transport,
             "failed: Unsupported protocol \"" + Printable(target.Scheme, 20) + "\"");
    const std::string proxy = ProxyName();

    if (Params.Ssl) {
        FPolicy = std::make_shared<CertificatePolicy>();
        FPolicy->Pin = Params.Ssl->PinnedPublicKey;
        FPolicy->Capture = CertificateOnly;
        if (Params.Ssl->VerifyPeer && !Params.Ssl->CaFile.empty()) {
            std::ifstream file(Params.Ssl->CaFile, std::ios::binary);
            const std::string pem((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
            FPolicy->CaStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
            bool any = false;
            for (const std::vector<BYTE>& der : PemCertificates(pem))
                if (FPolicy->CaStore &&
                    CertAddEncodedCertificateToStore(FPolicy->CaStore, X509_ASN_ENCODING,
                                                     der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, nullptr))
                    any = true;
            if (!any)
                Fail(THttpErrorKind::Transport, "failed: no certificate read from the CA file " +
                                                    Printable(Params.Ssl->CaFile, 200));
        }
    }

    // The program reads no environment variable and no system proxy setting:
    // a direct connection unless a proxy is configured, and no bypass list.
    const std::wstring proxyName = Widen(proxy);
    FSession = WinHttpOpen(
        nullptr, proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
        proxy.empty() ? nullptr : proxyName.c_str(), nullptr, WINHTTP_FLAG_ASYNC);
    if (!FSession)
        FailWinHttp(GetLastError(), "WinHttpOpen");
    // Zero: no limit.
    FBackstop = Params.Timeout.count() > 0
                    ? static_cast<DWORD>(std::min<milliseconds::rep>(
                          (Params.Timeout + kBackstopMargin).count(), 0x7fffffff))
                    : 0;
    const int backstop = static_cast<int>(FBackstop);
    WinHttpSetTimeouts(FSession, backstop, backstop, backstop, backstop);
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                      WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    // Systems without TLS 1.3 refuse the whole set.
    if (!WinHttpSetOption(FSession, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                          sizeof protocols)) {
        protocols &= ~DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3};
        WinHttpSetOption(FSession, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(FSession, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
    FLastActivity = Clock::now();
}

void Transfer::OpenHop(const UrlParts& url) {
    CloseHop();
    FHopIsTls = url.Scheme == "https";
    std::string host = url.Host;
    if (host.size() > 2 && host.front() == '[')
        host = host.substr(1, host.size() - 2);
    FConnect =
        WinHttpConnect(FSession, Widen(host).c_str(), static_cast<INTERNET_PORT>(url.Port), 0);
    if (!FConnect)
        FailWinHttp(GetLastError(), "WinHttpConnect");
    const wchar_t* accept[] = {L"*/*", nullptr};
    HINTERNET request = WinHttpOpenRequest(
        FConnect, CertificateOnly ? L"HEAD" : L"GET", Widen(url.Target).c_str(), L"HTTP/1.0",
        WINHTTP_NO_REFERER, accept, FHopIsTls ? WINHTTP_FLAG_SECURE : 0);
    if (!request)
        FailWinHttp(GetLastError(), "WinHttpOpenRequest");
    FExchange = std::make_shared<Exchange>(FRequest, FHopIsTls ? FPolicy : nullptr);
    FExchange->Handle = request;
    FExchange->Touch();

    const auto option = [&](DWORD id, DWORD value, const char* name) {
        if (!WinHttpSetOption(request, id, &value, sizeof value))
            FailWinHttp(GetLastError(), name);
    };
    // Cookies, redirections and authentication are this client's business;
    // one connection per exchange, as HTTP/1.0 means it.
    option(WINHTTP_OPTION_DISABLE_FEATURE,
           WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION |
               WINHTTP_DISABLE_KEEP_ALIVE,
           "WinHttpSetOption(DISABLE_FEATURE)");
    option(WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH,
           "WinHttpSetOption(AUTOLOGON_POLICY)");
    // The wait for the answer's head has a limit of its own, apart from the
    // session's timeouts; it too only ends a request left behind.
    option(WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, FBackstop ? FBackstop : INFINITE,
           "WinHttpSetOption(RECEIVE_RESPONSE_TIMEOUT)");
    if (FHopIsTls) {
        DWORD flags = 0;
        if (!Params.Ssl || !Params.Ssl->VerifyPeer)
            flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                     SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
        else if (FPolicy && FPolicy->CaStore)
            flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA; // the CA file's chain is checked here
        if (!Params.Ssl || !Params.Ssl->VerifyHost)
            flags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
        option(WINHTTP_OPTION_SECURITY_FLAGS, flags, "WinHttpSetOption(SECURITY_FLAGS)");
    }
    // The cookie only for its own origin, as a header of our own.
    if (!Params.Cookie.empty() && url.Origin() == Params.CookieOrigin) {
        std::string cookie = Params.Cookie;
        std::erase_if(cookie, [](char c) { return c == '\r' || c == '\n'; });
        const std::wstring header = L"Cookie: " + Widen(cookie);
        if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(header.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
            FailWinHttp(GetLastError(), "WinHttpAddRequestHeaders");
    }

    // From here WinHTTP keeps the exchange until the handle is closed.
    FExchange->Self = FExchange;
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(FExchange.get());
    if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
        WinHttpSetStatusCallback(request, &StatusCallback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        const DWORD error = GetLastError();
        FExchange->Self.reset();
        FailWinHttp(error, "WinHttpSetStatusCallback");
    }
}

void Transfer::CloseHop() {
    if (FExchange) {
        FExchange->CloseOnce();
        FExchange.reset();
    }
    if (FConnect)
        WinHttpCloseHandle(FConnect);
    FConnect = nullptr;
}

void Transfer::Close() {
    CloseHop();
    if (FSession)
        WinHttpCloseHandle(FSession);
    FSession = nullptr;
}

Clock::time_point Transfer::LastActivity() const {
    Clock::time_point last = FLastActivity;
    if (FExchange)
        last = std::max(last, Clock::time_point(Clock::duration(FExchange->Activity.load())));
    return last;
}

// Calls `idle` when it is due; returns `wait` shortened to the next call.
milliseconds Transfer::Idle(milliseconds wait) {
    if (!FIdle)
        return wait;
    Clock::time_point now = Clock::now();
    if (now - FLastIdle >= kIdleInterval) {
        (*FIdle)();
        if (!Live())
            FailAbort();
        FLastIdle = Clock::now();
        // Time spent in `idle` is not silence of the peer.
        FLastActivity = std::max(FLastActivity, LastActivity()) + (FLastIdle - now);
        now = FLastIdle;
    }
    return std::min(wait, std::chrono::ceil<milliseconds>(kIdleInterval - (now - FLastIdle)));
}

void Transfer::Await() {
    for (;;) {
        const uint64_t seen = FRequest->Wake.Generation();
        if (!Live())
            FailAbort();
        if (FExchange->IsDone())
            return;
        milliseconds wait = kLongestWait;
        if (Params.Timeout.count() > 0) {
            const auto quiet = Clock::now() - LastActivity();
            if (quiet >= Params.Timeout)
                Fail(THttpErrorKind::Timeout, "failed: nothing received for " +
                                                  DurationText(Params.Timeout) +
                                                  " (inactivity limit)");
            wait = std::min(wait, std::chrono::ceil<milliseconds>(Params.Timeout - quiet));
        }
        if (Deadline) {
            const Clock::time_point now = Clock::now();
            if (now >= *Deadline)
                Fail(THttpErrorKind::Timeout, "failed: no answer within the time limit");
            wait = std::min(wait, std::chrono::ceil<milliseconds>(*Deadline - now));
        }
        if (FGathering && !Pieces.empty()) {
            if (Clock::now() >= FDue) {
                HandOver();
                continue;
            }
            wait = std::min(wait, std::chrono::ceil<milliseconds>(FDue - Clock::now()));
        }
        wait = std::max(Idle(wait), milliseconds(0));
        FRequest->Wake.Wait(seen, wait);
    }
}

DWORD Transfer::Step(Op op, DWORD size) {
    Exchange& exchange = *FExchange;
    exchange.Begin();
    HINTERNET handle = exchange.CurrentHandle();
    BOOL started = FALSE;
    const char* api = "WinHTTP";
    if (handle) {
        switch (op) {
        case Op::Send:
            api = "WinHttpSendRequest";
            started = WinHttpSendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                         WINHTTP_NO_REQUEST_DATA, 0, 0,
                                         reinterpret_cast<DWORD_PTR>(&exchange));
            break;
        case Op::Receive:
            api = "WinHttpReceiveResponse";
            started = WinHttpReceiveResponse(handle, nullptr);
            break;
        case Op::Query:
            api = "WinHttpQueryDataAvailable";
            started = WinHttpQueryDataAvailable(handle, nullptr);
            break;
        case Op::Read:
            api = "WinHttpReadData";
            started = WinHttpReadData(handle, exchange.Buffer.data(), size, nullptr);
            break;
        }
    }
    // A refused certificate may close the handle before the send returns.
    const DWORD startError = started ? 0 : handle ? GetLastError() : ERROR_INVALID_HANDLE;
    if (started)
        Await();
    if (!Live())
        FailAbort();
    std::string refused;
    bool failed = !started;
    DWORD error = startError;
    {
        std::lock_guard lock(exchange.Mutex);
        refused = exchange.Refused;
        if (started && exchange.Failed) {
            failed = true;
            error = exchange.Error;
            if (exchange.Api != 0)
                api = ApiName(exchange.Api);
        }
        if (CertificateOnly && exchange.Captured) {
            Certificate = CertDuplicateCertificateContext(exchange.Captured);
            return 0;
        }
    }
    if (!refused.empty())
        Fail(THttpErrorKind::Transport, "failed: " + refused);
    if (failed)
        FailWinHttp(error, api);
    return started ? exchange.Count : 0;
}

void Transfer::CheckConnection() {
    Exchange& exchange = *FExchange;
    if (!exchange.Policy || !exchange.Policy->Active())
        return;
    bool checked = false;
    {
        std::lock_guard lock(exchange.Mutex);
        checked = exchange.CertificateChecked;
    }
    // Normally checked as the request was about to go out; this catches a
    // connection that gave no chance to.
    if (!checked)
        if (HINTERNET handle = exchange.CurrentHandle())
            exchange.CheckCertificate(handle);
    std::string refused;
    {
        std::lock_guard lock(exchange.Mutex);
        checked = exchange.CertificateChecked;
        refused = exchange.Refused;
        if (CertificateOnly && exchange.Captured && !Certificate)
            Certificate = CertDuplicateCertificateContext(exchange.Captured);
    }
    if (!refused.empty())
        Fail(THttpErrorKind::Transport, "failed: " + refused);
    if (!checked)
        Fail(THttpErrorKind::Transport, "failed: the server's certificate cannot be read");
}

void Transfer::Run(const std::function<void()>* idle, const std::function<void()>& deliver) {
    FIdle = idle && *idle ? idle : nullptr;
    FLastIdle = Clock::now();
    FDeliver = &deliver;
    UrlParts url;
    ParseUrl(Params.Url, url); // Start has checked it
    for (int redirects = 0;; ++redirects) {
        OpenHop(url);
        Step(Op::Send);
        if (FHopIsTls)
            CheckConnection();
        if (CertificateOnly)
            return;
        Step(Op::Receive);
        std::string location;
        ReadHead(url, location);
        deliver();
        if (!Live())
            FailAbort();
        if (location.empty())
            break;
        if (redirects == kMaxRedirects)
            Fail(THttpErrorKind::Transport, "failed: Number of redirects hit maximum amount (" +
                                                std::to_string(kMaxRedirects) +
                                                " redirections followed)");
        const std::string next = ResolveLocation(url, location);
        UrlParts parts;
        const std::string unusable = ParseUrl(next, parts);
        FEffectiveUrl = next;
        if (!unusable.empty())
            Fail(THttpErrorKind::Transport,
                 "failed: the redirection's URL cannot be used (" + unusable + ")");
        if (parts.Scheme != "http" && parts.Scheme != "https")
            Fail(THttpErrorKind::Transport, "failed: Unsupported protocol \"" +
                                                Printable(parts.Scheme, 20) +
                                                "\" in a redirection");
        url = parts;
    }
    // The body of an error answer is of no use to anyone.
    if (IsErrorStatus(Status))
        Fail(THttpErrorKind::Status,
             "failed: HTTP status " + std::to_string(Status) + " " + FReason, Status);
    ReadBody();
}

void Transfer::ReadHead(const UrlParts& url, std::string& location) {
    HINTERNET request = FExchange->CurrentHandle();
    if (!request)
        FailWinHttp(ERROR_INVALID_HANDLE, "WinHttpQueryHeaders");
    DWORD code = 0;
    DWORD size = sizeof code;
    Status = 0;
    FReason.clear();
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX) &&
        code >= 100 && code <= 999)
        Status = static_cast<int>(code);
    if (Status == 0)
        FailWinHttp(ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "WinHttpQueryHeaders");
    std::wstring value;
    if (QueryHeader(request, WINHTTP_QUERY_STATUS_TEXT, value, WINHTTP_NO_HEADER_INDEX))
        FReason = Printable(Narrow(value));

    // Every Set-Cookie, of a redirection too, with the origin that set it.
    const std::string origin = url.Origin();
    DWORD index = 0;
    for (int i = 0; i < 1000; ++i) {
        const DWORD before = index;
        if (!QueryHeader(request, WINHTTP_QUERY_SET_COOKIE, value, &index) || index == before)
            break;
        FCookies.push_back({Narrow(value), origin});
    }

    FContentLength.reset();
    std::wstring encoding;
    const bool chunked =
        QueryHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING, encoding, WINHTTP_NO_HEADER_INDEX) &&
        Lower(Narrow(encoding)).find("chunked") != std::string::npos;
    if (!chunked &&
        QueryHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, value, WINHTTP_NO_HEADER_INDEX)) {
        const std::string text = Narrow(value);
        uint64_t length = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
        if (ec == std::errc() && end == text.data() + text.size())
            FContentLength = length;
    }

    // As curl follows: a redirection status other than 304 with a Location.
    location.clear();
    if (Status >= 300 && Status < 400 && Status != 304 &&
        QueryHeader(request, WINHTTP_QUERY_LOCATION, value, WINHTTP_NO_HEADER_INDEX))
        location = Narrow(value);
}

void Transfer::WaitForDelivery() {
    if (!BoundPending || FRequest->Pending.load() < THttpCli::MaxPendingDelivery)
        return;
    if (!Pieces.empty())
        HandOver(); // the main thread can only catch up with what it was given
    FRequest->Paused.store(true);
    for (;;) {
        const uint64_t seen = FRequest->Wake.Generation();
        if (!Live())
            FailAbort();
        if (FRequest->Pending.load() < THttpCli::MaxPendingDelivery)
            break;
        FRequest->Wake.Wait(seen, kLongestWait);
    }
    FRequest->Paused.store(false);
    // Waiting for the main thread is not the peer's silence.
    FLastActivity = Clock::now();
}

// Hands the cookies and the pieces read so far to `deliver`.
void Transfer::HandOver() {
    const Clock::time_point before = Clock::now();
    (*FDeliver)();
    if (!Live())
        FailAbort();
    const Clock::time_point after = Clock::now();
    // Time spent in the handlers is not silence of the peer.
    FLastActivity = std::max(FLastActivity, LastActivity()) + (after - before);
    FDue = after + Params.DeliveryInterval;
}

void Transfer::ReadBody() {
    // With a delivery interval the body goes on being read, and what came in
    // meanwhile is handed over in one piece when the interval is up. (Resting
    // instead, as the curl side does, starves a TLS stream here: after a rest
    // WinHTTP offers only one decrypted record per read.)
    FGathering = Params.DeliveryInterval.count() > 0 && !FSink;
    FDue = Clock::time_point{};
    try {
        for (;;) {
            WaitForDelivery();
            const DWORD available = Step(Op::Query);
            if (available == 0)
                break;
            DWORD want = std::min(available, kReadSize);
            if (Params.MaxBodySize != 0)
                // One byte past the limit is enough to know it is passed.
                want =
                    static_cast<DWORD>(std::min<size_t>(want, Params.MaxBodySize - FBodySize + 1));
            const DWORD got = Step(Op::Read, want);
            if (got == 0)
                break;
            if (Params.MaxBodySize != 0 && got > Params.MaxBodySize - FBodySize)
                Fail(THttpErrorKind::TooLarge, "failed: answer body larger than the limit of " +
                                                   std::to_string(Params.MaxBodySize) + " bytes");
            const char* data = FExchange->Buffer.data();
            FBodySize += got;
            if (FSink) {
                FSink->append(data, got);
            } else {
                // Consecutive reads of one hand-over stay one piece.
                if (FGathering && !Pieces.empty())
                    Pieces.back().append(data, got);
                else
                    Pieces.emplace_back(data, got);
                if (BoundPending)
                    FRequest->Pending += got;
            }
            if (!FGathering || Clock::now() >= FDue)
                HandOver();
        }
        // WinHTTP ends a body that was cut off as if it were complete.
        if (FContentLength && FBodySize < *FContentLength)
            Fail(THttpErrorKind::Transport, "failed: Transferred a partial file (" +
                                                std::to_string(FBodySize) + " of " +
                                                std::to_string(*FContentLength) + " bytes)");
    } catch (const EHttpException& e) {
        // What arrived before the failure is still handed over.
        if (e.Kind() != THttpErrorKind::Abort && !Pieces.empty() && Live())
            (*FDeliver)();
        throw;
    }
    if (!Pieces.empty())
        HandOver();
}

void Transfer::DeliverCookies() {
    for (OriginCookie& cookie : FCookies) {
        if (!Live())
            break;
        if (Params.Events->OnCookie) {
            bool accept = true;
            Params.Events->OnCookie(Owner(), cookie.Cookie, accept);
        }
        std::lock_guard lock(FClient->Mutex);
        FClient->RememberCookieLocked(std::move(cookie));
    }
    FCookies.clear();
}

void Transfer::Fail(THttpErrorKind kind, const std::string& what, int status) const {
    std::string where = SafeUrl(Params.Url);
    if (!FEffectiveUrl.empty())
        where += " (redirected to " + SafeUrl(FEffectiveUrl) + ")";
    if (where.empty())
        where = "(no URL)";
    throw EHttpException(kind, "GET " + where + " " + what, status);
}

void Transfer::FailWinHttp(DWORD error, const char* api) const {
    if (!Live())
        FailAbort();
    std::string what = "failed: " + ErrorText(error);
    if (error == ERROR_WINHTTP_SECURE_FAILURE && FExchange) {
        std::lock_guard lock(FExchange->Mutex);
        const std::string detail = SecureFailureText(FExchange->SecureFlags);
        if (!detail.empty())
            what += " (" + detail + ")";
    }
    what += " (WinHTTP error " + std::to_string(error) + " in " + api + ")";
    Fail(error == ERROR_WINHTTP_TIMEOUT ? THttpErrorKind::Timeout : THttpErrorKind::Transport,
         what);
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
    UrlParts url;
    if (ParseUrl(s.Url, url).empty())
        s.CookieOrigin = url.Origin();
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
    Transfer transfer(impl.get(), request, std::move(settings), sink);
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
// (or dropped); wakes the network thread when its reading waits for that.
void MarkDelivered(Request& request, size_t bytes) {
    const size_t before = request.Pending.fetch_sub(bytes);
    if (before - bytes < THttpCli::MaxPendingDelivery && request.Paused.load())
        request.Wake.Raise();
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
        Transfer transfer(impl.get(), request, std::move(settings), nullptr);
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
                            Request& request;
                            size_t bytes;
                            ~Delivered() { MarkDelivered(request, bytes); }
                        } delivered{*request, data.size()}; // also when the handler throws
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

THttpCli::THttpCli() : FImpl(std::make_shared<Impl>(*this)) {}

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
    const std::vector<std::vector<BYTE>> certificates = PemCertificates(certificatePem);
    if (certificates.empty())
        return {};
    const std::vector<BYTE>& der = certificates.front();
    PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (!certificate)
        return {};
    std::string pin = PublicKeyPin(certificate);
    CertFreeCertificateContext(certificate);
    return pin;
}

namespace {
// As OpenSSL prints a certificate's time: "Jan  5 10:31:07 2026 GMT".
std::string CertificateTime(const FILETIME& time) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME t{};
    if (!FileTimeToSystemTime(&time, &t) || t.wMonth < 1 || t.wMonth > 12)
        return {};
    char text[40];
    std::snprintf(text, sizeof text, "%s %2u %02u:%02u:%02u %u GMT", kMonths[t.wMonth - 1],
                  unsigned{t.wDay}, unsigned{t.wHour}, unsigned{t.wMinute}, unsigned{t.wSecond},
                  unsigned{t.wYear});
    return text;
}
} // namespace

TServerCertificate FetchServerCertificate(const std::string& server, long timeoutSeconds) {
    const auto fail = [&](const std::string& what) {
        throw EHttpException(THttpErrorKind::Transport,
                             "certificate of " + Printable(server) + ": " + what);
    };
    Settings settings;
    settings.Url = "https://" + server + "/";
    settings.Timeout = std::chrono::seconds(std::max(timeoutSeconds, 1L));
    settings.Ssl = std::make_shared<TSslContext>();
    settings.Events = std::make_shared<const Handlers>();
    Transfer transfer(nullptr, std::make_shared<Request>(), std::move(settings), nullptr);
    transfer.CertificateOnly = true;
    transfer.Deadline = Clock::now() + transfer.Params.Timeout;
    try {
        transfer.Start();
        transfer.Run(nullptr, [] {});
    } catch (const EHttpException& e) {
        fail(e.what());
    }
    if (!transfer.Certificate)
        fail("the server sent no certificate");
    PCCERT_CONTEXT certificate = transfer.Certificate;
    TServerCertificate out;
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    const DWORD n = CertNameToStrA(X509_ASN_ENCODING, subject, type, nullptr, 0);
    if (n > 1) {
        out.Subject.assign(n, '\0');
        CertNameToStrA(X509_ASN_ENCODING, subject, type, out.Subject.data(), n);
        out.Subject.resize(n - 1);
    }
    out.NotBefore = CertificateTime(certificate->pCertInfo->NotBefore);
    out.NotAfter = CertificateTime(certificate->pCertInfo->NotAfter);
    out.Pin = PublicKeyPin(certificate);
    if (out.Pin.empty())
        fail("the certificate's key cannot be read");
    return out;
}

} // namespace corvane
