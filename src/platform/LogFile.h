#pragma once

// The program's log file: one line per message, "<time stamp> <text>" CR LF,
// appended to the file and closed again at once, and the shift of the older
// logs (log.txt -> log2.txt -> ... ) at start-up.

#include <functional>
#include <mutex>
#include <string>

namespace corvane {

class TLogFile {
public:
    // The time stamp of a line, in the user's regional format; supplied by
    // the user interface, which knows the regional settings.
    using StampFunction = std::function<std::string()>;

    TLogFile() = default;
    TLogFile(std::string path, StampFunction stamp);
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Main thread, before the first line.
    void Open(std::string path, StampFunction stamp);
    const std::string& Path() const { return FPath; }

    // Appends one line. Any thread; lines of different threads never
    // interleave. Never fails towards the caller: a line that cannot be
    // written is lost.
    void Append(const std::string& text);

    // Shifts `fileName` -> base2.ext -> ... -> base<count>.ext, dropping the
    // last one; the extension is the text from the last dot of the file name
    // (a dot in a folder name does not count). Failed moves are ignored.
    static void RotateLogFiles(const std::string& fileName, int count);

private:
    std::string FPath;
    StampFunction FStamp;
    std::recursive_mutex FLock; // serialises the appends
};

} // namespace corvane
