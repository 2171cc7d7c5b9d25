// FileCopy on Windows: completes an update after the program has closed.
//
//   FileCopy.exe -id <pid> -p "<program> -u" -f "<fetched file>" ...
//
// Does what FileCopy.cpp does on Linux, with the same log lines and exit
// status: waits until process <pid> has ended, installs every fetched file
// from the per-user updates folder into the program's folder all or nothing
// (a file fetched as "<name>.temp" is installed as "<name>"), starts the
// program again and logs each step to FileCopy.log in the updates folder
// (and to standard output). Windows differences: no permission bits to carry
// over; links and junctions (reparse points) stand where Linux has symbolic
// links; paths compare without regard to letter case; the old file is kept
// aside by a second name (hard link) or, where the volume has none, a copy.
//
// Exit status: 0 installed, 1 nothing installed (refused or failed),
// 2 unusable arguments, 3 the process did not end.

#include "Files.h"
#include "Platform.h"
#include "PlatformWindows.h"
#include "Updater.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

using namespace corvane;

// How long the program gets to close before the installation is given up.
constexpr DWORD kWaitForProcessMs = 5 * 60 * 1000;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class TLog {
public:
    explicit TLog(const std::string& path) : FFile(_wfopen(WidePath(path).c_str(), L"ab")) {}
    ~TLog() {
        if (FFile)
            std::fclose(FFile);
    }
    TLog(const TLog&) = delete;
    TLog& operator=(const TLog&) = delete;

    void operator()(const std::string& message) {
        char stamp[32] = "";
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        if (localtime_s(&tm, &now) == 0)
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
        const std::string line = std::string(stamp) + " " + message + "\n";
        if (FFile) {
            std::fputs(line.c_str(), FFile);
            std::fflush(FFile);
        }
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }

private:
    std::FILE* FFile;
};

class THandle {
public:
    explicit THandle(HANDLE h) : FHandle(h) {}
    ~THandle() {
        if (Valid())
            CloseHandle(FHandle);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    bool Valid() const { return FHandle != nullptr && FHandle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return FHandle; }

private:
    HANDLE FHandle;
};

std::string LastErrorText() {
    return WindowsErrorText(GetLastError());
}

std::string Slashes(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

bool IsAbsolute(const std::string& path) {
    const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                       path[1] == ':' && path[2] == '/';
    return drive || path.starts_with("//");
}

// Letter case does not tell two names apart on Windows.
bool SameText(std::string_view a, std::string_view b) {
    const std::wstring wa = WideText(a);
    const std::wstring wb = WideText(b);
    return CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(),
                                static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           SameText(std::string_view(text).substr(0, prefix.size()), prefix);
}

// The path with every link and junction on the way resolved; "" when it
// cannot be resolved.
std::string RealPath(const std::string& path) {
    THandle file(CreateFileW(WidePath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid())
        return {};
    std::wstring real(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n =
            GetFinalPathNameByHandleW(file.Get(), real.data(), static_cast<DWORD>(real.size()), 0);
        if (n == 0)
            return {};
        if (n < real.size()) {
            real.resize(n);
            if (real.starts_with(LR"(\\?\UNC\)"))
                real = L"\\" + real.substr(7);
            else if (real.starts_with(LR"(\\?\)"))
                real = real.substr(4);
            return PathFromWide(real);
        }
        real.resize(n);
    }
    return {};
}

std::vector<std::string> SplitPath(const std::string& rel) {
    std::vector<std::string> parts;
    size_t begin = 0;
    while (begin <= rel.size()) {
        const size_t end = std::min(rel.find('/', begin), rel.size());
        parts.push_back(rel.substr(begin, end - begin));
        begin = end + 1;
    }
    return parts;
}

bool PlainRelativePath(const std::string& rel) {
    if (rel.empty())
        return false;
    for (const std::string& part : SplitPath(rel))
        if (part.empty() || part == "." || part == "..")
            return false;
    return true;
}

bool WaitForProcessEnd(int pid, DWORD timeoutMs) {
    THandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    if (process.Valid())
        return WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
    // No such process: it has ended already.
    if (GetLastError() == ERROR_INVALID_PARAMETER)
        return true;
    // A process we may not wait for: ask until it is gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        THandle again(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
        if (!again.Valid() && GetLastError() == ERROR_INVALID_PARAMETER)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// What a path is, without following a link at its end.
struct TInfo {
    bool Exists = false;
    bool Folder = false;
    bool Link = false;
    DWORD Error = 0; // when it does not exist
};

TInfo Examine(const std::string& path) {
    TInfo info;
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        info.Error = GetLastError();
        return info;
    }
    info.Exists = true;
    info.Folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.Link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return info;
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool SameFile(const std::string& a, const std::string& b) {
    const auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        THandle file(CreateFileW(WidePath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return file.Valid() && GetFileInformationByHandle(file.Get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    return identity(a, ia) && identity(b, ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

// A file the program has just left may still be held for a moment (the
// loader, a virus scanner).
bool MoveOver(const std::string& from, const std::string& to) {
    const std::wstring wideFrom = WidePath(from);
    const std::wstring wideTo = WidePath(to);
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD err = GetLastError();
        if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) || attempt >= 40) {
            SetLastError(err);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool RemoveFile(const std::string& path) {
    return DeleteFileW(WidePath(path).c_str()) != 0;
}

struct TMove {
    std::string File;     // as given with -f
    std::string Source;   // the fetched file
    std::string Dest;     // where it is installed
    std::string Staged;   // the copy beside Dest until the commit
    std::string Old;      // the file Dest held, kept aside until every file is in place
    bool InPlace = false; // Source is Dest: nothing to do
};

// Works out where a fetched file comes from and goes to. False with `why`
// set when it must not be installed; true with Source empty when there is
// no such file (an item that was not fetched).
bool Plan(const std::string& file, const std::string& updates, const std::string& updatesReal,
          const std::string& program, const std::string& programReal, TMove& move,
          std::string& why) {
    move.File = file;
    if (!IsAbsolute(file)) {
        why = "is not an absolute path";
        return false;
    }
    if (!StartsWith(file, updates) || !PlainRelativePath(file.substr(updates.size()))) {
        why = "does not lie below the updates folder " + updates;
        return false;
    }
    std::string rel = file.substr(updates.size());

    std::string source = file + ".temp";
    TInfo info = Examine(source);
    if (!info.Exists) {
        source = file;
        info = Examine(source);
        if (!info.Exists) {
            if (IsMissing(info.Error))
                return true;
            why = "cannot be examined: " + WindowsErrorText(info.Error);
            return false;
        }
        if (rel.size() > 5 && SameText(rel.substr(rel.size() - 5), ".temp"))
            rel.resize(rel.size() - 5);
    }
    if (info.Link || info.Folder) {
        why = info.Link ? "is a symbolic link" : "is not a regular file";
        return false;
    }
    // No folder on the way may lead somewhere else.
    const auto slash = rel.rfind('/');
    const std::string relDir = slash == std::string::npos ? "" : rel.substr(0, slash + 1);
    if (!SameText(WithSlash(RealPath(source.substr(0, source.rfind('/')))), updatesReal + relDir)) {
        why = "lies in a folder that leads outside the updates folder";
        return false;
    }

    std::string folder = programReal;
    const std::vector<std::string> dirs =
        relDir.empty() ? std::vector<std::string>{} : SplitPath(rel.substr(0, slash));
    for (const std::string& part : dirs) {
        folder += part;
        const TInfo step = Examine(folder);
        if (step.Exists && (!step.Folder || step.Link)) {
            why = "would be installed through " + folder + ", which is no plain folder";
            return false;
        }
        folder += '/';
    }
    move.Dest = program + rel;
    if (const TInfo dest = Examine(move.Dest); dest.Exists) {
        if (dest.Folder || dest.Link) {
            why = "would replace " + move.Dest + ", which is no regular file";
            return false;
        }
        // Fetched straight into the program's folder: copying it onto itself
        // and removing the source would remove the installed file.
        move.InPlace = SameFile(source, move.Dest);
    }
    move.Source = source;
    return true;
}

bool CopyContents(const std::string& from, const std::string& to, std::string& why) {
    THandle in(CreateFileW(WidePath(from).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr));
    if (!in.Valid()) {
        why = "open " + from + ": " + LastErrorText();
        return false;
    }
    THandle out(CreateFileW(WidePath(to).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.Valid()) {
        why = "create " + to + ": " + LastErrorText();
        return false;
    }
    std::vector<char> buf(65536);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(in.Get(), buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
            why = "read " + from + ": " + LastErrorText();
            return false;
        }
        if (n == 0)
            break;
        for (DWORD done = 0; done < n;) {
            DWORD w = 0;
            if (!WriteFile(out.Get(), buf.data() + done, n - done, &w, nullptr) || w == 0) {
                why = "write " + to + ": " + LastErrorText();
                return false;
            }
            done += w;
        }
    }
    if (!FlushFileBuffers(out.Get())) {
        why = "finish " + to + ": " + LastErrorText();
        return false;
    }
    return true;
}

// A second name for the file, so that it can come back: a hard link, or a
// copy where the volume has no hard links.
bool KeepAside(const std::string& dest, const std::string& old, std::string& why) {
    RemoveFile(old);
    if (CreateHardLinkW(WidePath(old).c_str(), WidePath(dest).c_str(), nullptr))
        return true;
    if (CopyFileW(WidePath(dest).c_str(), WidePath(old).c_str(), FALSE))
        return true;
    why = LastErrorText();
    return false;
}

int Install(const std::vector<std::string>& files, const std::string& updates,
            const std::string& program, TLog& log) {
    const std::string updatesReal = WithSlash(RealPath(updates));
    const std::string programFolder = program.substr(0, program.rfind('/') + 1);
    const std::string programReal = WithSlash(RealPath(programFolder));
    if (updatesReal == "/" || programReal == "/") {
        log("Refused: the updates folder or the program's folder cannot be resolved");
        return 1;
    }

    std::vector<TMove> moves;
    for (const std::string& file : files) {
        TMove move;
        std::string why;
        if (!Plan(file, updates, updatesReal, programFolder, programReal, move, why)) {
            log("Refused: " + file + " " + why + "; nothing is installed");
            return 1;
        }
        if (move.Source.empty()) {
            log("Not found, skipped: " + file);
            continue;
        }
        if (move.InPlace) {
            log("Already in place: " + move.Dest);
            continue;
        }
        moves.push_back(std::move(move));
    }

    const auto removeAside = [&] {
        for (const TMove& move : moves) {
            if (!move.Staged.empty())
                RemoveFile(move.Staged);
            if (!move.Old.empty())
                RemoveFile(move.Old);
        }
    };
    bool staged = true;
    for (TMove& move : moves) {
        const std::string folder = move.Dest.substr(0, move.Dest.rfind('/'));
        const std::string name = move.Dest.substr(folder.size() + 1);
        std::string why;
        if (!ForceDirectories(folder)) {
            log("Failed: cannot create " + folder);
            staged = false;
            break;
        }
        move.Staged = folder + "/." + name + ".filecopy-new";
        if (!CopyContents(move.Source, move.Staged, why)) {
            log("Failed: " + why);
            staged = false;
            break;
        }
        if (Examine(move.Dest).Exists) {
            move.Old = folder + "/." + name + ".filecopy-old";
            if (!KeepAside(move.Dest, move.Old, why)) {
                log("Failed: keep " + move.Dest + " aside as " + move.Old + ": " + why);
                move.Old.clear();
                staged = false;
                break;
            }
        }
    }
    if (!staged) {
        removeAside();
        log("Nothing is installed");
        return 1;
    }

    for (size_t i = 0; i < moves.size(); ++i) {
        if (MoveOver(moves[i].Staged, moves[i].Dest))
            continue;
        log("Failed: rename " + moves[i].Staged + " to " + moves[i].Dest + ": " + LastErrorText());
        // All or nothing: what was moved goes back.
        for (size_t j = i; j-- > 0;) {
            TMove& done = moves[j];
            if (done.Old.empty() ? RemoveFile(done.Dest) : MoveOver(done.Old, done.Dest))
                continue;
            log("Failed: put back " + done.Dest + ": " + LastErrorText() +
                (done.Old.empty() ? "" : "; the old file stays as " + done.Old));
            done.Old.clear();
        }
        removeAside();
        log("Rolled back; nothing is installed");
        return 1;
    }
    for (const TMove& move : moves) {
        if (!move.Old.empty())
            RemoveFile(move.Old);
        RemoveFile(move.Source);
        log("Installed " + move.Source + " as " + move.Dest);
    }
    return 0;
}

// The arguments after the program's name, split as the C runtime would, but
// in UTF-8: main's narrow argv holds the ANSI code page only.
std::vector<std::string> Arguments() {
    const std::string line = Utf8Text(GetCommandLineW());
    size_t i = 0;
    // The program's name ends at the closing quote or the first blank; no
    // escapes there.
    if (!line.empty() && line[0] == '"') {
        const size_t close = line.find('"', 1);
        i = close == std::string::npos ? line.size() : close + 1;
    }
    while (i < line.size() && line[i] != ' ' && line[i] != '\t')
        ++i;
    return SplitParameterText(std::string_view(line).substr(i));
}

} // namespace

int main() {
    const std::string updates = GetUpdatesFolder();
    TLog log(updates + "FileCopy.log");

    const std::vector<std::string> args = Arguments();
    std::string line = "FileCopy started:";
    for (const std::string& a : args)
        line += " [" + a + "]";
    log(line);

    TCopyToolArgs parsed;
    std::string error;
    if (!ParseCopyToolArgs(args, parsed, error)) {
        log("Unusable arguments: " + error);
        return 2;
    }
    parsed.Program = Slashes(parsed.Program);
    for (std::string& file : parsed.Files)
        file = Slashes(file);
    const TInfo program = Examine(parsed.Program);
    if (!IsAbsolute(parsed.Program) || !program.Exists || program.Folder) {
        log("Unusable arguments: the program " + parsed.Program + " is not an existing file");
        return 2;
    }

    log("Waiting for process " + std::to_string(parsed.ProcessId));
    if (!WaitForProcessEnd(parsed.ProcessId, kWaitForProcessMs)) {
        log("Process " + std::to_string(parsed.ProcessId) + " did not end; nothing is installed");
        return 3;
    }
    log("Process " + std::to_string(parsed.ProcessId) + " has ended");

    const int result = Install(parsed.Files, updates, parsed.Program, log);

    if (StartProgram(parsed.Program, parsed.ProgramParameters))
        log("Restarted " + parsed.Program + " " + parsed.ProgramParameters);
    else
        log("Cannot restart " + parsed.Program);
    return result;
}
