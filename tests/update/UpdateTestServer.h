#pragma once

// An HTTP server on 127.0.0.1 for the updater tests: files the test puts up,
// a download that moves one piece at a time when the test lets it, and a
// download that breaks off. Stopped by the destructor.

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace corvane::test {

class UpdateTestServer {
public:
    UpdateTestServer();
    ~UpdateTestServer();
    UpdateTestServer(const UpdateTestServer&) = delete;
    UpdateTestServer& operator=(const UpdateTestServer&) = delete;

    // GET `path` answers `status` with `body`.
    void Put(const std::string& path, const std::string& body, int status = 200);
    // GET /gated answers `pieces` pieces of `pieceSize` bytes (piece i is
    // filled with the letter 'a' + i); a piece after the first is sent only
    // after Release() was called once more (safety: after 20 s anyway).
    void SetGated(int pieces, size_t pieceSize);
    void Release();
    // GET /cut announces `announced` bytes, sends `sent` and closes.
    void SetCut(size_t announced, size_t sent);

    std::string Url(const std::string& path) const;
    int Port() const { return FPort; }
    // Request paths received so far.
    std::vector<std::string> Paths() const;

    static std::string GatedBody(int pieces, size_t pieceSize);

private:
    std::unique_ptr<httplib::Server> FServer;
    std::thread FThread;
    int FPort = 0;
    mutable std::mutex FMutex;
    std::condition_variable FCv;
    std::map<std::string, std::pair<int, std::string>> FFiles;
    std::vector<std::string> FPaths;
    int FPieces = 0;
    size_t FPieceSize = 0;
    int FReleased = 0;
    size_t FAnnounced = 0;
    size_t FSent = 0;
    bool FStopping = false;
};

} // namespace corvane::test
