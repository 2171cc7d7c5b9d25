#pragma once

// The clock behind the waits of the polling engine: steady time and a wait
// that another thread can end early. Real time by default; a test runs the
// engine on a faster clock, which divides every duration alike, so the
// engine's logic and the order of its events stay exactly as they are.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace corvane {

// Lets another thread end a TClock::WaitFor early. Owned by the waiting side;
// it must outlive the wait.
class TWakeup {
public:
    // Any thread: makes the waiter check its condition again. Make the
    // condition true first; a wake-up while it is false changes nothing.
    void Notify();

private:
    friend class TClock;
    std::mutex FMutex;
    std::condition_variable FCv;
};

// Steady time that runs `Speed` times as fast as real time. A copy is the
// same clock. Any thread.
class TClock {
public:
    using Duration = std::chrono::steady_clock::duration;
    using TimePoint = std::chrono::steady_clock::time_point;

    // Real time.
    TClock() = default;
    // Throws std::invalid_argument unless `speed` is positive and finite.
    explicit TClock(double speed);
    static TClock Real() { return TClock(); }

    double Speed() const { return FSpeed; }

    // Steady, high resolution; equal to std::chrono::steady_clock on the real clock.
    TimePoint Now() const;
    // How long `d` of this clock's time lasts in real time; never shorter, and
    // zero for a duration of zero or less.
    Duration ToReal(Duration d) const;
    // How much of this clock's time passes in `real`.
    Duration FromReal(Duration real) const;

    // Blocks the calling thread for `d` of this clock's time, or until `done`
    // returns true. `done` is checked first and whenever `wakeup` is notified.
    // Returns the last result of `done`.
    bool WaitFor(Duration d, TWakeup& wakeup, const std::function<bool()>& done) const;

private:
    double FSpeed = 1.0;
    // Where a faster clock starts to run away from real time.
    TimePoint FOrigin{};
};

} // namespace corvane
