#include "Query.h"

#include <charconv>

namespace corvane::sim {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string UrlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                   HexDigit(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
            i += 2;
        } else {
            // A stray "%" is taken literally rather than rejected.
            out.push_back(c);
        }
    }
    return out;
}

std::string UrlEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
            b == '-' || b == '.' || b == '_' || b == '~') {
            out.push_back(c);
        } else if (b == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
    }
    return out;
}

TQueryParams ParseQuery(std::string_view target) {
    TQueryParams params;
    const auto q = target.find('?');
    if (q == std::string_view::npos)
        return params;
    std::string_view rest = target.substr(q + 1);
    const auto hash = rest.find('#');
    if (hash != std::string_view::npos)
        rest = rest.substr(0, hash);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view part = rest.substr(0, amp);
        if (!part.empty()) {
            const auto eq = part.find('=');
            if (eq == std::string_view::npos)
                params.emplace_back(UrlDecode(part), std::string());
            else
                params.emplace_back(UrlDecode(part.substr(0, eq)), UrlDecode(part.substr(eq + 1)));
        }
        if (amp == std::string_view::npos)
            break;
        rest = rest.substr(amp + 1);
    }
    return params;
}

std::string QueryValue(const TQueryParams& params, std::string_view key,
                       const std::string& fallback) {
    for (const auto& [k, v] : params)
        if (k == key)
            return v;
    return fallback;
}

bool HasQueryKey(const TQueryParams& params, std::string_view key) {
    for (const auto& kv : params)
        if (kv.first == key)
            return true;
    return false;
}

std::string MaskPassword(std::string_view target) {
    const auto q = target.find('?');
    if (q == std::string_view::npos)
        return std::string(target);
    std::string out(target.substr(0, q + 1));
    std::string_view rest = target.substr(q + 1);
    bool first = true;
    while (true) {
        const auto amp = rest.find('&');
        const std::string_view part = rest.substr(0, amp);
        if (!first)
            out.push_back('&');
        first = false;
        const auto eq = part.find('=');
        if (eq != std::string_view::npos && UrlDecode(part.substr(0, eq)) == "password")
            out.append(part.substr(0, eq + 1)).append("***");
        else
            out.append(part);
        if (amp == std::string_view::npos)
            break;
        rest = rest.substr(amp + 1);
    }
    return out;
}

bool ParseInteger(std::string_view text, long long& value) {
    if (text.empty())
        return false;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (*begin == '+' && text.size() > 1 && begin[1] != '-')
        ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    return ec == std::errc() && ptr == end && begin != end;
}

} // namespace corvane::sim
