#pragma once

// The client's session with one recorder: settings copy, URLs and
// credentials, request execution, the list of active calls and the engine
// threads, and the four events through which the engine talks to the user
// interface.

#include "AnswerFormat.h"
#include "CallList.h"
#include "Clock.h"
#include "HttpCli.h"
#include "QuorinConfig.h"
#include "StopWatch.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

class TStartStopThread;
class TQuorinThread;

// Status codes raised through OnStatus. The numbers are the ones the log
// writes; a code outside this list may arrive and is only logged.
enum class TStatusCode : int32_t {
    LogOnRefused = 1,
    ConnectFailed = 2,
    EngineStopped = 3, // raised by the main window itself
    ServerError = 8,
};

// Results of Start; the numbers are the ones the log writes.
enum class TStartResult : int {
    Ok = 0,
    MissingCredentials = 1,
    MissingServer = 2,
};

constexpr int32_t StatusNumber(TStatusCode code) {
    return static_cast<int32_t>(code);
}
constexpr int StartResultNumber(TStartResult result) {
    return static_cast<int>(result);
}

// Largest poll answer accepted; a recorder that sends more is broken.
constexpr size_t MaxAnswerSize = 16 * 1024 * 1024;
// Most records taken from one answer, far above any real recorder's count of
// active calls; the rest of a longer list is left out (and logged).
constexpr size_t MaxRecordsPerAnswer = 20000;

class TCorvane {
public:
    TCorvane();
    // Stops and waits for a run that is still going (the owner normally waits
    // for OnStopped first).
    virtual ~TCorvane();
    TCorvane(const TCorvane&) = delete;
    TCorvane& operator=(const TCorvane&) = delete;

    // Events. OnLog and OnStatus arrive on worker threads too, OnCallsChanged
    // on the polling thread; the raising thread waits for the receiver.
    // OnStopped arrives on the main thread.
    std::function<void(TCorvane&)> OnCallsChanged;
    std::function<void(TCorvane&)> OnStopped;
    std::function<void(TStatusCode code)> OnStatus;
    std::function<void(const std::string& text)> OnLog;

    // The last know token received; polling thread only while running.
    std::string Know;

    // Main thread, while stopped: copies every field of `config`.
    void SetConfig(const TQuorinConfig& config);
    const TQuorinConfig& Config() const { return FConfig; }

    // Main thread, while stopped: the clock of the next run's cycle floor,
    // back-off waits and inactivity limit. Real time unless a test sets a faster one.
    void SetClock(const TClock& clock);
    const TClock& Clock() const { return FClock; }

    // Main thread.
    TStartResult Start();
    // Main thread: marks the polling thread terminated and aborts its request
    // or ends its wait. Returns at once; OnStopped follows. Does nothing when
    // nothing runs.
    void Stop();
    bool IsRunning() const { return FRunning; }

    // Main thread: a deep copy of the active calls, under the list lock.
    void GetCalls(TCallList& destination);
    // Polling thread: replaces the list from an answer (its first
    // MaxRecordsPerAnswer records) and raises OnCallsChanged.
    void UpdateCalls(const std::string& listText, const std::string& serverTimeText);

    // Request building; any thread that runs a request.
    std::string BaseUrl() const;
    std::string CredentialsQuery() const;
    THttpCli& SelectHttpClient(THttpCli& plain, TSslHttpCli& tls) const;
    std::string ExecuteRequest(THttpCli& plain, TSslHttpCli& tls, const std::string& query);
    void HookCookies(THttpCli& plain, THttpCli& tls);

    void Log(const std::string& text);
    void ReportStatus(TStatusCode code);
    // Logs each field as key=value, both made safe for the log (LogSafe).
    void LogFields(const StrMap& fields);

    // The TLS context of the current run; clients that use it keep it alive.
    std::shared_ptr<TSslContext> SslContext() const { return FSslContext; }

    // Encodes a user name, password or know token for a query.
    static std::string UrlEncode(std::string_view text);

private:
    friend class TQuorinThread;
    void HandleRunEnded();
    void HandleCookie(THttpCli& sender, const std::string& cookie);
    void WaitForRunToEnd();

    TQuorinConfig FConfig;
    TClock FClock;
    std::unique_ptr<TStartStopThread> FPollThread;
    TQuorinThread* FStarterThread = nullptr; // frees itself
    bool FRunning = false;
    std::shared_ptr<TSslContext> FSslContext;
    TCriticalSection FListLock;
    TCallList FCalls;
};

} // namespace corvane
