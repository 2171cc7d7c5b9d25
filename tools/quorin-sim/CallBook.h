#pragma once

// The simulated recorder's active calls, the know token that names their
// current state, and the record list they are reported in.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::sim {

// The record keys, in the order a record carries them.
extern const char* const kCallKeys[10];

struct TSimCall {
    uint64_t serial = 0; // unique for the simulator's run; tells re-added calls apart
    // Present keys with their raw UTF-8 values, in kCallKeys order.
    std::vector<std::pair<std::string, std::string>> fields;
    double toneHz = 0; // 0: derived from remoteid

    std::string Get(const std::string& key) const;
    bool Has(const std::string& key) const;
    void Set(const std::string& key, const std::string& value);
};

// Builds a call from key/value pairs as /sim/calls/add and the calls file give
// them ("age" and "tone" included). A missing id gets `autoId`, a missing
// remoteid "r" + id, a missing startdate `now`. Returns an error text, empty
// on success. Values holding "," or "}" are refused: the record list has no
// way to carry them.
std::string MakeCall(const std::vector<std::pair<std::string, std::string>>& pairs, long long now,
                     const std::string& autoId, TSimCall& call);

// A value inside quotes with '"', '\', CR and LF escaped.
std::string QuoteValue(const std::string& value);

// "[{id:...,...},{...}]": texts quoted, startdate and direction bare when
// they are whole numbers.
std::string FormatRecordList(const std::vector<TSimCall>& calls);

class TCallBook {
public:
    TCallBook();

    // Every change gives a new know token and wakes every waiter.
    uint64_t Add(TSimCall call);       // returns the serial
    int Hangup(const std::string& id); // returns how many calls went
    bool Remove(uint64_t serial);
    int Clear();
    // A restarted recorder: a new token epoch.
    void Restart();
    // Wakes every waiter for good (shutdown).
    void Shutdown();
    bool Stopping() const;

    std::string Know() const;
    std::vector<TSimCall> Calls() const;
    std::string NextAutoId();
    std::optional<TSimCall> FindByRemoteId(const std::string& remoteid) const;
    bool IsActive(uint64_t serial) const;

    // Returns the token and list at once (one consistent state).
    std::pair<std::string, std::vector<TSimCall>> State() const;

    // Waits while `know` is the current token, until `deadline` or shutdown.
    void WaitWhileKnow(const std::string& know, std::chrono::steady_clock::time_point deadline);
    // Waits until `deadline`, the call's hang-up or shutdown; true when the call
    // is still active afterwards and no shutdown began.
    bool WaitWhileActive(uint64_t serial, std::chrono::steady_clock::time_point deadline);
    // Waits until `deadline` or shutdown; false on shutdown.
    bool SleepUntil(std::chrono::steady_clock::time_point deadline);

private:
    std::string KnowLocked() const;
    void ChangedLocked();

    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<TSimCall> FCalls;
    std::string FEpoch;
    uint64_t FVersion = 1;
    uint64_t FNextSerial = 1;
    uint64_t FNextAutoId = 1;
    bool FStopping = false;
};

// A fresh random hex text of `digits` digits (session ids, token epochs).
std::string RandomHex(int digits);

} // namespace corvane::sim
