#include "NetTestServers.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace corvane::test {

std::string SeenRequest::Header(const std::string& name) const {
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    };
    for (const auto& [key, value] : Headers)
        if (std::equal(key.begin(), key.end(), name.begin(), name.end(), same))
            return value;
    return {};
}

// ---------------------------------------------------------------------------
// Raw server

namespace {

// The socket calls that differ between POSIX and Winsock. A Winsock handle
// fits in an int (Windows keeps handle values within 32 bits).
#ifdef _WIN32
int OpenSocket(bool nonBlocking) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const SOCKET s = started ? ::socket(AF_INET, SOCK_STREAM, 0) : INVALID_SOCKET;
    if (s == INVALID_SOCKET)
        return -1;
    u_long on = nonBlocking ? 1 : 0;
    ::ioctlsocket(s, FIONBIO, &on);
    return static_cast<int>(s);
}
int AcceptSocket(int listening) {
    const SOCKET s = ::accept(static_cast<SOCKET>(listening), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
bool AcceptInterrupted() {
    const int error = WSAGetLastError();
    return error == WSAEINTR || error == WSAECONNRESET;
}
void CloseSocket(int fd) {
    ::closesocket(static_cast<SOCKET>(fd));
}
bool WaitWritable(int fd, int timeoutMs) {
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(fd);
    p.events = POLLOUT;
    return ::WSAPoll(&p, 1, timeoutMs) == 1;
}
// Winsock's shutdown does not wake an accept; closing the socket does.
void WakeAccept(int listening) {
    CloseSocket(listening);
}
void CloseListening(int) {}
constexpr int kShutBoth = SD_BOTH;
constexpr int kNoSignal = 0;
#else
int OpenSocket(bool nonBlocking) {
    return ::socket(AF_INET, SOCK_STREAM | (nonBlocking ? SOCK_NONBLOCK : SOCK_CLOEXEC), 0);
}
int AcceptSocket(int listening) {
    return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
}
bool AcceptInterrupted() {
    return errno == EINTR || errno == ECONNABORTED;
}
void CloseSocket(int fd) {
    ::close(fd);
}
bool WaitWritable(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}
void WakeAccept(int listening) {
    ::shutdown(listening, SHUT_RDWR);
}
void CloseListening(int listening) {
    CloseSocket(listening);
}
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

template <typename T> void SetOption(int fd, int level, int name, const T& value) {
    ::setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// Fills the accept queue of a listening socket that never accepts, so that a
// further connection attempt hangs. Returns the sockets that fill it.
std::vector<int> FillAcceptQueue(int port) {
    std::vector<int> fillers;
    for (int i = 0; i < 64; ++i) {
        const int fd = OpenSocket(true);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        const bool connected = WaitWritable(fd, 300);
        if (!connected) {
            CloseSocket(fd);
            return fillers;
        }
        fillers.push_back(fd);
    }
    throw std::runtime_error("the accept queue did not fill");
}

} // namespace

RawServer::RawServer(Handler handler, int backlog, bool accept) : FHandler(std::move(handler)) {
    FListen = OpenSocket(false);
    SetOption(FListen, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListen, backlog) != 0)
        throw std::runtime_error("raw server: bind/listen failed");
    socklen_t len = sizeof addr;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    if (accept) {
        FAcceptThread = std::thread([this] { AcceptLoop(); });
    } else {
        for (const int fd : FillAcceptQueue(FPort))
            FOpen.insert(fd);
    }
}

RawServer::~RawServer() {
    {
        std::lock_guard lock(FMutex);
        FStopping.store(true);
        for (const int fd : FOpen)
            ::shutdown(fd, kShutBoth);
    }
    FCv.notify_all();
    WakeAccept(FListen);
    if (FAcceptThread.joinable())
        FAcceptThread.join();
    CloseListening(FListen);
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(FMutex);
        threads.swap(FThreads);
    }
    for (auto& t : threads)
        t.join();
    // Whatever is left are the queue fillers of a server that never accepts.
    for (const int fd : FOpen)
        CloseSocket(fd);
}

std::string RawServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

void RawServer::AcceptLoop() {
    for (;;) {
        const int fd = AcceptSocket(FListen);
        if (fd < 0) {
            if (FStopping.load())
                return;
            if (AcceptInterrupted())
                continue;
            return;
        }
        std::lock_guard lock(FMutex);
        if (FStopping.load()) {
            CloseSocket(fd);
            return;
        }
        FOpen.insert(fd);
        ++FConnections;
        FThreads.emplace_back([this, fd] {
            try {
                FHandler(*this, fd);
            } catch (...) {
            }
            std::lock_guard lock(FMutex);
            FOpen.erase(fd);
            CloseSocket(fd);
        });
    }
}

std::string RawServer::ReadHead(int fd) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, &c, 1, 0);
        if (n <= 0)
            return {};
        head += c;
    }
    const std::string line = head.substr(0, head.find("\r\n"));
    {
        std::lock_guard lock(FMutex);
        FLines.push_back(line);
    }
    FCv.notify_all();
    return head;
}

bool RawServer::Send(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, kNoSignal);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void RawServer::ResetOnClose(int fd) {
    linger l{1, 0};
    SetOption(fd, SOL_SOCKET, SO_LINGER, l);
}

void RawServer::SetSendBuffer(int fd, int bytes) {
    SetOption(fd, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool RawServer::WaitForStop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(FMutex);
    return FCv.wait_for(lock, timeout, [this] { return FStopping.load(); });
}

std::vector<std::string> RawServer::RequestLines() const {
    std::lock_guard lock(FMutex);
    return FLines;
}

bool RawServer::WaitForRequests(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(FMutex);
    return FCv.wait_for(lock, timeout, [&] { return FLines.size() >= n; });
}

size_t RawServer::Connections() const {
    std::lock_guard lock(FMutex);
    return FConnections;
}

void SilentPeer(RawServer& server, int fd) {
    server.ReadHead(fd);
    server.WaitForStop();
}

void EndlessPeer(RawServer& server, int fd) {
    if (server.ReadHead(fd).empty())
        return;
    if (!RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n"))
        return;
    const std::string block(4096, 'e');
    while (!server.Stopping() && RawServer::Send(fd, block))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

} // namespace corvane::test
