#pragma once

// A recorder session for tests, with everything it reports collected from
// whatever thread raises it. The session runs on a fast clock unless a test
// asks for real time.

#include "Clock.h"
#include "Corvane.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace corvane::test {

// How many times as fast as real time the engine runs in these tests: its 2 s
// cycle floor lasts 100 ms, the 10 s and 12 s back-offs 0.5 s and 0.6 s, the
// 30 s inactivity limit 1.5 s.
constexpr int kEngineSpeed = 20;

// Simulator arguments with its poll holds and stalls shortened alike, so that
// a held poll still ends well inside the inactivity limit.
inline std::vector<std::string> FastSimArgs(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--time-scale", std::to_string(kEngineSpeed)});
    return args;
}

class SessionProbe {
public:
    using Duration = TClock::Duration;
    using TimePoint = TClock::TimePoint;

    explicit SessionProbe(const TQuorinConfig& config, const TClock& clock = TClock(kEngineSpeed))
        : FClock(clock) {
        session.SetConfig(config);
        session.SetClock(clock);
        session.OnLog = [this](const std::string& t) {
            std::lock_guard lock(FMutex);
            FLog.push_back(t);
        };
        session.OnStatus = [this](TStatusCode code) {
            std::lock_guard lock(FMutex);
            FStatuses.push_back({code, FClock.Now()});
        };
        session.OnCallsChanged = [this](TCorvane&) {
            std::lock_guard lock(FMutex);
            ++FCallsChanged;
        };
        session.OnStopped = [this](TCorvane&) { ++stopped; };
    }
    ~SessionProbe() {
        if (session.IsRunning())
            StopAndWait();
    }
    SessionProbe(const SessionProbe&) = delete;
    SessionProbe& operator=(const SessionProbe&) = delete;

    static TQuorinConfig Config(const std::string& server, const std::string& user = "supervisor",
                                const std::string& password = "secret", bool secure = false) {
        TQuorinConfig c;
        c.Server = server;
        c.Secure = secure;
        c.UserName = user;
        c.Password = password;
        return c;
    }

    std::vector<std::string> Log() const {
        std::lock_guard lock(FMutex);
        return FLog;
    }
    // Log lines that contain `text`.
    size_t LogCount(const std::string& text) const {
        const auto l = Log();
        return static_cast<size_t>(std::count_if(l.begin(), l.end(), [&](const std::string& s) {
            return s.find(text) != std::string::npos;
        }));
    }
    bool LogHas(const std::string& text) const { return LogCount(text) > 0; }

    // The engine's time that passes in `realMs` real milliseconds (the
    // simulator stamps requests in real time).
    Duration EngineTime(long realMs) const {
        return FClock.FromReal(std::chrono::milliseconds(realMs));
    }
    // Runs the main-thread queue for `d` of the engine's time.
    void PumpFor(Duration d) {
        test::PumpFor(std::chrono::ceil<std::chrono::milliseconds>(FClock.ToReal(d)));
    }

    // Status codes in the order they were raised, with their times on the
    // engine's clock.
    std::vector<std::pair<TStatusCode, TimePoint>> StatusTimes() const {
        std::lock_guard lock(FMutex);
        return FStatuses;
    }
    std::vector<TStatusCode> Statuses() const {
        std::vector<TStatusCode> codes;
        for (const auto& s : StatusTimes())
            codes.push_back(s.first);
        return codes;
    }
    size_t StatusCount(TStatusCode code) const {
        const auto s = Statuses();
        return static_cast<size_t>(std::count(s.begin(), s.end(), code));
    }
    bool WaitForStatus(TStatusCode code, size_t n, std::chrono::milliseconds timeout) {
        return PumpUntil([&] { return StatusCount(code) >= n; }, timeout);
    }

    int CallsChanged() const {
        std::lock_guard lock(FMutex);
        return FCallsChanged;
    }
    // Waits until a poll answer has replaced the list more often than `before`.
    bool WaitForCallsChangedAfter(int before, std::chrono::milliseconds timeout) {
        return PumpUntil([&] { return CallsChanged() > before; }, timeout);
    }
    // Waits until the session's calls are exactly `ids`.
    bool WaitForCallIds(const std::vector<std::string>& ids, std::chrono::milliseconds timeout) {
        return PumpUntil([&] { return CallIds() == ids; }, timeout);
    }
    // Ids of the session's calls, taken on this (the main) thread.
    std::vector<std::string> CallIds() {
        TCallList calls;
        session.GetCalls(calls);
        std::vector<std::string> ids;
        for (const auto& c : calls)
            ids.push_back(c->id);
        return ids;
    }

    // Stops the engine and waits (serving the main-thread queue) for OnStopped.
    void StopAndWait() {
        session.Stop();
        EXPECT_TRUE(PumpUntil([&] { return stopped > 0; }, std::chrono::seconds(10)));
    }

private:
    const TClock FClock;
    mutable std::mutex FMutex;
    std::vector<std::string> FLog;
    std::vector<std::pair<TStatusCode, TimePoint>> FStatuses;
    int FCallsChanged = 0;

public:
    int stopped = 0;
    // Last, so that it goes first: a test that ends early leaves the engine
    // running, and the session's destructor waits for its threads, which
    // report into the members above.
    TCorvane session;
};

} // namespace corvane::test
