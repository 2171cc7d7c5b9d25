#include "FeedRecorder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace corvane::test {

namespace {

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The request line's target, or "" when the peer went first.
std::string ReadTarget(int fd) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (::recv(fd, &c, 1, 0) <= 0)
            return {};
        head += c;
    }
    const size_t first = head.find(' ');
    const size_t second = head.find(' ', first + 1);
    return head.substr(first + 1, second - first - 1);
}

} // namespace

FeedRecorder::FeedRecorder() {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListen, 8) != 0)
        throw std::runtime_error("feed recorder: cannot listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FThread = std::thread(&FeedRecorder::Serve, this);
}

FeedRecorder::~FeedRecorder() {
    {
        std::lock_guard lock(FMutex);
        FStopping = true;
        if (FClient >= 0)
            ::shutdown(FClient, SHUT_RDWR);
    }
    FCv.notify_all();
    ::shutdown(FListen, SHUT_RDWR);
    FThread.join();
    ::close(FListen);
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
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return; // shut down
        {
            std::lock_guard lock(FMutex);
            if (FStopping) {
                ::close(fd);
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
                    // A client that went away leaves the queue to the next one.
                    char c;
                    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
                    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
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
        ::close(fd);
    }
}

} // namespace corvane::test
