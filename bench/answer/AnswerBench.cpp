// Parses a poll answer of 10,000 active calls the way the session does:
// ParseAnswer for the fields, then ParseRecordList with the session's own
// record callbacks, which build call records and decode the UTF-8 names. Reports bytes of answer
// per second. Usage: bench-answer [Google Benchmark options]

#include "AnswerFormat.h"
#include "CallList.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace corvane;

namespace {

constexpr int CallCount = 10000;

// Names in several scripts, some with characters the recorder escapes.
const std::array<const char*, 12> Names = {
    "J\xC3\xBCrgen Gro\xC3\x9F",                                                         // German
    "\xC5\x81ukasz \xC5\xBB\xC3\xB3\xC5\x82w",                                           // Polish
    "Fran\xC3\xA7oise Lef\xC3\xA8vre",                                                   // French
    "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD \xD0\x9F\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE\xD0\xB2", // Russian
    "\xCE\x9D\xCE\xAF\xCE\xBA\xCE\xBF\xCF\x82 \xCE\xA0\xCE\xB1\xCF\x80\xCE\xAC\xCF\x82", // Greek
    "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E",                                 // Japanese
    "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E",                                              // Chinese
    "\xD9\x85\xD8\xAD\xD9\x85\xD8\xAF \xD8\xB9\xD9\x84\xD9\x8A",                         // Arabic
    "\xD7\x93\xD7\x95\xD7\x93 \xD7\x9B\xD7\x94\xD7\x9F",                                 // Hebrew
    "\xE0\xA4\xB0\xE0\xA4\xBE\xE0\xA4\x9C "
    "\xE0\xA4\xB6\xE0\xA4\xB0\xE0\xA5\x8D\xE0\xA4\xAE\xE0\xA4\xBE", // Hindi
    "Reception \\\"Front desk\\\"",                                 // escaped quotes
    "Support \xF0\x9F\x93\x9E line",                                // outside the BMP
};

std::string MakeAnswer() {
    std::string list = "[";
    for (int i = 0; i < CallCount; ++i) {
        if (i > 0)
            list += ',';
        const std::string n = std::to_string(i);
        list += "{id:" + std::to_string(100000 + i);
        list += ",remoteid:\"r" + n + "-7f3a\"";
        list += ",startdate:" + std::to_string(1700000000 + i);
        list += ",local:\"" + std::to_string(200 + i % 800) + "\"";
        list += ",remote:\"+49301234" + std::to_string(1000 + i % 9000) + "\"";
        list += ",lname:\"" + std::string(Names[i % Names.size()]) + "\"";
        list += ",rname:\"" + std::string(Names[(i * 7 + 3) % Names.size()]) + "\"";
        list += i % 3 == 0 ? ",connected:\"\"" : ",connected:\"+4940" + n + "\"";
        list += i % 3 == 0 ? ",cname:\"\""
                           : ",cname:\"" + std::string(Names[(i + 5) % Names.size()]) + "\"";
        list += ",direction:" + std::to_string(i % 3) + "}";
    }
    list += "]";
    return "ServerTime: 1700010000\r\nList: " + list + "\r\nKnow: 8c1e5a77f0\r\n";
}

void BM_ParsePollAnswer(benchmark::State& state) {
    const std::string answer = MakeAnswer();
    for (auto _ : state) {
        const StrMap fields = ParseAnswer(answer);
        TCallList calls;
        calls.reserve(CallCount);
        const auto it = fields.find("List");
        if (it != fields.end())
            ParseRecordList(it->second, &calls, CallAppender, CallFieldSetter);
        if (calls.size() != CallCount) {
            state.SkipWithError("wrong number of calls parsed");
            break;
        }
        benchmark::DoNotOptimize(calls.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(answer.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * CallCount);
    state.counters["answer_bytes"] = static_cast<double>(answer.size());
}
BENCHMARK(BM_ParsePollAnswer)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
