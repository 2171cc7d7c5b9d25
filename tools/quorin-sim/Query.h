#pragma once

// Query texts as the recorder reads them: "+" is a blank, %XX a byte, and
// nothing else is special. Values are compared as the exact decoded bytes.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::sim {

std::string UrlDecode(std::string_view text);

// Blank as "+", letters, digits and "-._~" as themselves, every other byte %XX.
std::string UrlEncode(std::string_view text);

using TQueryParams = std::vector<std::pair<std::string, std::string>>;

// Splits the part after "?" of a request target into decoded key/value pairs,
// in order. A part without "=" has an empty value.
TQueryParams ParseQuery(std::string_view target);

// The first value of `key`, or `fallback` when the key is absent.
std::string QueryValue(const TQueryParams& params, std::string_view key,
                       const std::string& fallback = {});
bool HasQueryKey(const TQueryParams& params, std::string_view key);

// The target with the value of every "password" parameter replaced by "***",
// so that logs never show it.
std::string MaskPassword(std::string_view target);

// Parses a whole decimal number (optional sign); false for anything else.
bool ParseInteger(std::string_view text, long long& value);

} // namespace corvane::sim
