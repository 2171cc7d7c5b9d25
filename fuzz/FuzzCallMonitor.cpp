// The live-audio answer as a recorder (or anything pretending to be one) may
// send it: any header, zero byte or none, any audio bytes, cut into pieces
// anywhere. The input is split at each "\xFF\xFE\xFD" into the pieces the
// stand-in recorder sends one after another; the test wave device plays
// every block as soon as it is written.

#include "CallMonitor.h"
#include "Corvane.h"
#include "FeedRecorder.h"
#include "MainThread.h"
#include "TestWaveDevice.h"
#include "WaveOut.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Serves the whole run; stopped when the program exits, so that a replay
    // leaves no server behind.
    static const std::unique_ptr<test::FeedRecorder> recorder = [] {
        SetMainThread();
        SetWaveOutMessageBox([](const std::string&) {});
        return std::make_unique<test::FeedRecorder>();
    }();
    static TCorvane* session = [] {
        auto* s = new TCorvane();
        TQuorinConfig config;
        config.Server = recorder->Server();
        config.UserName = "supervisor";
        config.Password = "secret";
        s->SetConfig(config);
        return s;
    }();

    std::string_view rest(reinterpret_cast<const char*>(data), size);
    constexpr std::string_view kCut("\xFF\xFE\xFD", 3);
    for (;;) {
        const size_t cut = rest.find(kCut);
        recorder->Push(std::string(rest.substr(0, cut)));
        if (cut == std::string_view::npos)
            break;
        rest.remove_prefix(cut + kCut.size());
    }
    recorder->End();

    TTestWaveDevice device;
    TCallInfo call;
    // Assigned as strings: GCC 12 at -O3 warns falsely (-Wmaybe-uninitialized)
    // about assigning these short literals.
    call.id = std::string("1");
    call.remoteid = std::string("r1");
    bool finished = false;
    {
        TCallMonitor monitor(*session, call, &device);
        monitor.OnFinished = [&] { finished = true; };
        monitor.Start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!finished && std::chrono::steady_clock::now() < deadline) {
            WaitAndCheckSynchronize(2);
            while (device.CompleteNext()) {
            }
        }
    } // a monitor that has not finished is stopped here
    return 0;
}
