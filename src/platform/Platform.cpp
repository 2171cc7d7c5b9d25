#include "Platform.h"

#include <cerrno>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane {

namespace {

std::string EnvOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

} // namespace

std::string UserAppDataFolder() {
    std::string xdg = EnvOrEmpty("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative path here.
    if (!xdg.empty() && xdg[0] == '/') {
        while (xdg.size() > 1 && xdg.back() == '/')
            xdg.pop_back();
        return xdg;
    }
    std::string home = EnvOrEmpty("HOME");
    if (home.empty()) {
        if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir)
            home = pw->pw_dir;
    }
    if (home.empty())
        return {};
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home + "/.config";
}

std::string GetAppDataFolder() {
    const std::string appData = UserAppDataFolder();
    if (appData.empty())
        return {};
    const std::string path = appData + "/Brindlex";
    if (!DirectoryExists(path) && ::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return {};
    return path + "/";
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
    if (path.empty())
        return false;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (DirectoryExists(p))
        return true;
    const auto slash = p.rfind('/');
    if (slash != std::string::npos && slash > 0 && !ForceDirectories(p.substr(0, slash)))
        return false;
    return ::mkdir(p.c_str(), 0755) == 0 || (errno == EEXIST && DirectoryExists(p));
}

std::string ProgramPath() {
    std::string buf(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0)
        return {};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

std::string ProgramFolder() {
    const std::string exe = ProgramPath();
    const auto slash = exe.rfind('/');
    if (slash == std::string::npos)
        return "./";
    return exe.substr(0, slash + 1);
}

int CurrentProcessId() {
    return static_cast<int>(::getpid());
}

std::string CurrentUserName() {
    const passwd* pw = getpwuid(geteuid());
    if (!pw || !pw->pw_name)
        return {};
    // The name is read into a 128-byte buffer on the system this program
    // comes from; a longer name did not fit there either.
    std::string name = pw->pw_name;
    if (name.size() > 127)
        return {};
    return name;
}

std::u16string AnsiToWide(std::string_view text) {
    return Utf8ToWide(text);
}
std::string WideToAnsi(std::u16string_view text) {
    return WideToUtf8(text);
}

bool StartProgram(const std::string& program, const std::string& parameters) {
    std::vector<std::string> args = SplitParameterText(parameters);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // A new session, so the started program outlives us and our terminal.
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return false;
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return false;
    // Reap it when it ends, so a long-running caller collects no zombies.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

} // namespace corvane
