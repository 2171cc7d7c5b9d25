#pragma once

// Operating-system services the rest of the program needs: folders, the user's
// login name, text conversions, the debugger channel, the program's own version
// and path, and starting another program.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The per-user application-data folder ($XDG_CONFIG_HOME, else $HOME/.config),
// without a trailing slash; empty when neither is known.
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

// Login name of the effective user; empty when it cannot be found.
std::string CurrentUserName();

// 8-bit texts are in the system code page, which is UTF-8 on this platform
// whatever the locale says. Invalid UTF-8 becomes U+FFFD; unpaired surrogates
// become U+FFFD on the way back.
std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);

// The debugger output channel: one line per call, to standard error unless a
// handler is installed (tests capture the lines). Any thread.
void DebugOutput(std::string_view text);
using DebugOutputHandler = std::function<void(std::string_view)>;
// Returns the previous handler; an empty handler restores standard error.
DebugOutputHandler SetDebugOutputHandler(DebugOutputHandler handler);

// Splits a Windows-style parameter text into arguments: blanks separate,
// double quotes group and are removed, backslashes are literal unless they
// precede a double quote (the rules a Windows program's start-up code applies).
std::vector<std::string> SplitParameterText(std::string_view parameters);

// Starts `program` detached, with the arguments of `parameters` split as above.
// True when the program was started.
bool StartProgram(const std::string& program, const std::string& parameters);

} // namespace corvane
