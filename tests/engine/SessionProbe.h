#pragma once

// A recorder session for tests, with everything it reports collected from
// whatever thread raises it.

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

class SessionProbe {
public:
    using Clock = std::chrono::steady_clock;

    explicit SessionProbe(const TQuorinConfig& config) {
        session.SetConfig(config);
        session.OnLog = [this](const std::string& t) {
            std::lock_guard lock(FMutex);
            FLog.push_back(t);
        };
        session.OnStatus = [this](int32_t code) {
            std::lock_guard lock(FMutex);
            FStatuses.push_back({code, Clock::now()});
        };
        session.OnCallsChanged = [this](TCorvane&) {
            std::lock_guard lock(FMutex);
            ++FCallsChanged;
        };
        session.OnStopped = [this](TCorvane&) {
            stoppedAt = Clock::now();
            ++stopped;
        };
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

    // Status codes in the order they were raised, with their times.
    std::vector<std::pair<int32_t, Clock::time_point>> StatusTimes() const {
        std::lock_guard lock(FMutex);
        return FStatuses;
    }
    std::vector<int32_t> Statuses() const {
        std::vector<int32_t> codes;
        for (const auto& s : StatusTimes())
            codes.push_back(s.first);
        return codes;
    }
    size_t StatusCount(int32_t code) const {
        const auto s = Statuses();
        return static_cast<size_t>(std::count(s.begin(), s.end(), code));
    }
    bool WaitForStatus(int32_t code, size_t n, std::chrono::milliseconds timeout) {
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
    // Ids of the session's calls, taken on this (the main) thread.
    std::vector<std::string> CallIds() {
        TCallList calls;
        session.GetCalls(calls);
        std::vector<std::string> ids;
        for (const auto& c : calls)
            ids.push_back(c->id);
        return ids;
    }

    // Stops the engine and waits (serving the main-thread queue) for OnStopped;
    // returns how long that took.
    Clock::duration StopAndWait() {
        const auto t0 = Clock::now();
        session.Stop();
        EXPECT_TRUE(PumpUntil([&] { return stopped > 0; }, std::chrono::seconds(10)));
        return stoppedAt - t0;
    }

private:
    mutable std::mutex FMutex;
    std::vector<std::string> FLog;
    std::vector<std::pair<int32_t, Clock::time_point>> FStatuses;
    int FCallsChanged = 0;

public:
    int stopped = 0;
    Clock::time_point stoppedAt;
    // Last, so that it goes first: a test that ends early leaves the engine
    // running, and the session's destructor waits for its threads, which
    // report into the members above.
    TCorvane session;
};

} // namespace corvane::test
