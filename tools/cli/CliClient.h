#pragma once

// corvane-cli: the active calls of the recorder and live listening on the
// command line, with the server and account of the window's settings file.
// Everything but main(): the command line, the line format of a call, and
// the runs of the three commands on the core's session, monitor and wave
// output, with the main-thread queue served by a plain loop.

#include "CallList.h"
#include "QuorinConfig.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Exit status of corvane-cli; --help lists them.
namespace cliexit {
inline constexpr int Ok = 0;
inline constexpr int Failure = 1;      // anything else (interrupted list, unexpected error)
inline constexpr int Usage = 2;        // unusable command line
inline constexpr int Settings = 3;     // settings file missing, or no server, user or password
inline constexpr int LogOnRefused = 4; // wrong user name or password
inline constexpr int Unreachable = 5;  // no connection to the recorder
inline constexpr int ServerError = 6;  // the recorder answered with an error
inline constexpr int UnknownCall = 7;  // listen: no active call has that id
inline constexpr int SoundDevice = 8;  // listen: the sound output did not open or failed
} // namespace cliexit

enum class TCliCommand { None, List, Watch, Listen };

struct TCliOptions {
    TCliCommand Command = TCliCommand::None;
    std::string CallId;     // listen
    std::string ConfigPath; // empty: the window's own client.ini
    bool Verbose = false;   // the engine's log and device diagnostics to standard error
    bool Help = false;
    bool Version = false;
};

// Reads the arguments after the program name. Options may stand before or
// after the command, "--config FILE" or "--config=FILE"; "--" ends the
// options (for an id that starts with "-"). Returns "" when usable, else
// what is wrong. --help and --version need no command.
std::string ParseCliArguments(const std::vector<std::string>& args, TCliOptions& options);

std::string CliHelpText();
std::string CliVersionText();

// A field made fit for one tab-separated line: control characters (C0, DEL,
// C1) and the Unicode line and paragraph separators become blanks.
std::string CleanField(std::u16string_view text);
// The same for a byte text such as the recorder's call id; invalid UTF-8
// becomes U+FFFD.
std::string CleanByteField(std::string_view bytes);

// "YYYY-MM-DD HH:MM:SS" in the local time zone; the decimal number when the
// C library cannot convert it. Main thread (the C library's local-time
// buffer is shared).
std::string LocalTimeText(int64_t unixSeconds);

// One call as printed by list and watch, without the line end: id, direction,
// start time, duration in seconds, remote number, remote name, local number,
// local name, separated by tabs.
std::string FormatCallLine(const TCallInfo& call);
// Every call's line, each ended by "\n"; "" for no calls.
std::string FormatCallList(const TCallList& calls);

// The window's settings file: <data folder>QuorinCallMonitor/client.ini; ""
// when the platform names no data folder.
std::string DefaultConfigPath();

// Loads `path` into `config` (the current login's section, as the window
// reads it). Returns "" when it names a server, a user name and a password,
// else what is missing.
std::string LoadCliConfig(const std::string& path, TQuorinConfig& config);

// Runs the program: arguments after the program name, the two output
// streams, and the interruption test (Ctrl+C or SIGTERM seen), which is
// polled while a command runs. Returns the exit status. Main thread; the
// caller's main thread must be the core's main thread.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const std::function<bool()>& interrupted);

} // namespace corvane
