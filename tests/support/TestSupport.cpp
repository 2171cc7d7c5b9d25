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

QuorinSim::~QuorinSim() = default;

} // namespace corvane::test
