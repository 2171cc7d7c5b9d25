// corvane-cli: the recorder's active calls and live listening on the command
// line (see CliClient.h; --help describes the commands, the output and the
// exit status).

#include "CliClient.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Ctrl+C and SIGTERM only raise this flag; the command's loop sees it within
// a tenth of a second and stops the engine and the sound output in order.
std::atomic<bool> interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set in a signal handler");

extern "C" void HandleInterrupt(int signal) {
    interruptRequested.store(true);
    // A second Ctrl+C ends the program at once, should stopping hang.
    std::signal(signal, SIG_DFL);
}

void InstallInterruptHandlers() {
    std::signal(SIGINT, HandleInterrupt);
    std::signal(SIGTERM, HandleInterrupt);
}

} // namespace

int main(int argc, char** argv) {
    InstallInterruptHandlers();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    return corvane::RunCli(args, std::cout, std::cerr, [] { return interruptRequested.load(); });
}
