// Peak memory of a GetASync request whose peer sends a burst faster than the
// main thread takes it (a recorder sending a backlog): a server on 127.0.0.1
// sends BURST MiB as fast as the connection allows, the main thread delivers
// at most RATE MiB/s to its handler. Prints the peak resident size of the
// process, which the bound on bytes waiting for the main thread keeps flat.
//
//   bench-net-burst [BURST_MIB] [RATE_MIB_PER_S]      (default 600, 64)

#include "HttpCli.h"
#include "MainThread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t MiB = 1024 * 1024;

// Sends a response head and then `total` bytes to the first client.
class BurstServer {
public:
    explicit BurstServer(size_t total) : FTotal(total) {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(FFd, 4) != 0) {
            std::perror("bind/listen");
            std::exit(1);
        }
        socklen_t len = sizeof addr;
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len);
        FPort = ntohs(addr.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~BurstServer() {
        ::shutdown(FFd, SHUT_RDWR);
        FThread.join();
        ::close(FFd);
    }
    int Port() const { return FPort; }

private:
    void Serve() {
        const int fd = ::accept(FFd, nullptr, nullptr);
        if (fd < 0)
            return;
        std::string head;
        char c = 0;
        while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1)
            head += c;
        const std::string response = "HTTP/1.0 200 OK\r\n\r\n";
        bool open = ::send(fd, response.data(), response.size(), MSG_NOSIGNAL) > 0;
        const std::string chunk(64 * 1024, 'b');
        for (size_t sent = 0; open && sent < FTotal;) {
            const ssize_t n =
                ::send(fd, chunk.data(), std::min(chunk.size(), FTotal - sent), MSG_NOSIGNAL);
            open = n > 0;
            if (open)
                sent += static_cast<size_t>(n);
        }
        ::close(fd);
    }

    size_t FTotal;
    int FFd = -1;
    int FPort = 0;
    std::thread FThread;
};

long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    const size_t burst = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 600) * MiB;
    const double rate = (argc > 2 ? std::strtod(argv[2], nullptr) : 64.0) * MiB;

    BurstServer server(burst);
    THttpCli client;
    size_t received = 0;
    bool done = false;
    std::string error;
    const Clock::time_point start = Clock::now();
    client.OnDocData = [&](THttpCli&, const char*, size_t len) {
        received += len;
        // A main thread with other work to do: it keeps up with `rate` only.
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(received / rate)));
    };
    client.OnRequestDone = [&](THttpCli&, const THttpResult& result) {
        done = true;
        if (!result.Ok)
            error = result.Error;
    };
    client.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/client.php";
    client.GetASync();
    while (!done)
        WaitAndCheckSynchronize(100);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("burst_mib %zu\n", burst / MiB);
    std::printf("received_mib %.1f\n", static_cast<double>(received) / MiB);
    std::printf("seconds %.1f\n", seconds);
    std::printf("pending_bound_mib %.1f\n",
                static_cast<double>(THttpCli::MaxPendingDelivery) / MiB);
    std::printf("peak_resident_mib %.1f\n", static_cast<double>(PeakResidentKiB()) / 1024);
    if (!error.empty()) {
        std::printf("error %s\n", error.c_str());
        return 1;
    }
    return received == burst ? 0 : 1;
}
