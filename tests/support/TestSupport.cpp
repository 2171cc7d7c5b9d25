#include "TestSupport.h"

#include "MainThread.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane::test {

std::string BinDir() {
    return CORVANE_BIN_DIR;
}
std::string TestDataDir() {
    return CORVANE_TEST_DATA_DIR;
}
std::string SourceDir() {
    return CORVANE_SOURCE_DIR;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/corvane-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    FPath = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make read-only folders writable again so that they can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(FPath, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(FPath, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(FPath, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    std::vector<std::string> argStore;
    argStore.push_back(program);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        envStore.emplace_back(*e);
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = posix_spawn(&FPid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    }
    FReader = std::thread([this, fd = out[0]] { Reader(fd); });
}

ChildProcess::~ChildProcess() {
    Stop();
    if (FReader.joinable())
        FReader.join();
}

void ChildProcess::Reader(int fd) {
    std::string pending;
    char buf[4096];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buf, static_cast<size_t>(n));
        size_t pos;
        while ((pos = pending.find('\n')) != std::string::npos) {
            std::lock_guard lock(FMutex);
            FLines.push_back(pending.substr(0, pos));
            pending.erase(0, pos + 1);
        }
    }
    ::close(fd);
    std::lock_guard lock(FMutex);
    if (!pending.empty())
        FLines.push_back(pending);
    FReaderDone = true;
    FReaderDoneCv.notify_all();
}

void ChildProcess::AwaitReaderAfterExit() {
    if (Running())
        return;
    // A grandchild may keep the pipe open; do not wait for it for ever.
    std::unique_lock lock(FMutex);
    FReaderDoneCv.wait_for(lock, std::chrono::seconds(2), [this] { return FReaderDone; });
}

std::string ChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        {
            std::lock_guard lock(FMutex);
            for (const auto& l : FLines)
                if (l.find(text) != std::string::npos)
                    return l;
        }
        if (std::chrono::steady_clock::now() >= deadline || !Running())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    AwaitReaderAfterExit();
    std::lock_guard lock(FMutex);
    for (const auto& l : FLines)
        if (l.find(text) != std::string::npos)
            return l;
    return {};
}

std::vector<std::string> ChildProcess::Lines() {
    AwaitReaderAfterExit();
    std::lock_guard lock(FMutex);
    return FLines;
}

bool ChildProcess::Running() {
    if (FReaped)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(FPid, &status, WNOHANG);
    if (r == FPid) {
        FReaped = true;
        FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return r == 0;
}

void ChildProcess::Stop() {
    if (FPid <= 0 || !Running())
        return;
    ::kill(FPid, SIGTERM);
    for (int i = 0; i < 200 && Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Running()) {
        ::kill(FPid, SIGKILL);
        int status = 0;
        ::waitpid(FPid, &status, 0);
        FReaped = true;
    }
}

std::string HttpGetRaw(int port, const std::string& target, int* status) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("connect to port " + std::to_string(port) + " failed");
    }
    const std::string req = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        ::close(fd);
        throw std::runtime_error("send failed");
    }
    std::string answer;
    char buf[8192];
    int lastErrno = 0;
    while (true) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            lastErrno = errno;
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    const auto end = answer.find("\r\n\r\n");
    if (end == std::string::npos)
        throw std::runtime_error("no HTTP answer from port " + std::to_string(port) + " (" +
                                 std::to_string(answer.size()) + " bytes, " +
                                 (lastErrno ? std::strerror(lastErrno) : "closed") + ")");
    if (status) {
        const auto sp = answer.find(' ');
        *status = sp != std::string::npos ? std::atoi(answer.c_str() + sp + 1) : 0;
    }
    return answer.substr(end + 4);
}

std::string UrlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string QueryValue(const std::string& query, const std::string& key) {
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        if (amp == std::string::npos)
            amp = query.size();
        const std::string part = query.substr(pos, amp - pos);
        const auto eq = part.find('=');
        if (eq != std::string::npos && part.substr(0, eq) == key)
            return UrlDecode(part.substr(eq + 1));
        pos = amp + 1;
    }
    return {};
}

QuorinSim::QuorinSim(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--port", "0"};
    all.insert(all.end(), args.begin(), args.end());
    FProcess = std::make_unique<ChildProcess>(BinDir() + "/quorin-sim", all);
    const std::string line =
        FProcess->WaitForLine("quorin-sim listening on", std::chrono::seconds(15));
    const auto colon = line.rfind(':');
    if (line.empty() || colon == std::string::npos)
        throw std::runtime_error("quorin-sim did not start");
    FPort = std::atoi(line.c_str() + colon + 1);
}

std::string QuorinSim::Request::Query() const {
    const auto q = target.find('?');
    return q == std::string::npos ? std::string() : target.substr(q + 1);
}

std::vector<QuorinSim::Request> QuorinSim::Requests() const {
    std::vector<Request> out;
    std::istringstream in(Control("/sim/requests"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::vector<std::string> f;
        size_t pos = 0;
        while (true) {
            const auto tab = line.find('\t', pos);
            f.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
            if (tab == std::string::npos)
                break;
            pos = tab + 1;
        }
        Request r;
        r.ms = f.size() > 0 ? std::atol(f[0].c_str()) : 0;
        r.target = f.size() > 1 ? f[1] : "";
        r.cookie = f.size() > 2 ? f[2] : "";
        r.version = f.size() > 3 ? f[3] : "";
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<QuorinSim::Request> QuorinSim::Requests(const std::string& info) const {
    std::vector<Request> out;
    for (auto& r : Requests())
        if (r.Param("info") == info)
            out.push_back(r);
    return out;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        WaitAndCheckSynchronize(5);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline)
        WaitAndCheckSynchronize(5);
}

} // namespace corvane::test
