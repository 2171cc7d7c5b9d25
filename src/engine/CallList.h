#pragma once

// The records of the calls that are active on the recorder, and the list that
// owns them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

struct TCallInfo {
    std::string id;        // the recorder's identifier, byte for byte
    std::string remoteid;  // the identifier a live-audio request names
    int32_t startdate = 0; // Unix seconds on the recorder's clock
    std::u16string local;
    std::u16string remote;
    std::u16string lname;
    std::u16string rname;
    std::u16string connected;
    std::u16string cname;
    int32_t direction = 0;
    int32_t length = 0; // seconds the call had lasted when the answer was made
};

// An owning list of call records, in the order the recorder sent them.
class TCallList : public std::vector<std::unique_ptr<TCallInfo>> {
public:
    TCallList() = default;
    TCallList(const TCallList&) = delete;
    TCallList& operator=(const TCallList&) = delete;
    TCallList(TCallList&&) = default;
    TCallList& operator=(TCallList&&) = default;

    // Replaces the content by independent copies of `other`'s records.
    void CopyFrom(const TCallList& other);
};

// The two callbacks that build call records from a record list (see
// ParseRecordList): the field setter creates the record on the first field and
// fills the known keys; the appender hands it to the list, which owns it.
void CallFieldSetter(void** slot, const std::string& key, const std::string& value);
void CallAppender(void* list, void* record);

// Decimal text to a signed 32-bit number; `fallback` when the text is not one.
int32_t ParseInt32(const std::string& text, int32_t fallback);

// a - b, kept inside the 32-bit range instead of overflowing.
int32_t SaturatingSub(int32_t a, int32_t b);

} // namespace corvane
