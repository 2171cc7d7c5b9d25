// Long-running client against a busy recorder: the session polls a list of
// many changing calls while a TCallMonitor listens to one of them on the
// default wave device (PortAudio). When the listened call ends, listening moves
// on to another active call, so audio plays for the whole run. Afterwards the
// session keeps polling for a while without listening.
//
// Figures (one "key value" line each): resident memory after the warm-up and
// at the end, CPU share of this process (all threads) while listening and
// while only polling, wave-output underruns (the play queue running dry while
// the stream still goes on), blocks dropped for want of room, and every status
// code raised.
//
// usage: soak-client SERVER LISTEN_SECONDS IDLE_SECONDS [CALLS [WARMUP_SECONDS]]
//   CALLS: wait until the list has about this many calls before the warm-up.
//   LISTEN_SECONDS 0 skips listening (idle polling only).
//
// soak.sh runs it against quorin-sim with random calls and a private
// PulseAudio daemon as the sound card.

#include "CallMonitor.h"
#include "Corvane.h"
#include "MainThread.h"
#include "WaveOut.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <sys/resource.h>

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Resident set size in KiB, from /proc/self/status (VmRSS or VmHWM).
long StatusKiB(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    return -1;
}

// Milliseconds to wait for posted work before checking the clock again.
int WaitMs(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 1, 1000));
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Counters fed by the session's events, which arrive on several threads.
struct TCounters {
    std::mutex mutex;
    std::map<int32_t, int> statuses;
    bool stopping = false; // the current monitor is being stopped on purpose
    bool docEnded = false; // the current monitor's stream has ended
    int underruns = 0;
    int playStarts = 0;
    int drops = 0;
    int httpErrors = 0;
    long logLines = 0;

    void NewMonitor() {
        std::lock_guard lock(mutex);
        stopping = false;
        docEnded = false;
    }
    void Log(const std::string& text) {
        std::lock_guard lock(mutex);
        ++logLines;
        if (text == "Monitor HTTP Doc End") {
            docEnded = true;
        } else if (text == "Monitor audio finished") {
            // Running dry after the stream has ended is the normal end of a
            // call; before it, the listener hears a gap.
            if (!docEnded && !stopping) {
                ++underruns;
                std::printf("underrun at log line %ld\n", logLines);
                std::fflush(stdout);
            }
        } else if (text == "Starting play") {
            ++playStarts;
        } else if (text == "No room in buffer for data") {
            ++drops;
        } else if (text.rfind("Monitor HTTP error", 0) == 0) {
            ++httpErrors;
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: %s SERVER LISTEN_SECONDS IDLE_SECONDS [CALLS [WARMUP_SECONDS]]\n",
                     argv[0]);
        return 2;
    }
    const std::string server = argv[1];
    const int listenSeconds = std::atoi(argv[2]);
    const int idleSeconds = std::atoi(argv[3]);
    const size_t wantedCalls = argc > 4 ? static_cast<size_t>(std::atoi(argv[4])) : 0;
    const int warmupSeconds = argc > 5 ? std::atoi(argv[5]) : 30;

    SetWaveOutMessageBox(
        [](const std::string& text) { std::printf("MESSAGE: %s\n", text.c_str()); });
    // PortAudio starts before anything is measured, as it does at program start.
    (void)DefaultWaveDevice();

    TCounters counters;
    TCorvane session;
    TQuorinConfig config;
    config.Server = server;
    config.UserName = "supervisor";
    config.Password = "secret";
    session.SetConfig(config);
    session.OnLog = [&](const std::string& text) { counters.Log(text); };
    session.OnStatus = [&](TStatusCode code) {
        std::lock_guard lock(counters.mutex);
        ++counters.statuses[StatusNumber(code)];
    };
    bool stopped = false;
    session.OnStopped = [&](TCorvane&) { stopped = true; };

    // The list is fetched on the main thread after each change, as a window
    // would; changes that arrive meanwhile are folded into one fetch.
    std::atomic<bool> refreshPending{false};
    std::atomic<long> changes{0}; // OnCallsChanged events: one per poll answer
    TCallList calls;
    session.OnCallsChanged = [&](TCorvane&) {
        ++changes;
        if (!refreshPending.exchange(true))
            Post([&] {
                refreshPending = false;
                session.GetCalls(calls);
            });
    };

    std::unique_ptr<TCallMonitor> monitor;
    std::atomic<bool> monitorFinished{false};
    int switches = 0;
    int monitorStarts = 0;
    std::string lastRemoteId;
    // Listens to an active call other than the one that just ended, if any.
    const auto listen = [&] {
        if (calls.empty())
            return false;
        const TCallInfo* pick = calls.front().get();
        for (const auto& c : calls)
            if (c->remoteid != lastRemoteId) {
                pick = c.get();
                break;
            }
        counters.NewMonitor();
        monitorFinished = false;
        monitor = std::make_unique<TCallMonitor>(session, *pick);
        monitor->OnFinished = [&] {
            monitorFinished = true;
            Post([] {}); // wakes the main loop
        };
        lastRemoteId = pick->remoteid;
        monitor->Start();
        ++monitorStarts;
        return true;
    };
    const auto stopMonitor = [&] {
        if (!monitor)
            return;
        {
            std::lock_guard lock(counters.mutex);
            counters.stopping = true;
        }
        monitor->Stop();
        monitor.reset();
    };
    // Pumps the main thread until `until`, keeping listening going when asked.
    const auto run = [&](Clock::time_point until, bool listening) {
        while (Clock::now() < until) {
            // Posted work wakes the loop at once; the timeout only bounds the
            // overshoot past `until`, so the client wakes no more than a
            // window's event loop would.
            WaitAndCheckSynchronize(WaitMs(until));
            if (!listening)
                continue;
            if (monitor && monitorFinished) {
                stopMonitor();
                ++switches;
            }
            if (!monitor)
                listen();
        }
    };

    const Clock::time_point t0 = Clock::now();
    if (session.Start() != TStartResult::Ok) {
        std::printf("session did not start\n");
        return 1;
    }
    // Until the recorder has (about) the wanted number of calls.
    const Clock::time_point fillLimit = t0 + std::chrono::seconds(300);
    while (Clock::now() < fillLimit && calls.size() * 100 < wantedCalls * 95)
        WaitAndCheckSynchronize(WaitMs(fillLimit));
    std::printf("calls_at_warmup %zu\n", calls.size());
    std::printf("fill_s %.1f\n", Seconds(Clock::now() - t0));

    const bool listening = listenSeconds > 0;
    if (listening) {
        run(Clock::now() + std::chrono::seconds(warmupSeconds), true);
        switches = 0; // counted from here on
        {
            std::lock_guard lock(counters.mutex);
            counters.underruns = 0;
            counters.drops = 0;
            counters.playStarts = 0;
        }

        const long rssStart = StatusKiB("VmRSS");
        const double cpuStart = CpuSeconds();
        const long changesStart = changes;
        const int startsStart = monitorStarts;
        const Clock::time_point start = Clock::now();
        std::printf("rss_start_kib %ld\n", rssStart);
        std::fflush(stdout);
        long rssMin = rssStart, rssMax = rssStart;
        for (int minute = 1; Clock::now() < start + std::chrono::seconds(listenSeconds); ++minute) {
            const auto until = std::min(start + std::chrono::seconds(listenSeconds),
                                        start + std::chrono::seconds(60 * minute));
            run(until, true);
            const long rss = StatusKiB("VmRSS");
            rssMin = std::min(rssMin, rss);
            rssMax = std::max(rssMax, rss);
            std::lock_guard lock(counters.mutex);
            std::printf("progress t=%.0fs rss_kib=%ld cpu_percent=%.2f calls=%zu updates=%ld "
                        "switches=%d underruns=%d\n",
                        Seconds(Clock::now() - start), rss,
                        100.0 * (CpuSeconds() - cpuStart) / Seconds(Clock::now() - start),
                        calls.size(), changes - changesStart, switches, counters.underruns);
            std::fflush(stdout);
        }
        const double wall = Seconds(Clock::now() - start);
        const double cpu = CpuSeconds() - cpuStart;
        const long rssEnd = StatusKiB("VmRSS");
        stopMonitor();

        std::lock_guard lock(counters.mutex);
        std::printf("listen_s %.1f\n", wall);
        std::printf("rss_end_kib %ld\n", rssEnd);
        std::printf("rss_min_kib %ld\n", std::min(rssMin, rssEnd));
        std::printf("rss_max_kib %ld\n", std::max(rssMax, rssEnd));
        std::printf("rss_growth_kib %ld\n", rssEnd - rssStart);
        std::printf("listen_cpu_s %.3f\n", cpu);
        std::printf("listen_cpu_percent %.3f\n", 100.0 * cpu / wall);
        std::printf("listen_list_updates %ld\n", changes - changesStart);
        std::printf("monitor_starts %d\n", monitorStarts - startsStart);
        std::printf("call_switches %d\n", switches);
        std::printf("underruns %d\n", counters.underruns);
        std::printf("blocks_dropped %d\n", counters.drops);
        std::printf("play_starts %d\n", counters.playStarts);
        std::printf("monitor_http_errors %d\n", counters.httpErrors);
    }

    if (idleSeconds > 0) {
        // A moment for the closed output and the ended request to settle.
        run(Clock::now() + std::chrono::seconds(2), false);
        const double cpuStart = CpuSeconds();
        const long changesStart = changes;
        const Clock::time_point start = Clock::now();
        run(start + std::chrono::seconds(idleSeconds), false);
        const double wall = Seconds(Clock::now() - start);
        const double cpu = CpuSeconds() - cpuStart;
        std::printf("idle_s %.1f\n", wall);
        std::printf("idle_cpu_s %.3f\n", cpu);
        std::printf("idle_cpu_percent %.3f\n", 100.0 * cpu / wall);
        std::printf("idle_list_updates %ld\n", changes - changesStart);
        std::printf("idle_calls %zu\n", calls.size());
        std::printf("idle_rss_kib %ld\n", StatusKiB("VmRSS"));
    }

    session.Stop();
    const Clock::time_point stopLimit = Clock::now() + std::chrono::seconds(15);
    while (!stopped && Clock::now() < stopLimit)
        WaitAndCheckSynchronize(50);

    std::lock_guard lock(counters.mutex);
    std::string codes;
    for (const auto& [code, count] : counters.statuses) {
        if (!codes.empty())
            codes += ',';
        codes += std::to_string(code);
        codes += 'x';
        codes += std::to_string(count);
    }
    std::printf("status_codes %s\n", codes.empty() ? "none" : codes.c_str());
    std::printf("rss_peak_kib %ld\n", StatusKiB("VmHWM"));
    std::printf("session_stopped %s\n", stopped ? "yes" : "no");
    return stopped ? 0 : 1;
}
