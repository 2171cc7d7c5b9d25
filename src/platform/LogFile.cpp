#include "LogFile.h"

#include "Platform.h"

#include <cstdio>

namespace corvane {

TLogFile::TLogFile(std::string path, StampFunction stamp) {
    Open(std::move(path), std::move(stamp));
}

void TLogFile::Open(std::string path, StampFunction stamp) {
    std::lock_guard lock(FLock);
    FPath = std::move(path);
    FStamp = std::move(stamp);
}

void TLogFile::Append(const std::string& text) {
    try {
        std::lock_guard lock(FLock);
        if (FPath.empty())
            return;
        const std::string line = (FStamp ? FStamp() : std::string()) + " " + text + "\r\n";
        if (std::FILE* f = std::fopen(FPath.c_str(), "ab")) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fclose(f);
        }
    } catch (...) {
        // A lost line is acceptable; the caller must not fail for the log.
    }
}

void TLogFile::RotateLogFiles(const std::string& fileName, int count) {
    const size_t slash = fileName.find_last_of('/');
    const size_t dot = fileName.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string base = hasExt ? fileName.substr(0, dot) : fileName;
    const std::string ext = hasExt ? fileName.substr(dot) : std::string();
    for (int n = count; n >= 1; --n) {
        const std::string source = n == 1 ? fileName : base + std::to_string(n) + ext;
        const std::string target = base + std::to_string(n + 1) + ext;
        if (!FileExists(source))
            continue;
        if (n == count)
            std::remove(source.c_str());
        else
            std::rename(source.c_str(), target.c_str());
    }
}

} // namespace corvane
