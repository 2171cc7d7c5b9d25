#include "CallList.h"

#include "Platform.h"

#include <charconv>
#include <limits>

namespace corvane {

void TCallList::CopyFrom(const TCallList& other) {
    clear();
    reserve(other.size());
    for (const auto& rec : other)
        push_back(std::make_unique<TCallInfo>(*rec));
}

int32_t ParseInt32(const std::string& text, int32_t fallback) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first; // a leading plus is an integer too, but from_chars refuses it
    if (first == last)
        return fallback;
    int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last)
        return fallback;
    return value;
}

int32_t SaturatingSub(int32_t a, int32_t b) {
    const int64_t d = static_cast<int64_t>(a) - static_cast<int64_t>(b);
    if (d > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (d < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(d);
}

void CallFieldSetter(void** slot, const std::string& key, const std::string& value) {
    if (*slot == nullptr) {
        // Ownership passes to the list through CallAppender right after this.
        *slot = std::make_unique<TCallInfo>().release();
    }
    auto* call = static_cast<TCallInfo*>(*slot);
    switch (key.size()) {
    case 2:
        if (key == "id")
            call->id = value;
        break;
    case 5:
        if (key == "local")
            call->local = Utf8ToWide(value);
        else if (key == "lname")
            call->lname = Utf8ToWide(value);
        else if (key == "rname")
            call->rname = Utf8ToWide(value);
        else if (key == "cname")
            call->cname = Utf8ToWide(value);
        break;
    case 6:
        if (key == "remote")
            call->remote = Utf8ToWide(value);
        break;
    case 8:
        if (key == "remoteid")
            call->remoteid = value;
        break;
    case 9:
        if (key == "startdate")
            call->startdate = ParseInt32(value, 0);
        else if (key == "connected")
            call->connected = Utf8ToWide(value);
        else if (key == "direction")
            call->direction = ParseInt32(value, 0);
        break;
    default:
        break;
    }
}

void CallAppender(void* list, void* record) {
    static_cast<TCallList*>(list)->emplace_back(static_cast<TCallInfo*>(record));
}

} // namespace corvane
