#include "ConnectionSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::sim {

namespace {

bool AddressMatches(const sockaddr_storage& ss, const std::string& addr, int port) {
    char text[INET6_ADDRSTRLEN] = {};
    int p = -1;
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        p = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        p = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    if (p != port)
        return false;
    if (addr.empty())
        return true;
    // An IPv4 peer on a dual-stack socket shows as ::ffff:a.b.c.d.
    const std::string t = text;
    return t == addr || t == "::ffff:" + addr || "::ffff:" + t == addr;
}

int LocalPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return -1;
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
    return -1;
}

} // namespace

int FindConnectionSocket(const std::string& remoteAddr, int remotePort, int localPort) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        char* end = nullptr;
        const std::string name = entry.path().filename().string();
        const long fd = std::strtol(name.c_str(), &end, 10);
        if (end == name.c_str() || *end != '\0')
            continue;
        struct stat st {};
        if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
            continue;
        if (!AddressMatches(peer, remoteAddr, remotePort))
            continue;
        if (localPort > 0 && LocalPort(static_cast<int>(fd)) != localPort)
            continue;
        return static_cast<int>(fd);
    }
    return -1;
}

bool ResetConnection(int fd) {
    // Linger on with a zero time makes the close send RST instead of FIN and
    // drop whatever is still queued.
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        return false;
    const int placeholder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (placeholder < 0)
        return false;
    // dup3 closes the connection's last reference atomically and leaves the
    // number pointing at the unconnected placeholder.
    const bool ok = ::dup3(placeholder, fd, O_CLOEXEC) == fd;
    ::close(placeholder);
    return ok;
}

bool WaitForPeerClose(int fd, int stopFd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // Only a hang-up of the peer counts: bytes it may still send (on TLS,
        // records the library must read itself) are left alone.
        pollfd fds[2] = {{fd, POLLRDHUP, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, stopFd >= 0 ? 2 : 1,
                             static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        if (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))
            return true;
        if (stopFd >= 0 && (fds[1].revents & POLLIN))
            return false;
    }
}

} // namespace corvane::sim
