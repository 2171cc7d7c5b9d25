#include "SimLog.h"

#include <chrono>
#include <ctime>

namespace corvane::sim {

TSimLog::~TSimLog() {
    if (FFile)
        std::fclose(FFile);
}

bool TSimLog::Open(const std::string& path) {
    std::lock_guard lock(FMutex);
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f)
        return false;
    if (FFile)
        std::fclose(FFile);
    FFile = f;
    return true;
}

void TSimLog::Line(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::lock_guard lock(FMutex);
    std::FILE* out = FFile ? FFile : stdout;
    std::fprintf(out, "%s.%03d %s\n", stamp, static_cast<int>(ms.count()), text.c_str());
    std::fflush(out);
}

void TSimLog::Flush() {
    std::lock_guard lock(FMutex);
    std::fflush(FFile ? FFile : stdout);
}

} // namespace corvane::sim
