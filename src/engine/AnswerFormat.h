#pragma once

// The recorder's answer format: lines of "key: value", and the bracketed
// record list that carries the active calls. Nothing here reports errors:
// text that does not follow the format simply yields fewer fields. No state
// is kept between calls; every function may run on any thread.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Field map of one answer. std::less<std::string> compares like memcmp, so
// keys are in plain byte order (the session logs fields in this order).
using StrMap = std::map<std::string, std::string>;

// An owning list of text lines, in order, duplicates allowed.
class TStringLt {
public:
    using const_iterator = std::vector<std::string>::const_iterator;

    TStringLt() = default;
    explicit TStringLt(std::vector<std::string> lines) : FLines(std::move(lines)) {}

    size_t Count() const { return FLines.size(); }
    const std::string& operator[](size_t index) const { return FLines[index]; }
    void Add(std::string line) { FLines.push_back(std::move(line)); }
    void Clear() { FLines.clear(); }

    const_iterator begin() const { return FLines.begin(); }
    const_iterator end() const { return FLines.end(); }
    const std::vector<std::string>& Lines() const { return FLines; }

private:
    std::vector<std::string> FLines;
};

// Lines end at CR or CR LF; an LF alone is an ordinary character. The text
// ends at its end or at its first NUL byte. A text that ends with a line
// break yields a last empty line; an empty text yields one empty line.
TStringLt SplitLines(std::string_view text);

// Fields of an answer: per line, the key is everything before the first
// colon, the value starts two characters after it (the recorder sends one
// blank there). Lines without a colon, with an empty key or a key starting
// with "_" are skipped; a repeated key keeps its last value.
StrMap ParseAnswer(std::string_view text);

// Callbacks of ParseRecordList. `slot` points at the current record, null at
// the start of each record: the field callback creates the record there when
// it is null and then applies the field. The record callback receives each
// new record right after its first field and takes ownership of it.
using RecordFieldFn = void (*)(void** slot, const std::string& key, const std::string& value);
using RecordAppendFn = void (*)(void* target, void* record);

// Walks a record list "[{k:v,k:v},{...}]", calling `onField` for every
// field (value unquoted) and `onRecord` once per record with `target`.
// A value ends at the next "," or "}" even between quotes; a list that
// breaks off loses its unfinished field. After `maxRecords` records the walk
// stops before the next record begins; returns true when it stopped so, with
// records left untaken.
bool ParseRecordList(std::string_view list, void* target, RecordAppendFn onRecord,
                     RecordFieldFn onField, size_t maxRecords = SIZE_MAX);

// Removes double quotes and, inside them, resolves the escapes \n, \r and
// backslash-anything (which yields that character). Stops at a NUL byte.
std::string UnquoteValue(std::string_view value);

} // namespace corvane
