#pragma once

// The waveform-audio output service that TWaveOut is written against: the
// operations, records and result codes of the classic waveOut interface, so
// that PortAudio, a test device or a native waveOut device can sit behind it.
//
// Completions: a device opened for a thread posts one WomDoneMessage per
// finished block (played, or returned by Reset) to that thread's message queue
// (ThreadMessageQueue.h), in the order the blocks were written; wParam is the
// device handle, lParam the block's header.
//
// Failure: a device that stops playing by itself while open (the sound server
// went away, the stream stalled) posts one WomFailedMessage, lParam the result
// code that says why, and then returns every queued block as done. From then
// on it returns each block written to it as done at once, and Pause, Restart,
// Reset and Close work as usual, so the owner can close it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace corvane {

// Result of every device operation: 0 or one of the codes below.
using MmResult = uint32_t;

// Result codes, numbered as the waveOut interface numbers them. (Not named
// like its macros, so a native device can include the system headers.)
namespace mmsyserr {
inline constexpr MmResult NoError = 0;
inline constexpr MmResult Error = 1;
inline constexpr MmResult BadDeviceId = 2;
inline constexpr MmResult NotEnabled = 3;
inline constexpr MmResult Allocated = 4;
inline constexpr MmResult InvalHandle = 5;
inline constexpr MmResult NoDriver = 6;
inline constexpr MmResult NoMem = 7;
inline constexpr MmResult NotSupported = 8;
inline constexpr MmResult BadErrNum = 9;
inline constexpr MmResult InvalFlag = 10;
inline constexpr MmResult InvalParam = 11;
} // namespace mmsyserr
namespace waverr {
inline constexpr MmResult BadFormat = 32;
inline constexpr MmResult StillPlaying = 33;
inline constexpr MmResult Unprepared = 34;
inline constexpr MmResult Sync = 35;
} // namespace waverr

// The block-done message a device posts per finished block (MM_WOM_DONE).
inline constexpr uint32_t WomDoneMessage = 957;
// The message a device posts once when it fails while open (see above). Not a
// waveOut message: numbered in the range left to applications.
inline constexpr uint32_t WomFailedMessage = 0x8000 + WomDoneMessage;

// Device number that selects the default output device (the mapper).
inline constexpr int WaveMapper = -1;

// Header flags (dwFlags).
inline constexpr uint32_t WhdrDone = 0x01;
inline constexpr uint32_t WhdrPrepared = 0x02;
inline constexpr uint32_t WhdrBeginLoop = 0x04;
inline constexpr uint32_t WhdrEndLoop = 0x08;
inline constexpr uint32_t WhdrInQueue = 0x10;

// Position units (TMmTime::wType).
inline constexpr uint32_t TimeMs = 0x01;
inline constexpr uint32_t TimeSamples = 0x02;
inline constexpr uint32_t TimeBytes = 0x04;

inline constexpr uint16_t WaveFormatPcm = 1;

// PCM format record; the fields of WAVEFORMATEX (18 bytes there).
struct TWaveFormatEx {
    uint16_t wFormatTag = WaveFormatPcm;
    uint16_t nChannels = 1;
    uint32_t nSamplesPerSec = 8000;
    uint32_t nAvgBytesPerSec = 16000;
    uint16_t nBlockAlign = 2;
    uint16_t wBitsPerSample = 16;
    uint16_t cbSize = 0;

    bool operator==(const TWaveFormatEx&) const = default;
};

// Block header; the fields of WAVEHDR. The caller owns the header and its data
// block; a device holds on to both from Write until the block is done.
struct TWaveHdr {
    char* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    uint32_t dwBytesRecorded = 0;
    uintptr_t dwUser = 0;
    uint32_t dwFlags = 0;
    uint32_t dwLoops = 0;
    TWaveHdr* lpNext = nullptr;
    uintptr_t reserved = 0;
};

// Position record; the device may change wType to a unit it supports.
struct TMmTime {
    uint32_t wType = TimeBytes;
    uint32_t value = 0;
};

// Device capabilities; the fields of WAVEOUTCAPSA (52 bytes there).
struct TWaveOutCaps {
    uint16_t wMid = 0;
    uint16_t wPid = 0;
    uint32_t vDriverVersion = 0;
    char szPname[32] = {}; // product name, zero-terminated, at most 31 characters
    uint32_t dwFormats = 0;
    uint16_t wChannels = 0;
    uint16_t wReserved1 = 0;
    uint32_t dwSupport = 0;
};

// An open device; 0 is no device.
using HWaveOut = uintptr_t;

// Longest error description a device returns, terminator included.
inline constexpr size_t MaxErrorText = 128;

// The rules of a block's header that every device keeps, as waveOut keeps
// them. Each returns mmsyserr::NoError and sets the flags, or an error and
// leaves them.
// Prepared: mmsyserr::InvalParam for a length without data.
MmResult MarkWaveHeaderPrepared(TWaveHdr& header);
// Unprepared: waverr::StillPlaying while the block is queued.
MmResult MarkWaveHeaderUnprepared(TWaveHdr& header);
// Whether the block may be written: waverr::Unprepared, waverr::StillPlaying.
MmResult CheckWaveHeaderWritable(const TWaveHdr& header);
// Queued for playing, and back from it.
void MarkWaveHeaderQueued(TWaveHdr& header);
void MarkWaveHeaderDone(TWaveHdr& header);

class TWaveDevice {
public:
    virtual ~TWaveDevice() = default;

    // Opens device `deviceId` (WaveMapper: the default device) for `format`; block-done
    // messages go to the queue of `notifyThread`. The device starts running (not paused).
    virtual MmResult Open(HWaveOut& handle, int deviceId, const TWaveFormatEx& format,
                          std::thread::id notifyThread, uintptr_t instance) = 0;
    virtual MmResult PrepareHeader(HWaveOut handle, TWaveHdr& header) = 0;
    // waverr::StillPlaying while the block is queued.
    virtual MmResult UnprepareHeader(HWaveOut handle, TWaveHdr& header) = 0;
    // Appends a prepared block to the play queue (waverr::Unprepared otherwise).
    virtual MmResult Write(HWaveOut handle, TWaveHdr& header) = 0;
    virtual MmResult Pause(HWaveOut handle) = 0;
    virtual MmResult Restart(HWaveOut handle) = 0;
    // Stops, returns every queued block as done (their messages are posted before
    // Reset returns) and sets the position to 0.
    virtual MmResult Reset(HWaveOut handle) = 0;
    // waverr::StillPlaying while blocks are queued.
    virtual MmResult Close(HWaveOut handle) = 0;
    virtual MmResult GetPosition(HWaveOut handle, TMmTime& time) = 0;
    virtual MmResult GetDevCaps(int deviceId, TWaveOutCaps& caps) = 0;
    virtual uint32_t GetNumDevs() = 0;
    // A description of `code` for the user, at most MaxErrorText - 1 characters.
    virtual std::string GetErrorText(MmResult code) = 0;
};

// A plain description of a result code, for devices without their own.
std::string WaveErrorDescription(MmResult code);

// The device TWaveOut uses when it is given none: the sound card's device
// (PortAudio; WinMM on Windows) unless another one was installed. Main thread;
// the device must outlive every TWaveOut that uses it.
// SetDefaultWaveDevice(nullptr) restores the sound card's device.
TWaveDevice& DefaultWaveDevice();
void SetDefaultWaveDevice(TWaveDevice* device);

} // namespace corvane
