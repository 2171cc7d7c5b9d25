// FileCopy: completes an update after the program has closed.
//
//   FileCopy -id <pid> -p "<program> -u" -f "<fetched file>" ...
//
// Waits until process <pid> has ended, moves every fetched file from the
// per-user updates folder into the program's folder (a file fetched as
// "<name>.temp" is installed as "<name>"), starts the program again and logs
// each step to FileCopy.log in the updates folder (and to standard output).
//
// The files are installed all or nothing: each is first copied beside its
// destination and only when every copy succeeded do they replace the old
// files, which are kept aside until the last one is in place and put back
// when one fails. A fetched file that already is its destination (the
// updates folder is the program's folder) stays as it is. A file that would
// come from outside the updates folder or land outside the program's folder
// (.., absolute paths, symbolic links) stops the whole installation.
//
// Exit status: 0 installed, 1 nothing installed (refused or failed),
// 2 unusable arguments, 3 the process did not end.

#include "Files.h"
#include "Platform.h"
#include "Updater.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace corvane;

// How long the program gets to close before the installation is given up.
constexpr int kWaitForProcessMs = 5 * 60 * 1000;

class TLog {
public:
    explicit TLog(const std::string& path) : FFile(std::fopen(path.c_str(), "ab")) {}
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
        if (localtime_r(&now, &tm))
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

std::string ErrnoText() {
    return std::strerror(errno);
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
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

// Process ended: its pidfd turns readable at its end (a zombie counts as
// ended); without pidfd, poll for it.
bool IsZombie(int pid) {
    // A few hundred bytes; the limit only guards against the unexpected.
    const std::optional<std::string> text =
        ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", 64 * 1024);
    if (!text)
        return false;
    const auto paren = text->rfind(')');
    return paren != std::string::npos && paren + 2 < text->size() && (*text)[paren + 2] == 'Z';
}

bool WaitForProcessEnd(int pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ::close(fd);
                return false;
            }
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR)
                continue;
            ::close(fd);
            return r > 0;
        }
    }
    if (errno == ESRCH)
        return true;
#endif
    while (std::chrono::steady_clock::now() < deadline) {
        if ((::kill(pid, 0) != 0 && errno == ESRCH) || IsZombie(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

struct TMove {
    std::string File;   // as given with -f
    std::string Source; // the fetched file
    std::string Dest;   // where it is installed
    std::string Staged; // the copy beside Dest until the commit
    std::string Old;    // the file Dest held, kept aside until every file is in place
    mode_t Mode = 0644;
    bool InPlace = false; // Source is Dest: nothing to do
};

// Works out where a fetched file comes from and goes to. False with `why`
// set when it must not be installed; true with Source empty when there is
// no such file (an item that was not fetched).
bool Plan(const std::string& file, const std::string& updates, const std::string& updatesReal,
          const std::string& program, const std::string& programReal, TMove& move,
          std::string& why) {
    move.File = file;
    if (file.empty() || file[0] != '/') {
        why = "is not an absolute path";
        return false;
    }
    if (!file.starts_with(updates) || !PlainRelativePath(file.substr(updates.size()))) {
        why = "does not lie below the updates folder " + updates;
        return false;
    }
    std::string rel = file.substr(updates.size());

    struct stat st {};
    std::string source = file + ".temp";
    if (::lstat(source.c_str(), &st) != 0) {
        source = file;
        if (::lstat(source.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return true;
            why = "cannot be examined: " + ErrnoText();
            return false;
        }
        if (rel.size() > 5 && rel.ends_with(".temp"))
            rel.resize(rel.size() - 5);
    }
    if (!S_ISREG(st.st_mode)) {
        why = S_ISLNK(st.st_mode) ? "is a symbolic link" : "is not a regular file";
        return false;
    }
    move.Mode = st.st_mode & 0777;
    const struct stat sourceStat = st;
    // No folder on the way may lead somewhere else.
    const auto slash = rel.rfind('/');
    const std::string relDir = slash == std::string::npos ? "" : rel.substr(0, slash + 1);
    if (WithSlash(RealPath(source.substr(0, source.rfind('/')))) != updatesReal + relDir) {
        why = "lies in a folder that leads outside the updates folder";
        return false;
    }

    std::string folder = programReal;
    const std::vector<std::string> dirs =
        relDir.empty() ? std::vector<std::string>{} : SplitPath(rel.substr(0, slash));
    for (const std::string& part : dirs) {
        folder += part;
        if (::lstat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            why = "would be installed through " + folder + ", which is no plain folder";
            return false;
        }
        folder += '/';
    }
    move.Dest = program + rel;
    if (::lstat(move.Dest.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            why = "would replace " + move.Dest + ", which is no regular file";
            return false;
        }
        move.Mode = st.st_mode & 07777; // an executable stays executable
        // Fetched straight into the program's folder: copying it onto itself
        // and removing the source would remove the installed file.
        move.InPlace = st.st_dev == sourceStat.st_dev && st.st_ino == sourceStat.st_ino;
    }
    move.Source = source;
    return true;
}

bool CopyFile(const std::string& from, const std::string& to, mode_t mode, std::string& why) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        why = "open " + from + ": " + ErrnoText();
        return false;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        why = "create " + to + ": " + ErrnoText();
        ::close(in);
        return false;
    }
    bool ok = true;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = "read " + from + ": " + ErrnoText();
            ok = false;
            break;
        }
        if (n == 0)
            break;
        const char* p = buf;
        while (n > 0) {
            const ssize_t w = ::write(out, p, static_cast<size_t>(n));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                why = "write " + to + ": " + ErrnoText();
                ok = false;
                break;
            }
            p += w;
            n -= w;
        }
        if (!ok)
            break;
    }
    if (ok && (::fchmod(out, mode) != 0 || ::fsync(out) != 0)) {
        why = "finish " + to + ": " + ErrnoText();
        ok = false;
    }
    ::close(in);
    if (::close(out) != 0 && ok) {
        why = "close " + to + ": " + ErrnoText();
        ok = false;
    }
    return ok;
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
                ::unlink(move.Staged.c_str());
            if (!move.Old.empty())
                ::unlink(move.Old.c_str());
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
        if (!CopyFile(move.Source, move.Staged, move.Mode, why)) {
            log("Failed: " + why);
            staged = false;
            break;
        }
        // A second name for the old file, so that it can come back.
        struct stat st {};
        if (::lstat(move.Dest.c_str(), &st) == 0) {
            move.Old = folder + "/." + name + ".filecopy-old";
            ::unlink(move.Old.c_str());
            if (::link(move.Dest.c_str(), move.Old.c_str()) != 0) {
                log("Failed: keep " + move.Dest + " aside as " + move.Old + ": " + ErrnoText());
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
        if (::rename(moves[i].Staged.c_str(), moves[i].Dest.c_str()) == 0)
            continue;
        log("Failed: rename " + moves[i].Staged + " to " + moves[i].Dest + ": " + ErrnoText());
        // All or nothing: what was moved goes back.
        for (size_t j = i; j-- > 0;) {
            TMove& done = moves[j];
            if (done.Old.empty() ? ::unlink(done.Dest.c_str()) == 0
                                 : ::rename(done.Old.c_str(), done.Dest.c_str()) == 0)
                continue;
            log("Failed: put back " + done.Dest + ": " + ErrnoText() +
                (done.Old.empty() ? "" : "; the old file stays as " + done.Old));
            done.Old.clear();
        }
        removeAside();
        log("Rolled back; nothing is installed");
        return 1;
    }
    for (const TMove& move : moves) {
        if (!move.Old.empty())
            ::unlink(move.Old.c_str());
        ::unlink(move.Source.c_str());
        log("Installed " + move.Source + " as " + move.Dest);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string updates = GetUpdatesFolder();
    TLog log(updates + "FileCopy.log");

    std::vector<std::string> args(argv + 1, argv + argc);
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
    struct stat st {};
    if (parsed.Program.empty() || parsed.Program[0] != '/' ||
        ::stat(parsed.Program.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
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
