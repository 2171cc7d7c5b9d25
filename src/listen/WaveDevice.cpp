#include "WaveDevice.h"

#ifdef _WIN32
#include "WinMmWaveDevice.h"
#else
#include "PortAudioWaveDevice.h"
#endif

#include <atomic>

namespace corvane {

std::string WaveErrorDescription(MmResult code) {
    switch (code) {
    case mmsyserr::NoError:
        return "The operation succeeded.";
    case mmsyserr::Error:
        return "The sound output reported an unspecified error.";
    case mmsyserr::BadDeviceId:
        return "There is no sound output device with this number.";
    case mmsyserr::NotEnabled:
        return "The sound output driver is not enabled.";
    case mmsyserr::Allocated:
        return "The sound output device is in use by another program.";
    case mmsyserr::InvalHandle:
        return "The sound output device is not open.";
    case mmsyserr::NoDriver:
        return "No sound output device is installed.";
    case mmsyserr::NoMem:
        return "Not enough memory for the sound output.";
    case mmsyserr::NotSupported:
        return "The sound output device does not support this function.";
    case mmsyserr::BadErrNum:
        return "The error number is not known.";
    case mmsyserr::InvalFlag:
        return "An invalid flag was passed to the sound output.";
    case mmsyserr::InvalParam:
        return "An invalid parameter was passed to the sound output.";
    case waverr::BadFormat:
        return "The sound output device cannot play this format.";
    case waverr::StillPlaying:
        return "The sound output is still playing queued blocks.";
    case waverr::Unprepared:
        return "The block was not prepared for the sound output.";
    case waverr::Sync:
        return "The sound output device is synchronous.";
    default:
        return "Unknown sound output error " + std::to_string(code) + ".";
    }
}

MmResult MarkWaveHeaderPrepared(TWaveHdr& header) {
    if (!header.lpData && header.dwBufferLength > 0)
        return mmsyserr::InvalParam;
    header.dwFlags |= WhdrPrepared;
    return mmsyserr::NoError;
}

MmResult MarkWaveHeaderUnprepared(TWaveHdr& header) {
    if (header.dwFlags & WhdrInQueue)
        return waverr::StillPlaying;
    header.dwFlags &= ~WhdrPrepared;
    return mmsyserr::NoError;
}

MmResult CheckWaveHeaderWritable(const TWaveHdr& header) {
    if (!(header.dwFlags & WhdrPrepared))
        return waverr::Unprepared;
    if (header.dwFlags & WhdrInQueue)
        return waverr::StillPlaying;
    return mmsyserr::NoError;
}

void MarkWaveHeaderQueued(TWaveHdr& header) {
    header.dwFlags = (header.dwFlags & ~WhdrDone) | WhdrInQueue;
}

void MarkWaveHeaderDone(TWaveHdr& header) {
    header.dwFlags = (header.dwFlags & ~WhdrInQueue) | WhdrDone;
}

namespace {
std::atomic<TWaveDevice*> g_installed{nullptr};
#ifdef _WIN32
using TSoundCardDevice = TWinMmWaveDevice;
#else
using TSoundCardDevice = TPortAudioWaveDevice;
#endif
} // namespace

TWaveDevice& DefaultWaveDevice() {
    if (TWaveDevice* installed = g_installed.load())
        return *installed;
    // Created on first use and never destroyed: a TWaveOut may still close
    // its device while static objects are being torn down.
    static TSoundCardDevice* soundCard = new TSoundCardDevice;
    return *soundCard;
}

void SetDefaultWaveDevice(TWaveDevice* device) {
    g_installed.store(device);
}

} // namespace corvane
