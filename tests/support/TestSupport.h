#pragma once

// Helpers shared by the tests: temporary folders, free loopback ports, a child
// process (the recorder simulator) and a main-thread pump.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace corvane::test {

// Folder of the built executables (build/bin) and of the test data files.
std::string BinDir();
std::string TestDataDir();
std::string SourceDir();

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it when
// the object goes. Path() ends without a slash.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

// A child process whose standard output and error lines are collected.
// The destructor stops it (SIGTERM, then SIGKILL after 2 s) and reaps it.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return FPid; }
    // Waits for an output line containing `text`; returns that line, or "" on time-out.
    std::string WaitForLine(const std::string& text, std::chrono::milliseconds timeout);
    // Every line so far; once the process has ended, everything it wrote.
    std::vector<std::string> Lines();
    bool Running();
    void Stop();
    // Exit status after it ended (-1 while running or when killed by a signal).
    int ExitCode() const { return FExitCode; }

private:
    void Reader(int fd);
    // After the process ended: gives the reader a moment to drain the pipe.
    void AwaitReaderAfterExit();

    pid_t FPid = -1;
    void* FProcess = nullptr; // Windows: the process handle
    int FExitCode = -1;
    bool FReaped = false;
    mutable std::mutex FMutex;
    std::condition_variable FReaderDoneCv;
    bool FReaderDone = false;
    std::vector<std::string> FLines;
    std::thread FReader;
};

// A plain HTTP/1.0 GET to 127.0.0.1:port over a raw socket; returns the body
// (status line and headers dropped). Throws on a connection failure.
std::string HttpGetRaw(int port, const std::string& target, int* status = nullptr);

// Decodes %XX and "+" of a query value.
std::string UrlDecode(const std::string& text);
// The value of `key` in a query text ("a=1&b=2"), decoded; "" when absent.
std::string QueryValue(const std::string& query, const std::string& key);

// The recorder simulator (build/bin/quorin-sim) on a free port of 127.0.0.1.
// A Windows build asks the build machine's launcher to start it
// (tests/windows/host_launcher.py, port in CORVANE_HOST_LAUNCHER); Process()
// is then not available.
class QuorinSim {
public:
    explicit QuorinSim(const std::vector<std::string>& args = {});
    ~QuorinSim();
    int Port() const { return FPort; }
    // "127.0.0.1:<port>", the server text of a client configuration.
    std::string Server() const { return "127.0.0.1:" + std::to_string(FPort); }
    // GET of a control request such as "/sim/calls/add?id=1".
    std::string Control(const std::string& target) const { return HttpGetRaw(FPort, target); }

    struct Request {
        long ms = 0;         // milliseconds since the simulator started
        std::string target;  // raw request target
        std::string cookie;  // Cookie header
        std::string version; // HTTP version
        std::string Query() const;
        std::string Param(const std::string& key) const { return QueryValue(Query(), key); }
    };
    // The /client.php requests received so far.
    std::vector<Request> Requests() const;
    // Requests whose query names info=<info>.
    std::vector<Request> Requests(const std::string& info) const;
    ChildProcess& Process() { return *FProcess; }

private:
    std::unique_ptr<ChildProcess> FProcess;
    int FPort = 0;
    int FRemoteId = 0; // Windows: the launcher's id of the simulator
};

// Runs the main-thread queue until `done` is true or the time is up.
// Returns the final value of `done`.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Runs the main-thread queue for the given time.
void PumpFor(std::chrono::milliseconds duration);

} // namespace corvane::test
