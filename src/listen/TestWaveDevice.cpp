#include "TestWaveDevice.h"

#include "ThreadMessageQueue.h"

#include <algorithm>
#include <cstring>

namespace corvane {

void TTestWaveDevice::Fail(TWaveOp op, MmResult code, int times) {
    std::lock_guard lock(FMutex);
    FFailures[op] = {code, times};
}

MmResult TTestWaveDevice::Injected(TWaveOp op) {
    const auto it = FFailures.find(op);
    if (it == FFailures.end() || it->second.second == 0)
        return mmsyserr::NoError;
    if (it->second.second > 0)
        --it->second.second;
    return it->second.first;
}

MmResult TTestWaveDevice::Record(TWaveOp op, const TWaveHdr* header, MmResult result) {
    FCalls.push_back(TCall{op, result, header});
    return result;
}

void TTestWaveDevice::Finish(TWaveHdr& header) {
    MarkWaveHeaderDone(header);
    FPositionBytes += header.dwBufferLength;
    PostThreadMessage(FNotify, WomDoneMessage, FHandle, reinterpret_cast<intptr_t>(&header));
}

bool TTestWaveDevice::CompleteNext() {
    std::lock_guard lock(FMutex);
    if (FQueue.empty())
        return false;
    TWaveHdr* header = FQueue.front();
    FQueue.pop_front();
    Finish(*header);
    return true;
}

bool TTestWaveDevice::LoseDevice(MmResult code) {
    std::lock_guard lock(FMutex);
    if (FHandle == 0 || FLost)
        return false;
    FLost = true;
    PostThreadMessage(FNotify, WomFailedMessage, FHandle, static_cast<intptr_t>(code));
    while (!FQueue.empty()) {
        Finish(*FQueue.front());
        FQueue.pop_front();
    }
    return true;
}

std::vector<TTestWaveDevice::TCall> TTestWaveDevice::Calls() const {
    std::lock_guard lock(FMutex);
    return FCalls;
}

std::vector<TWaveOp> TTestWaveDevice::Ops() const {
    std::lock_guard lock(FMutex);
    std::vector<TWaveOp> ops;
    for (const TCall& c : FCalls)
        ops.push_back(c.op);
    return ops;
}

std::vector<std::string> TTestWaveDevice::WrittenData() const {
    std::lock_guard lock(FMutex);
    return FWrittenData;
}

std::vector<const TWaveHdr*> TTestWaveDevice::WrittenHeaders() const {
    std::lock_guard lock(FMutex);
    return FWrittenHeaders;
}

size_t TTestWaveDevice::Queued() const {
    std::lock_guard lock(FMutex);
    return FQueue.size();
}

bool TTestWaveDevice::IsOpen() const {
    std::lock_guard lock(FMutex);
    return FHandle != 0;
}

bool TTestWaveDevice::IsPaused() const {
    std::lock_guard lock(FMutex);
    return FPaused;
}

int TTestWaveDevice::OpenedDeviceId() const {
    std::lock_guard lock(FMutex);
    return FDeviceId;
}

TWaveFormatEx TTestWaveDevice::OpenedFormat() const {
    std::lock_guard lock(FMutex);
    return FFormat;
}

std::thread::id TTestWaveDevice::NotifyThread() const {
    std::lock_guard lock(FMutex);
    return FNotify;
}

size_t TTestWaveDevice::PendingNotifications() const {
    return PendingThreadMessages(NotifyThread(), WomDoneMessage);
}

void TTestWaveDevice::SetProductName(const std::string& name) {
    std::lock_guard lock(FMutex);
    FProductName = name;
}

void TTestWaveDevice::SetNumDevs(uint32_t count) {
    std::lock_guard lock(FMutex);
    FNumDevs = count;
}

MmResult TTestWaveDevice::Open(HWaveOut& handle, int deviceId, const TWaveFormatEx& format,
                               std::thread::id notifyThread, uintptr_t) {
    std::lock_guard lock(FMutex);
    handle = 0;
    if (const MmResult injected = Injected(TWaveOp::Open))
        return Record(TWaveOp::Open, nullptr, injected);
    if (FHandle != 0)
        return Record(TWaveOp::Open, nullptr, mmsyserr::Allocated);
    if (deviceId != WaveMapper && (deviceId < 0 || static_cast<uint32_t>(deviceId) >= FNumDevs))
        return Record(TWaveOp::Open, nullptr, mmsyserr::BadDeviceId);
    if (format.wFormatTag != WaveFormatPcm || format.nChannels == 0 ||
        format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8)
        return Record(TWaveOp::Open, nullptr, waverr::BadFormat);
    FHandle = FNextHandle++;
    FPaused = false;
    FLost = false;
    FDeviceId = deviceId;
    FFormat = format;
    FNotify = notifyThread;
    FPositionBytes = 0;
    handle = FHandle;
    return Record(TWaveOp::Open, nullptr, mmsyserr::NoError);
}

MmResult TTestWaveDevice::PrepareHeader(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::PrepareHeader))
        return Record(TWaveOp::PrepareHeader, &header, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::PrepareHeader, &header, mmsyserr::InvalHandle);
    return Record(TWaveOp::PrepareHeader, &header, MarkWaveHeaderPrepared(header));
}

MmResult TTestWaveDevice::UnprepareHeader(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::UnprepareHeader))
        return Record(TWaveOp::UnprepareHeader, &header, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::UnprepareHeader, &header, mmsyserr::InvalHandle);
    return Record(TWaveOp::UnprepareHeader, &header, MarkWaveHeaderUnprepared(header));
}

MmResult TTestWaveDevice::Write(HWaveOut handle, TWaveHdr& header) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::Write))
        return Record(TWaveOp::Write, &header, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::Write, &header, mmsyserr::InvalHandle);
    if (const MmResult refused = CheckWaveHeaderWritable(header))
        return Record(TWaveOp::Write, &header, refused);
    MarkWaveHeaderQueued(header);
    FWrittenData.emplace_back(header.lpData, header.dwBufferLength);
    FWrittenHeaders.push_back(&header);
    if (FLost)
        Finish(header);
    else
        FQueue.push_back(&header);
    return Record(TWaveOp::Write, &header, mmsyserr::NoError);
}

MmResult TTestWaveDevice::Pause(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::Pause))
        return Record(TWaveOp::Pause, nullptr, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::Pause, nullptr, mmsyserr::InvalHandle);
    FPaused = true;
    return Record(TWaveOp::Pause, nullptr, mmsyserr::NoError);
}

MmResult TTestWaveDevice::Restart(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::Restart))
        return Record(TWaveOp::Restart, nullptr, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::Restart, nullptr, mmsyserr::InvalHandle);
    FPaused = false;
    return Record(TWaveOp::Restart, nullptr, mmsyserr::NoError);
}

MmResult TTestWaveDevice::Reset(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::Reset))
        return Record(TWaveOp::Reset, nullptr, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::Reset, nullptr, mmsyserr::InvalHandle);
    while (!FQueue.empty()) {
        Finish(*FQueue.front());
        FQueue.pop_front();
    }
    FPositionBytes = 0;
    return Record(TWaveOp::Reset, nullptr, mmsyserr::NoError);
}

MmResult TTestWaveDevice::Close(HWaveOut handle) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::Close))
        return Record(TWaveOp::Close, nullptr, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::Close, nullptr, mmsyserr::InvalHandle);
    if (!FQueue.empty())
        return Record(TWaveOp::Close, nullptr, waverr::StillPlaying);
    FHandle = 0;
    return Record(TWaveOp::Close, nullptr, mmsyserr::NoError);
}

MmResult TTestWaveDevice::GetPosition(HWaveOut handle, TMmTime& time) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::GetPosition))
        return Record(TWaveOp::GetPosition, nullptr, injected);
    if (handle == 0 || handle != FHandle)
        return Record(TWaveOp::GetPosition, nullptr, mmsyserr::InvalHandle);
    const uint64_t align = FFormat.nBlockAlign ? FFormat.nBlockAlign : 1;
    if (time.wType == TimeSamples) {
        time.value = static_cast<uint32_t>(FPositionBytes / align);
    } else {
        time.wType = TimeBytes;
        time.value = static_cast<uint32_t>(FPositionBytes);
    }
    return Record(TWaveOp::GetPosition, nullptr, mmsyserr::NoError);
}

MmResult TTestWaveDevice::GetDevCaps(int deviceId, TWaveOutCaps& caps) {
    std::lock_guard lock(FMutex);
    if (const MmResult injected = Injected(TWaveOp::GetDevCaps))
        return Record(TWaveOp::GetDevCaps, nullptr, injected);
    if (deviceId != WaveMapper && (deviceId < 0 || static_cast<uint32_t>(deviceId) >= FNumDevs))
        return Record(TWaveOp::GetDevCaps, nullptr, mmsyserr::BadDeviceId);
    caps = TWaveOutCaps{};
    const size_t n = std::min(FProductName.size(), sizeof caps.szPname - 1);
    std::memcpy(caps.szPname, FProductName.data(), n);
    caps.wChannels = 2;
    return Record(TWaveOp::GetDevCaps, nullptr, mmsyserr::NoError);
}

uint32_t TTestWaveDevice::GetNumDevs() {
    std::lock_guard lock(FMutex);
    return FNumDevs;
}

std::string TTestWaveDevice::GetErrorText(MmResult code) {
    return "Test device error " + std::to_string(code) + ": " + WaveErrorDescription(code);
}

} // namespace corvane
