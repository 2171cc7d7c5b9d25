#include "CallBook.h"

#include "Query.h"

#include <algorithm>
#include <random>

namespace corvane::sim {

const char* const kCallKeys[10] = {"id",    "remoteid", "startdate", "local", "remote",
                                   "lname", "rname",    "connected", "cname", "direction"};

std::string TSimCall::Get(const std::string& key) const {
    for (const auto& [k, v] : fields)
        if (k == key)
            return v;
    return {};
}

bool TSimCall::Has(const std::string& key) const {
    return std::any_of(fields.begin(), fields.end(),
                       [&](const auto& kv) { return kv.first == key; });
}

void TSimCall::Set(const std::string& key, const std::string& value) {
    for (auto& kv : fields) {
        if (kv.first == key) {
            kv.second = value;
            return;
        }
    }
    // Keep the fixed key order.
    auto rank = [](const std::string& k) {
        for (int i = 0; i < 10; ++i)
            if (k == kCallKeys[i])
                return i;
        return 10;
    };
    const int r = rank(key);
    auto pos = std::find_if(fields.begin(), fields.end(),
                            [&](const auto& kv) { return rank(kv.first) > r; });
    fields.insert(pos, {key, value});
}

std::string MakeCall(const std::vector<std::pair<std::string, std::string>>& pairs, long long now,
                     const std::string& autoId, TSimCall& call) {
    call = TSimCall();
    bool haveStart = false;
    long long age = -1;
    for (const auto& [key, value] : pairs) {
        if (key == "age") {
            if (!ParseInteger(value, age) || age < 0)
                return "age must be a whole number of seconds, not '" + value + "'";
            continue;
        }
        if (key == "tone") {
            long long hz = 0;
            if (!ParseInteger(value, hz) || hz < 50 || hz > 3500)
                return "tone must be a whole number of Hz from 50 to 3500, not '" + value + "'";
            call.toneHz = static_cast<double>(hz);
            continue;
        }
        if (std::find(std::begin(kCallKeys), std::end(kCallKeys), key) == std::end(kCallKeys))
            return "unknown call key '" + key + "'";
        if (value.find_first_of(",}") != std::string::npos)
            return "the value of '" + key + "' holds ',' or '}', which a record list cannot carry";
        if (key == "startdate")
            haveStart = true;
        call.Set(key, value);
    }
    if (!call.Has("id"))
        call.Set("id", autoId);
    if (!call.Has("remoteid")) {
        // Appended rather than "r" + id: GCC 12 at -O3 warns falsely (-Wrestrict)
        // about the insert at the front that operator+ inlines.
        std::string remoteId = "r";
        remoteId += call.Get("id");
        call.Set("remoteid", remoteId);
    }
    if (age >= 0)
        call.Set("startdate", std::to_string(now - age));
    else if (!haveStart)
        call.Set("startdate", std::to_string(now));
    return {};
}

std::string QuoteValue(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::string FormatRecordList(const std::vector<TSimCall>& calls) {
    std::string out = "[";
    bool firstRecord = true;
    for (const auto& call : calls) {
        if (call.fields.empty())
            continue;
        if (!firstRecord)
            out.push_back(',');
        firstRecord = false;
        out.push_back('{');
        bool firstField = true;
        for (const auto& [key, value] : call.fields) {
            if (!firstField)
                out.push_back(',');
            firstField = false;
            out += key;
            out.push_back(':');
            long long number = 0;
            if ((key == "startdate" || key == "direction") && ParseInteger(value, number))
                out += std::to_string(number);
            else
                out += QuoteValue(value);
        }
        out.push_back('}');
    }
    out.push_back(']');
    return out;
}

std::string RandomHex(int digits) {
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    static const char hex[] = "0123456789abcdef";
    std::lock_guard lock(mutex);
    std::string out;
    for (int i = 0; i < digits; ++i)
        out.push_back(hex[engine() & 15]);
    return out;
}

TCallBook::TCallBook() : FEpoch(RandomHex(8)) {}

uint64_t TCallBook::Add(TSimCall call) {
    std::lock_guard lock(FMutex);
    call.serial = FNextSerial++;
    FCalls.push_back(std::move(call));
    ChangedLocked();
    return FCalls.back().serial;
}

int TCallBook::Hangup(const std::string& id) {
    std::lock_guard lock(FMutex);
    const auto before = FCalls.size();
    std::erase_if(FCalls, [&](const TSimCall& c) { return c.Get("id") == id; });
    const int removed = static_cast<int>(before - FCalls.size());
    if (removed > 0)
        ChangedLocked();
    return removed;
}

bool TCallBook::Remove(uint64_t serial) {
    std::lock_guard lock(FMutex);
    const auto n = std::erase_if(FCalls, [&](const TSimCall& c) { return c.serial == serial; });
    if (n > 0)
        ChangedLocked();
    return n > 0;
}

int TCallBook::Clear() {
    std::lock_guard lock(FMutex);
    const int removed = static_cast<int>(FCalls.size());
    FCalls.clear();
    if (removed > 0)
        ChangedLocked();
    return removed;
}

void TCallBook::Restart() {
    std::lock_guard lock(FMutex);
    std::string epoch;
    do
        epoch = RandomHex(8);
    while (epoch == FEpoch);
    FEpoch = epoch;
    ChangedLocked();
}

void TCallBook::Shutdown() {
    std::lock_guard lock(FMutex);
    FStopping = true;
    FChanged.notify_all();
}

bool TCallBook::Stopping() const {
    std::lock_guard lock(FMutex);
    return FStopping;
}

std::string TCallBook::KnowLocked() const {
    return FEpoch + "-" + std::to_string(FVersion);
}

void TCallBook::ChangedLocked() {
    ++FVersion;
    FChanged.notify_all();
}

std::string TCallBook::Know() const {
    std::lock_guard lock(FMutex);
    return KnowLocked();
}

std::vector<TSimCall> TCallBook::Calls() const {
    std::lock_guard lock(FMutex);
    return FCalls;
}

std::string TCallBook::NextAutoId() {
    std::lock_guard lock(FMutex);
    return std::to_string(FNextAutoId++);
}

std::optional<TSimCall> TCallBook::FindByRemoteId(const std::string& remoteid) const {
    std::lock_guard lock(FMutex);
    for (const auto& c : FCalls)
        if (c.Get("remoteid") == remoteid)
            return c;
    return std::nullopt;
}

bool TCallBook::IsActive(uint64_t serial) const {
    std::lock_guard lock(FMutex);
    return std::any_of(FCalls.begin(), FCalls.end(),
                       [&](const TSimCall& c) { return c.serial == serial; });
}

std::pair<std::string, std::vector<TSimCall>> TCallBook::State() const {
    std::lock_guard lock(FMutex);
    return {KnowLocked(), FCalls};
}

void TCallBook::WaitWhileKnow(const std::string& know,
                              std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(FMutex);
    FChanged.wait_until(lock, deadline, [&] { return FStopping || KnowLocked() != know; });
}

bool TCallBook::WaitWhileActive(uint64_t serial, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(FMutex);
    auto active = [&] {
        return std::any_of(FCalls.begin(), FCalls.end(),
                           [&](const TSimCall& c) { return c.serial == serial; });
    };
    FChanged.wait_until(lock, deadline, [&] { return FStopping || !active(); });
    return !FStopping && active();
}

bool TCallBook::SleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(FMutex);
    FChanged.wait_until(lock, deadline, [&] { return FStopping; });
    return !FStopping;
}

} // namespace corvane::sim
