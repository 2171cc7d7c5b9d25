#include "PortAudioWaveDevice.h"

#include "OutputLevel.h"
#include "Platform.h"
#include "ThreadMessageQueue.h"

#include <alsa/error.h>
#include <jack/jack.h>
#include <portaudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <link.h>
#include <semaphore.h>
#include <time.h>

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;

// The listening level is applied in the callback, so a change is heard one
// callback period plus the device's latency later; both stay short enough
// for that to be within a fifth of a second.
constexpr double MinLatencySeconds = 0.1;
// Blocks a stream can hold at once (TWaveOut queues at most its ring size - 1).
constexpr size_t StreamRing = 1024;
// How long an operation waits for PortAudio while a failed stream is being
// closed on its own thread.
constexpr std::chrono::milliseconds PortAudioWait{2000};

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}
void QuietJack(const char*) {}

// ALSA and JACK print about a hundred lines while PortAudio probes them on a
// machine without a sound card or JACK server. The handlers stay installed
// across PortAudio's re-initialisations (both libraries stay loaded).
void SilenceAudioLibraries() {
    static const bool done = [] {
        snd_lib_error_set_handler(QuietAlsa);
        jack_set_error_function(QuietJack);
        jack_set_info_function(QuietJack);
        return true;
    }();
    (void)done;
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

// A twelfth of a second per callback: PortAudio's own choice wakes its
// thread (and the sound server behind it) several times as often, and a
// longer period would delay a change of the listening level.
unsigned long FramesPerBuffer(uint32_t samplesPerSec) {
    return std::max<unsigned long>(64, samplesPerSec / 12);
}

// PortAudio for the whole process: its calls are not safe from several
// threads at once, and it may only be initialised again while no stream of any
// device is open. One thread at a time uses it (PortAudioUse).
struct PortAudioState {
    std::mutex mutex; // guards inUse only, briefly
    std::condition_variable released;
    bool inUse = false;
    // Touched only by the thread that uses PortAudio:
    std::atomic<bool> initialized{false}; // also read by anyone
    int openStreams = 0;                  // a failed stream counts until it is closed
    std::set<std::string> keptLoaded;
};

PortAudioState& PortAudio() {
    static auto* state =
        new PortAudioState; // never destroyed: a closing thread may outlive statics
    return *state;
}

// The right to call PortAudio, for the life of this object. A thread closing
// a stalled stream may hold it for as long as a hung sound server makes it
// wait, so the others wait only `patience` for it and then check Held().
class PortAudioUse {
public:
    explicit PortAudioUse(std::chrono::milliseconds patience) {
        PortAudioState& state = PortAudio();
        std::unique_lock lock(state.mutex);
        FHeld = state.released.wait_for(lock, patience, [&] { return !state.inUse; });
        if (FHeld)
            state.inUse = true;
    }
    ~PortAudioUse() {
        if (!FHeld)
            return;
        PortAudioState& state = PortAudio();
        {
            std::lock_guard lock(state.mutex);
            state.inUse = false;
        }
        state.released.notify_all();
    }
    PortAudioUse(const PortAudioUse&) = delete;
    PortAudioUse& operator=(const PortAudioUse&) = delete;
    bool Held() const { return FHeld; }

private:
    bool FHeld = false;
};

// ALSA unloads its plugin modules when PortAudio terminates, and what the
// libraries they bring in (PulseAudio's client among them) allocate while
// loading is lost each time. Kept loaded, the modules are reused by the next
// initialisation instead. Caller uses PortAudio.
void KeepAlsaModulesLoaded() {
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "libasound_module_"))
                static_cast<std::vector<std::string>*>(data)->push_back(info->dlpi_name);
            return 0;
        },
        &names);
    for (const std::string& name : names)
        if (PortAudio().keptLoaded.insert(name).second)
            (void)dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE); // never closed
}

// Caller uses PortAudio. While no stream is open PortAudio is
// initialised anew, so that it sees the devices and the default device as they
// are now; otherwise it stays as it is.
PaError RefreshPortAudio() {
    PortAudioState& state = PortAudio();
    if (state.openStreams > 0)
        return state.initialized ? paNoError : paNotInitialized;
    SilenceAudioLibraries();
    if (state.initialized.exchange(false)) {
        const PaError terminated = Pa_Terminate();
        if (terminated != paNoError)
            DebugOutput("PortAudio device: " + PaErrorText("Pa_Terminate", terminated));
    }
    const PaError error = Pa_Initialize();
    if (error != paNoError)
        return error;
    state.initialized = true;
    KeepAlsaModulesLoaded();
    return paNoError;
}

// Caller uses PortAudio.
void AbortAndClose(PaStream* pa) {
    PaError error = Pa_AbortStream(pa);
    if (error != paNoError && error != paStreamIsStopped)
        DebugOutput("PortAudio device: " + PaErrorText("Pa_AbortStream", error));
    error = Pa_CloseStream(pa);
    if (error != paNoError)
        DebugOutput("PortAudio device: " + PaErrorText("Pa_CloseStream", error));
}

timespec MonotonicTimespec(Clock::time_point t) {
    // steady_clock counts CLOCK_MONOTONIC.
    const auto since = t.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds.count());
    ts.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    return ts;
}

} // namespace

MmResult PortAudioErrorResult(int paError) {
    switch (paError) {
    case paNoError:
        return mmsyserr::NoError;
    case paInvalidSampleRate:
    case paInvalidChannelCount:
    case paSampleFormatNotSupported:
        return waverr::BadFormat;
    // For an output-only stream PortAudio reports a device it cannot open (gone,
    // or its sound server gone) as a bad combination of devices.
    case paBadIODeviceCombination:
    case paNotInitialized:
    case paHostApiNotFound:
    case paInvalidHostApi:
        return mmsyserr::NoDriver;
    case paDeviceUnavailable:
        return mmsyserr::Allocated;
    case paInvalidDevice:
        return mmsyserr::BadDeviceId;
    case paInsufficientMemory:
        return mmsyserr::NoMem;
    case paBadStreamPtr:
        return mmsyserr::InvalHandle;
    default:
        return mmsyserr::Error;
    }
}

struct TPortAudioWaveDevice::TStream {
    TStream() { sem_init(&wake, 0, 0); }
    ~TStream() { sem_destroy(&wake); }
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    HWaveOut handle = 0;
    PaStream* pa = nullptr;
    std::thread::id notify;
    uint32_t blockAlign = 1;
    uint32_t samplesPerSec = 1;
    unsigned char silence = 0;
    unsigned channels = 1;
    bool pcm16 = false; // the listener's level applies to 16-bit streams

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

    // While `excluded` is set the callback leaves the ring alone; Reset and a
    // failure set it and wait for `inCallback` to clear (each side stores,
    // then loads the other's flag, so at least one of them sees the other).
    std::atomic<bool> excluded{false};
    std::atomic<bool> inCallback{false};

    std::mutex postMutex;
    bool failed = false;  // under postMutex; for good once set
    bool stalled = false; // under postMutex: failed while PortAudio still ran it

    // The poster sleeps on `wake`, posted (never blocking, never allocating)
    // by the callback when a block has played, by PortAudio's finished
    // callback, by Write and Restart when blocks begin to be expected, and by
    // StopPoster.
    std::thread poster;
    sem_t wake;
    std::atomic<bool> stopPoster{false};
    std::atomic<bool> finished{false};  // PortAudio's stream-finished callback ran
    std::atomic<Clock::rep> armedAt{0}; // when blocks were last expected to start playing
    Clock::time_point lastProgress;     // poster only: when a block last finished

    static int Callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags flags,
                        void* user);
    static void Finished(void* user);
    void Wake() { sem_post(&wake); }
    // Blocks will be expected to play from now on.
    void Arm() {
        armedAt.store(Clock::now().time_since_epoch().count());
        Wake();
    }
    bool Expecting() const {
        return !paused.load() && head.load(std::memory_order_acquire) != tail.load();
    }
    Clock::time_point StallDeadline() const {
        return std::max(Clock::time_point(Clock::duration(armedAt.load())), lastProgress) +
               StallLimit;
    }
    // postMutex held: posts a message for every played block in order; false
    // when there was none.
    bool PostPlayed();
    // postMutex held: the stream has stopped playing by itself.
    void FailLocked(const std::string& why, bool stillRunning);
    void RunPoster();
    void StopPoster();
    // Closes a stream whose poster has stopped on a thread of its own.
    static void CloseLater(std::unique_ptr<TStream> stream);
};

int TPortAudioWaveDevice::TStream::Callback(const void*, void* output, unsigned long frames,
                                            const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                                            void* user) {
    TStream& s = *static_cast<TStream*>(user);
    auto* out = static_cast<unsigned char*>(output);
    size_t want = static_cast<size_t>(frames) * s.blockAlign;

    s.inCallback.store(true);
    if (!s.excluded.load() && !s.paused.load(std::memory_order_relaxed)) {
        const size_t first = s.head.load(std::memory_order_relaxed);
        size_t h = first;
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
        if (h != first)
            s.Wake();
    }
    if (want > 0)
        std::memset(out, s.silence, want);
    // Here rather than when a block is queued, so a change is heard at once.
    if (s.pcm16)
        ShapePcm16(static_cast<int16_t*>(output), frames, s.channels, CurrentOutputLevel());
    s.inCallback.store(false);
    return paContinue;
}

void TPortAudioWaveDevice::TStream::Finished(void* user) {
    TStream& s = *static_cast<TStream*>(user);
    s.finished.store(true);
    s.Wake();
}

bool TPortAudioWaveDevice::TStream::PostPlayed() {
    const size_t h = head.load(std::memory_order_acquire);
    const bool any = done != h;
    while (done != h) {
        TWaveHdr* header = slots[done];
        MarkWaveHeaderDone(*header);
        PostThreadMessage(notify, WomDoneMessage, handle, reinterpret_cast<intptr_t>(header));
        done = (done + 1) % StreamRing;
    }
    return any;
}

void TPortAudioWaveDevice::TStream::FailLocked(const std::string& why, bool stillRunning) {
    failed = true;
    stalled = stillRunning;
    DebugOutput("PortAudio device: stream " + std::to_string(handle) + " failed: " + why);
    // The owner hears of the failure before its blocks come back.
    PostThreadMessage(notify, WomFailedMessage, handle, static_cast<intptr_t>(mmsyserr::NoDriver));
    excluded.store(true); // for good: whatever the callback still does, it plays silence
    while (inCallback.load())
        std::this_thread::yield();
    head.store(tail.load(std::memory_order_relaxed), std::memory_order_release);
    offset = 0;
    PostPlayed();
}

void TPortAudioWaveDevice::TStream::RunPoster() {
    lastProgress = Clock::now();
    for (;;) {
        if (Expecting()) {
            const timespec deadline = MonotonicTimespec(StallDeadline());
            while (sem_clockwait(&wake, CLOCK_MONOTONIC, &deadline) != 0 && errno == EINTR) {
            }
        } else {
            while (sem_wait(&wake) != 0 && errno == EINTR) {
            }
        }
        while (sem_trywait(&wake) == 0) {
        } // one pass serves every wake-up so far
        if (stopPoster.load())
            return;
        std::lock_guard lock(postMutex);
        if (failed)
            continue;
        if (PostPlayed())
            lastProgress = Clock::now();
        if (finished.load())
            FailLocked("PortAudio finished the stream (its device or sound server went away)",
                       false);
        else if (Pa_IsStreamActive(pa) != 1)
            FailLocked("the stream is no longer active", false);
        else if (Expecting() && Clock::now() >= StallDeadline())
            FailLocked("no block finished for " + std::to_string(StallLimit.count()) +
                           " ms while blocks were queued",
                       true);
    }
}

void TPortAudioWaveDevice::TStream::StopPoster() {
    if (!poster.joinable())
        return;
    stopPoster.store(true);
    Wake();
    poster.join();
}

void TPortAudioWaveDevice::TStream::CloseLater(std::unique_ptr<TStream> stream) {
    auto close = [](std::unique_ptr<TStream> s) {
        const PortAudioUse use(std::chrono::hours(24)); // as long as it takes
        AbortAndClose(s->pa);
        --PortAudio().openStreams;
        s.reset(); // PortAudio calls it no more
    };
    TStream* s = stream.get();
    try {
        std::thread([close, s] { close(std::unique_ptr<TStream>(s)); }).detach();
        (void)stream.release(); // the thread owns it now
    } catch (...) {
        // No thread to be had: close it here, however long that takes.
        close(std::move(stream));
    }
}

// ---------------------------------------------------------------------------

TPortAudioWaveDevice::TPortAudioWaveDevice() {
    std::lock_guard lock(FMutex);
    const PortAudioUse use(PortAudioWait);
    if (!use.Held() || PortAudio().initialized.load())
        return;
    const PaError error = RefreshPortAudio();
    if (error != paNoError)
        Fail(PortAudioErrorResult(error), PaErrorText("Pa_Initialize", error));
}

TPortAudioWaveDevice::~TPortAudioWaveDevice() {
    std::lock_guard lock(FMutex);
    for (auto& [handle, stream] : FStreams) {
        stream->StopPoster();
        Retire(std::move(stream));
    }
    FStreams.clear();
}

bool TPortAudioWaveDevice::Initialized() const {
    return PortAudio().initialized.load();
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

MmResult TPortAudioWaveDevice::Retire(std::unique_ptr<TStream> stream) {
    // A stream that stalled may belong to a sound server that hangs: its close
    // may wait for half a minute, and the caller must not wait with it.
    if (!stream->stalled) {
        const PortAudioUse use(PortAudioWait);
        if (use.Held()) {
            MmResult result = mmsyserr::NoError;
            const PaError aborted = Pa_AbortStream(stream->pa);
            if (aborted != paNoError && aborted != paStreamIsStopped)
                Fail(PortAudioErrorResult(aborted), PaErrorText("Pa_AbortStream", aborted));
            const PaError closed = Pa_CloseStream(stream->pa);
            if (closed != paNoError)
                result = Fail(PortAudioErrorResult(closed), PaErrorText("Pa_CloseStream", closed));
            --PortAudio().openStreams;
            return result;
        }
    }
    TStream::CloseLater(std::move(stream));
    return mmsyserr::NoError;
}

const PaDeviceInfo* TPortAudioWaveDevice::CurrentOutputDevice(int deviceId, int& device,
                                                              MmResult& error) {
    const PaError initialized = RefreshPortAudio();
    if (initialized != paNoError) {
        error = Fail(mmsyserr::NoDriver, PaErrorText("Pa_Initialize", initialized));
        return nullptr;
    }
    device = OutputDevice(deviceId, error);
    if (error != mmsyserr::NoError)
        return nullptr;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (!info)
        error =
            Fail(mmsyserr::BadDeviceId, "Pa_GetDeviceInfo: no device " + std::to_string(device));
    return info;
}

int TPortAudioWaveDevice::OutputDevice(int deviceId, MmResult& error) {
    error = mmsyserr::NoError;
    if (!PortAudio().initialized.load()) {
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
        error = Fail(PortAudioErrorResult(count), PaErrorText("Pa_GetDeviceCount", count));
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
    const PortAudioUse use(PortAudioWait);
    if (!use.Held())
        return Fail(mmsyserr::Allocated, "PortAudio is busy closing the stream of a failed device");
    MmResult error = mmsyserr::NoError;
    int device = -1;
    const PaDeviceInfo* info = CurrentOutputDevice(deviceId, device, error);
    if (!info)
        return error;

    PaStreamParameters params{};
    params.device = device;
    params.channelCount = format.nChannels;
    params.sampleFormat = sampleFormat;
    params.suggestedLatency = std::max(MinLatencySeconds, info->defaultHighOutputLatency);
    params.hostApiSpecificStreamInfo = nullptr;

    PaError pa = Pa_IsFormatSupported(nullptr, &params, format.nSamplesPerSec);
    if (pa != paFormatIsSupported)
        return Fail(PortAudioErrorResult(pa), PaErrorText("Pa_IsFormatSupported", pa));

    auto stream = std::make_unique<TStream>();
    stream->notify = notifyThread;
    stream->blockAlign = format.nBlockAlign;
    stream->samplesPerSec = format.nSamplesPerSec;
    stream->silence = format.wBitsPerSample == 8 ? 0x80 : 0x00;
    stream->channels = format.nChannels;
    stream->pcm16 = format.wBitsPerSample == 16;
    pa = Pa_OpenStream(&stream->pa, nullptr, &params, format.nSamplesPerSec,
                       FramesPerBuffer(format.nSamplesPerSec), paNoFlag, &TStream::Callback,
                       stream.get());
    if (pa != paNoError)
        return Fail(PortAudioErrorResult(pa), PaErrorText("Pa_OpenStream", pa));
    KeepAlsaModulesLoaded(); // the device may have needed one that probing did not
    pa = Pa_SetStreamFinishedCallback(stream->pa, &TStream::Finished);
    if (pa == paNoError)
        pa = Pa_StartStream(stream->pa);
    if (pa != paNoError) {
        const MmResult code = Fail(PortAudioErrorResult(pa), PaErrorText("Pa_StartStream", pa));
        const PaError closed = Pa_CloseStream(stream->pa);
        if (closed != paNoError)
            Fail(code, PaErrorText("Pa_CloseStream", closed));
        return code;
    }
    ++PortAudio().openStreams;
    if (const PaStreamInfo* info = Pa_GetStreamInfo(stream->pa))
        DebugOutput(
            "PortAudio device: stream open, output latency " +
            std::to_string(static_cast<int>(info->outputLatency * 1000)) + " ms, callback every " +
            std::to_string(FramesPerBuffer(format.nSamplesPerSec) * 1000 / format.nSamplesPerSec) +
            " ms");
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
    return MarkWaveHeaderPrepared(header);
}

MmResult TPortAudioWaveDevice::UnprepareHeader(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard post(s->postMutex);
    return MarkWaveHeaderUnprepared(header);
}

MmResult TPortAudioWaveDevice::Write(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard post(s->postMutex);
    if (const MmResult r = CheckWaveHeaderWritable(header))
        return r;
    if (s->failed) {
        // Nothing plays any more: the block comes back at once.
        MarkWaveHeaderDone(header);
        PostThreadMessage(s->notify, WomDoneMessage, handle, reinterpret_cast<intptr_t>(&header));
        return mmsyserr::NoError;
    }
    const size_t t = s->tail.load(std::memory_order_relaxed);
    const size_t next = (t + 1) % StreamRing;
    if (next == s->done)
        return Fail(mmsyserr::NoMem,
                    "Write: more than " + std::to_string(StreamRing - 1) + " blocks queued");
    const bool wasIdle = s->head.load(std::memory_order_acquire) == t;
    MarkWaveHeaderQueued(header);
    s->slots[t] = &header;
    s->tail.store(next, std::memory_order_release);
    if (wasIdle && !s->paused.load())
        s->Arm();
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
    s->Arm();
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
    s->excluded.store(s->failed);
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
    {
        // Nothing is queued, so nothing plays any more; deliver what played last.
        std::lock_guard post(s->postMutex);
        s->PostPlayed();
    }
    std::unique_ptr<TStream> stream = std::move(it->second);
    FStreams.erase(it);
    return Retire(std::move(stream));
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
    const PortAudioUse use(PortAudioWait);
    if (!use.Held())
        return Fail(mmsyserr::Allocated, "PortAudio is busy closing the stream of a failed device");
    MmResult error = mmsyserr::NoError;
    int device = -1;
    const PaDeviceInfo* info = CurrentOutputDevice(deviceId, device, error);
    if (!info)
        return error;
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
    const PortAudioUse use(PortAudioWait);
    if (!use.Held())
        return 0;
    const PaError initialized = RefreshPortAudio();
    if (initialized != paNoError) {
        Fail(mmsyserr::NoDriver, PaErrorText("Pa_Initialize", initialized));
        return 0;
    }
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        Fail(PortAudioErrorResult(count), PaErrorText("Pa_GetDeviceCount", count));
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
