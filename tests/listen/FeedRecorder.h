#pragma once

// A recorder stand-in on 127.0.0.1 whose live-audio answers the test writes
// piece by piece: it takes one connection at a time, reads the request, sends
// an HTTP/1.0 status line and headers, then whatever the test pushes, and
// closes the connection when the test ends the answer. Used where the test
// must decide what the stream holds (headers the recorder simulator never
// sends) or exactly when it goes on.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvane::test {

class FeedRecorder {
public:
    FeedRecorder();
    // Closes any connection and stops.
    ~FeedRecorder();
    FeedRecorder(const FeedRecorder&) = delete;
    FeedRecorder& operator=(const FeedRecorder&) = delete;

    std::string Server() const { return "127.0.0.1:" + std::to_string(FPort); }

    // Body bytes for the current connection (or the next, if none is open).
    void Push(std::string bytes);
    // Ends the answer after what was pushed: the connection is closed.
    void End();
    // Request targets received so far, and a wait for the n-th.
    std::vector<std::string> Targets() const;
    bool WaitForRequests(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    void Serve();

    std::intptr_t FListen = -1; // a socket: an int here, a SOCKET on Windows
    int FPort = 0;
    bool FStopping = false;
    std::intptr_t FClient = -1;
    mutable std::mutex FMutex;
    std::condition_variable FCv;
    std::deque<std::optional<std::string>> FQueue; // nullopt: end of the answer
    std::vector<std::string> FTargets;
    std::thread FThread;
};

} // namespace corvane::test
