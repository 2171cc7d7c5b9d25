#include "PortAudioWaveDevice.h"

#include "Platform.h"
#include "ThreadMessageQueue.h"

#include <alsa/error.h>
#include <jack/jack.h>
#include <portaudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace corvane {

namespace {

// Below this PulseAudio (behind ALSA) stalls for seconds at the start.
constexpr double MinLatencySeconds = 0.25;
// Blocks a stream can hold at once (TWaveOut queues at most its ring size - 1).
constexpr size_t StreamRing = 1024;

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}
void QuietJack(const char*) {}

// ALSA and JACK print about a hundred lines while PortAudio probes them on a
// machine without a sound card or JACK server.
void SilenceAudioLibraries() {
    static const bool done = [] {
        snd_lib_error_set_handler(QuietAlsa);
        jack_set_error_function(QuietJack);
        jack_set_info_function(QuietJack);
        return true;
    }();
    (void)done;
}

MmResult MapPaError(PaError error) {
    switch (error) {
    case paNoError:
        return mmsyserr::NoError;
    case paInvalidSampleRate:
    case paInvalidChannelCount:
    case paSampleFormatNotSupported:
    case paBadIODeviceCombination:
        return waverr::BadFormat;
    case paInsufficientMemory:
        return mmsyserr::NoMem;
    case paDeviceUnavailable:
        return mmsyserr::Allocated;
    case paInvalidDevice:
        return mmsyserr::BadDeviceId;
    case paNotInitialized:
        return mmsyserr::NoDriver;
    case paBadStreamPtr:
        return mmsyserr::InvalHandle;
    default:
        return mmsyserr::Error;
    }
}

std::string PaErrorText(const char* call, PaError error) {
    std::string text = std::string(call) + " failed: " + Pa_GetErrorText(error) + " (" +
                       std::to_string(error) + ")";
    if (error == paUnanticipatedHostError) {
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host && host->errorText)
            text += ": " + std::string(host->errorText);
    }
    return text;
}

bool SampleFormat(uint16_t bits, PaSampleFormat& format) {
    switch (bits) {
    case 8:
        format = paUInt8;
        return true;
    case 16:
        format = paInt16;
        return true;
    case 24:
        format = paInt24;
        return true;
    case 32:
        format = paInt32;
        return true;
    default:
        return false;
    }
}

} // namespace

struct TPortAudioWaveDevice::TStream {
    HWaveOut handle = 0;
    PaStream* pa = nullptr;
    std::thread::id notify;
    uint32_t blockAlign = 1;
    uint32_t samplesPerSec = 1;
    unsigned char silence = 0;

    // The ring: [done, head) played, messages not yet posted; [head, tail)
    // queued. The callback advances head; Write advances tail and the poster
    // advances done, both under postMutex.
    std::array<TWaveHdr*, StreamRing> slots{};
    std::atomic<size_t> head{0};
    std::atomic<size_t> tail{0};
    size_t done = 0;
    size_t offset = 0; // bytes of slots[head] already played: the callback's, or Reset's
    std::atomic<bool> paused{false};
    std::atomic<uint64_t> playedFrames{0};

    // While `excluded` is set the callback leaves the ring alone; Reset sets it
    // and waits for `inCallback` to clear (each side stores, then loads the
    // other's flag, so at least one of them sees the other).
    std::atomic<bool> excluded{false};
    std::atomic<bool> inCallback{false};

    std::mutex postMutex;
    std::thread poster;
    std::mutex posterWakeMutex;
    std::condition_variable posterWake;
    bool stopPoster = false;

    static int Callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags flags,
                        void* user);
    // postMutex held: posts a message for every played block in order.
    void PostPlayed();
    void RunPoster();
    void StopPoster();
};

int TPortAudioWaveDevice::TStream::Callback(const void*, void* output, unsigned long frames,
                                            const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                                            void* user) {
    TStream& s = *static_cast<TStream*>(user);
    auto* out = static_cast<unsigned char*>(output);
    size_t want = static_cast<size_t>(frames) * s.blockAlign;

    s.inCallback.store(true);
    if (!s.excluded.load() && !s.paused.load(std::memory_order_relaxed)) {
        size_t h = s.head.load(std::memory_order_relaxed);
        const size_t t = s.tail.load(std::memory_order_acquire);
        size_t played = 0;
        while (want > 0 && h != t) {
            const TWaveHdr& header = *s.slots[h];
            // Whole frames only; a ragged tail of a block is not played.
            const size_t usable = header.dwBufferLength - header.dwBufferLength % s.blockAlign;
            const size_t n = std::min(usable - s.offset, want);
            std::memcpy(out, header.lpData + s.offset, n);
            out += n;
            want -= n;
            played += n;
            s.offset += n;
            if (s.offset >= usable) {
                s.offset = 0;
                h = (h + 1) % StreamRing;
            }
        }
        s.head.store(h, std::memory_order_release);
        s.playedFrames.fetch_add(played / s.blockAlign, std::memory_order_relaxed);
    }
    if (want > 0)
        std::memset(out, s.silence, want);
    s.inCallback.store(false);
    return paContinue;
}

void TPortAudioWaveDevice::TStream::PostPlayed() {
    const size_t h = head.load(std::memory_order_acquire);
    while (done != h) {
        TWaveHdr* header = slots[done];
        header->dwFlags = (header->dwFlags & ~WhdrInQueue) | WhdrDone;
        PostThreadMessage(notify, WomDoneMessage, handle, reinterpret_cast<intptr_t>(header));
        done = (done + 1) % StreamRing;
    }
}

void TPortAudioWaveDevice::TStream::RunPoster() {
    using namespace std::chrono_literals;
    std::unique_lock wake(posterWakeMutex);
    while (!stopPoster) {
        posterWake.wait_for(wake, 10ms, [this] { return stopPoster; });
        wake.unlock();
        {
            std::lock_guard lock(postMutex);
            PostPlayed();
        }
        wake.lock();
    }
}

void TPortAudioWaveDevice::TStream::StopPoster() {
    if (!poster.joinable())
        return;
    {
        std::lock_guard wake(posterWakeMutex);
        stopPoster = true;
    }
    posterWake.notify_all();
    poster.join();
}

// ---------------------------------------------------------------------------

namespace {
// PortAudio is initialised once per process and never terminated: terminating
// makes ALSA unload plugin modules whose allocations are then lost, and every
// new initialisation probes all devices again (hundreds of milliseconds).
PaError InitializePortAudio() {
    static std::mutex mutex;
    static bool initialized = false;
    std::lock_guard lock(mutex);
    if (initialized)
        return paNoError;
    SilenceAudioLibraries();
    const PaError error = Pa_Initialize();
    initialized = error == paNoError;
    return error;
}
} // namespace

TPortAudioWaveDevice::TPortAudioWaveDevice() {
    const PaError error = InitializePortAudio();
    FInitialized = error == paNoError;
    if (!FInitialized)
        Fail(MapPaError(error), PaErrorText("Pa_Initialize", error));
}

TPortAudioWaveDevice::~TPortAudioWaveDevice() {
    std::lock_guard lock(FMutex);
    for (auto& [handle, stream] : FStreams) {
        stream->StopPoster();
        PaError pa = Pa_AbortStream(stream->pa);
        if (pa != paNoError && pa != paStreamIsStopped)
            Fail(MapPaError(pa), PaErrorText("Pa_AbortStream", pa));
        pa = Pa_CloseStream(stream->pa);
        if (pa != paNoError)
            Fail(MapPaError(pa), PaErrorText("Pa_CloseStream", pa));
    }
    FStreams.clear();
}

MmResult TPortAudioWaveDevice::Fail(MmResult code, const std::string& detail) {
    DebugOutput("PortAudio device: " + detail);
    FLastCode = code;
    FLastDetail = detail;
    return code;
}

TPortAudioWaveDevice::TStream* TPortAudioWaveDevice::Find(HWaveOut handle) {
    const auto it = FStreams.find(handle);
    return it == FStreams.end() ? nullptr : it->second.get();
}

int TPortAudioWaveDevice::OutputDevice(int deviceId, MmResult& error) {
    error = mmsyserr::NoError;
    if (!FInitialized) {
        error = Fail(mmsyserr::NoDriver, "PortAudio is not initialised");
        return -1;
    }
    if (deviceId == WaveMapper) {
        const PaDeviceIndex index = Pa_GetDefaultOutputDevice();
        if (index < 0)
            error = Fail(mmsyserr::NoDriver, "Pa_GetDefaultOutputDevice: no default output device");
        return index;
    }
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        error = Fail(MapPaError(count), PaErrorText("Pa_GetDeviceCount", count));
        return -1;
    }
    int seen = 0;
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || info->maxOutputChannels <= 0)
            continue;
        if (seen++ == deviceId)
            return i;
    }
    error = Fail(mmsyserr::BadDeviceId, "no output device number " + std::to_string(deviceId));
    return -1;
}

MmResult TPortAudioWaveDevice::Open(HWaveOut& handle, int deviceId, const TWaveFormatEx& format,
                                    std::thread::id notifyThread, uintptr_t) {
    std::lock_guard lock(FMutex);
    handle = 0;
    PaSampleFormat sampleFormat = 0;
    if (format.wFormatTag != WaveFormatPcm || format.nChannels == 0 || format.nSamplesPerSec == 0 ||
        !SampleFormat(format.wBitsPerSample, sampleFormat) ||
        format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
        return Fail(waverr::BadFormat,
                    "unplayable format: tag " + std::to_string(format.wFormatTag) + ", " +
                        std::to_string(format.nChannels) + " channels, " +
                        std::to_string(format.wBitsPerSample) + " bits, " +
                        std::to_string(format.nSamplesPerSec) + " samples/s, block align " +
                        std::to_string(format.nBlockAlign));
    }
    MmResult error = mmsyserr::NoError;
    const int device = OutputDevice(deviceId, error);
    if (error != mmsyserr::NoError)
        return error;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (!info)
        return Fail(mmsyserr::BadDeviceId, "Pa_GetDeviceInfo: no device " + std::to_string(device));

    PaStreamParameters params{};
    params.device = device;
    params.channelCount = format.nChannels;
    params.sampleFormat = sampleFormat;
    params.suggestedLatency = std::max(MinLatencySeconds, info->defaultHighOutputLatency);
    params.hostApiSpecificStreamInfo = nullptr;

    PaError pa = Pa_IsFormatSupported(nullptr, &params, format.nSamplesPerSec);
    if (pa != paFormatIsSupported)
        return Fail(MapPaError(pa), PaErrorText("Pa_IsFormatSupported", pa));

    auto stream = std::make_unique<TStream>();
    stream->notify = notifyThread;
    stream->blockAlign = format.nBlockAlign;
    stream->samplesPerSec = format.nSamplesPerSec;
    stream->silence = format.wBitsPerSample == 8 ? 0x80 : 0x00;
    pa = Pa_OpenStream(&stream->pa, nullptr, &params, format.nSamplesPerSec,
                       paFramesPerBufferUnspecified, paNoFlag, &TStream::Callback, stream.get());
    if (pa != paNoError)
        return Fail(MapPaError(pa), PaErrorText("Pa_OpenStream", pa));
    pa = Pa_StartStream(stream->pa);
    if (pa != paNoError) {
        const MmResult code = Fail(MapPaError(pa), PaErrorText("Pa_StartStream", pa));
        const PaError closed = Pa_CloseStream(stream->pa);
        if (closed != paNoError)
            Fail(code, PaErrorText("Pa_CloseStream", closed));
        return code;
    }
    stream->handle = FNextHandle++;
    TStream* s = stream.get();
    s->poster = std::thread([s] { s->RunPoster(); });
    handle = s->handle;
    FStreams.emplace(handle, std::move(stream));
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::PrepareHeader(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    if (!Find(handle))
        return mmsyserr::InvalHandle;
    if (!header.lpData && header.dwBufferLength > 0)
        return mmsyserr::InvalParam;
    header.dwFlags |= WhdrPrepared;
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::UnprepareHeader(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard post(s->postMutex);
    if (header.dwFlags & WhdrInQueue)
        return waverr::StillPlaying;
    header.dwFlags &= ~WhdrPrepared;
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::Write(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard post(s->postMutex);
    if (!(header.dwFlags & WhdrPrepared))
        return waverr::Unprepared;
    if (header.dwFlags & WhdrInQueue)
        return waverr::StillPlaying;
    const size_t t = s->tail.load(std::memory_order_relaxed);
    const size_t next = (t + 1) % StreamRing;
    if (next == s->done)
        return Fail(mmsyserr::NoMem,
                    "Write: more than " + std::to_string(StreamRing - 1) + " blocks queued");
    header.dwFlags = (header.dwFlags & ~WhdrDone) | WhdrInQueue;
    s->slots[t] = &header;
    s->tail.store(next, std::memory_order_release);
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::Pause(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    s->paused.store(true);
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::Restart(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    s->paused.store(false);
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::Reset(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard post(s->postMutex);
    s->excluded.store(true);
    while (s->inCallback.load())
        std::this_thread::yield();
    // The callback is off the ring: every queued block counts as played.
    s->head.store(s->tail.load(std::memory_order_relaxed), std::memory_order_release);
    s->offset = 0;
    s->playedFrames.store(0);
    s->PostPlayed();
    s->excluded.store(false);
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::Close(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    const auto it = FStreams.find(handle);
    if (it == FStreams.end())
        return mmsyserr::InvalHandle;
    TStream* s = it->second.get();
    {
        std::lock_guard post(s->postMutex);
        if (s->head.load() != s->tail.load(std::memory_order_relaxed))
            return waverr::StillPlaying;
    }
    s->StopPoster();
    PaError pa = Pa_AbortStream(s->pa);
    if (pa != paNoError && pa != paStreamIsStopped)
        Fail(MapPaError(pa), PaErrorText("Pa_AbortStream", pa));
    pa = Pa_CloseStream(s->pa);
    MmResult result = mmsyserr::NoError;
    if (pa != paNoError)
        result = Fail(MapPaError(pa), PaErrorText("Pa_CloseStream", pa));
    // The stream is gone either way; deliver what it played last.
    s->PostPlayed();
    FStreams.erase(it);
    return result;
}

MmResult TPortAudioWaveDevice::GetPosition(HWaveOut handle, TMmTime& time) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    const uint64_t frames = s->playedFrames.load();
    switch (time.wType) {
    case TimeSamples:
        time.value = static_cast<uint32_t>(frames);
        break;
    case TimeMs:
        time.value = static_cast<uint32_t>(frames * 1000 / s->samplesPerSec);
        break;
    default:
        time.wType = TimeBytes;
        time.value = static_cast<uint32_t>(frames * s->blockAlign);
        break;
    }
    return mmsyserr::NoError;
}

MmResult TPortAudioWaveDevice::GetDevCaps(int deviceId, TWaveOutCaps& caps) {
    std::lock_guard lock(FMutex);
    MmResult error = mmsyserr::NoError;
    const int device = OutputDevice(deviceId, error);
    if (error != mmsyserr::NoError)
        return error;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (!info)
        return Fail(mmsyserr::BadDeviceId, "Pa_GetDeviceInfo: no device " + std::to_string(device));
    caps = TWaveOutCaps{};
    if (info->name) {
        const size_t n = std::min(std::strlen(info->name), sizeof caps.szPname - 1);
        std::memcpy(caps.szPname, info->name, n);
    }
    caps.wChannels = static_cast<uint16_t>(std::clamp(info->maxOutputChannels, 0, 0xFFFF));
    return mmsyserr::NoError;
}

uint32_t TPortAudioWaveDevice::GetNumDevs() {
    std::lock_guard lock(FMutex);
    if (!FInitialized)
        return 0;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        Fail(MapPaError(count), PaErrorText("Pa_GetDeviceCount", count));
        return 0;
    }
    uint32_t outputs = 0;
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info && info->maxOutputChannels > 0)
            ++outputs;
    }
    return outputs;
}

std::string TPortAudioWaveDevice::GetErrorText(MmResult code) {
    std::lock_guard lock(FMutex);
    std::string text = WaveErrorDescription(code);
    if (code == FLastCode && !FLastDetail.empty())
        text += " (" + FLastDetail + ")";
    if (text.size() > MaxErrorText - 1)
        text.resize(MaxErrorText - 1);
    return text;
}

} // namespace corvane
