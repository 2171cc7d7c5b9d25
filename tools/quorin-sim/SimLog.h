#pragma once

// The simulator's log: one line per request or event, with a local time stamp
// to the millisecond. Any thread.

#include <cstdio>
#include <mutex>
#include <string>

namespace corvane::sim {

class TSimLog {
public:
    TSimLog() = default;
    ~TSimLog();
    TSimLog(const TSimLog&) = delete;
    TSimLog& operator=(const TSimLog&) = delete;

    // Appends to `path`; without a call the log goes to standard output.
    bool Open(const std::string& path);
    void Line(const std::string& text);
    void Flush();

private:
    std::mutex FMutex;
    std::FILE* FFile = nullptr;
};

} // namespace corvane::sim
