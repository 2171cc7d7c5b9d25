#include "WinMmWaveDevice.h"

#include "OutputLevel.h"
#include "Platform.h"
#include "ThreadMessageQueue.h"

#include <windows.h>

#include <mmsystem.h>

// winuser.h maps this name to PostThreadMessageW; here it is the project's queue.
#undef PostThreadMessage

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <exception>
#include <thread>

namespace corvane {

// The project's records and codes are WinMM's, so they pass through unchanged.
static_assert(mmsyserr::NoDriver == MMSYSERR_NODRIVER &&
              mmsyserr::InvalParam == MMSYSERR_INVALPARAM);
static_assert(waverr::BadFormat == WAVERR_BADFORMAT && waverr::Sync == WAVERR_SYNC);
static_assert(WomDoneMessage == MM_WOM_DONE && WaveFormatPcm == WAVE_FORMAT_PCM);
static_assert(WhdrDone == WHDR_DONE && WhdrPrepared == WHDR_PREPARED &&
              WhdrInQueue == WHDR_INQUEUE);
static_assert(TimeMs == TIME_MS && TimeSamples == TIME_SAMPLES && TimeBytes == TIME_BYTES);
static_assert(sizeof(TWaveOutCaps::szPname) == MAXPNAMELEN);

namespace {

using Clock = std::chrono::steady_clock;

void Log(const std::string& text) {
    DebugOutput("WinMM device: " + text);
}

std::string CallFailed(const char* call, MMRESULT code) {
    std::string text = std::string(call) + " failed with " + std::to_string(code);
    char description[MAXERRORLENGTH] = {};
    if (waveOutGetErrorTextA(code, description, MAXERRORLENGTH) == MMSYSERR_NOERROR &&
        description[0] != '\0')
        text += " (" + std::string(description) + ")";
    return text;
}

bool PlayableFormat(const TWaveFormatEx& f) {
    const bool bits = f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 ||
                      f.wBitsPerSample == 32;
    return f.wFormatTag == WaveFormatPcm && f.nChannels > 0 && f.nSamplesPerSec > 0 && bits &&
           f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

// WinMM sets WHDR_DONE on its own thread; the feeder also looks without
// waiting for the event (from Write and Reset).
bool NativeDone(WAVEHDR& native) {
    return (std::atomic_ref<DWORD>(native.dwFlags).load(std::memory_order_acquire) & WHDR_DONE) !=
           0;
}

// The product name in the program's 8-bit text, cut at a whole character to
// fit the record.
void CopyProductName(const WCHAR (&wide)[MAXPNAMELEN], char (&name)[MAXPNAMELEN]) {
    std::u16string text;
    for (size_t i = 0; i < MAXPNAMELEN && wide[i] != 0; ++i)
        text.push_back(static_cast<char16_t>(wide[i]));
    std::string narrow = WideToAnsi(text);
    while (narrow.size() > MAXPNAMELEN - 1 && !text.empty()) {
        text.pop_back();
        if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF)
            text.pop_back(); // not half a surrogate pair
        narrow = WideToAnsi(text);
    }
    std::memset(name, 0, MAXPNAMELEN);
    std::memcpy(name, narrow.data(), std::min(narrow.size(), size_t{MAXPNAMELEN - 1}));
}

// A caller's block from Write until it is done.
struct TPending {
    TWaveHdr* header = nullptr;
    uint32_t usable = 0;    // whole frames only; a ragged tail is not played
    uint32_t submitted = 0; // bytes copied into native blocks so far
    unsigned inDevice = 0;  // its native blocks WinMM holds
};

struct TChunk {
    WAVEHDR native{};
    std::unique_ptr<int16_t[]> data; // int16_t, so the level can be applied in place
    TPending* owner = nullptr;
};

} // namespace

struct TWinMmWaveDevice::TStream {
    TStream() = default;
    ~TStream() {
        if (event)
            CloseHandle(event);
    }
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    HWaveOut handle = 0;
    HWAVEOUT hwo = nullptr;
    HANDLE event = nullptr; // auto-reset; set by WinMM per finished native block, and by us
    std::thread::id notify;
    uint32_t blockAlign = 1;
    uint32_t chunkBytes = 0;
    unsigned channels = 1;
    bool pcm16 = false;

    std::mutex mutex;             // everything below, and every WinMM call on hwo after Open
    std::deque<TPending> pending; // in write order; references stay valid at both ends
    // Native blocks WinMM holds: chunks[first], chunks[first + 1], ... (inDevice of them),
    // in the order written, which is the order WinMM finishes them.
    std::array<TChunk, LeadChunks> chunks;
    size_t first = 0;
    size_t inDevice = 0;
    bool paused = false;
    bool failed = false; // for good once set
    bool stop = false;
    Clock::time_point armedAt;      // when native blocks were last expected to start playing
    Clock::time_point lastProgress; // when a native block last finished
    std::thread feeder;

    // The rest: mutex held.
    void PostDone(TWaveHdr& header) {
        MarkWaveHeaderDone(header);
        PostThreadMessage(notify, WomDoneMessage, handle, reinterpret_cast<intptr_t>(&header));
    }
    // Takes back the native blocks WinMM has finished and posts the caller's
    // blocks that are done, in order.
    void Collect();
    // Hands WinMM native blocks until it holds LeadChunks or nothing is left.
    void Fill();
    bool Expecting() const { return !failed && !paused && inDevice > 0; }
    Clock::time_point StallDeadline() const { return std::max(armedAt, lastProgress) + StallLimit; }
    // Posts the failure and returns the caller's blocks without a WinMM call:
    // WinMM holds only native blocks, and may wait on a sound server that hangs.
    void Fail(MmResult code, const std::string& why);
    // Takes back native blocks after waveOutReset; false when WinMM kept some.
    bool TakeBackAll();
    // The result of a waveOut call on the device: a lost driver fails the
    // stream (and the call counts as done); another error is logged and returned.
    MmResult Checked(MMRESULT r, const char* call);

    // The feeder has stopped and no one else uses the stream any more.
    // Resets and closes the native device; one WinMM will not close is left
    // open, its native blocks allocated for good.
    static MmResult CloseNative(std::unique_ptr<TStream> stream);
    // CloseNative on a thread of its own.
    static void CloseLater(std::unique_ptr<TStream> stream);

    void RunFeeder();
    void StopFeeder();
};

void TWinMmWaveDevice::TStream::Collect() {
    bool progress = false;
    while (inDevice > 0 && NativeDone(chunks[first].native)) {
        TChunk& c = chunks[first];
        const MMRESULT r = waveOutUnprepareHeader(hwo, &c.native, sizeof c.native);
        if (r != MMSYSERR_NOERROR)
            Log(CallFailed("waveOutUnprepareHeader", r));
        if (c.owner)
            --c.owner->inDevice;
        c.owner = nullptr;
        first = (first + 1) % LeadChunks;
        --inDevice;
        progress = true;
    }
    if (progress)
        lastProgress = Clock::now();
    while (!pending.empty()) {
        TPending& p = pending.front();
        if (p.submitted < p.usable || p.inDevice > 0)
            break;
        PostDone(*p.header);
        pending.pop_front();
    }
}

void TWinMmWaveDevice::TStream::Fill() {
    while (!failed && inDevice < LeadChunks) {
        const auto next = std::find_if(pending.begin(), pending.end(),
                                       [](const TPending& p) { return p.submitted < p.usable; });
        if (next == pending.end())
            return;
        TPending& p = *next;
        TChunk& c = chunks[(first + inDevice) % LeadChunks];
        const uint32_t n = std::min(chunkBytes, p.usable - p.submitted);
        std::memcpy(c.data.get(), p.header->lpData + p.submitted, n);
        // Here rather than at Write, so a change is heard after the short lead only.
        if (pcm16)
            ShapePcm16(c.data.get(), n / blockAlign, channels, CurrentOutputLevel());
        c.native = WAVEHDR{};
        c.native.lpData = reinterpret_cast<LPSTR>(c.data.get());
        c.native.dwBufferLength = n;
        MMRESULT r = waveOutPrepareHeader(hwo, &c.native, sizeof c.native);
        if (r != MMSYSERR_NOERROR) {
            Fail(r, CallFailed("waveOutPrepareHeader", r));
            return;
        }
        r = waveOutWrite(hwo, &c.native, sizeof c.native);
        if (r != MMSYSERR_NOERROR) {
            waveOutUnprepareHeader(hwo, &c.native, sizeof c.native);
            Fail(r, CallFailed("waveOutWrite", r));
            return;
        }
        c.owner = &p;
        ++p.inDevice;
        p.submitted += n;
        if (inDevice++ == 0 && !paused)
            armedAt = Clock::now();
    }
}

MmResult TWinMmWaveDevice::TStream::Checked(MMRESULT r, const char* call) {
    if (r == MMSYSERR_NODRIVER) {
        Fail(r, CallFailed(call, r));
        return mmsyserr::NoError;
    }
    if (r != MMSYSERR_NOERROR)
        Log(CallFailed(call, r));
    return r;
}

bool TWinMmWaveDevice::TStream::TakeBackAll() {
    Collect();
    return inDevice == 0;
}

void TWinMmWaveDevice::TStream::Fail(MmResult code, const std::string& why) {
    failed = true;
    Log("device " + std::to_string(handle) + " failed: " + why);
    // The owner hears of the failure before its blocks come back.
    PostThreadMessage(notify, WomFailedMessage, handle, static_cast<intptr_t>(code));
    for (size_t i = 0; i < inDevice; ++i)
        chunks[(first + i) % LeadChunks].owner = nullptr;
    for (TPending& p : pending)
        PostDone(*p.header);
    pending.clear();
}

MmResult TWinMmWaveDevice::TStream::CloseNative(std::unique_ptr<TStream> stream) {
    TStream& s = *stream;
    if (s.inDevice > 0) {
        const MMRESULT r = waveOutReset(s.hwo);
        if (r != MMSYSERR_NOERROR)
            Log(CallFailed("waveOutReset", r));
        s.TakeBackAll();
    }
    // Tried even when WinMM kept native blocks: it refuses to close while it
    // holds any, so a close that succeeds has let go of them all.
    const MMRESULT closed = waveOutClose(s.hwo);
    if (closed == MMSYSERR_NOERROR)
        return mmsyserr::NoError;
    Log(CallFailed("waveOutClose", closed) + "; device " + std::to_string(s.handle) +
        " is left open and its native blocks stay allocated");
    const bool failed = s.failed;
    (void)stream.release(); // WinMM may still write to them
    // A device that has gone, or failed before, leaves the owner nothing to close.
    return failed || closed == MMSYSERR_NODRIVER ? mmsyserr::NoError : closed;
}

void TWinMmWaveDevice::TStream::CloseLater(std::unique_ptr<TStream> stream) {
    TStream* s = stream.get();
    try {
        std::thread([s] { CloseNative(std::unique_ptr<TStream>(s)); }).detach();
        (void)stream.release(); // the thread owns it now
    } catch (const std::exception&) {
        CloseNative(std::move(stream)); // no thread to be had: here, however long it takes
    }
}

void TWinMmWaveDevice::TStream::RunFeeder() {
    // Refilling is late only if this thread is; it does little each time.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    std::unique_lock lock(mutex);
    while (!stop) {
        DWORD timeout = INFINITE;
        if (Expecting()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(StallDeadline() - Clock::now());
            timeout = static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        lock.unlock();
        WaitForSingleObject(event, timeout);
        lock.lock();
        if (stop || failed)
            continue;
        Collect();
        Fill();
        if (Expecting() && Clock::now() >= StallDeadline())
            Fail(mmsyserr::NoDriver, "no block finished for " + std::to_string(StallLimit.count()) +
                                         " ms while blocks were queued");
    }
}

void TWinMmWaveDevice::TStream::StopFeeder() {
    if (!feeder.joinable())
        return;
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    SetEvent(event);
    feeder.join();
}

// ---------------------------------------------------------------------------

TWinMmWaveDevice::TWinMmWaveDevice() = default;

TWinMmWaveDevice::~TWinMmWaveDevice() {
    std::lock_guard lock(FMutex);
    for (auto& [handle, stream] : FStreams) {
        stream->StopFeeder();
        Retire(std::move(stream));
    }
    FStreams.clear();
}

TWinMmWaveDevice::TStream* TWinMmWaveDevice::Find(HWaveOut handle) {
    const auto it = FStreams.find(handle);
    return it == FStreams.end() ? nullptr : it->second.get();
}

MmResult TWinMmWaveDevice::Retire(std::unique_ptr<TStream> stream) {
    // A device that failed may belong to a sound server that hangs (under
    // Wine, waveOutReset then waits half a minute): the owner must not wait.
    if (stream->failed) {
        TStream::CloseLater(std::move(stream));
        return mmsyserr::NoError;
    }
    return TStream::CloseNative(std::move(stream));
}

MmResult TWinMmWaveDevice::Open(HWaveOut& handle, int deviceId, const TWaveFormatEx& format,
                                std::thread::id notifyThread, uintptr_t) {
    std::lock_guard lock(FMutex);
    handle = 0;
    if (!PlayableFormat(format)) {
        Log("unplayable format: tag " + std::to_string(format.wFormatTag) + ", " +
            std::to_string(format.nChannels) + " channels, " +
            std::to_string(format.wBitsPerSample) + " bits, " +
            std::to_string(format.nSamplesPerSec) + " samples/s, block align " +
            std::to_string(format.nBlockAlign));
        return waverr::BadFormat;
    }
    if (deviceId < 0 && deviceId != WaveMapper)
        return mmsyserr::BadDeviceId;
    const UINT id = deviceId == WaveMapper ? WAVE_MAPPER : static_cast<UINT>(deviceId);

    auto stream = std::make_unique<TStream>();
    stream->notify = notifyThread;
    stream->blockAlign = format.nBlockAlign;
    stream->channels = format.nChannels;
    stream->pcm16 = format.wBitsPerSample == 16;
    const uint32_t chunkFrames = std::max<uint32_t>(64, format.nSamplesPerSec * ChunkMs / 1000);
    stream->chunkBytes = chunkFrames * format.nBlockAlign;
    for (TChunk& c : stream->chunks)
        c.data = std::make_unique<int16_t[]>((stream->chunkBytes + 1) / 2);
    stream->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!stream->event) {
        Log("CreateEventW failed with " + std::to_string(GetLastError()));
        return mmsyserr::NoMem;
    }

    WAVEFORMATEX native{};
    native.wFormatTag = format.wFormatTag;
    native.nChannels = format.nChannels;
    native.nSamplesPerSec = format.nSamplesPerSec;
    native.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    native.nBlockAlign = format.nBlockAlign;
    native.wBitsPerSample = format.wBitsPerSample;
    native.cbSize = 0;
    const MMRESULT r = waveOutOpen(&stream->hwo, id, &native,
                                   reinterpret_cast<DWORD_PTR>(stream->event), 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        Log(CallFailed("waveOutOpen", r) + " for device " + std::to_string(deviceId));
        return r;
    }
    stream->handle = FNextHandle++;
    stream->lastProgress = Clock::now();
    TStream* s = stream.get();
    try {
        s->feeder = std::thread([s] { s->RunFeeder(); });
    } catch (const std::exception& e) {
        Log(std::string("the feeder thread did not start: ") + e.what());
        waveOutClose(s->hwo);
        return mmsyserr::NoMem;
    }
    handle = s->handle;
    FStreams.emplace(handle, std::move(stream));
    return mmsyserr::NoError;
}

MmResult TWinMmWaveDevice::PrepareHeader(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    if (!Find(handle))
        return mmsyserr::InvalHandle;
    return MarkWaveHeaderPrepared(header);
}

MmResult TWinMmWaveDevice::UnprepareHeader(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard streamLock(s->mutex);
    return MarkWaveHeaderUnprepared(header);
}

MmResult TWinMmWaveDevice::Write(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard streamLock(s->mutex);
    if (const MmResult r = CheckWaveHeaderWritable(header))
        return r;
    MarkWaveHeaderQueued(header);
    if (s->failed) {
        // Nothing plays any more: the block comes back at once.
        s->PostDone(header);
        return mmsyserr::NoError;
    }
    TPending p;
    p.header = &header;
    p.usable = header.dwBufferLength - header.dwBufferLength % s->blockAlign;
    s->pending.push_back(p);
    s->Collect();
    s->Fill();
    SetEvent(s->event); // the feeder may have to start watching for a stall
    return mmsyserr::NoError;
}

MmResult TWinMmWaveDevice::Pause(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard streamLock(s->mutex);
    if (!s->failed)
        if (const MmResult r = s->Checked(waveOutPause(s->hwo), "waveOutPause"))
            return r;
    s->paused = true;
    return mmsyserr::NoError;
}

MmResult TWinMmWaveDevice::Restart(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard streamLock(s->mutex);
    if (!s->failed)
        if (const MmResult r = s->Checked(waveOutRestart(s->hwo), "waveOutRestart"))
            return r;
    s->paused = false;
    s->armedAt = Clock::now();
    SetEvent(s->event);
    return mmsyserr::NoError;
}

MmResult TWinMmWaveDevice::Reset(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard streamLock(s->mutex);
    if (s->failed)
        return mmsyserr::NoError; // its blocks came back when it failed
    if (const MmResult r = s->Checked(waveOutReset(s->hwo), "waveOutReset"))
        return r;
    if (s->failed)
        return mmsyserr::NoError; // the driver went away: Fail returned the blocks
    for (size_t i = 0; i < s->inDevice; ++i)
        s->chunks[(s->first + i) % LeadChunks].owner = nullptr;
    if (!s->TakeBackAll()) {
        s->Fail(mmsyserr::Error, "waveOutReset returned while WinMM still held " +
                                     std::to_string(s->inDevice) + " blocks");
        return mmsyserr::NoError;
    }
    for (TPending& p : s->pending)
        s->PostDone(*p.header);
    s->pending.clear();
    // The state a reset leaves the device in differs between WinMM versions;
    // a paused device stays paused here as everywhere else.
    if (s->paused)
        if (const MMRESULT r = waveOutPause(s->hwo); r != MMSYSERR_NOERROR)
            Log(CallFailed("waveOutPause", r));
    return mmsyserr::NoError;
}

MmResult TWinMmWaveDevice::Close(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    const auto it = FStreams.find(handle);
    if (it == FStreams.end())
        return mmsyserr::InvalHandle;
    TStream* s = it->second.get();
    {
        std::lock_guard streamLock(s->mutex);
        if (!s->pending.empty())
            return waverr::StillPlaying;
    }
    s->StopFeeder();
    std::unique_ptr<TStream> stream = std::move(it->second);
    FStreams.erase(it);
    return Retire(std::move(stream));
}

MmResult TWinMmWaveDevice::GetPosition(HWaveOut handle, TMmTime& time) {
    std::lock_guard lock(FMutex);
    TStream* s = Find(handle);
    if (!s)
        return mmsyserr::InvalHandle;
    std::lock_guard streamLock(s->mutex);
    MMTIME native{};
    native.wType = time.wType == TimeMs || time.wType == TimeSamples ? time.wType : TimeBytes;
    const MMRESULT r = waveOutGetPosition(s->hwo, &native, sizeof native);
    if (r != MMSYSERR_NOERROR) {
        Log(CallFailed("waveOutGetPosition", r));
        return r;
    }
    time.wType = native.wType;
    switch (native.wType) {
    case TIME_MS:
        time.value = native.u.ms;
        break;
    case TIME_SAMPLES:
        time.value = native.u.sample;
        break;
    default:
        time.value = native.u.cb;
        break;
    }
    return mmsyserr::NoError;
}

MmResult TWinMmWaveDevice::GetDevCaps(int deviceId, TWaveOutCaps& caps) {
    if (deviceId < 0 && deviceId != WaveMapper)
        return mmsyserr::BadDeviceId;
    const UINT_PTR id = deviceId == WaveMapper ? WAVE_MAPPER : static_cast<UINT_PTR>(deviceId);
    WAVEOUTCAPSW native{};
    const MMRESULT r = waveOutGetDevCapsW(id, &native, sizeof native);
    if (r != MMSYSERR_NOERROR) {
        Log(CallFailed("waveOutGetDevCapsW", r) + " for device " + std::to_string(deviceId));
        return r;
    }
    caps = TWaveOutCaps{};
    caps.wMid = native.wMid;
    caps.wPid = native.wPid;
    caps.vDriverVersion = native.vDriverVersion;
    CopyProductName(native.szPname, caps.szPname);
    caps.dwFormats = native.dwFormats;
    caps.wChannels = native.wChannels;
    caps.wReserved1 = native.wReserved1;
    caps.dwSupport = native.dwSupport;
    return mmsyserr::NoError;
}

uint32_t TWinMmWaveDevice::GetNumDevs() {
    return waveOutGetNumDevs();
}

std::string TWinMmWaveDevice::GetErrorText(MmResult code) {
    char text[MAXERRORLENGTH] = {};
    std::string result =
        waveOutGetErrorTextA(code, text, MAXERRORLENGTH) == MMSYSERR_NOERROR && text[0] != '\0'
            ? std::string(text)
            : WaveErrorDescription(code);
    if (result.size() > MaxErrorText - 1)
        result.resize(MaxErrorText - 1);
    return result;
}

} // namespace corvane
