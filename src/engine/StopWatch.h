#pragma once

// Small utilities of the polling engine: a high-resolution stopwatch and a
// scoped lock over a critical section.

#include "Clock.h"

#include <cstdint>
#include <mutex>

namespace corvane {

// Measures one polling cycle on the session's clock (steady, high resolution).
struct StopWatch {
    int64_t StartCount = 0;
    int64_t StopCount = 0;
    int64_t Frequency = 0; // counts per second
    float ElapsedSeconds = 0.0f;

    void Start(const TClock& clock) {
        Frequency = static_cast<int64_t>(TClock::Duration::period::den) /
                    static_cast<int64_t>(TClock::Duration::period::num);
        StartCount = Now(clock);
    }
    void Stop(const TClock& clock) {
        StopCount = Now(clock);
        ElapsedSeconds = static_cast<float>(static_cast<double>(StopCount - StartCount) /
                                            static_cast<double>(Frequency));
    }

private:
    static int64_t Now(const TClock& clock) {
        return static_cast<int64_t>(clock.Now().time_since_epoch().count());
    }
};

// A critical section: re-entrant, like the platform's own.
using TCriticalSection = std::recursive_mutex;

// Enters the critical section on construction and leaves it on destruction,
// also when the guarded block is left by an exception.
class CriticalSessionObj {
public:
    explicit CriticalSessionObj(TCriticalSection& cs) : FCs(cs) { FCs.lock(); }
    ~CriticalSessionObj() { FCs.unlock(); }
    CriticalSessionObj(const CriticalSessionObj&) = delete;
    CriticalSessionObj& operator=(const CriticalSessionObj&) = delete;

private:
    TCriticalSection& FCs;
};

} // namespace corvane
