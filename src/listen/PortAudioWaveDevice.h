#pragma once

// The wave device on the sound card, through PortAudio.
//
// Devices are numbered 0.. over PortAudio's devices that have output channels;
// WaveMapper (-1) is PortAudio's default output device. With no default output
// device (no sound card) Open fails with mmsyserr::NoDriver; an unknown number
// gives mmsyserr::BadDeviceId, a device that cannot be opened NoDriver or (in
// use) Allocated, an unplayable format waverr::BadFormat. Every failing
// PortAudio call is logged to the debugger channel with its name, and
// GetErrorText adds PortAudio's own text for the latest failure.
//
// Devices come and go (headsets, a sound server that restarts), and PortAudio
// only sees them anew when it is initialised: while no stream is open, Open,
// GetNumDevs and GetDevCaps initialise it again first.
//
// Each open device is a running PortAudio stream whose callback copies queued
// blocks and plays silence while paused or empty. It never allocates, locks or
// waits: blocks pass through a lock-free ring, and a small poster thread per
// stream, woken by the callback when a block has played, posts the block-done
// messages. Reset keeps the callback off the ring for its short run (the
// callback plays silence meanwhile) and posts the messages of every flushed
// block before it returns. Pause keeps the stream running on silence, so
// Restart is immediate. The callback applies the listener's output level
// (OutputLevel.h) to 16-bit streams as it hands the samples over.
//
// A stream that PortAudio reports finished or inactive, or that finishes no
// block for StallLimit while blocks wait and it is not paused, has failed: the
// poster posts WomFailedMessage (mmsyserr::NoDriver) and returns the queued
// blocks (see WaveDevice.h). Such a stream is closed on a thread of its own,
// since PortAudio's close can wait half a minute for a sound server that hangs.

#include "WaveDevice.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct PaDeviceInfo; // portaudio.h

namespace corvane {

// The result code for a PortAudio error (a PaError) of an output-only stream.
MmResult PortAudioErrorResult(int paError);

class TPortAudioWaveDevice : public TWaveDevice {
public:
    // No finished block for this long, with blocks waiting on a running stream,
    // is a failed device.
    static constexpr std::chrono::milliseconds StallLimit{2000};

    // The first one silences the ALSA and JACK libraries' start-up chatter and
    // initialises PortAudio.
    TPortAudioWaveDevice();
    // Closes streams still open.
    ~TPortAudioWaveDevice() override;
    TPortAudioWaveDevice(const TPortAudioWaveDevice&) = delete;
    TPortAudioWaveDevice& operator=(const TPortAudioWaveDevice&) = delete;

    // Whether PortAudio's latest initialisation succeeded.
    bool Initialized() const;

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
    // Caller holds FMutex and uses PortAudio.
    int OutputDevice(int deviceId, MmResult& error);
    // Caller holds FMutex and uses PortAudio: PortAudio refreshed when no
    // stream is open, then device `deviceId` as it is now; null with `error`
    // set when there is none.
    const PaDeviceInfo* CurrentOutputDevice(int deviceId, int& device, MmResult& error);
    // Caller holds FMutex; the stream's poster has stopped. Closes the stream.
    MmResult Retire(std::unique_ptr<TStream> stream);

    std::mutex FMutex; // every operation; never taken by a callback or a poster
    std::map<HWaveOut, std::unique_ptr<TStream>> FStreams;
    HWaveOut FNextHandle = 1;
    MmResult FLastCode = mmsyserr::NoError;
    std::string FLastDetail;
};

} // namespace corvane
