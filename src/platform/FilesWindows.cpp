// The Windows side of Files.h. Windows has no permission bits: the `mode` of
// a replacement is not used; a new file gets what its folder passes on, which
// for the per-user folders is the user's alone.

#include "Files.h"
#include "PlatformWindows.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <windows.h>

namespace corvane {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class THandle {
public:
    explicit THandle(HANDLE h) : FHandle(h) {}
    ~THandle() {
        if (Valid())
            CloseHandle(FHandle);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return FHandle; }
    // Closes now; false with the error kept for GetLastError when that fails.
    bool Close() {
        const HANDLE h = FHandle;
        FHandle = INVALID_HANDLE_VALUE;
        return CloseHandle(h) != 0;
    }

private:
    HANDLE FHandle;
};

bool WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// The file a replacement must write: the target of a symbolic link, so that
// the link stays a link.
std::string ResolveLink(const std::string& path) {
    const std::wstring wide = WidePath(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return path;
    THandle file(CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid())
        return path;
    std::wstring real(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(file.Get(), real.data(), static_cast<DWORD>(real.size()),
                                        FILE_NAME_NORMALIZED);
    if (n >= real.size()) {
        real.resize(n);
        n = GetFinalPathNameByHandleW(file.Get(), real.data(), static_cast<DWORD>(real.size()),
                                      FILE_NAME_NORMALIZED);
    }
    if (n == 0 || n >= real.size())
        return path;
    real.resize(n);
    // "\\?\C:\..." and "\\?\UNC\server\..." back to the usual forms.
    if (real.starts_with(LR"(\\?\UNC\)"))
        real = L"\\" + real.substr(7);
    else if (real.starts_with(LR"(\\?\)"))
        real = real.substr(4);
    return PathFromWide(real);
}

bool Fail(std::string* error, const std::string& path, const std::string& call, int err) {
    if (error)
        *error = "cannot replace " + path + ": " + call + ": " + std::strerror(err);
    errno = err;
    return false;
}

int LastErrno() {
    return ErrnoFromWindowsError(GetLastError());
}

// Windows renames nothing over an open file: a reader (a virus scanner, a
// search indexer, another copy of the program) blocks the rename for a
// moment. The retries are bounded by time, not by count, so that a loaded
// machine, where each attempt comes late, gets the same grace as an idle one.
// A read-only target stays one.
bool MoveOver(const std::wstring& from, const std::wstring& to, bool readOnly) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD err = GetLastError();
        if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) || readOnly ||
            std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        SetLastError(err);
    }
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit, bool* tooLarge) {
    if (tooLarge)
        *tooLarge = false;
    const std::wstring wide = WidePath(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        errno = LastErrno();
        return std::nullopt;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return std::nullopt;
    }
    // Every sharing mode: a reader keeps no one else from opening the file.
    THandle file(
        CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.Valid()) {
        errno = LastErrno();
        return std::nullopt;
    }
    const auto refuse = [&](int err) -> std::optional<std::string> {
        if (err == EFBIG && tooLarge)
            *tooLarge = true;
        errno = err;
        return std::nullopt;
    };
    if (GetFileType(file.Get()) != FILE_TYPE_DISK)
        return refuse(EINVAL);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size))
        return refuse(LastErrno());
    if (static_cast<unsigned long long>(size.QuadPart) > limit)
        return refuse(EFBIG);

    std::string bytes;
    bytes.reserve(static_cast<size_t>(size.QuadPart));
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.Get(), buf, sizeof buf, &n, nullptr))
            return refuse(LastErrno());
        if (n == 0)
            break;
        // The file may have grown since its size was taken.
        if (n > limit - bytes.size())
            return refuse(EFBIG);
        bytes.append(buf, n);
    }
    return bytes;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view contents, unsigned /*mode*/,
                           std::string* error) {
    static std::atomic<unsigned> counter{0};
    const std::string target = ResolveLink(path);
    const std::wstring wideTarget = WidePath(target);
    const DWORD attributes = GetFileAttributesW(wideTarget.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(error, path, "not a regular file", EISDIR);

    const size_t slash = target.find_last_of("/\\");
    const std::string prefix =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + "." +
        (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp" +
        std::to_string(GetCurrentProcessId()) + "-";
    std::string temp;
    std::wstring wideTemp;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp = prefix + std::to_string(counter++);
        wideTemp = WidePath(temp);
        // Not shared: no one reads it half-written.
        handle = CreateFileW(wideTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    THandle file(handle);
    if (!file.Valid())
        return Fail(error, path, "create temporary file " + temp, LastErrno());

    const auto abandon = [&](const std::string& call, int err) {
        DeleteFileW(wideTemp.c_str());
        return Fail(error, path, call, err);
    };
    if (!WriteAll(file.Get(), contents)) {
        const int err = LastErrno();
        file.Close();
        return abandon("write " + temp, err);
    }
    if (!FlushFileBuffers(file.Get())) {
        const int err = LastErrno();
        file.Close();
        return abandon("FlushFileBuffers " + temp, err);
    }
    if (!file.Close())
        return abandon("close " + temp, LastErrno());
    const bool readOnly =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (!MoveOver(wideTemp, wideTarget, readOnly))
        return abandon("MoveFileEx " + temp + " to " + target, LastErrno());
    return true;
}

} // namespace corvane
