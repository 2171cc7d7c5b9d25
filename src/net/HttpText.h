#pragma once

// What both HTTP client sides (libcurl, WinHTTP) say the same way: the limits
// they share and the texts of their messages. Internal to corvane_net.

#include <chrono>
#include <string>
#include <string_view>

namespace corvane::http {

// Redirects followed before a request fails.
inline constexpr int MaxRedirects = 10;
// How often GetPieces runs its idle handler while a request is open.
inline constexpr std::chrono::milliseconds IdleInterval{20};

// 401 and 407 come back with their body: the caller decides what to do.
bool IsErrorStatus(int status);

std::string Lower(std::string text);

// The URL as it may appear in a message: the query (it carries the
// password), the fragment and any user information are cut off.
std::string SafeUrl(std::string_view url);

// Server-supplied text for a message: printable ASCII only, bounded.
std::string Printable(std::string_view text, size_t limit = 80);

// "30 s", or "1500 ms" where whole seconds do not fit.
std::string DurationText(std::chrono::milliseconds d);

} // namespace corvane::http
