#include "PrivatePulseAudio.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <sys/stat.h>

namespace corvane::test {

namespace {
constexpr const char* kVariables[] = {"HOME",         "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
                                      "PULSE_SERVER", "PULSE_SINK",      "PULSE_RUNTIME_PATH"};
} // namespace

int RunTool(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess tool(program, args);
    for (int i = 0; i < 500 && tool.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return tool.Running() ? -1 : tool.ExitCode();
}

size_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

PrivatePulseAudio::PrivatePulseAudio() {
    for (const char* name : kVariables) {
        const char* value = std::getenv(name);
        FSaved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    const std::string run = FDir.File("run");
    ::mkdir(run.c_str(), 0700);
    ::setenv("HOME", FDir.Path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", FDir.File("config").c_str(), 1);
    for (const char* name : {"PULSE_SERVER", "PULSE_SINK", "PULSE_RUNTIME_PATH"})
        ::unsetenv(name);
    // While the daemon is down, no client may start one of its own.
    std::filesystem::create_directories(FDir.File("config/pulse"));
    WriteFile(FDir.File("config/pulse/client.conf"), "autospawn = no\n");
    FCapture = FDir.File("capture.raw");
    WriteFile(FDir.File(".asoundrc"), "@hooks [ { func load files [ \"" +
                                          FDir.File("capture-pulse.conf") +
                                          "\" ] errors false } ]\n");
    WriteFile(FDir.File("capture-pulse.conf"),
              "pcm.!default { type file slave.pcm \"pulse\" file \"" + FCapture +
                  "\" format \"raw\" }\n");
}

PrivatePulseAudio::~PrivatePulseAudio() {
    Stop();
    for (const auto& [name, value] : FSaved) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
}

std::string PrivatePulseAudio::Start(int sinkChannels) {
    Stop();
    FDaemon = std::make_unique<ChildProcess>(
        PULSEAUDIO_EXECUTABLE,
        std::vector<std::string>{"-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
                                 "--use-pid-file=no", "--load=module-native-protocol-unix",
                                 "--load=module-null-sink sink_name=cap rate=8000 channels=" +
                                     std::to_string(sinkChannels) + " format=s16le"});
    bool up = false;
    for (int i = 0; i < 100 && !up && FDaemon->Running(); ++i) {
        up = RunTool(PACTL_EXECUTABLE, {"info"}) == 0;
        if (!up)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (up && RunTool(PACTL_EXECUTABLE, {"set-default-sink", "cap"}) == 0) {
        FSinkChannels = sinkChannels;
        return {};
    }
    std::string error = "the private PulseAudio daemon did not start:";
    for (const auto& line : FDaemon->Lines())
        error += "\n  " + line;
    return error;
}

bool PrivatePulseAudio::Running() {
    return FDaemon && FDaemon->Running();
}

void PrivatePulseAudio::Signal(int signal) {
    if (FDaemon && FDaemon->Pid() > 0)
        ::kill(FDaemon->Pid(), signal);
}

void PrivatePulseAudio::Stop() {
    // A daemon stopped by SIGSTOP must run again to end.
    Signal(SIGCONT);
    FDaemon.reset();
    FSinkChannels = 0;
}

} // namespace corvane::test
