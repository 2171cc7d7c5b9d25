#include "SimOptions.h"

#include "Query.h"

#include <cstdlib>
#include <functional>
#include <map>

namespace corvane::sim {

void PrintUsage(std::ostream& out) {
    out << "Usage: quorin-sim [options]\n"
           "A simulated Quorin call recorder for tests and the demo.\n"
           "\n"
           "  --host ADDR          address to listen on (default 127.0.0.1)\n"
           "  --port N             port; 0 picks a free one (default 0)\n"
           "  --https              serve HTTPS instead of HTTP\n"
           "  --cert FILE          PEM certificate for --https\n"
           "  --key FILE           PEM private key for --https\n"
           "                       (without both, a self-signed pair for localhost is made)\n"
           "  --cert-out FILE      write the generated certificate (PEM) to FILE\n"
           "  --user NAME          the one account's user name (default supervisor)\n"
           "  --password TEXT      the one account's password (default secret)\n"
           "  --calls FILE         initial calls, one per line, TAB-separated key=value\n"
           "  --random-calls       calls arrive and hang up at random\n"
           "  --max-calls N        with --random-calls, at most N calls at once (default 5)\n"
           "  --mean-gap S         with --random-calls, mean seconds between arrivals (default 8)\n"
           "  --mean-length S      with --random-calls, mean call length in seconds (default 40)\n"
           "  --seed N             seed of the random generator (default: the time)\n"
           "  --no-hold            answer every poll at once instead of holding it\n"
           "  --time-scale F       poll holds and stall faults last 1/F of their time,\n"
           "                       for clients on an F times faster clock (default 1)\n"
           "  --format alaw|ulaw   audio law of the live audio (default alaw)\n"
           "  --channels N         channel count of the live audio, 1 to 8 (default 1)\n"
           "  --log FILE           request log file (default standard output)\n"
           "  --help               this text\n";
}

namespace {

bool ToInt(const std::string& text, long long lo, long long hi, long long& out) {
    return ParseInteger(text, out) && out >= lo && out <= hi;
}

bool ToSeconds(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && out > 0 && out < 1e7;
}

bool ToFactor(const std::string& text, double& out) {
    char* end = nullptr;
    const double f = std::strtod(text.c_str(), &end);
    if (text.empty() || !end || *end != '\0' || !(f >= 1) || f > 1e6)
        return false;
    out = f;
    return true;
}

} // namespace

TParseResult ParseOptions(const std::vector<std::string>& args, TSimOptions& o, std::ostream& err) {
    using Setter = std::function<bool(const std::string&)>;
    const std::map<std::string, Setter> withValue = {
        {"--host",
         [&](const std::string& v) {
             o.host = v;
             return !v.empty();
         }},
        {"--port",
         [&](const std::string& v) {
             long long n;
             return ToInt(v, 0, 65535, n) && (o.port = static_cast<int>(n), true);
         }},
        {"--cert",
         [&](const std::string& v) {
             o.certFile = v;
             return !v.empty();
         }},
        {"--key",
         [&](const std::string& v) {
             o.keyFile = v;
             return !v.empty();
         }},
        {"--cert-out",
         [&](const std::string& v) {
             o.certOut = v;
             return !v.empty();
         }},
        {"--user",
         [&](const std::string& v) {
             o.user = v;
             return true;
         }},
        {"--password",
         [&](const std::string& v) {
             o.password = v;
             return true;
         }},
        {"--calls",
         [&](const std::string& v) {
             o.callsFile = v;
             return !v.empty();
         }},
        {"--max-calls",
         [&](const std::string& v) {
             long long n;
             return ToInt(v, 1, 10000, n) && (o.maxCalls = static_cast<int>(n), true);
         }},
        {"--mean-gap", [&](const std::string& v) { return ToSeconds(v, o.meanGap); }},
        {"--mean-length", [&](const std::string& v) { return ToSeconds(v, o.meanLength); }},
        {"--time-scale", [&](const std::string& v) { return ToFactor(v, o.timeScale); }},
        {"--seed",
         [&](const std::string& v) {
             long long n;
             if (!ParseInteger(v, n) || n < 0)
                 return false;
             o.seed = static_cast<uint64_t>(n);
             o.seedGiven = true;
             return true;
         }},
        {"--format",
         [&](const std::string& v) {
             o.aLaw = v == "alaw";
             return v == "alaw" || v == "ulaw";
         }},
        {"--channels",
         [&](const std::string& v) {
             long long n;
             return ToInt(v, 1, kMaxChannels, n) && (o.channels = static_cast<int>(n), true);
         }},
        {"--log",
         [&](const std::string& v) {
             o.logFile = v;
             return !v.empty();
         }},
    };
    const std::map<std::string, std::function<void()>> flags = {
        {"--https", [&] { o.https = true; }},
        {"--random-calls", [&] { o.randomCalls = true; }},
        {"--no-hold", [&] { o.hold = false; }},
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (name == "--help" || name == "-h")
            return TParseResult::Help;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (const auto f = flags.find(name); f != flags.end() && !inlineValue) {
            f->second();
            continue;
        }
        const auto s = withValue.find(name);
        if (s == withValue.end()) {
            err << "quorin-sim: unknown option '" << args[i] << "' (see --help)\n";
            return TParseResult::Error;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                err << "quorin-sim: " << name << " needs a value\n";
                return TParseResult::Error;
            }
            value = args[++i];
        }
        if (!s->second(value)) {
            err << "quorin-sim: bad value '" << value << "' for " << name << "\n";
            return TParseResult::Error;
        }
    }
    if (o.certFile.empty() != o.keyFile.empty()) {
        err << "quorin-sim: --cert and --key go together\n";
        return TParseResult::Error;
    }
    return TParseResult::Run;
}

} // namespace corvane::sim
