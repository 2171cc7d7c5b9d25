#pragma once

// The simulator's command line.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace corvane::sim {

struct TSimOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    bool https = false;
    std::string certFile;
    std::string keyFile;
    std::string certOut; // where a generated certificate is written
    std::string user = "supervisor";
    std::string password = "secret";
    std::string callsFile;
    bool randomCalls = false;
    int maxCalls = 5;
    double meanGap = 8;
    double meanLength = 40;
    bool seedGiven = false;
    uint64_t seed = 0;
    bool hold = true;
    double timeScale = 1; // poll holds and stalls last 1/timeScale of their time
    bool aLaw = true;
    int channels = 1;
    std::string logFile;
};

enum class TParseResult { Run, Help, Error };

// Accepts "--name value" and "--name=value". Errors are written to `err`.
TParseResult ParseOptions(const std::vector<std::string>& args, TSimOptions& options,
                          std::ostream& err);
void PrintUsage(std::ostream& out);

constexpr int kMaxChannels = 8;

} // namespace corvane::sim
