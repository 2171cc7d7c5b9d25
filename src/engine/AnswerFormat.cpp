#include "AnswerFormat.h"

#include <cstring>

namespace corvane {

namespace {

// Position of the first `c` in s[from, n) that comes before any NUL byte
// (`found` true), else the position of that NUL or n (`found` false). Both
// searches are memchr, which is vectorised; the NUL search only covers the
// part up to `c`.
size_t ScanTo(const char* s, size_t from, size_t n, char c, bool& found) {
    found = false;
    if (from >= n)
        return n;
    const auto* hit = static_cast<const char*>(std::memchr(s + from, c, n - from));
    const size_t limit = hit ? static_cast<size_t>(hit - s) : n;
    if (limit > from) {
        if (const auto* nul = static_cast<const char*>(std::memchr(s + from, '\0', limit - from)))
            return static_cast<size_t>(nul - s);
    }
    found = hit != nullptr;
    return limit;
}

// Calls `fn(begin, end)` for every line of the text (line break CR or
// CR LF); returns at the end of the text or at its first NUL byte.
template <typename Fn> void ForEachLine(std::string_view text, Fn&& fn) {
    const char* s = text.data();
    const size_t n = text.size();
    size_t start = 0;
    for (;;) {
        bool isBreak = false;
        const size_t end = ScanTo(s, start, n, '\r', isBreak);
        fn(start, end);
        if (!isBreak)
            return;
        start = end + 1;
        if (start < n && s[start] == '\n')
            ++start;
    }
}

// Unquotes s[i, n) into `out` (cleared first) up to the first NUL byte or,
// for a value inside a record list, the first "," or "}" (quotes do not
// protect them); returns the position of that byte, or n. Doing this while
// looking for the end of a list value saves copying the raw value first.
// Outside quotes a backslash is ordinary; inside, it takes the next byte
// literally, except n and r, which become LF and CR.
template <bool ListValue> size_t UnquoteRun(const char* s, size_t i, size_t n, std::string& out) {
    const auto isEnd = [](char c) { return c == '\0' || (ListValue && (c == ',' || c == '}')); };
    out.clear();
    bool inside = false;
    for (;;) {
        size_t j = i;
        while (j < n && s[j] != '"' && s[j] != '\\' && !isEnd(s[j]))
            ++j;
        out.append(s + i, j - i);
        if (j == n || isEnd(s[j]))
            return j;
        if (s[j] == '"') {
            inside = !inside;
            i = j + 1;
        } else if (!inside) {
            out.push_back('\\');
            i = j + 1;
        } else {
            if (j + 1 == n || isEnd(s[j + 1]))
                return j + 1; // a trailing backslash adds nothing
            const char e = s[j + 1];
            out.push_back(e == 'n' ? '\n' : e == 'r' ? '\r' : e);
            i = j + 2;
        }
    }
}

} // namespace

TStringLt SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    ForEachLine(text, [&](size_t begin, size_t end) {
        lines.emplace_back(text.data() + begin, end - begin);
    });
    return TStringLt(std::move(lines));
}

StrMap ParseAnswer(std::string_view text) {
    StrMap fields;
    const char* s = text.data();
    ForEachLine(text, [&](size_t begin, size_t end) {
        if (begin == end)
            return;
        const auto* colon = static_cast<const char*>(std::memchr(s + begin, ':', end - begin));
        if (!colon || colon == s + begin || s[begin] == '_')
            return;
        // The character after the colon is the recorder's blank; it is dropped
        // whatever it is.
        const char* valueBegin = colon + 2;
        const char* lineEnd = s + end;
        std::string& value = fields[std::string(s + begin, colon)];
        if (valueBegin < lineEnd)
            value.assign(valueBegin, lineEnd);
        else
            value.clear();
    });
    return fields;
}

bool ParseRecordList(std::string_view list, void* target, RecordAppendFn onRecord,
                     RecordFieldFn onField, size_t maxRecords) {
    enum class State { BeforeList, BetweenRecords, Key, Value };

    const char* s = list.data();
    const size_t n = list.size();
    // Both buffers are reused from field to field.
    std::string key;
    std::string value;
    key.reserve(32);
    value.reserve(128);
    void* slot = nullptr;
    size_t records = 0;
    State state = State::BeforeList;
    size_t i = 0;
    while (i < n) {
        switch (state) {
        case State::BeforeList: {
            bool open = false;
            const size_t p = ScanTo(s, i, n, '[', open);
            if (!open)
                return false;
            i = p + 1;
            state = State::BetweenRecords;
            break;
        }
        case State::BetweenRecords: {
            slot = nullptr;
            const char c = s[i++];
            if (c == '{') {
                state = State::Key;
            } else if (c == ']' || c == '\0') {
                return false; // after the list everything is ignored
            }
            break;
        }
        case State::Key: {
            // "}" and "," belong to the key too: an empty record "{}" makes
            // them key text up to the next colon.
            size_t p = i;
            while (p < n && s[p] != ':' && s[p] != '\0')
                ++p;
            if (p == n || s[p] == '\0')
                return false;
            key.assign(s + i, p - i);
            i = p + 1;
            state = State::Value;
            break;
        }
        case State::Value: {
            const bool newRecord = slot == nullptr;
            const size_t p = UnquoteRun<true>(s, i, n, value);
            if (p == n || s[p] == '\0')
                return false; // the unfinished field is dropped
            if (newRecord && records == maxRecords)
                return true;
            if (onField)
                onField(&slot, key, value);
            // A field callback that left no record has nothing to hand on.
            if (newRecord && slot) {
                ++records;
                if (onRecord)
                    onRecord(target, slot);
            }
            state = s[p] == ',' ? State::Key : State::BetweenRecords;
            i = p + 1;
            break;
        }
        }
    }
    return false;
}

std::string UnquoteValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    UnquoteRun<false>(value.data(), 0, value.size(), out);
    return out;
}

} // namespace corvane
