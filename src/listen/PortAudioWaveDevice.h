#pragma once

// The wave device on the sound card, through PortAudio.
//
// Devices are numbered 0.. over PortAudio's devices that have output channels;
// WaveMapper (-1) is PortAudio's default output device. With no default output
// device (no sound card) Open fails with mmsyserr::NoDriver; an unknown number
// gives mmsyserr::BadDeviceId, an unplayable format waverr::BadFormat. Every
// failing PortAudio call is logged to the debugger channel with its name, and
// GetErrorText adds PortAudio's own text for the latest failure.
//
// Each open device is a running PortAudio stream whose callback copies queued
// blocks and plays silence while paused or empty. It never allocates, locks or
// waits: blocks pass through a lock-free ring, and a small poster thread per
// stream posts the block-done messages for the blocks the callback has used up.
// Reset keeps the callback off the ring for its short run (the callback plays
// silence meanwhile) and posts the messages of every flushed block before it
// returns. Pause keeps the stream running on silence, so Restart is immediate.

#include "WaveDevice.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace corvane {

class TPortAudioWaveDevice : public TWaveDevice {
public:
    // The first one silences the ALSA and JACK libraries' start-up chatter and
    // initialises PortAudio for the rest of the process.
    TPortAudioWaveDevice();
    // Closes streams still open.
    ~TPortAudioWaveDevice() override;
    TPortAudioWaveDevice(const TPortAudioWaveDevice&) = delete;
    TPortAudioWaveDevice& operator=(const TPortAudioWaveDevice&) = delete;

    bool Initialized() const { return FInitialized; }

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
    MmResult Fail(MmResult code, const std::string& detail);
    int OutputDevice(int deviceId, MmResult& error);

    std::mutex FMutex; // every operation; never taken by a callback or a poster
    bool FInitialized = false;
    std::map<HWaveOut, std::unique_ptr<TStream>> FStreams;
    HWaveOut FNextHandle = 1;
    MmResult FLastCode = mmsyserr::NoError;
    std::string FLastDetail;
};

} // namespace corvane
