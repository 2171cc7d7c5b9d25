#include "Corvane.h"

#include "EngineThreads.h"
#include "LogFile.h"
#include "MainThread.h"

#include <array>
#include <string>

namespace corvane {

namespace {

// Bytes that travel unencoded in a query; everything else but the blank is
// sent as %XX.
constexpr std::array<bool, 256> MakeSafeTable() {
    std::array<bool, 256> t{};
    for (int c = 'A'; c <= 'Z'; ++c)
        t[static_cast<size_t>(c)] = true;
    for (int c = 'a'; c <= 'z'; ++c)
        t[static_cast<size_t>(c)] = true;
    for (int c = '0'; c <= '9'; ++c)
        t[static_cast<size_t>(c)] = true;
    for (char c : {'$', '(', ')', '*', ',', '-', '.', '/', ':', '@', '_'})
        t[static_cast<unsigned char>(c)] = true;
    return t;
}
constexpr std::array<bool, 256> kSafe = MakeSafeTable();

} // namespace

TCorvane::TCorvane() = default;

TCorvane::~TCorvane() {
    if (FPollThread && IsMainThread())
        WaitForRunToEnd();
}

void TCorvane::WaitForRunToEnd() {
    Stop();
    while (FRunning)
        WaitAndCheckSynchronize(20);
}

std::string TCorvane::UrlEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        if (kSafe[b]) {
            out.push_back(ch);
        } else if (b == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0x0F]);
        }
    }
    return out;
}

void TCorvane::SetConfig(const TQuorinConfig& config) {
    FConfig = config;
}

void TCorvane::SetClock(const TClock& clock) {
    FClock = clock;
}

TStartResult TCorvane::Start() {
    if (FConfig.UserName.empty() || FConfig.Password.empty())
        return TStartResult::MissingCredentials;
    if (FConfig.Server.empty())
        return TStartResult::MissingServer;

    FSslContext = std::make_shared<TSslContext>();
    FSslContext->PinnedPublicKey = FConfig.ServerPin;
    FPollThread = std::make_unique<TStartStopThread>(true, *this, FSslContext);
    auto starter = std::make_unique<TQuorinThread>(true, *this);
    starter->FreeOnTerminate = true;
    starter->OnTerminate = [this](TThread&) { HandleRunEnded(); };
    FStarterThread = starter.release(); // frees itself after its termination event
    FStarterThread->Resume();
    FRunning = true;
    return TStartResult::Ok;
}

void TCorvane::Stop() {
    if (!FPollThread)
        return;
    FPollThread->Terminate();
    FPollThread->Interrupt();
}

void TCorvane::HandleRunEnded() {
    FPollThread.reset();
    FStarterThread = nullptr;
    FRunning = false;
    if (OnStopped)
        OnStopped(*this);
}

void TCorvane::GetCalls(TCallList& destination) {
    CriticalSessionObj lock(FListLock);
    destination.CopyFrom(FCalls);
}

void TCorvane::UpdateCalls(const std::string& listText, const std::string& serverTimeText) {
    const int32_t serverTime = ParseInt32(serverTimeText, -1);
    bool cut = false;
    {
        CriticalSessionObj lock(FListLock);
        FCalls.clear();
        cut =
            ParseRecordList(listText, &FCalls, CallAppender, CallFieldSetter, MaxRecordsPerAnswer);
        for (auto& call : FCalls)
            call->length = SaturatingSub(serverTime, call->startdate);
    }
    // Logged outside the lock: the log may wait for the main thread, which
    // may be waiting for the lock.
    if (cut)
        Log("Call list cut: the answer lists more than " + std::to_string(MaxRecordsPerAnswer) +
            " calls; the first " + std::to_string(MaxRecordsPerAnswer) +
            " are taken, the rest left out");
    if (OnCallsChanged)
        OnCallsChanged(*this);
}

std::string TCorvane::BaseUrl() const {
    return std::string(FConfig.Secure ? "https" : "http") + "://" + FConfig.Server + "/client.php";
}

std::string TCorvane::CredentialsQuery() const {
    return "username=" + UrlEncode(FConfig.UserName) + "&password=" + UrlEncode(FConfig.Password);
}

THttpCli& TCorvane::SelectHttpClient(THttpCli& plain, TSslHttpCli& tls) const {
    if (FConfig.Secure)
        return tls;
    return plain;
}

std::string TCorvane::ExecuteRequest(THttpCli& plain, TSslHttpCli& tls, const std::string& query) {
    // The query carries the recorder's know token, which may be of any size.
    Log("GET " + LogSafe(query));
    std::string body;
    THttpCli& client = SelectHttpClient(plain, tls);
    client.URL = BaseUrl() + "?" + query + "&" + CredentialsQuery();
    client.MaxBodySize = MaxAnswerSize;
    client.Get(body);
    return body;
}

void TCorvane::HookCookies(THttpCli& plain, THttpCli& tls) {
    auto handler = [this](THttpCli& sender, const std::string& cookie, bool&) {
        HandleCookie(sender, cookie);
    };
    plain.OnCookie = handler;
    tls.OnCookie = handler;
}

void TCorvane::HandleCookie(THttpCli& sender, const std::string& cookie) {
    Log("Received cookie");
    sender.Cookie = cookie;
}

void TCorvane::Log(const std::string& text) {
    if (OnLog)
        OnLog(text);
}

void TCorvane::ReportStatus(TStatusCode code) {
    if (OnStatus)
        OnStatus(code);
}

void TCorvane::LogFields(const StrMap& fields) {
    for (const auto& [key, value] : fields)
        Log(LogSafe(key) + "=" + LogSafe(value));
}

} // namespace corvane
