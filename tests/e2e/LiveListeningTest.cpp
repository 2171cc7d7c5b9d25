// Live listening end to end on the real sound path: the recorder simulator's
// live audio, TCallMonitor, PortAudio, ALSA and a private PulseAudio daemon's
// null sink. ALSA's default device is a `file` plugin over the `pulse` plugin,
// so the capture file holds exactly what PortAudio wrote, paced in real time
// by the sink. The capture must be the expansion of the bytes the simulator
// sent, sample for sample, with silence only before and after, or that
// expansion as the listening level shapes it. The daemon also starts late,
// dies and hangs, as a desktop's sound server does.

#include "CallMonitor.h"
#include "Corvane.h"
#include "G711.h"
#include "MainThread.h"
#include "OutputLevel.h"
#include "PortAudioWaveDevice.h"
#include "PrivatePulseAudio.h"
#include "TestSupport.h"
#include "WaveOut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

constexpr size_t kFrames = 4096; // sample frames per block
constexpr size_t kBlocks = 4;    // complete blocks each stream carries

using test::FileSize;

// The private sound system of a test (test::PrivatePulseAudio) and a PortAudio
// device made inside it: PortAudio reads HOME and XDG_RUNTIME_DIR anew
// whenever it is initialised again (an Open while no stream is open).
class PrivateSoundSystem {
    test::PrivatePulseAudio FPulse; // made first and gone last: the device lives inside it

public:
    PrivateSoundSystem() : Capture(FPulse.Capture()) {
        Device = std::make_unique<TPortAudioWaveDevice>();
        if (!Device->Initialized())
            Error = "PortAudio did not initialise";
    }
    PrivateSoundSystem(const PrivateSoundSystem&) = delete;
    PrivateSoundSystem& operator=(const PrivateSoundSystem&) = delete;

    // Starts the daemon with its null sink of `sinkChannels` channels as the
    // default sink; false (and Error says why) when it does not come up.
    bool StartDaemon(int sinkChannels = 1) {
        Error = FPulse.Start(sinkChannels);
        return Error.empty();
    }
    // The daemon running with a sink of `channels` channels, so a stream
    // reaches the sink as it is, without a downmix; restarted when its sink
    // has another count or it is not running.
    bool RunWithSinkChannels(int channels) {
        if (FPulse.Running() && FPulse.SinkChannels() == channels)
            return true;
        return StartDaemon(channels);
    }
    // Sends `signal` to the daemon (SIGKILL: it dies as in a crash).
    void SignalDaemon(int signal) { FPulse.Signal(signal); }
    void StopDaemon() { FPulse.Stop(); }

    std::string Error;
    const std::string Capture; // what PortAudio wrote to ALSA's default device
    std::unique_ptr<TPortAudioWaveDevice> Device;
};

// The PortAudio device, seen from outside: how many blocks had been written
// each time playback was started. Everything else is passed through.
class ObservedWaveDevice : public TWaveDevice {
public:
    explicit ObservedWaveDevice(TWaveDevice& inner) : FInner(inner) {}

    std::vector<int> WritesAtRestart() const {
        std::lock_guard lock(FMutex);
        return FWritesAtRestart;
    }

    MmResult Open(HWaveOut& handle, int deviceId, const TWaveFormatEx& format,
                  std::thread::id notifyThread, uintptr_t instance) override {
        return FInner.Open(handle, deviceId, format, notifyThread, instance);
    }
    MmResult PrepareHeader(HWaveOut handle, TWaveHdr& header) override {
        return FInner.PrepareHeader(handle, header);
    }
    MmResult UnprepareHeader(HWaveOut handle, TWaveHdr& header) override {
        return FInner.UnprepareHeader(handle, header);
    }
    MmResult Write(HWaveOut handle, TWaveHdr& header) override {
        const MmResult result = FInner.Write(handle, header);
        if (result == mmsyserr::NoError) {
            std::lock_guard lock(FMutex);
            ++FWrites;
        }
        return result;
    }
    MmResult Pause(HWaveOut handle) override { return FInner.Pause(handle); }
    MmResult Restart(HWaveOut handle) override {
        {
            std::lock_guard lock(FMutex);
            FWritesAtRestart.push_back(FWrites);
        }
        return FInner.Restart(handle);
    }
    MmResult Reset(HWaveOut handle) override { return FInner.Reset(handle); }
    MmResult Close(HWaveOut handle) override { return FInner.Close(handle); }
    MmResult GetPosition(HWaveOut handle, TMmTime& time) override {
        return FInner.GetPosition(handle, time);
    }
    MmResult GetDevCaps(int deviceId, TWaveOutCaps& caps) override {
        return FInner.GetDevCaps(deviceId, caps);
    }
    uint32_t GetNumDevs() override { return FInner.GetNumDevs(); }
    std::string GetErrorText(MmResult code) override { return FInner.GetErrorText(code); }

private:
    TWaveDevice& FInner;
    mutable std::mutex FMutex;
    int FWrites = 0;
    std::vector<int> FWritesAtRestart;
};

std::vector<int16_t> Expand(std::string_view codes, bool alaw) {
    const auto& table = alaw ? ALawTable : ULawTable;
    std::vector<int16_t> pcm(codes.size());
    for (size_t i = 0; i < codes.size(); ++i)
        pcm[i] = table[static_cast<uint8_t>(codes[i])];
    return pcm;
}

std::vector<int16_t> Samples(const std::string& raw) {
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

// What the listener should hear of `pcm` (frames of `channels` interleaved
// samples) at `level`'s volume and party, worked out here sample by sample.
std::vector<int16_t> AsHeard(std::vector<int16_t> pcm, int channels, const TOutputLevel& level) {
    if (channels == 2 && (level.Party == 1 || level.Party == 2)) {
        for (size_t f = 0; f + 1 < pcm.size(); f += 2) {
            const int16_t chosen = pcm[f + static_cast<size_t>(level.Party - 1)];
            pcm[f] = chosen;
            pcm[f + 1] = chosen;
        }
    }
    for (auto& sample : pcm)
        sample = static_cast<int16_t>(std::lround(sample * level.Volume / 100.0));
    return pcm;
}

// Samples in the capture from the first one heard on; 0 before the capture exists.
size_t HeardSamples(const std::string& capture) {
    if (FileSize(capture) == 0)
        return 0;
    const auto samples = Samples(test::ReadFile(capture));
    const auto first =
        std::find_if(samples.begin(), samples.end(), [](int16_t s) { return s != 0; });
    return static_cast<size_t>(samples.end() - first);
}

// The samples between the leading and the trailing silence.
std::vector<int16_t> Trimmed(const std::vector<int16_t>& s) {
    auto first = s.begin();
    auto last = s.end();
    while (first != last && *first == 0)
        ++first;
    while (last != first && *(last - 1) == 0)
        --last;
    return {first, last};
}

// The log, the messages and the capture checks every live test uses.
class LiveListeningBase : public testing::Test {
protected:
    void SetUp() override {
        FPreviousBox = SetWaveOutMessageBox([this](const std::string& text) {
            std::lock_guard lock(FMutex);
            FMessages.push_back(text);
        });
        Session.OnLog = [this](const std::string& text) {
            std::lock_guard lock(FMutex);
            FLog.push_back(text);
        };
    }
    void TearDown() override {
        // The level is the whole process's; the next test starts from the default.
        SetOutputLevel(TOutputLevel{});
        SetWaveOutMessageBox(FPreviousBox);
    }

    std::string LogText() const {
        std::lock_guard lock(FMutex);
        std::ostringstream out;
        for (const auto& line : FLog)
            out << "\n  " << line;
        for (const auto& line : FMessages)
            out << "\n  message: " << line;
        return out.str();
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(FMutex);
        return FMessages;
    }
    size_t Count(const std::string& line) const {
        std::lock_guard lock(FMutex);
        return static_cast<size_t>(std::count(FLog.begin(), FLog.end(), line));
    }

    void Configure(const test::QuorinSim& sim) {
        TQuorinConfig config;
        config.Server = sim.Server();
        config.UserName = "supervisor";
        config.Password = "secret";
        Session.SetConfig(config);
    }
    // A started monitor of call `remoteid` on `device` (null: the default device).
    std::unique_ptr<TCallMonitor> Listen(const std::string& remoteid, TWaveDevice* device,
                                         std::atomic<int>& finished) {
        TCallInfo call;
        call.id = remoteid;
        call.remoteid = remoteid;
        auto monitor = std::make_unique<TCallMonitor>(Session, call, device);
        monitor->OnFinished = [&finished] { ++finished; };
        monitor->Start();
        return monitor;
    }
    // Once silence follows the last block in the capture, all of it is there.
    static bool WaitForTheCaptureToSettle(const std::string& capture, int channels) {
        const size_t settled = FileSize(capture) + 4800 * static_cast<size_t>(channels);
        return test::PumpUntil([&] { return FileSize(capture) >= settled; }, 10s);
    }
    // The capture is the expansion of the complete blocks the simulator sent,
    // as heard at `level`.
    void ExpectTheCaptureIsTheStream(const std::string& capture, const std::string& sent, bool alaw,
                                     int channels, size_t blocks,
                                     const TOutputLevel& level = TOutputLevel{}) {
        const size_t chunk = kFrames * static_cast<size_t>(channels);
        const auto plain = Expand(std::string_view(sent).substr(0, blocks * chunk), alaw);
        const auto expected = Trimmed(AsHeard(plain, channels, level));
        const auto captured = Trimmed(Samples(test::ReadFile(capture)));
        ASSERT_GT(expected.size(), blocks * chunk - 2 * chunk); // a stream, not silence
        if (level != TOutputLevel{}) {
            ASSERT_NE(expected, Trimmed(plain)) << "this level cannot be told from the default";
        }
        EXPECT_EQ(captured.size(), expected.size());
        // A scaled sample may be rounded either way.
        const int tolerance = level.Volume == 100 ? 0 : 1;
        const auto mismatch = std::mismatch(
            captured.begin(), captured.end(), expected.begin(), expected.end(),
            [tolerance](int16_t a, int16_t b) { return std::abs(a - b) <= tolerance; });
        if (mismatch.first != captured.end() && mismatch.second != expected.end())
            ADD_FAILURE() << "the capture differs from the stream at sample "
                          << (mismatch.first - captured.begin()) << ": " << *mismatch.first
                          << " instead of " << *mismatch.second << LogText();
    }

    TCorvane Session;

private:
    mutable std::mutex FMutex;
    std::vector<std::string> FLog;
    std::vector<std::string> FMessages;
    TWaveOutMessageBox FPreviousBox;
};

struct LiveCase {
    const char* name;
    const char* format;
    int channels;
    bool observed; // through the observing device; else the default device
    TOutputLevel level;
};

void PrintTo(const LiveCase& c, std::ostream* os) {
    *os << c.name;
}

// One private sound system for a whole suite; each test starts its daemon
// with the sink it needs (RunWithSinkChannels).
class SuiteSoundSystem : public LiveListeningBase {
protected:
    static void SetUpTestSuite() { FSound = std::make_unique<PrivateSoundSystem>(); }
    static void TearDownTestSuite() { FSound.reset(); }

    static std::unique_ptr<PrivateSoundSystem> FSound;
};

std::unique_ptr<PrivateSoundSystem> SuiteSoundSystem::FSound;

class LiveListening : public SuiteSoundSystem, public testing::WithParamInterface<LiveCase> {};

TEST_P(LiveListening, TheSoundSystemReceivesTheExpandedStreamAfterThreeBlocks) {
    const LiveCase& c = GetParam();
    ASSERT_TRUE(FSound->Error.empty()) << FSound->Error;
    ASSERT_TRUE(FSound->RunWithSinkChannels(c.channels)) << FSound->Error;
    SetOutputLevel(c.level);
    const bool alaw = std::string(c.format) == "alaw";
    const size_t chunk = kFrames * static_cast<size_t>(c.channels);

    test::QuorinSim sim({"--format", c.format, "--channels", std::to_string(c.channels)});
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    // Complete blocks and the start of one more, which is never played.
    sim.Control("/sim/fault?count=1&mode=audio-end&bytes=" + std::to_string(kBlocks * chunk + 300));
    Configure(sim);

    ObservedWaveDevice observed(*FSound->Device);
    std::atomic<int> finished{0};
    auto monitor = Listen("r1", c.observed ? &observed : nullptr, finished);
    ASSERT_TRUE(test::PumpUntil([&] { return finished.load() > 0; }, 30s)) << LogText();
    ASSERT_TRUE(WaitForTheCaptureToSettle(FSound->Capture, c.channels));
    monitor.reset();
    EXPECT_EQ(finished.load(), 1);
    EXPECT_TRUE(Messages().empty()) << LogText();
    if (c.observed) {
        const auto restarts = observed.WritesAtRestart();
        ASSERT_FALSE(restarts.empty()) << LogText();
        EXPECT_EQ(restarts.front(), 3) << "playback must start with the third queued block";
    }

    const std::string sent = sim.Control("/sim/rtcall/sent?remid=r1");
    ASSERT_EQ(sent.size(), kBlocks * chunk + 300);
    ExpectTheCaptureIsTheStream(FSound->Capture, sent, alaw, c.channels, kBlocks, c.level);
}

// Ordered by channel count, so the daemon restarts once for another sink.
INSTANTIATE_TEST_SUITE_P(
    PortAudio, LiveListening,
    testing::Values(LiveCase{"ALaw", "alaw", 1, true, {100, false, 0}},
                    LiveCase{"MuLawOnTheDefaultDevice", "ulaw", 1, false, {100, false, 0}},
                    LiveCase{"HalfVolume", "alaw", 1, true, {50, false, 0}},
                    LiveCase{"TwoChannels", "alaw", 2, true, {100, false, 0}},
                    LiveCase{"SecondPartyOfTwoChannels", "alaw", 2, true, {100, false, 2}}),
    [](const testing::TestParamInfo<LiveCase>& info) { return std::string(info.param.name); });

// The level changed on a call that is playing.
class LevelChangedWhilePlaying : public SuiteSoundSystem {};

// Muted after a block has been heard and unmuted a while later: silence in
// between, and then the stream from where it has got to meanwhile, as if
// never muted. A-law never expands to 0, so every 0 in the capture is the
// device's silence.
TEST_F(LevelChangedWhilePlaying, UnmutingResumesTheStreamAtItsPositionWithNothingLostOrShifted) {
    ASSERT_TRUE(FSound->Error.empty()) << FSound->Error;
    ASSERT_TRUE(FSound->RunWithSinkChannels(1)) << FSound->Error;
    constexpr size_t blocks = 10;
    test::QuorinSim sim({"--format", "alaw"});
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    sim.Control("/sim/fault?count=1&mode=audio-end&bytes=" + std::to_string(blocks * kFrames));
    Configure(sim);
    // An earlier test's capture would count as heard.
    std::remove(FSound->Capture.c_str());

    std::atomic<int> finished{0};
    auto monitor = Listen("r1", nullptr, finished);
    ASSERT_TRUE(test::PumpUntil([&] { return HeardSamples(FSound->Capture) >= kFrames; }, 30s))
        << LogText();
    SetOutputLevel({100, true, 0});
    const size_t sizeWhenMuted = FileSize(FSound->Capture);
    // Long enough for several device callbacks to fall silent.
    ASSERT_TRUE(test::PumpUntil(
        [&] { return FileSize(FSound->Capture) >= sizeWhenMuted + 3 * kFrames * 2; }, 10s))
        << LogText();
    SetOutputLevel({100, false, 0});
    ASSERT_TRUE(test::PumpUntil([&] { return finished.load() > 0; }, 30s)) << LogText();
    ASSERT_TRUE(WaitForTheCaptureToSettle(FSound->Capture, 1));
    monitor.reset();
    EXPECT_EQ(finished.load(), 1);
    EXPECT_TRUE(Messages().empty()) << LogText();

    const std::string sent = sim.Control("/sim/rtcall/sent?remid=r1");
    ASSERT_EQ(sent.size(), blocks * kFrames);
    const auto stream = Expand(sent, true);
    ASSERT_EQ(std::count(stream.begin(), stream.end(), int16_t{0}), 0);
    const auto captured = Trimmed(Samples(test::ReadFile(FSound->Capture)));
    ASSERT_EQ(captured.size(), stream.size()) << "muting lost or added samples";
    const auto mutedFrom = std::find(captured.begin(), captured.end(), int16_t{0});
    ASSERT_NE(mutedFrom, captured.end()) << "nothing was silent while muted";
    const auto mutedTo = std::find_if(mutedFrom, captured.end(), [](int16_t s) { return s != 0; });
    const auto before = static_cast<size_t>(mutedFrom - captured.begin());
    const auto after = static_cast<size_t>(mutedTo - captured.begin());
    EXPECT_GE(before, kFrames) << "the silence began before the mute";
    EXPECT_TRUE(std::equal(captured.begin(), mutedFrom, stream.begin()))
        << "the stream before the mute differs";
    EXPECT_TRUE(
        std::equal(mutedTo, captured.end(), stream.begin() + static_cast<std::ptrdiff_t>(after)))
        << "after samples " << before << " to " << after
        << " were muted, the stream heard again is not the one at that position";
}

// A sound server that comes and goes while the client runs: each test has its
// own daemon, started when the test says.
class SoundServerComesAndGoes : public LiveListeningBase {
protected:
    void SetUp() override {
        LiveListeningBase::SetUp();
        FSound = std::make_unique<PrivateSoundSystem>();
    }
    void TearDown() override {
        FSound.reset();
        LiveListeningBase::TearDown();
    }

    // Listens to `remoteid`, whose stream the simulator ends after kBlocks
    // blocks, until it has played, and compares the capture with the stream.
    void ListenToACompleteCall(test::QuorinSim& sim, const std::string& remoteid) {
        sim.Control("/sim/fault?count=1&mode=audio-end&bytes=" + std::to_string(kBlocks * kFrames));
        std::atomic<int> finished{0};
        auto monitor = Listen(remoteid, nullptr, finished);
        ASSERT_TRUE(test::PumpUntil([&] { return finished.load() > 0; }, 30s)) << LogText();
        ASSERT_TRUE(WaitForTheCaptureToSettle(FSound->Capture, 1));
        monitor.reset();
        EXPECT_EQ(finished.load(), 1);
        ExpectTheCaptureIsTheStream(
            FSound->Capture, sim.Control("/sim/rtcall/sent?remid=" + remoteid), true, 1, kBlocks);
    }
    // Listens to an endless call until its playback has begun to reach the sink.
    std::unique_ptr<TCallMonitor> ListenUntilHeard(const std::string& remoteid,
                                                   std::atomic<int>& finished) {
        auto monitor = Listen(remoteid, nullptr, finished);
        EXPECT_TRUE(test::PumpUntil([&] { return FileSize(FSound->Capture) > 16000; }, 30s))
            << LogText();
        return monitor;
    }
    bool StreamRuns(const test::QuorinSim& sim, const std::string& remoteid) const {
        return sim.Control("/sim/rtcall/streams").find(remoteid) != std::string::npos;
    }

    std::unique_ptr<PrivateSoundSystem> FSound;
};

// The client started without a sound server, and listening failed; the next
// listen after the server has started plays on it.
TEST_F(SoundServerComesAndGoes, AServerStartedAfterAFailedListenIsUsed) {
    ASSERT_TRUE(FSound->Error.empty()) << FSound->Error;
    test::QuorinSim sim({"--format", "alaw"});
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    Configure(sim);

    std::atomic<int> finished{0};
    auto monitor = Listen("r1", nullptr, finished);
    ASSERT_TRUE(test::PumpUntil([&] { return finished.load() > 0; }, 30s)) << LogText();
    monitor.reset();
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u) << LogText();
    EXPECT_EQ(messages[1], "xOpen, MMSYSERR_NODRIVER");

    ASSERT_TRUE(FSound->StartDaemon()) << FSound->Error;
    ListenToACompleteCall(sim, "r1");
    EXPECT_EQ(Messages().size(), 2u) << LogText();
}

// The server dies while a call plays: one message, listening ends once and
// gives up the stream; once the server is back the next call plays.
TEST_F(SoundServerComesAndGoes, AServerKilledMidPlayEndsListeningAndTheNextCallPlaysAfterARestart) {
    ASSERT_TRUE(FSound->Error.empty()) << FSound->Error;
    ASSERT_TRUE(FSound->StartDaemon()) << FSound->Error;
    test::QuorinSim sim({"--format", "alaw"});
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    sim.Control("/sim/calls/add?id=2&remoteid=r2");
    Configure(sim);

    std::atomic<int> finished{0};
    auto monitor = ListenUntilHeard("r1", finished);
    ASSERT_EQ(finished.load(), 0);
    FSound->SignalDaemon(SIGKILL);
    ASSERT_TRUE(test::PumpUntil([&] { return finished.load() > 0; }, 30s)) << LogText();
    EXPECT_TRUE(test::PumpUntil([&] { return !StreamRuns(sim, "r1"); }, 10s));
    test::PumpFor(500ms);
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Playback, MMSYSERR_NODRIVER"})) << LogText();
    EXPECT_EQ(Count("Monitor: the sound output failed; listening ends"), 1u);
    monitor.reset();
    EXPECT_EQ(finished.load(), 1);

    FSound->StopDaemon();
    ASSERT_TRUE(FSound->StartDaemon()) << FSound->Error;
    ListenToACompleteCall(sim, "r2");
    EXPECT_EQ(Messages().size(), 1u) << LogText();
}

// The server hangs while a call plays: no block finishes any more, and after
// the stall limit that is a failed device like a dead one.
TEST_F(SoundServerComesAndGoes, AServerThatHangsMidPlayEndsListeningAfterTheStallLimit) {
    ASSERT_TRUE(FSound->Error.empty()) << FSound->Error;
    ASSERT_TRUE(FSound->StartDaemon()) << FSound->Error;
    test::QuorinSim sim({"--format", "alaw"});
    sim.Control("/sim/calls/add?id=1&remoteid=r1");
    sim.Control("/sim/calls/add?id=2&remoteid=r2");
    Configure(sim);

    std::atomic<int> finished{0};
    auto monitor = ListenUntilHeard("r1", finished);
    FSound->SignalDaemon(SIGSTOP);
    ASSERT_TRUE(test::PumpUntil([&] { return finished.load() > 0; }, 30s)) << LogText();
    test::PumpFor(500ms);
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Playback, MMSYSERR_NODRIVER"})) << LogText();
    // Closing the hung stream does not wait for the server.
    monitor.reset();
    EXPECT_EQ(finished.load(), 1);

    FSound->StopDaemon();
    ASSERT_TRUE(FSound->StartDaemon()) << FSound->Error;
    ListenToACompleteCall(sim, "r2");
}

} // namespace
