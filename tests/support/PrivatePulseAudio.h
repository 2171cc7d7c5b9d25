#pragma once

// A private sound system for one test on Linux: a PulseAudio daemon of the
// test's own with a null sink, and ALSA's default device written to a file on
// its way to that daemon, so a test hears exactly what a program played. ALSA
// and the PulseAudio client find it through HOME and XDG_RUNTIME_DIR, which
// programs started meanwhile inherit; the variables are put back afterwards.

#include "TestSupport.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::test {

// Runs a tool to its end; its exit code, or -1 if it did not end in 5 s.
int RunTool(const std::string& program, const std::vector<std::string>& args);

// The size of a file; 0 when it cannot be read.
size_t FileSize(const std::string& path);

class PrivatePulseAudio {
public:
    // Sets the environment up; the daemon starts only when asked.
    PrivatePulseAudio();
    // Stops the daemon (and waits for it) and restores the environment.
    ~PrivatePulseAudio();
    PrivatePulseAudio(const PrivatePulseAudio&) = delete;
    PrivatePulseAudio& operator=(const PrivatePulseAudio&) = delete;

    // Starts the daemon with a null sink of `sinkChannels` channels as the
    // default sink; "" when it came up, else why not.
    std::string Start(int sinkChannels = 1);
    // The daemon runs (it may be stopped by SIGSTOP all the same).
    bool Running();
    // The sink's channels while the daemon Start made runs, else 0.
    int SinkChannels() const { return FSinkChannels; }
    // Sends `signal` to the daemon (SIGKILL: it dies as in a crash).
    void Signal(int signal);
    void Stop();

    // What was written to ALSA's default device, raw 16-bit samples.
    const std::string& Capture() const { return FCapture; }

private:
    TempDir FDir;
    std::string FCapture;
    std::vector<std::pair<const char*, std::optional<std::string>>> FSaved;
    std::unique_ptr<ChildProcess> FDaemon;
    int FSinkChannels = 0;
};

} // namespace corvane::test
