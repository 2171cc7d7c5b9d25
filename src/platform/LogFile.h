#pragma once

// The program's log file: one line per message, "<time stamp> <text>" CR LF,
// appended to the file and closed again at once, and the shift of the older
// logs (log.txt -> log2.txt -> ... ) at start-up and whenever the file grows
// past MaxFileSize. Log files are private to the user (mode 0600): they hold
// callers' names and numbers.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace corvane {

// Longest piece of one peer-supplied value that goes into a log line.
constexpr size_t MaxLoggedValue = 4096;

// Peer-supplied text made fit for one log line: CR and LF become "\r" and
// "\n", every other byte below 0x20 and 0x7F becomes "\xNN", a backslash
// "\\", so no peer can start a line that looks like the program's own. Past
// MaxLoggedValue bytes of output the text is cut (never inside a UTF-8
// sequence) and " ... (<full length> bytes)" follows.
std::string LogSafe(std::string_view peerText);

class TLogFile {
public:
    // The time stamp of a line, in the user's regional format; supplied by
    // the user interface, which knows the regional settings.
    using StampFunction = std::function<std::string()>;

    // log.txt plus log2.txt ... log10.txt.
    static constexpr int KeptFiles = 10;
    // A log that reaches this size is rotated like at start-up.
    static constexpr size_t MaxFileSize = 16 * 1024 * 1024;

    TLogFile() = default;
    TLogFile(std::string path, StampFunction stamp);
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Main thread, before the first line. An existing log is made 0600.
    void Open(std::string path, StampFunction stamp);
    const std::string& Path() const { return FPath; }

    // Appends one line, creating the file 0600; once the file has reached
    // MaxFileSize it is rotated, so the next line starts a fresh one. Any
    // thread; lines of different threads never interleave. Never fails
    // towards the caller: a line that cannot be written is lost.
    void Append(const std::string& text);

    // Shifts `fileName` -> base2.ext -> ... -> base<count>.ext, dropping the
    // last one; the extension is the text from the last dot of the file name
    // (a dot in a folder name does not count). Failed moves are ignored. Every
    // file it keeps is made 0600, also one written by an earlier version.
    static void RotateLogFiles(const std::string& fileName, int count);

private:
    std::string FPath;
    StampFunction FStamp;
    std::recursive_mutex FLock; // serialises the appends
};

} // namespace corvane
