#include "Clock.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace corvane {

namespace {

using Nanos = std::chrono::duration<double, std::nano>;

// A slow clock could ask for waits beyond what a time point can hold.
constexpr TClock::Duration kLongest = std::chrono::hours(24 * 365 * 100);

TClock::Duration Clamped(Nanos d) {
    if (d >= Nanos(kLongest))
        return kLongest;
    if (d <= -Nanos(kLongest))
        return -kLongest;
    return std::chrono::ceil<TClock::Duration>(d);
}

} // namespace

void TWakeup::Notify() {
    // Taking the lock orders this after a waiter's check of its condition, so
    // the notification cannot fall between that check and the wait.
    { std::lock_guard lock(FMutex); }
    FCv.notify_all();
}

TClock::TClock(double speed) : FSpeed(speed), FOrigin(std::chrono::steady_clock::now()) {
    if (!(speed > 0.0) || !std::isfinite(speed))
        throw std::invalid_argument("TClock: the speed must be positive and finite, not " +
                                    std::to_string(speed));
}

TClock::TimePoint TClock::Now() const {
    const TimePoint now = std::chrono::steady_clock::now();
    if (FSpeed == 1.0)
        return now;
    return FOrigin + Clamped(Nanos(now - FOrigin) * FSpeed);
}

TClock::Duration TClock::ToReal(Duration d) const {
    if (d <= Duration::zero())
        return Duration::zero();
    if (FSpeed == 1.0)
        return d;
    return Clamped(Nanos(d) / FSpeed);
}

TClock::Duration TClock::FromReal(Duration real) const {
    if (FSpeed == 1.0)
        return real;
    return Clamped(Nanos(real) * FSpeed);
}

bool TClock::WaitFor(Duration d, TWakeup& wakeup, const std::function<bool()>& done) const {
    const auto deadline = std::chrono::steady_clock::now() + ToReal(d);
    std::unique_lock lock(wakeup.FMutex);
    return wakeup.FCv.wait_until(lock, deadline, done);
}

} // namespace corvane
