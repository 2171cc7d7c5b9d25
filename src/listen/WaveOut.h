#pragma once

// Buffered PCM output: the caller hands whole blocks, each is copied into one
// slot of a fixed ring and queued to a wave device; a worker thread takes the
// device's block-done messages, advances the ring and raises OnBufferTrigger
// when the queue runs low and OnFinish when it runs dry. Every failed device
// call is shown to the user through the message box handler below; so is a
// device that fails by itself while open, once, after which the component
// raises OnDeviceFailure and takes no more blocks.

#include "Thread.h"
#include "WaveDevice.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace corvane {

class TWaveOut;

// Shows one message to the user and returns when it has been acknowledged.
// The user interface installs a modal message box; without one the text goes
// to the debugger channel. Called on the thread of the failing operation.
using TWaveOutMessageBox = std::function<void(const std::string& text)>;
// Returns the previous handler. Any thread.
TWaveOutMessageBox SetWaveOutMessageBox(TWaveOutMessageBox handler);

// The worker: sleeps until the device posts to its message queue, then
// accounts for one message and rests 50 ms before the next, so at most one
// block is retired per 50 ms. Stop wakes it at once.
class TWaveOutThread : public TThread {
public:
    // Starts running at once; its message queue exists before it runs.
    explicit TWaveOutThread(TWaveOut& owner);
    ~TWaveOutThread() override;
    // Marks it terminated and wakes it from any wait. Any thread.
    void Stop();

protected:
    void Execute() override;

private:
    TWaveOut* FOwner;
    std::unique_ptr<class TThreadMessageQueue> FQueue;
};

enum class TPlayState : uint8_t {
    Opened = 0,
    Playing = 1,
    Paused = 2,
    Flushed = 3,
    Closing = 4,
    Closed = 5,
};

// All operations run on one caller thread (here the main thread); the events
// run on the worker thread with the queue lock held.
class TWaveOut {
public:
    using TNotifyEvent = std::function<void(TWaveOut& sender)>;

    // Uses `device`, or DefaultWaveDevice() when it is null; the device must
    // outlive this object.
    explicit TWaveOut(TWaveDevice* device = nullptr);
    // Closes the device if the caller has not (a device left open would keep
    // reading the freed ring), after stopping the worker.
    ~TWaveOut();
    TWaveOut(const TWaveOut&) = delete;
    TWaveOut& operator=(const TWaveOut&) = delete;

    // Raised on the worker thread after a completion while Playing: OnBufferTrigger
    // when fewer than TriggerPosition blocks stay queued, then OnFinish when none
    // do. Assign while Closed.
    TNotifyEvent OnBufferTrigger;
    TNotifyEvent OnFinish;
    // Raised once on the worker thread (queue lock held) when the device fails
    // by itself while open, after the failure has been handed to the main
    // thread to be shown. The blocks it returns then raise no event, and
    // Queue refuses blocks without a message until the next Open.
    TNotifyEvent OnDeviceFailure;

    // Configuration. Every setter is ignored unless the state is Closed.
    void SetDevice(TWaveDevice* device); // null: DefaultWaveDevice()
    TWaveDevice& Device() const { return *FDevice; }
    int GetBufferSize() const { return FBufferSize; }
    void SetBufferSize(int value); // accepted above 16
    int GetBufferCount() const { return FBufferCount; }
    void SetBufferCount(int value); // accepted above 0; pulls TriggerPosition below it
    int GetTriggerPosition() const { return FTriggerPosition; }
    void SetTriggerPosition(int value); // accepted up to BufferCount
    int GetBufferFree() const { return FBufferCount - FQueuedCount.load(); }
    uint16_t GetChannels() const { return FWaveFormat.nChannels; }
    void SetChannels(uint16_t value);
    uint32_t GetSamplesPerSecond() const { return FWaveFormat.nSamplesPerSec; }
    void SetSamplesPerSecond(uint32_t value);
    uint16_t GetBitsPerSample() const { return FWaveFormat.wBitsPerSample; }
    void SetBitsPerSample(uint16_t value);
    uint16_t GetBlockAlign() const { return FWaveFormat.nBlockAlign; }
    uint32_t GetAvgBytesPerSec() const { return FWaveFormat.nAvgBytesPerSec; }
    TWaveFormatEx GetWaveFormaTex() const { return FWaveFormat; }
    void SetWaveFormaTex(const TWaveFormatEx& format);
    TPlayState GetPlayState() const { return FPlayState.load(); }
    // 0 while the device works; the code it failed with, once it has. Any thread.
    MmResult GetDeviceFailure() const { return FDeviceFailure.load(); }

    // Allocates the ring, starts the worker and opens device `deviceId`
    // (WaveMapper: the default) paused. A failure is shown and leaves the
    // component Closed with nothing allocated.
    bool Open(int deviceId);
    // QueueSize(block, BufferSize).
    bool Queue(const void* block);
    // Copies `length` bytes into the next free slot and writes it to the device.
    // False without a message when the ring is full; false with a logged error
    // when `length` does not fit a slot. Allocates nothing.
    bool QueueSize(const void* block, int length);
    bool Play();
    bool Pause();
    bool Resume();
    // Pauses, returns every queued block from the device and empties the ring;
    // completions of the flushed blocks never retire later blocks.
    // Not from inside OnBufferTrigger/OnFinish.
    bool Reset();
    // Stops the worker (serving its Synchronize calls while waiting, on the main
    // thread), then stops and closes the device and frees the ring.
    // Not from inside OnBufferTrigger/OnFinish.
    bool Close();

    uint32_t GetPosition();     // bytes played, 0 on failure
    uint32_t GetPositionTime(); // samples played, 0 on failure
    // The product name of device `deviceId`; shows a "DevCaps" message on failure.
    bool GetWaveOutName(int deviceId, std::string& name);
    uint32_t GetWaveOutNumDevs();
    uint32_t GetHWaveOutId() const { return static_cast<uint32_t>(FWaveHandle); }

    // Worker thread: accounts for one completed block (the argument is unused).
    void HandleBuffer(unsigned value);
    // Worker thread: takes one message of its queue, if any, and handles it.
    void ProccessThread();

private:
    struct TSlot;

    void ShowError(const char* operation, MmResult code);
    void HandleDeviceFailure(MmResult code); // worker thread
    bool OnWorkerThread() const;
    void StopWorker();
    void FreeRing();
    // Best-effort silent release after an open or close that failed half-way.
    void ReleaseDevice();

    TWaveDevice* FDevice;
    std::atomic<TPlayState> FPlayState{TPlayState::Closed};
    std::unique_ptr<TWaveOutThread> FWorker;
    std::recursive_mutex FQueueLock;
    int FBufferSize = 4048;
    int FBufferCount = 4;
    std::atomic<int32_t> dwWriteIndex{0};   // written by the caller's thread
    std::atomic<int32_t> dwHandledIndex{0}; // written by the worker (and by Reset under the lock)
    std::atomic<int32_t> FQueuedCount{0};
    std::unique_ptr<TSlot[]> FHeaders;
    HWaveOut FWaveHandle = 0;
    int FTriggerPosition = 8;
    std::atomic<bool> FResetting{false};
    std::atomic<MmResult> FDeviceFailure{mmsyserr::NoError};
    TWaveFormatEx FWaveFormat;

    // Every written block yields exactly one block-done message, in write
    // order. Reset marks the messages of all blocks written so far as stale;
    // the worker counts the messages it takes and skips the stale ones.
    uint64_t FWriteCount = 0;    // caller's thread
    uint64_t FStaleMessages = 0; // under FQueueLock
    uint64_t FMessagesTaken = 0; // worker only
};

} // namespace corvane
