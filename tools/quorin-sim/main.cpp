// quorin-sim: a simulated Quorin call recorder for the tests and the demo.

#include "RandomCalls.h"
#include "SimLog.h"
#include "SimOptions.h"
#include "SimServer.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include <pthread.h>
#include <unistd.h>

using namespace corvane::sim;

int main(int argc, char** argv) {
    TSimOptions options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    switch (ParseOptions(args, options, std::cerr)) {
    case TParseResult::Help:
        PrintUsage(std::cout);
        return 0;
    case TParseResult::Error:
        return 2;
    case TParseResult::Run:
        break;
    }

    // Writes to a connection the peer has closed must fail, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM are taken by one thread with sigwait; every thread
    // started from here on inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    TSimLog log;
    if (!options.logFile.empty() && !log.Open(options.logFile)) {
        std::cerr << "quorin-sim: cannot open the log file " << options.logFile << "\n";
        return 1;
    }

    TSimServer server(options, log);
    try {
        server.Setup();
    } catch (const std::exception& e) {
        std::cerr << "quorin-sim: " << e.what() << "\n";
        return 1;
    }

    std::optional<TRandomCalls> random;
    if (options.randomCalls) {
        TRandomCallsConfig config;
        config.maxCalls = options.maxCalls;
        config.meanGapSeconds = options.meanGap;
        config.meanLengthSeconds = options.meanLength;
        config.seed = options.seedGiven
                          ? options.seed
                          : static_cast<uint64_t>(
                                std::chrono::system_clock::now().time_since_epoch().count());
        log.Line("random calls with seed " + std::to_string(config.seed));
        random.emplace(server.Book(), config);
        random->Start();
    }

    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        {
            std::lock_guard lock(doneMutex);
            if (done)
                return; // woken by main after the server ended by itself
        }
        log.Line(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
        server.Stop();
        // Held polls and streams end at once; a peer that stopped reading can
        // keep a write blocked for the write time-out, so the exit does not wait
        // for it beyond a moment.
        std::unique_lock lock(doneMutex);
        if (!doneCv.wait_for(lock, std::chrono::milliseconds(1500), [&] { return done; })) {
            log.Line("connections still busy after 1.5 s; exiting anyway");
            log.Flush();
            std::_Exit(0);
        }
    });

    const std::string ready = "quorin-sim listening on " + server.Url();
    log.Line(ready);
    std::cout << ready << std::endl;

    const bool ok = server.Run();
    server.Book().Shutdown();
    if (random)
        random->Join();
    {
        std::lock_guard lock(doneMutex);
        done = true;
    }
    doneCv.notify_all();
    // Wake the signal thread if it still waits for a signal.
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    log.Line("stopped");
    return ok ? 0 : 1;
}
