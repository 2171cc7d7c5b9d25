// The Windows side of Platform.h, and the helpers of PlatformWindows.h.

#include "PlatformWindows.h"
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

namespace corvane {

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

std::u16string ToU16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

std::wstring ToWString(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

} // namespace

// ---------------------------------------------------------------------------
// PlatformWindows.h

std::wstring WideText(std::string_view utf8) {
    return ToWString(Utf8ToWide(utf8));
}

std::string Utf8Text(std::wstring_view wide) {
    return WideToUtf8(ToU16(wide));
}

std::wstring WidePath(std::string_view utf8) {
    std::wstring path = WideText(utf8);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string PathFromWide(std::wstring_view wide) {
    std::string path = Utf8Text(wide);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

int ErrnoFromWindowsError(unsigned long code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_NO_MORE_FILES:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_DELETE_PENDING:
        return EACCES;
    case ERROR_PRIVILEGE_NOT_HELD:
        return EPERM;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    case ERROR_NOT_SUPPORTED:
        return ENOSYS;
    default:
        return EIO;
    }
}

std::string WindowsErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n > 0 && text ? Utf8Text(std::wstring_view(text, n)) : std::string();
    if (text)
        LocalFree(text);
    while (!message.empty() && static_cast<unsigned char>(message.back()) <= ' ')
        message.pop_back();
    const std::string number = "error " + std::to_string(code);
    return message.empty() ? number : message + " (" + number + ")";
}

// ---------------------------------------------------------------------------
// Platform.h

std::string UserAppDataFolder() {
    wchar_t* folder = nullptr;
    std::string path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder)) && folder)
        path = PathFromWide(folder);
    CoTaskMemFree(folder);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string GetAppDataFolder() {
    const std::string appData = UserAppDataFolder();
    if (appData.empty())
        return {};
    const std::string path = appData + "/Brindlex";
    if (!DirectoryExists(path) && !CreateDirectoryW(WidePath(path).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        return {};
    return path + "/";
}

bool DirectoryExists(const std::string& path) {
    if (path.empty())
        return false;
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::string& path) {
    if (path.empty())
        return false;
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ForceDirectories(const std::string& path) {
    if (path.empty())
        return false;
    std::string p = path;
    while (p.size() > 1 && IsSeparator(p.back()))
        p.pop_back();
    if (DirectoryExists(p))
        return true;
    const auto slash = p.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0 && !ForceDirectories(p.substr(0, slash)))
        return false;
    return CreateDirectoryW(WidePath(p).c_str(), nullptr) ||
           (GetLastError() == ERROR_ALREADY_EXISTS && DirectoryExists(p));
}

std::string ProgramPath() {
    // The path may be longer than MAX_PATH; a full buffer means it was cut.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return PathFromWide(std::wstring_view(buffer.data(), n));
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string ProgramFolder() {
    const std::string exe = ProgramPath();
    const auto slash = exe.rfind('/');
    if (slash == std::string::npos)
        return "./";
    return exe.substr(0, slash + 1);
}

int CurrentProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

std::string CurrentUserName() {
    // The wide call, so that a name outside the ANSI code page survives; a
    // name that does not fit 128 characters fails as the 128-byte buffer of
    // the original did.
    wchar_t name[128];
    DWORD size = 128;
    if (!GetUserNameW(name, &size) || size == 0)
        return {};
    // size counts the terminating zero.
    return Utf8Text(std::wstring_view(name, size - 1));
}

std::u16string AnsiToWide(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, out.data(), n);
    return ToU16(out);
}

std::string WideToAnsi(std::u16string_view text) {
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const std::wstring wide = ToWString(text);
    const int size = static_cast<int>(wide.size());
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

bool StartProgram(const std::string& program, const std::string& parameters) {
    // The started program's start-up code splits the parameter text itself,
    // by the rules SplitParameterText follows, so it goes over unchanged.
    const std::wstring application = WidePath(program);
    std::wstring commandLine = L"\"" + application + L"\"";
    if (!parameters.empty())
        commandLine += L" " + WideText(parameters);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Detached: no console window for a console program started from the
    // window program, and the started program outlives us.
    if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

} // namespace corvane
