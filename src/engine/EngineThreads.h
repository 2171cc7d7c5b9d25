#pragma once

// The two threads of one engine run: the polling thread, which sends one
// request after another, and the starter thread, which lets the polling thread
// go and waits for it, so that the end of the run reaches the main thread as
// the starter thread's termination event.

#include "Clock.h"
#include "HttpCli.h"
#include "Thread.h"

#include <memory>

namespace corvane {

class TCorvane;

class TStartStopThread : public TThread {
public:
    TStartStopThread(bool createSuspended, TCorvane& session,
                     std::shared_ptr<TSslContext> sslContext);
    ~TStartStopThread() override;

    // Main thread (Stop), after Terminate: ends the request in progress on
    // both clients and the wait between two requests.
    void Interrupt();

    // Polling thread: waits `ms` of the session's clock, cut to whole steps of
    // 200 ms; Interrupt ends the wait once terminated.
    void WaitInterruptible(int ms);

protected:
    void Execute() override;

private:
    std::unique_ptr<THttpCli> FPlainClient;
    std::unique_ptr<TSslHttpCli> FTlsClient;
    TCorvane& FSession;
    std::shared_ptr<TSslContext> FSslContext;
    const TClock FClock; // the session's, taken when the run is built
    TWakeup FWakeup;
};

// Logs the start, releases the polling thread and waits for it. Frees itself;
// its termination event is the session's end-of-run handler.
class TQuorinThread : public TThread {
public:
    TQuorinThread(bool createSuspended, TCorvane& session);

protected:
    void Execute() override;

private:
    TCorvane& FSession;
};

} // namespace corvane
