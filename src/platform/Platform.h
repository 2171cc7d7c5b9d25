#pragma once

// Operating-system services the rest of the program needs: folders, the user's
// login name, text conversions, the debugger channel, the program's own version
// and path, and starting another program.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The per-user application-data folder ($XDG_CONFIG_HOME, else $HOME/.config;
// the roaming application-data folder on Windows), without a trailing slash;
// empty when it is not known. Paths use '/' on Windows too.
std::string UserAppDataFolder();

// The maker's folder below the application-data folder, "<appdata>/Brindlex/",
// created (one level) when missing. Empty when the application-data folder is
// unknown or the maker folder cannot be created.
std::string GetAppDataFolder();

// Creates `path` and every missing parent. True when the folder exists afterwards.
bool ForceDirectories(const std::string& path);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Full path of the running executable, and its folder ending in '/'.
std::string ProgramPath();
std::string ProgramFolder();

// The four-part version compiled into the program, e.g. "1.0.0.1".
std::string ProgramVersion();

int CurrentProcessId();

// Login name of the effective user, in UTF-8; empty when it cannot be found.
std::string CurrentUserName();

// 8-bit texts are in the system code page: the ANSI code page on Windows,
// UTF-8 elsewhere whatever the locale says. Invalid UTF-8 becomes U+FFFD;
// unpaired surrogates become U+FFFD on the way back.
std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);

// The debugger output channel: one line per call, to standard error
// (OutputDebugStringA on Windows) unless a handler is installed (tests capture
// the lines). Any thread.
void DebugOutput(std::string_view text);
using DebugOutputHandler = std::function<void(std::string_view)>;
// Returns the previous handler; an empty handler restores the default channel.
DebugOutputHandler SetDebugOutputHandler(DebugOutputHandler handler);

// Splits a Windows-style parameter text into arguments: blanks separate,
// double quotes group and are removed, backslashes are literal unless they
// precede a double quote (the rules a Windows program's start-up code applies).
std::vector<std::string> SplitParameterText(std::string_view parameters);

// Starts `program` detached, with the arguments of `parameters` split as above.
// True when the program was started.
bool StartProgram(const std::string& program, const std::string& parameters);

} // namespace corvane
