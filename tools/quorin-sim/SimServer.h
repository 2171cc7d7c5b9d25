#pragma once

// The simulated recorder: GET /client.php the way the recorder answers it, the
// /sim/ control requests of the tests, and the faults they switch on.

#include "CallBook.h"
#include "SimLog.h"
#include "SimOptions.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace corvane::sim {

// What the latest live stream of one remid has sent (the audio bytes after the
// zero byte, the first kMaxKeptAudio of them).
struct TStreamRecord {
    std::mutex mutex;
    std::string bytes;
    size_t total = 0;
    bool running = true;
};

constexpr size_t kMaxKeptAudio = 4u << 20;
constexpr int kWorkerThreads = 128;
constexpr size_t kMaxRequestLines = 100000;

struct TFault {
    std::string mode = "none";
    long long count = -1; // requests left; -1: until changed
    std::string text = "InternalError";
    long long seconds = 60;
    long long ms = -1; // -1: the mode's default
    long long bytes = -1;
    long long records = -1;   // records: how many (-1: the mode's default)
    std::string id;           // records: every record's id; empty: 1, 2, 3 ...
    std::string key = "Note"; // field: its key
    std::string value;        // field: its value
};

class TSimServer {
public:
    TSimServer(const TSimOptions& options, TSimLog& log);
    ~TSimServer();
    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;

    // Loads the calls file, makes the HTTP(S) server and binds it. Throws
    // std::runtime_error with the reason.
    void Setup();
    int Port() const { return FPort; }
    std::string Url() const;

    // Serves until Stop(); false when the server could not run.
    bool Run();
    // Ends every held request and stream and stops the server. Any thread.
    void Stop();

    TCallBook& Book() { return FBook; }

private:
    struct TSettings {
        bool hold = true;
        bool aLaw = true;
        int channels = 1;
        std::string user;
        std::string password;
    };
    struct TStream;

    void Route();
    void HandleClient(const httplib::Request& req, httplib::Response& res);
    // A fault of the non-audio kind; true when it produced the whole answer.
    bool ApplyFault(const TFault& fault, const httplib::Request& req, httplib::Response& res,
                    bool rtCall);
    void HandlePoll(const httplib::Request& req, httplib::Response& res, bool hold);
    void HandleRtCall(const httplib::Request& req, httplib::Response& res,
                      const TFault* audioFault);
    // The answer a request gets at once, without holding or streaming audio.
    std::string ImmediateAnswer(const httplib::Request& req, bool rtCall);
    std::string PollAnswer();
    bool CredentialsOk(const httplib::Request& req);
    void SetSessionCookie(const httplib::Request& req, httplib::Response& res);
    void RecordRequest(const httplib::Request& req);
    bool TakeFault(bool rtCall, TFault& fault);
    int ConnectionSocket(const httplib::Request& req);
    int FindSocket(const std::string& remoteAddr, int remotePort, int localPort) const;

    void ControlRequests(const httplib::Request& req, httplib::Response& res);
    void ControlAdd(const httplib::Request& req, httplib::Response& res);
    void ControlConfig(const httplib::Request& req, httplib::Response& res);
    void ControlFault(const httplib::Request& req, httplib::Response& res);
    void ControlSent(const httplib::Request& req, httplib::Response& res);
    void ControlStreams(const httplib::Request& req, httplib::Response& res);

    void LoadCallsFile(const std::string& path);
    TSettings Settings() const;
    long long MsSinceStart() const;

    TSimOptions FOptions;
    TSimLog& FLog;
    TCallBook FBook;
    std::unique_ptr<httplib::Server> FServer;
    int FPort = 0;
    int FStopPipe[2] = {-1, -1}; // readable once Stop() has run
    std::chrono::steady_clock::time_point FStart;

    mutable std::mutex FMutex; // guards everything below
    TSettings FSettings;
    TFault FFault;
    std::vector<std::string> FRequests;
    std::set<std::string> FSessions;
    std::unordered_map<std::string, std::shared_ptr<TStreamRecord>> FLatestStreams;
    std::vector<std::pair<std::string, std::weak_ptr<TStreamRecord>>> FRunningStreams;
};

} // namespace corvane::sim
