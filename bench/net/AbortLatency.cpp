// Measures how long a GET that is blocked on a silent server takes to end
// after Abort is called from another thread: the time from the call to the
// moment the GET has thrown on its own thread.
//
//   bench-net-abort [rounds]      (default 200)

#include "HttpCli.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

// Accepts connections, reads each request head and never answers.
class SilentServer {
public:
    SilentServer() {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(FFd, 64) != 0) {
            std::perror("bind/listen");
            std::exit(1);
        }
        socklen_t len = sizeof addr;
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len);
        FPort = ntohs(addr.sin_port);
        FThread = std::thread([this] { Loop(); });
    }
    ~SilentServer() {
        ::shutdown(FFd, SHUT_RDWR);
        FThread.join();
        ::close(FFd);
        for (const int fd : FClients)
            ::close(fd);
    }
    int Port() const { return FPort; }
    // Blocks until `n` request heads have arrived in all.
    void WaitForRequests(int n) {
        std::unique_lock lock(FMutex);
        FCv.wait(lock, [&] { return FRequests >= n; });
    }

private:
    void Loop() {
        for (;;) {
            const int fd = ::accept(FFd, nullptr, nullptr);
            if (fd < 0)
                return;
            std::string head;
            char c;
            while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1)
                head += c;
            FClients.push_back(fd);
            std::lock_guard lock(FMutex);
            ++FRequests;
            FCv.notify_all();
        }
    }
    int FFd = -1;
    int FPort = 0;
    std::thread FThread;
    std::vector<int> FClients;
    std::mutex FMutex;
    std::condition_variable FCv;
    int FRequests = 0;
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    SilentServer server;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) +
                            "/client.php?info=AllActiveCalls&wait=10&know=xxx";
    for (const bool pieces : {false, true}) {
        std::vector<double> micros;
        for (int i = 0; i < rounds; ++i) {
            corvane::THttpCli client;
            client.URL = url;
            std::atomic<Clock::rep> ended{0};
            std::thread request([&] {
                try {
                    if (pieces) {
                        client.GetPieces([] {});
                    } else {
                        std::string body;
                        client.Get(body);
                    }
                } catch (const corvane::EHttpException&) {
                }
                ended = Clock::now().time_since_epoch().count();
            });
            server.WaitForRequests(i + 1 + (pieces ? rounds : 0));
            // Let the request settle into its wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const auto start = Clock::now();
            client.Abort();
            request.join();
            const auto end = Clock::time_point(Clock::duration(ended.load()));
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
        std::printf("Abort latency of a blocked %s over %d rounds (us): min %.0f  median %.0f  "
                    "p99 %.0f  max %.0f\n",
                    pieces ? "GetPieces" : "Get", rounds, Percentile(micros, 0.0),
                    Percentile(micros, 0.5), Percentile(micros, 0.99), Percentile(micros, 1.0));
    }
    return 0;
}
