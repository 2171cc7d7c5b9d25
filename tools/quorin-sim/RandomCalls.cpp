#include "RandomCalls.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>

namespace corvane::sim {

namespace {

// Parties in several scripts, some with quotes and backslashes, so that every
// escape of the record list gets used. None holds "," or "}".
const char* const kPeople[] = {
    "Jürgen Groß",     "Łukasz Żółw",  "Søren Kierkegård", "François Dupont",
    "Zoë Ångström",    "Иван Петров",  "Αθηνά Παππά",      "Mária Nagyová",
    "José Núñez",      "Ayşe Yılmaz",  "李小龙",           "山田 太郎",
    "Kim \"Ace\" Lee", "Ola Nordmann", "Ðorđe Đukić",      "Dvořák Antonín",
};
const char* const kCompanies[] = {
    "Ωmega Ltd",           "Müller & Söhne", "Café Crème SARL", "Back\\Slash GmbH",
    "Błękitna Sp. z o.o.", "ООО «Ромашка»",  "Ærø Fisk A/S",    "Acme \"Rockets\" Inc.",
};

template <size_t N> const char* Pick(std::mt19937_64& rng, const char* const (&list)[N]) {
    return list[std::uniform_int_distribution<size_t>(0, N - 1)(rng)];
}

// `prefix` followed by `count` random digits. Built by appending: GCC 12 at
// -O3 warns falsely (-Wrestrict) about "literal" + std::string.
std::string Digits(std::mt19937_64& rng, int count, const char* prefix = "") {
    std::string out = prefix;
    std::uniform_int_distribution<int> d(0, 9);
    for (int i = 0; i < count; ++i)
        out.push_back(static_cast<char>('0' + d(rng)));
    return out;
}

double Exponential(std::mt19937_64& rng, double mean) {
    return std::exponential_distribution<double>(1.0 / std::max(mean, 0.001))(rng);
}

} // namespace

TSimCall TRandomCalls::MakeRandomCall(std::mt19937_64& rng, uint64_t number, long long now,
                                      long long age) {
    TSimCall call;
    const std::string id = std::to_string(number);
    const int direction = std::uniform_int_distribution<int>(0, 2)(rng);
    call.Set("id", id);
    call.Set("remoteid", "rc" + id);
    call.Set("startdate", std::to_string(now - age));
    call.Set("local", Digits(rng, 2, "2"));
    call.Set("lname", Pick(rng, kPeople));
    const bool international = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
    call.Set("remote", Digits(rng, 7, international ? "+4930" : "0"));
    call.Set("rname", std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? Pick(rng, kCompanies)
                                                                         : Pick(rng, kPeople));
    // Every other call is transferred to a third party.
    if (std::uniform_int_distribution<int>(0, 1)(rng) == 1) {
        call.Set("connected", Digits(rng, 2, "3"));
        call.Set("cname", Pick(rng, kPeople));
    } else {
        call.Set("connected", "");
        call.Set("cname", "");
    }
    call.Set("direction", std::to_string(direction));
    return call;
}

TRandomCalls::TRandomCalls(TCallBook& book, const TRandomCallsConfig& config)
    : FBook(book), FConfig(config), FRng(config.seed) {}

TRandomCalls::~TRandomCalls() {
    Join();
}

void TRandomCalls::Start() {
    // The first calls are there before the simulator reports that it is ready,
    // so a demo shows something at once and the first poll already sees them.
    for (int i = 0; i < std::min(2, FConfig.maxCalls); ++i)
        Add(static_cast<long long>(
            std::uniform_real_distribution<double>(0, FConfig.meanLengthSeconds / 2)(FRng)));
    FThread = std::thread([this] { Run(); });
}

void TRandomCalls::Join() {
    if (FThread.joinable())
        FThread.join();
}

void TRandomCalls::Add(long long age) {
    const long long now = static_cast<long long>(std::time(nullptr));
    TSimCall call = MakeRandomCall(FRng, FNumber++, now, age);
    const double length = std::max(3.0, Exponential(FRng, FConfig.meanLengthSeconds));
    const double left = std::max(1.0, length - static_cast<double>(age));
    const uint64_t serial = FBook.Add(std::move(call));
    FOwn.push_back({serial, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(left))});
}

void TRandomCalls::Run() {
    auto gap = [&] {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(Exponential(FRng, FConfig.meanGapSeconds)));
    };
    auto nextArrival = Clock::now() + gap();
    while (true) {
        // Calls removed from outside (hang-up, clear) are no longer ours to end.
        std::erase_if(FOwn, [&](const TOwn& c) { return !FBook.IsActive(c.serial); });
        auto next = nextArrival;
        for (const auto& c : FOwn)
            next = std::min(next, c.hangup);
        if (!FBook.SleepUntil(next))
            return;
        const auto now = Clock::now();
        for (const auto& c : FOwn)
            if (c.hangup <= now)
                FBook.Remove(c.serial);
        std::erase_if(FOwn, [&](const TOwn& c) { return c.hangup <= now; });
        if (nextArrival <= now) {
            if (static_cast<int>(FBook.Calls().size()) < FConfig.maxCalls)
                Add(0);
            nextArrival = now + gap();
        }
    }
}

} // namespace corvane::sim
