#include "WaveOut.h"

#include "MainThread.h"
#include "Platform.h"
#include "ThreadMessageQueue.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>

namespace corvane {

namespace {

std::mutex g_messageBoxMutex;
TWaveOutMessageBox g_messageBox;

void ShowMessage(const std::string& text) {
    TWaveOutMessageBox handler;
    {
        std::lock_guard lock(g_messageBoxMutex);
        handler = g_messageBox;
    }
    if (handler)
        handler(text);
    else
        DebugOutput(text);
}

std::string ErrorName(MmResult code) {
    switch (code) {
    case mmsyserr::BadDeviceId:
        return "MMSYSERR_BADDEVICEID";
    case mmsyserr::Allocated:
        return "MMSYSERR_ALLOCATED";
    case mmsyserr::InvalHandle:
        return "MMSYSERR_INVALHANDLE";
    case mmsyserr::NoDriver:
        return "MMSYSERR_NODRIVER";
    case mmsyserr::NoMem:
        return "MMSYSERR_NOMEM";
    case waverr::BadFormat:
        return "WAVERR_BADFORMAT";
    case waverr::StillPlaying:
        return "WAVERR_STILLPLAYING";
    default:
        return "Undefined error : " + std::to_string(code & 0xFFFFu);
    }
}

// Takes the lock a worker may hold while its event handler waits in
// Synchronize; on the main thread those hand-offs are served meanwhile.
std::unique_lock<std::recursive_mutex> LockServingMainThread(std::recursive_mutex& mutex) {
    std::unique_lock lock(mutex, std::defer_lock);
    if (IsMainThread()) {
        while (!lock.try_lock())
            WaitAndCheckSynchronize(5);
    } else {
        lock.lock();
    }
    return lock;
}

} // namespace

TWaveOutMessageBox SetWaveOutMessageBox(TWaveOutMessageBox handler) {
    std::lock_guard lock(g_messageBoxMutex);
    std::swap(g_messageBox, handler);
    return handler;
}

// ---------------------------------------------------------------------------

TWaveOutThread::TWaveOutThread(TWaveOut& owner) : FOwner(&owner) {
    // The queue must exist before the device can post to this thread, and
    // Execute must not run before this object is complete.
    FQueue = std::make_unique<TThreadMessageQueue>(ThreadId());
    Resume();
}

TWaveOutThread::~TWaveOutThread() {
    Stop();
    Shutdown();
    FQueue.reset();
}

void TWaveOutThread::Stop() {
    Terminate();
    WakeThread(ThreadId());
}

void TWaveOutThread::Execute() {
    using namespace std::chrono_literals;
    while (!Terminated()) {
        if (!WaitThreadMessage(WomDoneMessage, WomFailedMessage))
            continue; // woken to stop
        FOwner->ProccessThread();
        if (Terminated())
            break;
        // The classic worker retires at most one block per 50 ms poll.
        WaitThreadWake(std::chrono::steady_clock::now() + 50ms);
    }
}

// ---------------------------------------------------------------------------

struct TWaveOut::TSlot {
    TWaveHdr header;
    std::unique_ptr<char[]> data;
};

TWaveOut::TWaveOut(TWaveDevice* device) : FDevice(device ? device : &DefaultWaveDevice()) {}

TWaveOut::~TWaveOut() {
    StopWorker();
    if (FPlayState.load() != TPlayState::Closed)
        ReleaseDevice();
}

void TWaveOut::SetDevice(TWaveDevice* device) {
    if (FPlayState.load() == TPlayState::Closed)
        FDevice = device ? device : &DefaultWaveDevice();
}

void TWaveOut::SetBufferSize(int value) {
    if (FPlayState.load() == TPlayState::Closed && value != FBufferSize && value > 16)
        FBufferSize = value;
}

void TWaveOut::SetBufferCount(int value) {
    if (FPlayState.load() != TPlayState::Closed || value == FBufferCount || value <= 0)
        return;
    FBufferCount = value;
    if (value < FTriggerPosition)
        FTriggerPosition = value - 1;
}

void TWaveOut::SetTriggerPosition(int value) {
    if (FPlayState.load() == TPlayState::Closed && value <= FBufferCount)
        FTriggerPosition = value;
}

namespace {
void DeriveRates(TWaveFormatEx& f) {
    f.nBlockAlign = static_cast<uint16_t>(f.nChannels * f.wBitsPerSample / 8);
    f.nAvgBytesPerSec = static_cast<uint32_t>(f.nBlockAlign) * f.nSamplesPerSec;
}
} // namespace

void TWaveOut::SetChannels(uint16_t value) {
    if (FPlayState.load() == TPlayState::Closed && value != FWaveFormat.nChannels) {
        FWaveFormat.nChannels = value;
        DeriveRates(FWaveFormat);
    }
}

void TWaveOut::SetSamplesPerSecond(uint32_t value) {
    if (FPlayState.load() == TPlayState::Closed && value != FWaveFormat.nSamplesPerSec) {
        FWaveFormat.nSamplesPerSec = value;
        DeriveRates(FWaveFormat);
    }
}

void TWaveOut::SetBitsPerSample(uint16_t value) {
    if (FPlayState.load() == TPlayState::Closed && value != FWaveFormat.wBitsPerSample) {
        FWaveFormat.wBitsPerSample = value;
        DeriveRates(FWaveFormat);
    }
}

void TWaveOut::SetWaveFormaTex(const TWaveFormatEx& format) {
    if (FPlayState.load() == TPlayState::Closed && !(format == FWaveFormat)) {
        FWaveFormat = format;
        DeriveRates(FWaveFormat);
    }
}

void TWaveOut::ShowError(const char* operation, MmResult code) {
    ShowMessage(std::string(operation) + ", " + ErrorName(code));
}

bool TWaveOut::OnWorkerThread() const {
    return FWorker && FWorker->ThreadId() == std::this_thread::get_id();
}

void TWaveOut::StopWorker() {
    if (!FWorker)
        return;
    FWorker->Stop();
    FWorker->WaitFor();
    FWorker.reset();
}

void TWaveOut::FreeRing() {
    if (!FHeaders)
        return;
    for (int i = 0; i < FBufferCount; ++i) {
        TWaveHdr& h = FHeaders[static_cast<size_t>(i)].header;
        if (h.dwFlags & WhdrPrepared)
            FDevice->UnprepareHeader(FWaveHandle, h);
    }
    FHeaders.reset();
}

void TWaveOut::ReleaseDevice() {
    StopWorker();
    if (FWaveHandle != 0) {
        FDevice->Pause(FWaveHandle);
        FDevice->Reset(FWaveHandle);
        if (FDevice->Close(FWaveHandle) != mmsyserr::NoError) {
            // The device may still hold the blocks: keeping them is the lesser evil.
            DebugOutput("TWaveOut: the wave device refused to close; its ring is left allocated");
            (void)FHeaders.release();
            FWaveHandle = 0;
            FPlayState.store(TPlayState::Closed);
            return;
        }
    }
    FreeRing();
    FWaveHandle = 0;
    FPlayState.store(TPlayState::Closed);
}

bool TWaveOut::Open(int deviceId) {
    if (OnWorkerThread())
        return false;
    try {
        if (FWorker)
            Close();
        if (FPlayState.load() != TPlayState::Closed)
            ReleaseDevice(); // an earlier Close failed half-way

        FHeaders = std::make_unique<TSlot[]>(static_cast<size_t>(FBufferCount));
        for (int i = 0; i < FBufferCount; ++i) {
            TSlot& slot = FHeaders[static_cast<size_t>(i)];
            slot.data = std::make_unique<char[]>(static_cast<size_t>(FBufferSize));
            slot.header.lpData = slot.data.get();
        }
        dwWriteIndex = 0;
        dwHandledIndex = 0;
        FQueuedCount = 0;
        FWriteCount = 0;
        FStaleMessages = 0;
        FMessagesTaken = 0;
        FResetting = false;
        FDeviceFailure = mmsyserr::NoError;

        FWorker = std::make_unique<TWaveOutThread>(*this);

        HWaveOut handle = 0;
        MmResult result = FDevice->Open(handle, deviceId, FWaveFormat, FWorker->ThreadId(),
                                        reinterpret_cast<uintptr_t>(this));
        if (result != mmsyserr::NoError) {
            std::string text = FDevice->GetErrorText(result);
            if (text.size() > MaxErrorText - 1)
                text.resize(MaxErrorText - 1);
            ShowMessage("waveOutOpen Error -> " + std::to_string(result) + "\n" + "iIndex -> " +
                        std::to_string(deviceId) + "\n" + text);
            ShowError("xOpen", result);
            StopWorker();
            FreeRing();
            return false;
        }
        FWaveHandle = handle;

        result = FDevice->Pause(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Pause", result);
            FPlayState.store(TPlayState::Closing);
            ReleaseDevice();
            return false;
        }
        FPlayState.store(TPlayState::Opened);
        return true;
    } catch (...) {
        FPlayState.store(TPlayState::Closing);
        ReleaseDevice();
        return false;
    }
}

bool TWaveOut::Queue(const void* block) {
    return QueueSize(block, FBufferSize);
}

bool TWaveOut::QueueSize(const void* block, int length) {
    try {
        FResetting = false;
        if (!FHeaders) {
            // Not open: what the device says of a block for no device.
            ShowError("PrepareHeader", mmsyserr::InvalHandle);
            return false;
        }
        if (FDeviceFailure.load() != mmsyserr::NoError)
            return false; // shown once, when the device failed
        if (length < 0 || length > FBufferSize || (block == nullptr && length > 0)) {
            DebugOutput("TWaveOut::QueueSize: a block of " + std::to_string(length) +
                        " bytes does not fit a slot of " + std::to_string(FBufferSize) +
                        " bytes; refused");
            return false;
        }
        const int32_t slot = dwWriteIndex.load();
        if ((slot + 1) % FBufferCount == dwHandledIndex.load())
            return false;

        TWaveHdr& header = FHeaders[static_cast<size_t>(slot)].header;
        if (header.dwFlags & WhdrPrepared)
            FDevice->UnprepareHeader(FWaveHandle, header);
        char* data = header.lpData;
        header = TWaveHdr{};
        header.lpData = data;
        if (length > 0)
            std::memcpy(data, block, static_cast<size_t>(length));
        header.dwBufferLength = static_cast<uint32_t>(length);
        header.dwFlags = 0;

        MmResult result = FDevice->PrepareHeader(FWaveHandle, header);
        if (result != mmsyserr::NoError) {
            ShowError("PrepareHeader", result);
            return false;
        }
        // Counted before the write: the device may finish the block at once.
        ++FQueuedCount;
        result = FDevice->Write(FWaveHandle, header);
        if (result != mmsyserr::NoError) {
            --FQueuedCount;
            ShowError("Write", result);
            return false;
        }
        ++FWriteCount;
        dwWriteIndex = (slot + 1) % FBufferCount;
        return true;
    } catch (const std::exception& e) {
        ShowMessage(e.what());
        return false;
    } catch (...) {
        ShowMessage("TWaveOut::QueueSize: unknown exception");
        return false;
    }
}

bool TWaveOut::Play() {
    try {
        FResetting = false;
        FPlayState.store(TPlayState::Playing);
        const MmResult result = FDevice->Restart(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Restart", result);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool TWaveOut::Pause() {
    try {
        FPlayState.store(TPlayState::Paused);
        const MmResult result = FDevice->Pause(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Pause", result);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool TWaveOut::Resume() {
    try {
        FPlayState.store(TPlayState::Playing);
        const MmResult result = FDevice->Restart(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Restart", result);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool TWaveOut::Reset() {
    if (OnWorkerThread())
        return false;
    try {
        FResetting = true;
        FPlayState.store(TPlayState::Paused);
        MmResult result = FDevice->Pause(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Pause", result);
            return false;
        }
        FPlayState.store(TPlayState::Flushed);
        result = FDevice->Reset(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Reset", result);
            return false;
        }
        // Wait out a completion the worker may be accounting right now, then
        // empty the ring and mark every block written so far as stale.
        const auto lock = LockServingMainThread(FQueueLock);
        FStaleMessages = FWriteCount;
        dwWriteIndex = 0;
        dwHandledIndex = 0;
        FQueuedCount = 0;
        return true;
    } catch (const std::exception& e) {
        ShowMessage(e.what());
        return false;
    } catch (...) {
        ShowMessage("TWaveOut::Reset: unknown exception");
        return false;
    }
}

bool TWaveOut::Close() {
    const TPlayState state = FPlayState.load();
    if (state == TPlayState::Closing || state == TPlayState::Closed)
        return true;
    if (OnWorkerThread())
        return false;
    FPlayState.store(TPlayState::Closing);
    bool ok = true;
    try {
        StopWorker();
    } catch (...) {
        ok = false;
    }
    try {
        MmResult result = FDevice->Pause(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Pause", result);
            return false;
        }
        result = FDevice->Reset(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Reset", result);
            return false;
        }
        result = FDevice->Close(FWaveHandle);
        if (result != mmsyserr::NoError) {
            ShowError("Close", result);
            return false;
        }
        FreeRing();
        FWaveHandle = 0;
        FQueuedCount = 0;
        FPlayState.store(TPlayState::Closed);
        return ok;
    } catch (...) {
        return false;
    }
}

uint32_t TWaveOut::GetPosition() {
    try {
        TMmTime time;
        time.wType = TimeBytes;
        return FDevice->GetPosition(FWaveHandle, time) == mmsyserr::NoError ? time.value : 0;
    } catch (...) {
        return 0;
    }
}

uint32_t TWaveOut::GetPositionTime() {
    try {
        TMmTime time;
        time.wType = TimeSamples;
        return FDevice->GetPosition(FWaveHandle, time) == mmsyserr::NoError ? time.value : 0;
    } catch (...) {
        return 0;
    }
}

bool TWaveOut::GetWaveOutName(int deviceId, std::string& name) {
    TWaveOutCaps caps;
    const MmResult result = FDevice->GetDevCaps(deviceId, caps);
    if (result != mmsyserr::NoError) {
        ShowError("DevCaps", result);
        return false;
    }
    name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname - 1));
    return true;
}

uint32_t TWaveOut::GetWaveOutNumDevs() {
    return FDevice->GetNumDevs();
}

void TWaveOut::HandleBuffer(unsigned /*value*/) {
    std::lock_guard lock(FQueueLock);
    if (FQueuedCount.load() <= 0)
        return;
    dwHandledIndex = (dwHandledIndex.load() + 1) % FBufferCount;
    const int32_t left = --FQueuedCount;
    if (left >= FTriggerPosition || FPlayState.load() != TPlayState::Playing ||
        FDeviceFailure.load() != mmsyserr::NoError)
        return;
    try {
        if (OnBufferTrigger)
            OnBufferTrigger(*this);
    } catch (...) {
    }
    try {
        // A trigger handler may have queued more; finish only when still dry.
        if (FQueuedCount.load() == 0 && OnFinish)
            OnFinish(*this);
    } catch (...) {
    }
}

void TWaveOut::HandleDeviceFailure(MmResult code) {
    std::lock_guard lock(FQueueLock);
    if (code == mmsyserr::NoError)
        code = mmsyserr::Error;
    MmResult none = mmsyserr::NoError;
    if (!FDeviceFailure.compare_exchange_strong(none, code))
        return;
    // Shown on the main thread: a box opened from here would hold the worker,
    // and with it a Close that waits for the worker.
    Post([text = "Playback, " + ErrorName(code)] { ShowMessage(text); });
    try {
        if (OnDeviceFailure)
            OnDeviceFailure(*this);
    } catch (...) {
    }
}

void TWaveOut::ProccessThread() {
    try {
        TThreadMessage msg;
        if (!PeekThreadMessage(msg, WomDoneMessage, WomFailedMessage, false))
            return;
        if (!GetThreadMessage(msg, WomDoneMessage, WomFailedMessage))
            return;
        if (msg.message == WomFailedMessage) {
            HandleDeviceFailure(static_cast<MmResult>(msg.lParam));
            return;
        }
        const uint64_t taken = ++FMessagesTaken;
        std::lock_guard lock(FQueueLock);
        if (msg.message == WomDoneMessage && !FResetting.load() && taken > FStaleMessages)
            HandleBuffer(0);
    } catch (...) {
    }
}

} // namespace corvane
