#include "HttpText.h"

#include <cctype>

namespace corvane::http {

bool IsErrorStatus(int status) {
    return status >= 400 && status != 401 && status != 407;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string SafeUrl(std::string_view url) {
    std::string result(url.substr(0, url.find_first_of("?#")));
    const size_t scheme = result.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t pathStart = result.find('/', hostStart);
    const size_t at = result.rfind('@', pathStart);
    if (at != std::string::npos && at >= hostStart)
        result.erase(hostStart, at + 1 - hostStart);
    return result;
}

std::string Printable(std::string_view text, size_t limit) {
    std::string result;
    for (const char c : text.substr(0, limit))
        result += (c >= 0x20 && c < 0x7f) ? c : '?';
    return result;
}

std::string DurationText(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0)
        return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

} // namespace corvane::http
