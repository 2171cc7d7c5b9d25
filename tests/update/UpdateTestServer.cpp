#include "UpdateTestServer.h"

#include <httplib.h>

#include <chrono>
#include <stdexcept>

namespace corvane::test {

UpdateTestServer::UpdateTestServer() : FServer(std::make_unique<httplib::Server>()) {
    FServer->new_task_queue = [] { return new httplib::ThreadPool(8); };
    FServer->Get(R"(/gated)", [this](const httplib::Request& req, httplib::Response& res) {
        std::unique_lock lock(FMutex);
        FPaths.push_back(req.path);
        const int pieces = FPieces;
        const size_t size = FPieceSize;
        lock.unlock();
        res.set_content_provider(
            static_cast<size_t>(pieces) * size, "application/octet-stream",
            [this, size](size_t offset, size_t, httplib::DataSink& sink) {
                const int piece = static_cast<int>(offset / size);
                {
                    std::unique_lock wait(FMutex);
                    FCv.wait_for(wait, std::chrono::seconds(20),
                                 [&] { return FStopping || FReleased >= piece; });
                    if (FStopping)
                        return false;
                }
                const std::string bytes(size, static_cast<char>('a' + piece % 26));
                return sink.write(bytes.data(), bytes.size());
            });
    });
    FServer->Get(R"(/cut)", [this](const httplib::Request& req, httplib::Response& res) {
        std::unique_lock lock(FMutex);
        FPaths.push_back(req.path);
        const size_t announced = FAnnounced;
        const size_t sent = FSent;
        lock.unlock();
        res.set_content_provider(announced, "application/octet-stream",
                                 [sent](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset >= sent)
                                         return false; // breaks the connection
                                     const std::string bytes(sent - offset, 'c');
                                     return sink.write(bytes.data(), bytes.size());
                                 });
    });
    FServer->Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(FMutex);
        FPaths.push_back(req.path);
        const auto it = FFiles.find(req.path);
        if (it == FFiles.end()) {
            res.status = 404;
            res.set_content("not here", "text/plain");
            return;
        }
        res.status = it->second.first;
        res.set_content(it->second.second, "application/octet-stream");
    });
    FPort = FServer->bind_to_any_port("127.0.0.1");
    if (FPort <= 0)
        throw std::runtime_error("the update test server could not bind");
    FThread = std::thread([this] { FServer->listen_after_bind(); });
    while (!FServer->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

UpdateTestServer::~UpdateTestServer() {
    {
        std::lock_guard lock(FMutex);
        FStopping = true;
    }
    FCv.notify_all();
    FServer->stop();
    FThread.join();
}

void UpdateTestServer::Put(const std::string& path, const std::string& body, int status) {
    std::lock_guard lock(FMutex);
    FFiles[path] = {status, body};
}

void UpdateTestServer::SetGated(int pieces, size_t pieceSize) {
    std::lock_guard lock(FMutex);
    FPieces = pieces;
    FPieceSize = pieceSize;
    FReleased = 0;
}

void UpdateTestServer::Release() {
    {
        std::lock_guard lock(FMutex);
        ++FReleased;
    }
    FCv.notify_all();
}

void UpdateTestServer::SetCut(size_t announced, size_t sent) {
    std::lock_guard lock(FMutex);
    FAnnounced = announced;
    FSent = sent;
}

std::string UpdateTestServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

std::vector<std::string> UpdateTestServer::Paths() const {
    std::lock_guard lock(FMutex);
    return FPaths;
}

std::string UpdateTestServer::GatedBody(int pieces, size_t pieceSize) {
    std::string body;
    for (int i = 0; i < pieces; ++i)
        body.append(pieceSize, static_cast<char>('a' + i % 26));
    return body;
}

} // namespace corvane::test
