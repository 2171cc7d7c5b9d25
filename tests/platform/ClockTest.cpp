// The clock behind the engine's waits: real time by default, a faster or
// slower one for tests, and a wait that another thread ends early.

#include "Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <stdexcept>
#include <thread>

using namespace corvane;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

struct ScaleCase {
    const char* name;
    double speed;
    TClock::Duration clockTime;
    TClock::Duration realTime;
};

class ClockScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ClockScale, DividesDurationsBySpeed) {
    const ScaleCase& c = GetParam();
    const TClock clock(c.speed);
    EXPECT_EQ(clock.Speed(), c.speed);
    EXPECT_EQ(clock.ToReal(c.clockTime), c.realTime);
    EXPECT_EQ(clock.FromReal(c.realTime), c.clockTime);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClockScale,
                         ::testing::Values(ScaleCase{"Real", 1, 12s, 12s},
                                           ScaleCase{"CycleFloor", 20, 2s, 100ms},
                                           ScaleCase{"WaitStep", 20, 200ms, 10ms},
                                           ScaleCase{"BackOffAfterFailure", 20, 10s, 500ms},
                                           ScaleCase{"BackOffAfterError", 20, 12s, 600ms},
                                           ScaleCase{"InactivityLimit", 20, 30s, 1500ms},
                                           ScaleCase{"Slower", 0.5, 12s, 24s}),
                         [](const ::testing::TestParamInfo<ScaleCase>& info) {
                             return info.param.name;
                         });

TEST(Clock, RealTimeIsTheDefault) {
    const TClock clock;
    EXPECT_EQ(clock.Speed(), 1.0);
    EXPECT_EQ(TClock::Real().Speed(), 1.0);
    const auto before = Steady::now();
    const auto now = clock.Now();
    EXPECT_GE(now, before);
    EXPECT_LE(now, Steady::now());
    EXPECT_EQ(clock.ToReal(30s), 30s);
}

TEST(Clock, ShortDurationsAreNeverCutToNothing) {
    const TClock clock(3);
    EXPECT_EQ(clock.ToReal(1ns), 1ns);
    EXPECT_EQ(clock.ToReal(4ns), 2ns);
    EXPECT_EQ(clock.ToReal(0ns), 0ns);
    EXPECT_EQ(clock.ToReal(-5s), 0ns);
}

TEST(Clock, AFastClockRunsAheadOfRealTime) {
    const TClock clock(20);
    const auto c0 = clock.Now();
    const auto r0 = Steady::now();
    std::this_thread::sleep_for(20ms);
    const auto r1 = Steady::now();
    const auto c1 = clock.Now();
    EXPECT_GE(c1 - c0, (r1 - r0) * 20);
}

TEST(Clock, ACopyIsTheSameClock) {
    const TClock clock(20);
    const TClock copy = clock;
    const auto a = clock.Now();
    const auto b = copy.Now();
    const auto c = clock.Now();
    EXPECT_GE(b, a);
    EXPECT_LE(b, c);
}

TEST(Clock, SpeedMustBePositiveAndFinite) {
    for (const double speed : {0.0, -1.0, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(static_cast<void>(TClock(speed)), std::invalid_argument) << speed;
    }
}

TEST(ClockWait, LastsItsTimeOnTheClockWhenNothingEndsIt) {
    const TClock clock(20);
    TWakeup wakeup;
    const auto c0 = clock.Now();
    const auto r0 = Steady::now();
    EXPECT_FALSE(clock.WaitFor(2s, wakeup, [] { return false; }));
    EXPECT_GE(Steady::now() - r0, 100ms);
    EXPECT_GE(clock.Now() - c0, 2s);
}

TEST(ClockWait, AWakeUpWhileTheConditionIsFalseDoesNotEndIt) {
    const TClock clock;
    TWakeup wakeup;
    std::atomic<bool> waiting{true};
    std::thread nudger([&] {
        while (waiting) {
            wakeup.Notify();
            std::this_thread::sleep_for(5ms);
        }
    });
    const auto r0 = Steady::now();
    EXPECT_FALSE(clock.WaitFor(100ms, wakeup, [] { return false; }));
    EXPECT_GE(Steady::now() - r0, 100ms);
    waiting = false;
    nudger.join();
}

TEST(ClockWait, AConditionAlreadyTrueEndsItBeforeItStarts) {
    TWakeup wakeup;
    // A wait of a day on the real clock: the test ends only if it never begins.
    EXPECT_TRUE(TClock().WaitFor(24h, wakeup, [] { return true; }));
}

// The waits last hours on these clocks; the test ends only because the signal
// ends them.
class ClockSignal : public ::testing::TestWithParam<double> {};

TEST_P(ClockSignal, EndsTheWaitEarly) {
    const TClock clock(GetParam());
    TWakeup wakeup;
    std::atomic<bool> terminated{false};
    std::atomic<bool> result{false};
    std::thread waiter(
        [&] { result = clock.WaitFor(12h, wakeup, [&] { return terminated.load(); }); });
    std::this_thread::sleep_for(20ms); // most likely waiting by now; either way it must end
    terminated = true;
    wakeup.Notify();
    waiter.join();
    EXPECT_TRUE(result);
}

INSTANTIATE_TEST_SUITE_P(Speeds, ClockSignal, ::testing::Values(1.0, 20.0, 0.001));

} // namespace
