// Measures, against quorin-sim on 127.0.0.1:
//  - how long Stop takes to end a run while the engine waits out an error
//    answer (12 s wait in 200 ms steps) and while a poll is held by the recorder;
//  - the CPU time the engine spends per idle poll cycle.
// Usage: bench-engine [rounds]

#include "Corvane.h"
#include "TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include <sys/resource.h>

using namespace corvane;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Run {
    TCorvane session;
    std::atomic<int> statuses{0};
    std::atomic<int> changes{0};
    bool stopped = false;
    Run(const test::QuorinSim& sim, const std::string& password) {
        TQuorinConfig c;
        c.Server = sim.Server();
        c.UserName = "supervisor";
        c.Password = password;
        session.SetConfig(c);
        session.OnStatus = [this](TStatusCode) { ++statuses; };
        session.OnCallsChanged = [this](TCorvane&) { ++changes; };
        session.OnStopped = [this](TCorvane&) { stopped = true; };
    }
    double StopMs() {
        const auto t0 = Clock::now();
        session.Stop();
        test::PumpUntil([&] { return stopped; }, 10s);
        return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    }
};

void Report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    std::printf("%-44s n=%zu  mean %.1f ms  median %.1f ms  max %.1f ms\n", what, v.size(), mean,
                v[v.size() / 2], v.back());
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    std::vector<double> duringWait, duringHeld;
    {
        test::QuorinSim sim({"--no-hold", "--log", "/dev/null"});
        for (int i = 0; i < rounds; ++i) {
            Run r(sim, "wrong");
            r.session.Start();
            test::PumpUntil([&] { return r.statuses > 0; }, 10s);
            // Land somewhere inside a 200 ms step.
            test::PumpFor(std::chrono::milliseconds(1000 + 37 * i));
            duringWait.push_back(r.StopMs());
        }
    }
    {
        test::QuorinSim sim({"--log", "/dev/null"});
        for (int i = 0; i < rounds; ++i) {
            Run r(sim, "secret");
            r.session.Start();
            const size_t before = sim.Requests("AllActiveCalls").size();
            test::PumpUntil([&] { return sim.Requests("AllActiveCalls").size() >= before + 2; },
                            10s);
            test::PumpFor(300ms);
            duringHeld.push_back(r.StopMs());
        }
    }
    Report("Stop during the 12 s error wait", duringWait);
    Report("Stop during a held poll", duringHeld);

    {
        // Idle polling: the recorder answers at once with an unchanged list of
        // 20 calls, so every cycle is a full request, parse and rebuild.
        test::QuorinSim sim({"--no-hold", "--log", "/dev/null"});
        for (int i = 0; i < 20; ++i)
            sim.Control("/sim/calls/add?id=" + std::to_string(i) + "&remoteid=r" +
                        std::to_string(i) + "&lname=Caller%20" + std::to_string(i));
        Run r(sim, "secret");
        r.session.Start();
        test::PumpUntil([&] { return r.changes >= 1; }, 10s);
        const int c0 = r.changes;
        const double cpu0 = CpuSeconds();
        // Sleep rather than pump: the engine needs nothing from the main
        // thread while it polls, and pumping would add our own CPU.
        for (int i = 0; i < 600 && r.changes < c0 + 10; ++i)
            std::this_thread::sleep_for(100ms);
        const double cpu = CpuSeconds() - cpu0;
        const int cycles = r.changes - c0;
        r.StopMs();
        std::printf("%-44s %d cycles  %.0f us CPU per cycle (whole process)\n",
                    "Idle poll cycle (20 calls, no hold)", cycles, cpu * 1e6 / cycles);
    }
    return 0;
}
