#pragma once

// Calls that arrive and hang up at random, for the demo and for tests that
// want a lively recorder. Seeded, so a seed gives the same calls in the same
// order (their timing follows the wall clock).

#include "CallBook.h"

#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace corvane::sim {

struct TRandomCallsConfig {
    int maxCalls = 5;
    double meanGapSeconds = 8;
    double meanLengthSeconds = 40;
    uint64_t seed = 0;
};

class TRandomCalls {
public:
    TRandomCalls(TCallBook& book, const TRandomCallsConfig& config);
    ~TRandomCalls(); // joins; the book must have been shut down or be shut down by then
    TRandomCalls(const TRandomCalls&) = delete;
    TRandomCalls& operator=(const TRandomCalls&) = delete;

    // Adds the first calls, then starts the thread; it ends when the book shuts down.
    void Start();
    void Join();

    // One random call (exposed for tests of the generator's output).
    static TSimCall MakeRandomCall(std::mt19937_64& rng, uint64_t number, long long now,
                                   long long age);

private:
    using Clock = std::chrono::steady_clock;
    struct TOwn {
        uint64_t serial;
        Clock::time_point hangup;
    };

    void Run();
    void Add(long long age);

    TCallBook& FBook;
    TRandomCallsConfig FConfig;
    std::mt19937_64 FRng;
    std::thread FThread;
    std::vector<TOwn> FOwn; // the calls this generator will hang up
    uint64_t FNumber = 1000;
};

} // namespace corvane::sim
