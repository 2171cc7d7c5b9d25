#include "FeedRecorder.h"

#include <cerrno>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace corvane::test {

namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr int NoSignal = 0;
constexpr int ShutBoth = SD_BOTH;
void CloseSocket(std::intptr_t s) {
    ::closesocket(static_cast<Socket>(s));
}
std::intptr_t NewListener() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return -1;
    const Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s);
}
std::intptr_t Accept(std::intptr_t listener) {
    const Socket s = ::accept(static_cast<Socket>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s);
}
// Whether the peer has closed its side, without waiting.
bool Readable(std::intptr_t s);
bool PeerGone(std::intptr_t s) {
    if (!Readable(s))
        return false;
    char c;
    return ::recv(static_cast<Socket>(s), &c, 1, MSG_PEEK) <= 0;
}
#else
using Socket = int;
constexpr int NoSignal = MSG_NOSIGNAL;
constexpr int ShutBoth = SHUT_RDWR;
void CloseSocket(std::intptr_t s) {
    ::close(static_cast<Socket>(s));
}
std::intptr_t NewListener() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
std::intptr_t Accept(std::intptr_t listener) {
    return ::accept4(static_cast<Socket>(listener), nullptr, nullptr, SOCK_CLOEXEC);
}
bool PeerGone(std::intptr_t s) {
    char c;
    const ssize_t n = ::recv(static_cast<Socket>(s), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}
#endif

// Whether a socket has something to read (for a listener: a connection waits),
// without waiting.
bool Readable(std::intptr_t s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<Socket>(s), &readable);
    timeval now{0, 0};
    return ::select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, &now) > 0;
}

bool SendAll(std::intptr_t fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = ::send(static_cast<Socket>(fd), bytes.data() + sent,
                              static_cast<int>(bytes.size() - sent), NoSignal);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The request line's target, or "" when the peer went first.
std::string ReadTarget(std::intptr_t fd) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (::recv(static_cast<Socket>(fd), &c, 1, 0) <= 0)
            return {};
        head += c;
    }
    const size_t first = head.find(' ');
    const size_t second = head.find(' ', first + 1);
    return head.substr(first + 1, second - first - 1);
}

} // namespace

FeedRecorder::FeedRecorder() {
    FListen = NewListener();
    const auto listener = static_cast<Socket>(FListen);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (FListen < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 8) != 0)
        throw std::runtime_error("feed recorder: cannot listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FThread = std::thread(&FeedRecorder::Serve, this);
}

FeedRecorder::~FeedRecorder() {
    {
        std::lock_guard lock(FMutex);
        FStopping = true;
        if (FClient >= 0)
            ::shutdown(static_cast<Socket>(FClient), ShutBoth);
    }
    FCv.notify_all();
    ::shutdown(static_cast<Socket>(FListen), ShutBoth);
#ifdef _WIN32
    // Winsock's shutdown does not wake a blocked accept; closing does.
    CloseSocket(FListen);
    FThread.join();
#else
    FThread.join();
    CloseSocket(FListen);
#endif
}

void FeedRecorder::Push(std::string bytes) {
    {
        std::lock_guard lock(FMutex);
        FQueue.emplace_back(std::move(bytes));
    }
    FCv.notify_all();
}

void FeedRecorder::End() {
    {
        std::lock_guard lock(FMutex);
        FQueue.emplace_back(std::nullopt);
    }
    FCv.notify_all();
}

std::vector<std::string> FeedRecorder::Targets() const {
    std::lock_guard lock(FMutex);
    return FTargets;
}

bool FeedRecorder::WaitForRequests(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(FMutex);
    return FCv.wait_for(lock, timeout, [&] { return FTargets.size() >= n; });
}

void FeedRecorder::Serve() {
    for (;;) {
        const std::intptr_t fd = Accept(FListen);
        if (fd < 0)
            return; // shut down
        {
            std::lock_guard lock(FMutex);
            if (FStopping) {
                CloseSocket(fd);
                return;
            }
            FClient = fd;
        }
        const std::string target = ReadTarget(fd);
        {
            std::lock_guard lock(FMutex);
            FTargets.push_back(target);
        }
        FCv.notify_all();
        bool open = !target.empty() &&
                    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                "Connection: close\r\n\r\n");
        while (open) {
            std::optional<std::string> piece;
            {
                std::unique_lock lock(FMutex);
                FCv.wait_for(lock, std::chrono::milliseconds(20),
                             [&] { return FStopping || !FQueue.empty(); });
                if (FStopping)
                    break;
                if (FQueue.empty()) {
                    // A client that went away leaves the queue to the next one;
                    // so does one that a newer client replaced without closing
                    // its connection (Wine's WinHTTP keeps an abandoned one open).
                    if (PeerGone(fd) || Readable(FListen))
                        break;
                    continue;
                }
                piece = std::move(FQueue.front());
                FQueue.pop_front();
            }
            open = piece && SendAll(fd, *piece);
        }
        {
            std::lock_guard lock(FMutex);
            FClient = -1;
        }
        CloseSocket(fd);
    }
}

} // namespace corvane::test
