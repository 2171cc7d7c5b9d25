#include "LogFile.h"

#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include "PlatformWindows.h"

#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace corvane {

namespace {

// The file system's part: Windows has no permission bits (the per-user
// folder's access list keeps the logs private there) and names folders with
// '\' as well as '/'.
#ifdef _WIN32

constexpr const char* kSeparators = "/\\";

void MakePrivate(const std::string&) {}

// Appends `line` to the file, creating it; true when the file has reached
// `limit` bytes afterwards.
bool AppendLine(const std::string& path, const std::string& line, size_t limit) {
    const HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    LARGE_INTEGER size{};
    const bool full =
        GetFileSizeEx(file, &size) && static_cast<unsigned long long>(size.QuadPart) >= limit;
    CloseHandle(file);
    return full;
}

bool RemoveLog(const std::string& path) {
    return DeleteFileW(WidePath(path).c_str()) != 0;
}

bool MoveLog(const std::string& source, const std::string& target) {
    return MoveFileExW(WidePath(source).c_str(), WidePath(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

constexpr const char* kSeparators = "/";
constexpr mode_t kLogMode = 0600;

bool WriteAll(int fd, const std::string& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

void MakePrivate(const std::string& path) {
    ::chmod(path.c_str(), kLogMode);
}

bool AppendLine(const std::string& path, const std::string& line, size_t limit) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogMode);
    if (fd < 0)
        return false;
    WriteAll(fd, line);
    struct stat st {};
    const bool full = ::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= limit;
    ::close(fd);
    return full;
}

bool RemoveLog(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

bool MoveLog(const std::string& source, const std::string& target) {
    if (std::rename(source.c_str(), target.c_str()) != 0)
        return false;
    MakePrivate(target);
    return true;
}

#endif

} // namespace

std::string LogSafe(std::string_view peerText) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(std::min(peerText.size(), MaxLoggedValue) + 32);
    size_t i = 0;
    for (; i < peerText.size(); ++i) {
        const auto c = static_cast<unsigned char>(peerText[i]);
        const bool control = c < 0x20 || c == 0x7F;
        const size_t width = !control ? (c == '\\' ? 2 : 1) : (c == '\n' || c == '\r') ? 2 : 4;
        if (out.size() + width > MaxLoggedValue)
            break;
        if (!control && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    if (i == peerText.size())
        return out;
    // Cut before a UTF-8 sequence that would be left unfinished; its bytes
    // went out one for one.
    size_t cut = i;
    while (cut > 0 && i - cut < 3 && (static_cast<unsigned char>(peerText[cut]) & 0xC0) == 0x80)
        --cut;
    if (cut < i && (static_cast<unsigned char>(peerText[cut]) & 0xC0) == 0xC0)
        out.resize(out.size() - (i - cut));
    out += " ... (" + std::to_string(peerText.size()) + " bytes)";
    return out;
}

TLogFile::TLogFile(std::string path, StampFunction stamp) {
    Open(std::move(path), std::move(stamp));
}

void TLogFile::Open(std::string path, StampFunction stamp) {
    std::lock_guard lock(FLock);
    FPath = std::move(path);
    FStamp = std::move(stamp);
    if (!FPath.empty())
        MakePrivate(FPath); // a log left by an earlier version may be 0644
}

void TLogFile::Append(const std::string& text) {
    try {
        std::lock_guard lock(FLock);
        if (FPath.empty())
            return;
        const std::string line = (FStamp ? FStamp() : std::string()) + " " + text + "\r\n";
        if (AppendLine(FPath, line, MaxFileSize))
            RotateLogFiles(FPath, KeptFiles);
    } catch (...) {
        // A lost line is acceptable; the caller must not fail for the log.
    }
}

void TLogFile::RotateLogFiles(const std::string& fileName, int count) {
    const size_t slash = fileName.find_last_of(kSeparators);
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
            RemoveLog(source);
        else
            MoveLog(source, target);
    }
}

} // namespace corvane
