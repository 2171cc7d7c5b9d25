#pragma once

// A wave device for tests on machines without a sound card: it keeps the
// waveOut contract (prepared headers, one block-done message per written block
// in write order, Reset returning every queued block, Close refused while
// blocks are queued) but plays nothing: the test finishes blocks with
// CompleteNext. It records every call and fails any operation on request, or
// fails by itself while open (LoseDevice).

#include "WaveDevice.h"

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace corvane {

enum class TWaveOp {
    Open,
    PrepareHeader,
    UnprepareHeader,
    Write,
    Pause,
    Restart,
    Reset,
    Close,
    GetPosition,
    GetDevCaps,
};

class TTestWaveDevice : public TWaveDevice {
public:
    struct TCall {
        TWaveOp op;
        MmResult result;
        const TWaveHdr* header; // the header passed, or null
    };

    // The next `times` calls of `op` fail with `code` (times < 0: every call).
    void Fail(TWaveOp op, MmResult code, int times = 1);

    // Finishes the oldest written block: marks it done and posts its block-done
    // message. False when no block is queued. Any thread.
    bool CompleteNext();

    // Fails while open, as a sound device whose server died: posts the failure
    // message with `code`, then returns every queued block as done; later
    // blocks are returned as done at once. False when not open. Any thread.
    bool LoseDevice(MmResult code = mmsyserr::NoDriver);

    std::vector<TCall> Calls() const;
    std::vector<TWaveOp> Ops() const;
    // Copies of the blocks as they were written, and their headers, in order.
    std::vector<std::string> WrittenData() const;
    std::vector<const TWaveHdr*> WrittenHeaders() const;
    size_t Queued() const;
    bool IsOpen() const;
    bool IsPaused() const;
    int OpenedDeviceId() const;
    TWaveFormatEx OpenedFormat() const;
    std::thread::id NotifyThread() const;
    // Block-done messages posted and not yet taken by the notified thread.
    size_t PendingNotifications() const;

    void SetProductName(const std::string& name);
    void SetNumDevs(uint32_t count);

    MmResult Open(HWaveOut& handle, int deviceId, const TWaveFormatEx& format,
                  std::thread::id notifyThread, uintptr_t instance) override;
    MmResult PrepareHeader(HWaveOut handle, TWaveHdr& header) override;
    MmResult UnprepareHeader(HWaveOut handle, TWaveHdr& header) override;
    MmResult Write(HWaveOut handle, TWaveHdr& header) override;
    MmResult Pause(HWaveOut handle) override;
    MmResult Restart(HWaveOut handle) override;
    MmResult Reset(HWaveOut handle) override;
    MmResult Close(HWaveOut handle) override;
    MmResult GetPosition(HWaveOut handle, TMmTime& time) override;
    MmResult GetDevCaps(int deviceId, TWaveOutCaps& caps) override;
    uint32_t GetNumDevs() override;
    std::string GetErrorText(MmResult code) override;

private:
    // Caller holds FMutex.
    MmResult Record(TWaveOp op, const TWaveHdr* header, MmResult result);
    MmResult Injected(TWaveOp op);
    void Finish(TWaveHdr& header);

    mutable std::mutex FMutex;
    std::vector<TCall> FCalls;
    std::map<TWaveOp, std::pair<MmResult, int>> FFailures;
    std::deque<TWaveHdr*> FQueue;
    std::vector<std::string> FWrittenData;
    std::vector<const TWaveHdr*> FWrittenHeaders;
    HWaveOut FHandle = 0;
    HWaveOut FNextHandle = 1;
    bool FPaused = false;
    bool FLost = false;
    int FDeviceId = 0;
    TWaveFormatEx FFormat;
    std::thread::id FNotify;
    uint64_t FPositionBytes = 0;
    std::string FProductName = "Corvane test output";
    uint32_t FNumDevs = 1;
};

} // namespace corvane
