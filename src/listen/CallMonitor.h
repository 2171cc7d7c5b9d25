#pragma once

// Live listening to one active call: one asynchronous GET of the call's audio,
// whose answer is a short text header, a zero byte and G.711 bytes until the
// recorder ends it. The bytes are expanded in blocks of 4096 sample frames
// (512 ms) and played through a TWaveOut; playback starts once three blocks
// are queued. The owner learns once, through OnFinished, that listening has
// ended, and destroys the monitor later, outside that notification.

#include "CallList.h"
#include "WaveOut.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvane {

class TCorvane;
class THttpCli;
class TSslHttpCli;
struct THttpResult;

class TCallMonitor {
public:
    // A header longer than this without its zero byte is not a header: the
    // stream is refused instead of being collected for ever.
    static constexpr size_t MaxHeaderSize = 64 * 1024;
    // Channel counts the monitor plays; a header naming another is refused.
    static constexpr int32_t MaxChannels = 8;
    // How long the stream's network thread rests between hand-overs.
    static constexpr std::chrono::milliseconds DeliveryInterval{100};

    // Main thread. Borrows `session`'s URLs, credentials, TLS context, cookie
    // handler, log and status report; `session` must outlive the monitor.
    // `device` is the wave device to play on (must outlive the monitor); null
    // selects DefaultWaveDevice(), the sound card.
    TCallMonitor(TCorvane& session, const TCallInfo& call, TWaveDevice* device = nullptr);
    // Main thread. Stops first, so a monitor that has not notified yet raises
    // OnFinished here.
    ~TCallMonitor();
    TCallMonitor(const TCallMonitor&) = delete;
    TCallMonitor& operator=(const TCallMonitor&) = delete;

    // Raised exactly once per started or stopped monitor: after Stop, when
    // the answer has ended and its queued audio has played, or when the sound
    // output has failed (the request is then aborted). Runs on the main
    // thread or on the wave output's worker thread; the receiver must not stop
    // or destroy the monitor from inside it. Set before Start.
    std::function<void()> OnFinished;

    // The call listened to; the owner compares its id.
    const TCallInfo FCall;

    // Main thread: sends the request and returns. Once per monitor.
    void Start();
    // Main thread: aborts the request, discards queued audio, closes the
    // output and raises OnFinished if it has not been raised. May be repeated.
    void Stop();

    // Whether OnFinished has been raised. Any thread.
    bool Finished() const { return FFinishNotified.load(); }

    // Main thread: whether one of the monitor's own calls is running. A message
    // box it shows runs other events meanwhile, so whatever destroys the
    // monitor must wait while this holds.
    bool Busy() const { return FBusy > 0; }

    // Main thread, before Start: the live-audio request fails when nothing has
    // arrived for this long (the network layer's inactivity limit otherwise).
    void SetInactivityLimit(std::chrono::milliseconds limit);

private:
    class TBusyScope;

    void HandleDocData(const char* data, size_t n);
    void HandleDocEnd();
    void HandleRequestDone(const THttpResult& result);
    void HandleAudioFinished(); // wave output's worker thread
    void HandleAudioFailed();   // wave output's worker thread
    // Returns false when the stream was refused (and the monitor stopped).
    bool OpenStream(const std::string& header);
    void AssembleBlocks(const uint8_t* p, size_t m);
    void Finish();

    std::unique_ptr<THttpCli> FPlainClient;
    std::unique_ptr<TSslHttpCli> FTlsClient;
    TCorvane* FSession;
    TWaveDevice* FDevice;
    THttpCli* FClient = nullptr; // the one picked at Start
    std::unique_ptr<TWaveOut> FWaveOut;
    // The output once Stop has closed it, kept until the monitor goes: Stop may
    // run inside a message box that one of the output's own calls shows.
    std::unique_ptr<TWaveOut> FClosedWaveOut;
    std::unique_ptr<uint8_t[]> FInputChunk;
    std::unique_ptr<int16_t[]> FPcmBuffer;
    int32_t FChunkFill = 0;
    int32_t FChunkSize = 0;
    // Shared with the worker: each side sets its own flag before testing the
    // other's, so at least one of them finishes.
    std::atomic<bool> FPlaying{false};
    bool FHeaderPending = false;
    bool FStarted = false;
    bool FStopped = false;
    int FBusy = 0; // main thread: the monitor's own calls on the stack
    std::atomic<bool> FDocumentEnded{false};
    std::atomic<bool> FFinishNotified{false};
    std::string FHeaderBuffer;
    bool FALaw = false;
    int32_t FChannels = 1;
};

} // namespace corvane
