// Listens to one call of a running recorder simulator through TCallMonitor on
// the default wave device (PortAudio) for a while, then stops, and prints the
// latency from Start to the start of playback and the CPU share this process
// used while listening (all its threads: network, worker, audio callback).
//
// usage: call-monitor-listen SERVER REMOTEID SECONDS
//
// call_monitor_bench.sh runs it against quorin-sim with a private PulseAudio
// daemon as the sound card.

#include "CallMonitor.h"
#include "Corvane.h"
#include "MainThread.h"
#include "WaveOut.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <sys/resource.h>

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SERVER REMOTEID SECONDS\n", argv[0]);
        return 2;
    }
    const std::string server = argv[1];
    const std::string remoteid = argv[2];
    const int seconds = std::atoi(argv[3]);

    SetWaveOutMessageBox(
        [](const std::string& text) { std::printf("MESSAGE: %s\n", text.c_str()); });
    // PortAudio starts before the measurement, as it does at program start.
    (void)DefaultWaveDevice();

    TCorvane session;
    TQuorinConfig config;
    config.Server = server;
    config.UserName = "supervisor";
    config.Password = "secret";
    session.SetConfig(config);

    std::mutex mutex;
    Clock::time_point playAt{};
    Clock::time_point firstDataAt{};
    int plays = 0;
    int drops = 0;
    int dryRuns = 0;
    session.OnLog = [&](const std::string& text) {
        std::lock_guard lock(mutex);
        if (text == "Starting play") {
            if (plays++ == 0)
                playAt = Clock::now();
        } else if (text.rfind("Format=", 0) == 0 && firstDataAt == Clock::time_point{}) {
            firstDataAt = Clock::now();
        } else if (text == "No room in buffer for data") {
            ++drops;
        } else if (text == "Monitor audio finished") {
            ++dryRuns;
        }
    };
    std::atomic<bool> finished{false};

    TCallInfo call;
    call.remoteid = remoteid;
    TCallMonitor monitor(session, call);
    monitor.OnFinished = [&] {
        finished = true;
        Post([] {}); // wakes the loop below
    };

    const double cpuBefore = CpuSeconds();
    const Clock::time_point start = Clock::now();
    monitor.Start();
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    // Sleeps until a call is queued for the main thread, as the program's
    // event loop does; no polling of its own to count in the measurement.
    for (Clock::time_point now = start; now < end && !finished; now = Clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
        WaitAndCheckSynchronize(static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    }
    const Clock::time_point stoppedAt = Clock::now();
    const double cpu = CpuSeconds() - cpuBefore;
    const bool endedEarly = finished.load();
    monitor.Stop();

    std::lock_guard lock(mutex);
    if (plays == 0) {
        std::printf("playback never started\n");
        return 1;
    }
    const double wall = std::chrono::duration<double>(stoppedAt - start).count();
    std::printf("listened_s %.1f\n", wall);
    std::printf("ended_early %s\n", endedEarly ? "yes" : "no");
    std::printf("start_to_header_ms %.1f\n", Ms(firstDataAt - start));
    std::printf("start_to_play_ms %.1f\n", Ms(playAt - start));
    std::printf("cpu_s %.3f\n", cpu);
    std::printf("cpu_share_of_one_core_percent %.2f\n", 100.0 * cpu / wall);
    std::printf("play_starts %d\n", plays);
    std::printf("queue_ran_dry %d\n", dryRuns);
    std::printf("blocks_dropped %d\n", drops);
    return 0;
}
