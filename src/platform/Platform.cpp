#include "Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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

std::mutex g_debugMutex;
DebugOutputHandler g_debugHandler;

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
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

std::string ProgramVersion() {
    return CORVANE_VERSION;
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

std::u16string Utf8ToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        int len = 0;
        char32_t cp = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
            if (c == 0xE0)
                lo = 0xA0;
            if (c == 0xED)
                hi = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
            if (c == 0xF0)
                lo = 0x90;
            if (c == 0xF4)
                hi = 0x8F;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        // Replace the maximal valid prefix of a broken sequence by one U+FFFD.
        size_t j = 1;
        bool ok = true;
        for (; j < static_cast<size_t>(len); ++j) {
            if (i + j >= n) {
                ok = false;
                break;
            }
            const unsigned char cc = s[i + j];
            const unsigned char l = (j == 1) ? lo : 0x80;
            const unsigned char h = (j == 1) ? hi : 0xBF;
            if (cc < l || cc > h) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) {
            out.push_back(kReplacement);
            i += j;
            continue;
        }
        AppendUtf16(out, cp);
        i += static_cast<size_t>(len);
    }
    return out;
}

std::string WideToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                const char32_t cp =
                    0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                AppendUtf8(out, cp);
                ++i;
            } else {
                AppendUtf8(out, kReplacement);
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::u16string AnsiToWide(std::string_view text) {
    return Utf8ToWide(text);
}
std::string WideToAnsi(std::u16string_view text) {
    return WideToUtf8(text);
}

void DebugOutput(std::string_view text) {
    std::lock_guard lock(g_debugMutex);
    if (g_debugHandler) {
        g_debugHandler(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
}

DebugOutputHandler SetDebugOutputHandler(DebugOutputHandler handler) {
    std::lock_guard lock(g_debugMutex);
    DebugOutputHandler old = std::move(g_debugHandler);
    g_debugHandler = std::move(handler);
    return old;
}

std::vector<std::string> SplitParameterText(std::string_view p) {
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = p.size();
    while (true) {
        while (i < n && (p[i] == ' ' || p[i] == '\t'))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            const char c = p[i];
            if (!quoted && (c == ' ' || c == '\t'))
                break;
            if (c == '\\') {
                size_t slashes = 0;
                while (i < n && p[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && p[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg.push_back('"');
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && p[i + 1] == '"') {
                    arg.push_back('"');
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg.push_back(c);
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
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
