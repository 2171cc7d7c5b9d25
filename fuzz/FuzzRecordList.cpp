// The "List" value of a poll answer through the session's own path: the
// record-list walker, UnquoteValue and the call-record callbacks, then the
// deep copy the main window takes.
// Input: the server time text, a LF, then the list text.

#include "AnswerFormat.h"
#include "CallList.h"
#include "Corvane.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace corvane;

namespace {

// Counts callbacks without building records, so that the session's list can
// be checked against the walker alone.
struct TCounter {
    size_t records = 0;
    size_t fields = 0;
};
TCounter* gCounter = nullptr;
int gDummy;

void CountField(void** slot, const std::string&, const std::string&) {
    ++gCounter->fields;
    if (*slot == nullptr)
        *slot = &gDummy;
}
void CountRecord(void* target, void* record) {
    if (record != &gDummy)
        std::abort();
    ++static_cast<TCounter*>(target)->records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t lf = input.find('\n');
    const std::string serverTime(lf == std::string_view::npos ? std::string_view()
                                                              : input.substr(0, lf));
    const std::string list(lf == std::string_view::npos ? input : input.substr(lf + 1));

    // Unquoting never grows a value.
    if (UnquoteValue(list).size() > list.size())
        std::abort();

    TCounter counter;
    gCounter = &counter;
    ParseRecordList(list, &counter, CountRecord, CountField);
    if (counter.records > counter.fields)
        std::abort();

    static TCorvane session; // one session, reused like the polling thread does
    session.UpdateCalls(list, serverTime);
    TCallList calls;
    session.GetCalls(calls);
    if (calls.size() != counter.records)
        std::abort();
    const int32_t now = ParseInt32(serverTime, -1);
    for (const auto& call : calls) {
        if (!call || call->length != SaturatingSub(now, call->startdate))
            std::abort();
    }
    return 0;
}
