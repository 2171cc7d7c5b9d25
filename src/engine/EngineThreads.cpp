#include "EngineThreads.h"

#include "Corvane.h"

#include <chrono>
#include <cstdlib>
#include <cxxabi.h>
#include <string>
#include <typeinfo>

namespace corvane {

namespace {

// The class name of an error for the log: the HTTP layer names its own kinds,
// other errors are named by their C++ type.
std::string ClassNameOf(const std::exception& e) {
    if (const auto* http = dynamic_cast<const EHttpException*>(&e))
        return http->ClassName();
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status);
    std::string result = (status == 0 && name) ? name : typeid(e).name();
    std::free(name);
    return result;
}

constexpr int kStepMs = 200;

// The inactivity limit is measured by the client in real time; it belongs to
// the engine's time, so a faster clock shortens it like every other wait.
void TakeTimeoutFrom(const TClock& clock, THttpCli& client) {
    client.Timeout = std::chrono::ceil<std::chrono::milliseconds>(clock.ToReal(client.Timeout));
}

} // namespace

TStartStopThread::TStartStopThread(bool createSuspended, TCorvane& session,
                                   std::shared_ptr<TSslContext> sslContext)
    : FPlainClient(std::make_unique<THttpCli>()), FTlsClient(std::make_unique<TSslHttpCli>()),
      FSession(session), FSslContext(std::move(sslContext)), FClock(session.Clock()) {
    FSession.HookCookies(*FPlainClient, *FTlsClient);
    TakeTimeoutFrom(FClock, *FPlainClient);
    TakeTimeoutFrom(FClock, *FTlsClient);
    if (!createSuspended)
        Resume();
}

TStartStopThread::~TStartStopThread() {
    // The clients must outlive the thread that uses them.
    Terminate();
    Interrupt();
    Shutdown();
}

void TStartStopThread::Interrupt() {
    FPlainClient->Abort();
    FTlsClient->Abort();
    FWakeup.Notify();
}

void TStartStopThread::WaitInterruptible(int ms) {
    const int steps = ms / kStepMs;
    if (steps <= 0)
        return;
    FClock.WaitFor(std::chrono::milliseconds(steps * kStepMs), FWakeup,
                   [this] { return Terminated(); });
}

void TStartStopThread::Execute() {
    FTlsClient->SetSslContext(FSslContext);
    bool firstRequest = true;
    try {
        while (!Terminated()) {
            int minCycleSeconds = 2;
            StopWatch watch;
            watch.Start(FClock);
            try {
                const std::string know = firstRequest ? std::string("xxx") : FSession.Know;
                firstRequest = false;
                const std::string query =
                    "info=AllActiveCalls&wait=10&know=" + TCorvane::UrlEncode(know);
                const std::string answer =
                    FSession.ExecuteRequest(*FPlainClient, *FTlsClient, query);
                const StrMap fields = ParseAnswer(answer);
                FSession.LogFields(fields);
                const auto error = fields.find("Error");
                // 401 and 407 come back with their body. When that body is not
                // the recorder's own refusal (a web server or proxy in front
                // of it answered), it is a refusal all the same, not an answer
                // that has no calls: the list and the token stay.
                const int httpStatus =
                    FSession.SelectHttpClient(*FPlainClient, *FTlsClient).StatusCode();
                if (error == fields.end() && (httpStatus == 401 || httpStatus == 407)) {
                    FSession.Log("HTTP " + std::to_string(httpStatus) +
                                 " answer without an Error field");
                    FSession.ReportStatus(httpStatus == 401 ? TStatusCode::LogOnRefused
                                                            : TStatusCode::ServerError);
                    WaitInterruptible(12000);
                } else if (error != fields.end()) {
                    FSession.ReportStatus(error->second == "NotLoggedIn"
                                              ? TStatusCode::LogOnRefused
                                              : TStatusCode::ServerError);
                    WaitInterruptible(12000);
                } else {
                    const auto list = fields.find("List");
                    const auto serverTime = fields.find("ServerTime");
                    FSession.UpdateCalls(list != fields.end() ? list->second : std::string(),
                                         serverTime != fields.end() ? serverTime->second
                                                                    : std::string());
                    const auto know2 = fields.find("Know");
                    FSession.Know = know2 != fields.end() ? know2->second : std::string();
                }
            } catch (const EHttpException& e) {
                FSession.Log("st/st exception (inner): " + e.ClassName() + " " + e.what());
                if (!Terminated()) {
                    FSession.ReportStatus(TStatusCode::ConnectFailed);
                    minCycleSeconds = 10;
                }
            }
            if (Terminated())
                break;
            watch.Stop(FClock);
            if (watch.ElapsedSeconds < 2.0f) {
                WaitInterruptible(static_cast<int>(
                    (static_cast<float>(minCycleSeconds) - watch.ElapsedSeconds) * 1000.0f));
            }
        }
    } catch (const std::exception& e) {
        FSession.Log("st/st exception (loop): " + ClassNameOf(e) + " " + e.what());
    } catch (...) {
        FSession.Log("st/st exception (loop): unknown ");
    }
}

TQuorinThread::TQuorinThread(bool createSuspended, TCorvane& session) : FSession(session) {
    if (!createSuspended)
        Resume();
}

void TQuorinThread::Execute() {
    FSession.Log("Engine started");
    FSession.FPollThread->Resume();
    FSession.FPollThread->WaitFor();
}

} // namespace corvane
