#include "CliClient.h"

#include "CallMonitor.h"
#include "Corvane.h"
#include "MainThread.h"
#include "OutputLevel.h"
#include "Platform.h"
#include "WaveOut.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>

namespace corvane {

namespace {

constexpr const char* ProgramName = "corvane-cli";
// The longest the loop sleeps before it looks at the interruption flag again.
constexpr int LoopStepMs = 100;
// The device still holds its latency's worth of audio (a quarter second or
// more) when the last block has been handed over; closing it earlier would
// cut off the end of the call.
constexpr std::chrono::milliseconds DrainTime{1000};

// Standard output and standard error; lines written from different threads
// never interleave. Any thread.
class TCliConsole {
public:
    TCliConsole(std::ostream& out, std::ostream& err) : FOut(out), FErr(err) {}

    void Out(const std::string& text) {
        std::lock_guard lock(FMutex);
        FOut << text;
        FOut.flush(); // watch feeds pipes and wallboards line by line
    }
    // A message for the user, after the program's name.
    void Message(const std::string& text) { Diagnostic(std::string(ProgramName) + ": " + text); }
    // A line as it is (the engine's log with --verbose).
    void Diagnostic(const std::string& line) {
        std::lock_guard lock(FMutex);
        FErr << line << '\n';
        FErr.flush();
    }

private:
    std::mutex FMutex;
    std::ostream& FOut;
    std::ostream& FErr;
};

bool IsLineBreaking(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

std::string FormatCall(const TCallInfo& call, bool withDuration) {
    std::string line = CleanByteField(call.id);
    line += '\t';
    line += std::to_string(call.direction);
    line += '\t';
    line += LocalTimeText(call.startdate);
    line += '\t';
    if (withDuration)
        line += std::to_string(call.length);
    for (const std::u16string* text : {&call.remote, &call.rname, &call.local, &call.lname}) {
        line += '\t';
        line += CleanField(*text);
    }
    return line;
}

// What watch compares: the printed lines without the durations, which grow
// with every answer.
std::string ListKey(const TCallList& calls) {
    std::string key;
    for (const auto& call : calls) {
        key += FormatCall(*call, false);
        key += '\n';
    }
    return key;
}

const TCallInfo* FindCall(const TCallList& calls, const std::string& id) {
    for (const auto& call : calls)
        if (call->id == id)
            return call.get();
    // The id as list printed it, for an id that had to be cleaned.
    for (const auto& call : calls)
        if (CleanByteField(call->id) == id)
            return call.get();
    return nullptr;
}

int ExitCodeFor(TStatusCode code) {
    switch (code) {
    case TStatusCode::LogOnRefused:
        return cliexit::LogOnRefused;
    case TStatusCode::ConnectFailed:
        return cliexit::Unreachable;
    case TStatusCode::ServerError:
        return cliexit::ServerError;
    case TStatusCode::EngineStopped:
        break;
    }
    return cliexit::Failure;
}

// Puts a handler in place for one run and restores the previous one.
class TDebugOutputScope {
public:
    TDebugOutputScope(TCliConsole& console, bool verbose)
        : FPrevious(SetDebugOutputHandler([&console, verbose](std::string_view text) {
              // Device diagnostics; the user sees the failures as messages.
              if (verbose)
                  console.Diagnostic("debug: " + std::string(text));
          })) {}
    ~TDebugOutputScope() { SetDebugOutputHandler(FPrevious); }
    TDebugOutputScope(const TDebugOutputScope&) = delete;
    TDebugOutputScope& operator=(const TDebugOutputScope&) = delete;

private:
    DebugOutputHandler FPrevious;
};

class TWaveOutMessageScope {
public:
    explicit TWaveOutMessageScope(TWaveOutMessageBox handler)
        : FPrevious(SetWaveOutMessageBox(std::move(handler))) {}
    ~TWaveOutMessageScope() { SetWaveOutMessageBox(FPrevious); }
    TWaveOutMessageScope(const TWaveOutMessageScope&) = delete;
    TWaveOutMessageScope& operator=(const TWaveOutMessageScope&) = delete;

private:
    TWaveOutMessageBox FPrevious;
};

// One command on one session. The session's events become main-thread
// state: the calls through Synchronize, statuses through Post. Main thread.
class TCliRun {
public:
    TCliRun(const TQuorinConfig& config, const std::string& configPath, TCliConsole& console,
            bool verbose, const std::function<bool()>& interrupted)
        : FConfig(config), FConfigPath(configPath), FConsole(console), FVerbose(verbose),
          FInterrupted(interrupted) {
        FSession.SetConfig(FConfig);
        FSession.OnLog = [this](const std::string& text) { HandleLog(text); };
        FSession.OnStatus = [this](TStatusCode code) {
            Post([this, code] { HandleStatus(code); });
        };
        FSession.OnCallsChanged = [this](TCorvane&) {
            Synchronize([this] {
                TCallList calls;
                FSession.GetCalls(calls);
                HandleCalls(std::move(calls));
            });
        };
    }
    ~TCliRun() {
        StopEngine();
        CheckSynchronize();
    }
    TCliRun(const TCliRun&) = delete;
    TCliRun& operator=(const TCliRun&) = delete;

    int List() {
        if (!StartEngine())
            return cliexit::Settings;
        const bool answered = ServeUntil([this] { return FAnswered; });
        StopEngine();
        if (!answered) {
            FConsole.Message("interrupted before the recorder answered");
            return cliexit::Failure;
        }
        if (FRefusal)
            return ExitCodeFor(*FRefusal);
        FConsole.Out(FormatCallList(FCalls));
        return cliexit::Ok;
    }

    int Watch() {
        FWatching = true;
        if (!StartEngine())
            return cliexit::Settings;
        ServeUntil([this] { return FWatchEnd.has_value(); });
        StopEngine();
        return FWatchEnd.value_or(cliexit::Ok);
    }

    int Listen(const std::string& id) {
        if (!StartEngine())
            return cliexit::Settings;
        const bool answered = ServeUntil([this] { return FAnswered; });
        // The monitor needs the session's settings, not its polling.
        StopEngine();
        if (!answered)
            return cliexit::Ok;
        if (FRefusal)
            return ExitCodeFor(*FRefusal);
        const TCallInfo* call = FindCall(FCalls, id);
        if (!call) {
            FConsole.Message("no active call has the id '" + CleanByteField(id) +
                             "' (corvane-cli list shows the active calls)");
            return cliexit::UnknownCall;
        }
        return Play(*call);
    }

private:
    bool StartEngine() {
        const TStartResult result = FSession.Start();
        if (result == TStartResult::Ok)
            return true;
        // LoadCliConfig has checked the same; this only guards a change of rules.
        FConsole.Message(
            FConfigPath + " lacks the " +
            (result == TStartResult::MissingServer ? "server" : "user name or password") +
            " the recorder needs");
        return false;
    }

    // Waits, serving the main thread's queue, until the run has ended. Not
    // interruptible: it ends within one request's abort.
    void StopEngine() {
        if (!FSession.IsRunning())
            return;
        FSession.Stop();
        while (FSession.IsRunning())
            WaitAndCheckSynchronize(LoopStepMs);
    }

    // Serves the main thread's queue until `done` holds (true) or the user
    // interrupts (false).
    bool ServeUntil(const std::function<bool()>& done) {
        while (!done()) {
            if (FInterrupted()) {
                FQuiet = true;
                return false;
            }
            WaitAndCheckSynchronize(LoopStepMs);
        }
        return true;
    }

    // False when the user interrupted.
    bool ServeFor(std::chrono::milliseconds duration) {
        const auto deadline = std::chrono::steady_clock::now() + duration;
        return ServeUntil([deadline] { return std::chrono::steady_clock::now() >= deadline; });
    }

    int Play(const TCallInfo& call) {
        SetOutputLevel({FConfig.Volume, FConfig.Mute, FConfig.Party});
        // Called on the failing operation's thread.
        const TWaveOutMessageScope messages([this](const std::string& text) {
            FSoundFailed = true;
            if (!FQuiet)
                FConsole.Message("sound output failed: " + text);
        });
        FStatuses.clear();
        auto monitor = std::make_unique<TCallMonitor>(FSession, call);
        monitor->OnFinished = [this] { Post([this] { FMonitorFinished = true; }); };
        monitor->Start();
        const bool ended = ServeUntil([this] { return FMonitorFinished; });
        if (!ended)
            monitor->Stop();
        else if (!FSoundFailed && FStatuses.empty())
            ServeFor(DrainTime);
        monitor.reset();
        CheckSynchronize();
        if (!ended)
            return cliexit::Ok;
        if (FSoundFailed)
            return cliexit::SoundDevice;
        if (!FStatuses.empty())
            return ExitCodeFor(FStatuses.front());
        return cliexit::Ok;
    }

    // Any thread: the engine's log, and the details that its statuses lack.
    void HandleLog(const std::string& text) {
        if (FVerbose)
            FConsole.Diagnostic("log: " + text);
        auto after = [&text](std::string_view prefix) -> std::optional<std::string> {
            if (text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0)
                return text.substr(prefix.size());
            return std::nullopt;
        };
        std::lock_guard lock(FDetailMutex);
        if (auto error = after("Error="))
            FRecorderError = *error;
        else if (auto failure = after("st/st exception (inner): "))
            FConnectError = *failure;
        else if (auto monitorFailure = after("Monitor HTTP error: "))
            FConnectError = *monitorFailure;
    }

    std::string StatusText(TStatusCode code) {
        std::lock_guard lock(FDetailMutex);
        switch (code) {
        case TStatusCode::LogOnRefused:
            return "the recorder refused the log-on: check UserName and Password in " + FConfigPath;
        case TStatusCode::ConnectFailed:
            return "could not connect to the recorder at " + FConfig.Server +
                   (FConnectError.empty() ? std::string() : " (" + FConnectError + ")");
        case TStatusCode::ServerError:
            return "the recorder reported an error" +
                   (FRecorderError.empty() ? std::string() : ": " + FRecorderError);
        case TStatusCode::EngineStopped:
            break;
        }
        return "status " + std::to_string(StatusNumber(code));
    }

    void HandleStatus(TStatusCode code) {
        FStatuses.push_back(code);
        if (!FAnswered) {
            FAnswered = true;
            FRefusal = code;
        }
        if (FQuiet)
            return;
        if (!FWatching) {
            FConsole.Message(StatusText(code));
            return;
        }
        // Watching goes on through a recorder that is away or failing for a
        // while; said once, not at every retry. A refused log-on will not
        // mend itself.
        if (code == TStatusCode::LogOnRefused)
            FWatchEnd = cliexit::LogOnRefused;
        if (FTrouble == code && !FWatchEnd)
            return;
        FTrouble = code;
        FConsole.Message(StatusText(code));
    }

    void HandleCalls(TCallList calls) {
        FAnswered = true;
        if (FWatching && !FQuiet) {
            if (FTrouble)
                FConsole.Message("the recorder answers again");
            FTrouble.reset();
            std::string key = ListKey(calls);
            if (FShownKey != key) {
                std::string text = FShownKey ? "\n" : "";
                text += FormatCallList(calls);
                FConsole.Out(text);
                FShownKey = std::move(key);
            }
        }
        FCalls = std::move(calls);
    }

    const TQuorinConfig FConfig;
    const std::string FConfigPath;
    TCliConsole& FConsole;
    const bool FVerbose;
    const std::function<bool()>& FInterrupted;

    // Main thread.
    bool FWatching = false;
    bool FAnswered = false;               // a list or a failure has come
    std::optional<TStatusCode> FRefusal;  // the failure that came instead of the first list
    std::vector<TStatusCode> FStatuses;   // every status, in order
    TCallList FCalls;                     // the latest list
    std::optional<std::string> FShownKey; // watch: the list printed last
    std::optional<TStatusCode> FTrouble;  // watch: the failure reported last
    std::optional<int> FWatchEnd;         // watch: the exit status it ends with
    bool FMonitorFinished = false;

    // Interrupted: the stop's own aftermath is neither reported nor printed.
    std::atomic<bool> FQuiet{false};
    std::atomic<bool> FSoundFailed{false};
    std::mutex FDetailMutex;
    std::string FRecorderError; // under FDetailMutex
    std::string FConnectError;  // under FDetailMutex

    // Last, so that it goes first: its threads report into the members above.
    TCorvane FSession;
};

} // namespace

std::string ParseCliArguments(const std::vector<std::string>& args, TCliOptions& options) {
    options = TCliOptions();
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            words.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            options.Help = true;
        } else if (a == "--version") {
            options.Version = true;
        } else if (a == "--verbose" || a == "-v") {
            options.Verbose = true;
        } else if (a == "--config" || a.rfind("--config=", 0) == 0) {
            if (a == "--config") {
                if (i + 1 >= args.size())
                    return "--config needs the name of a settings file";
                options.ConfigPath = args[++i];
            } else {
                options.ConfigPath = a.substr(std::string("--config=").size());
            }
            if (options.ConfigPath.empty())
                return "--config needs the name of a settings file";
        } else {
            return "unknown option '" + a + "'";
        }
    }
    if (options.Help || options.Version)
        return {};
    if (words.empty())
        return "no command given (list, watch or listen ID)";
    size_t expected = 1;
    const std::string& command = words[0];
    if (command == "list") {
        options.Command = TCliCommand::List;
    } else if (command == "watch") {
        options.Command = TCliCommand::Watch;
    } else if (command == "listen") {
        options.Command = TCliCommand::Listen;
        expected = 2;
        if (words.size() < 2 || words[1].empty())
            return "listen needs the id of a call (the first field of corvane-cli list)";
        options.CallId = words[1];
    } else {
        return "unknown command '" + command + "'";
    }
    if (words.size() > expected)
        return "unexpected argument '" + words[expected] + "'";
    return {};
}

std::string CliHelpText() {
    return R"(Usage: corvane-cli [OPTIONS] list
       corvane-cli [OPTIONS] watch
       corvane-cli [OPTIONS] listen ID

Shows the calls that are active on the Quorin recorder, or plays one of them,
with the server, user name and password of the Quorin Call Monitor window.

Commands:
  list        print the active calls once
  watch       print the active calls, then again each time they change, until
              interrupted (Ctrl+C or SIGTERM; exit status 0) or the recorder
              refuses the log-on (exit status 4)
  listen ID   play the call with this id on the default sound device until the
              call ends or you interrupt it, with the volume, mute and party
              settings of the window

Options:
  --config FILE  the settings file to read instead of the window's own
                 client.ini (QuorinCallMonitor/client.ini in the per-user data
                 folder, e.g. ~/.config/Brindlex/QuorinCallMonitor/client.ini);
                 the current login's section is read, as the window does
  -v, --verbose  write the engine's log and the sound device's diagnostics to
                 standard error
  -h, --help     show this text
  --version      show the version

Output of list and watch, UTF-8, one line per call, fields separated by tabs:
  id            the recorder's call id (what listen takes)
  direction     the recorder's direction code as a number; the window shows
                0 as a handset with a downward arrow, 1 with an upward arrow
                and 2 as the handset alone
  start time    local time, YYYY-MM-DD HH:MM:SS
  duration      whole seconds the call had lasted when the recorder answered
                (negative when the recorder's clock is behind the start time)
  remote number, remote name, local number, local name
Tabs, line breaks and other control characters inside a field are printed as
blanks. Nothing else goes to standard output; messages go to standard error.
watch separates consecutive lists by one blank line, so an empty list shows
as nothing between two blank lines. A list is printed again only when a
field other than the duration has changed. A recorder that cannot be reached
or reports an error is said on standard error and watching goes on.

Exit status:
  0  done (watch and listen also when interrupted)
  1  other failure (list interrupted before the answer, unexpected error)
  2  unusable command line
  3  no settings file, or it names no server, user name or password
  4  the recorder refused the log-on (wrong user name or password)
  5  the recorder could not be reached
  6  the recorder reported an error (for listen also: it refused the stream)
  7  listen: no active call has that id
  8  listen: the sound device did not open or failed while playing
)";
}

std::string CliVersionText() {
    return "corvane-cli (Quorin Call Monitor) " + ProgramVersion() + "\n";
}

std::string CleanField(std::u16string_view text) {
    std::u16string clean(text);
    std::replace_if(clean.begin(), clean.end(), IsLineBreaking, u' ');
    return WideToUtf8(clean);
}

std::string CleanByteField(std::string_view bytes) {
    return CleanField(Utf8ToWide(bytes));
}

std::string LocalTimeText(int64_t unixSeconds) {
    const auto t = static_cast<std::time_t>(unixSeconds);
    const std::tm* local = std::localtime(&t);
    char text[32];
    if (!local || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) == 0)
        return std::to_string(unixSeconds);
    return text;
}

std::string FormatCallLine(const TCallInfo& call) {
    return FormatCall(call, true);
}

std::string FormatCallList(const TCallList& calls) {
    std::string text;
    for (const auto& call : calls) {
        text += FormatCallLine(*call);
        text += '\n';
    }
    return text;
}

std::string DefaultConfigPath() {
    const std::string folder = GetAppDataFolder();
    return folder.empty() ? std::string() : folder + "QuorinCallMonitor/client.ini";
}

std::string LoadCliConfig(const std::string& path, TQuorinConfig& config) {
    if (!FileExists(path))
        return "no settings file " + path +
               " (set up the window first, or name a file with --config FILE)";
    config.Load(path);
    const std::string userSection = "[User_" + config.WindowsUser + "]";
    if (config.Server.empty())
        return path + " names no recorder (key Server in [General] or " + userSection + ")";
    if (config.UserName.empty())
        return path + " names no user name for the recorder (key UserName in " + userSection + ")";
    if (config.Password.empty())
        return path + " holds no password for the recorder (key Password in " + userSection + ")";
    return {};
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const std::function<bool()>& interrupted) {
    TCliConsole console(out, err);
    TCliOptions options;
    if (const std::string problem = ParseCliArguments(args, options); !problem.empty()) {
        console.Message(problem);
        console.Diagnostic("Try 'corvane-cli --help'.");
        return cliexit::Usage;
    }
    if (options.Help) {
        console.Out(CliHelpText());
        return cliexit::Ok;
    }
    if (options.Version) {
        console.Out(CliVersionText());
        return cliexit::Ok;
    }
    const std::string path = options.ConfigPath.empty() ? DefaultConfigPath() : options.ConfigPath;
    if (path.empty()) {
        console.Message("the per-user application-data folder is unknown; name the settings "
                        "file with --config FILE");
        return cliexit::Settings;
    }
    TQuorinConfig config;
    if (const std::string problem = LoadCliConfig(path, config); !problem.empty()) {
        console.Message(problem);
        return cliexit::Settings;
    }

    const TDebugOutputScope debug(console, options.Verbose);
    try {
        TCliRun run(config, path, console, options.Verbose, interrupted);
        switch (options.Command) {
        case TCliCommand::List:
            return run.List();
        case TCliCommand::Watch:
            return run.Watch();
        case TCliCommand::Listen:
            return run.Listen(options.CallId);
        case TCliCommand::None:
            break;
        }
    } catch (const std::exception& e) {
        console.Message(std::string("unexpected error: ") + e.what());
    }
    return cliexit::Failure;
}

} // namespace corvane
