#pragma once

// The wave device on the sound card on Windows, through WinMM's waveOut.
//
// Devices and result codes are WinMM's own: the project's codes are numbered
// as WinMM numbers them, so results pass through unchanged and GetErrorText
// is WinMM's text. Every failing WinMM call is logged to the debugger channel
// with its name.
//
// The caller's blocks never reach WinMM. Each open device has a small pool of
// native blocks (LeadChunks of ChunkMs each) that it fills from the queued
// blocks in write order and hands to waveOutWrite, so WinMM holds at most
// about a quarter of a second ahead. The listener's output level
// (OutputLevel.h) is applied to 16-bit streams as a native block is filled: a
// change is heard after that lead, not after the several seconds TWaveOut may
// queue. A caller's block is done (and its block-done message posted) when
// its last native block has played.
//
// WinMM signals an event per finished native block (CALLBACK_EVENT); a feeder
// thread per device waits on it, collects finished blocks, posts the
// messages and refills. A callback function would run inside WinMM, where
// neither the project's queue nor waveOut calls are allowed.
//
// Failure (WaveDevice.h): a native write that WinMM refuses (MMSYSERR_NODRIVER
// when the device has gone), a Pause, Restart or Reset answered with
// MMSYSERR_NODRIVER, or no native block finished for StallLimit while blocks
// wait and the device is not paused. The device then posts WomFailedMessage
// with WinMM's code (mmsyserr::NoDriver for a stall) and returns the queued
// blocks at once, without asking WinMM: it holds only native blocks. A failed
// device is reset and closed on a thread of its own, since WinMM may wait for
// a sound server that hangs (under Wine, half a minute).

#include "WaveDevice.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace corvane {

class TWinMmWaveDevice : public TWaveDevice {
public:
    // No native block finished for this long, with blocks waiting on a running
    // device, is a failed device.
    static constexpr std::chrono::milliseconds StallLimit{2000};
    // The native blocks: their length, and how many WinMM may hold at once.
    static constexpr unsigned ChunkMs = 50;
    static constexpr unsigned LeadChunks = 5;

    TWinMmWaveDevice();
    // Closes devices still open.
    ~TWinMmWaveDevice() override;
    TWinMmWaveDevice(const TWinMmWaveDevice&) = delete;
    TWinMmWaveDevice& operator=(const TWinMmWaveDevice&) = delete;

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

    struct TStream; // one open device

private:
    // Caller holds FMutex.
    TStream* Find(HWaveOut handle);
    // Caller holds FMutex; the stream's feeder has stopped. Closes the native device.
    MmResult Retire(std::unique_ptr<TStream> stream);

    std::mutex FMutex; // the map of devices; taken before a device's own lock
    std::map<HWaveOut, std::unique_ptr<TStream>> FStreams;
    HWaveOut FNextHandle = 1;
};

} // namespace corvane
