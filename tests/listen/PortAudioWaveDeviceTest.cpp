#include "PortAudioWaveDevice.h"
#include "TestSupport.h"
#include "WaveOut.h"

#include <gtest/gtest.h>
#include <portaudio.h>

#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace corvane;

namespace {

class PortAudioTest : public testing::Test {
protected:
    void SetUp() override {
        FPrevious = SetWaveOutMessageBox([this](const std::string& t) { Messages.push_back(t); });
    }
    void TearDown() override { SetWaveOutMessageBox(FPrevious); }

    std::vector<std::string> Messages;

private:
    TWaveOutMessageBox FPrevious;
};

// Everything written to standard error while `fn` runs.
template <typename Fn> std::string CaptureStderr(Fn fn) {
    test::TempDir dir;
    const std::string path = dir.File("stderr.txt");
    fflush(stderr);
    const int saved = dup(2);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return test::ReadFile(path);
}

TEST_F(PortAudioTest, StartingPortAudioPrintsNoAlsaOrJackChatter) {
    std::unique_ptr<TPortAudioWaveDevice> device;
    const std::string printed =
        CaptureStderr([&] { device = std::make_unique<TPortAudioWaveDevice>(); });
    EXPECT_TRUE(device->Initialized());
    EXPECT_EQ(printed, "");
}

TEST_F(PortAudioTest, TheDefaultDeviceOpensOrFailsWithTheNoDriverMessages) {
    TPortAudioWaveDevice device;
    ASSERT_TRUE(device.Initialized());
    TWaveOut w(&device);
    if (Pa_GetDefaultOutputDevice() >= 0) {
        EXPECT_TRUE(w.Open(WaveMapper));
        EXPECT_TRUE(w.Close());
        EXPECT_TRUE(Messages.empty());
        return;
    }
    EXPECT_FALSE(w.Open(WaveMapper));
    ASSERT_EQ(Messages.size(), 2u);
    const std::string prefix = "waveOutOpen Error -> 6\niIndex -> -1\n";
    EXPECT_EQ(Messages[0].substr(0, prefix.size()), prefix);
    EXPECT_NE(Messages[0].find("no default output device"), std::string::npos) << Messages[0];
    EXPECT_LE(Messages[0].size() - prefix.size(), MaxErrorText - 1);
    EXPECT_EQ(Messages[1], "xOpen, MMSYSERR_NODRIVER");
    EXPECT_EQ(w.GetPlayState(), TPlayState::Closed);

    // What the monitor then does: queue blocks, try to play, close.
    const std::vector<char> block(static_cast<size_t>(w.GetBufferSize()));
    EXPECT_FALSE(w.Queue(block.data()));
    EXPECT_EQ(Messages.back(), "PrepareHeader, MMSYSERR_INVALHANDLE");
    EXPECT_EQ(w.GetBufferFree(), w.GetBufferCount());
    EXPECT_TRUE(w.Close());
}

TEST_F(PortAudioTest, DeviceCountIsTheNumberOfOutputDevices) {
    TPortAudioWaveDevice device;
    ASSERT_TRUE(device.Initialized());
    uint32_t outputs = 0;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i)
        if (Pa_GetDeviceInfo(i)->maxOutputChannels > 0)
            ++outputs;
    TWaveOut w(&device);
    EXPECT_EQ(w.GetWaveOutNumDevs(), outputs);

    std::string name;
    EXPECT_FALSE(w.GetWaveOutName(static_cast<int>(outputs), name));
    EXPECT_EQ(Messages.back(), "DevCaps, MMSYSERR_BADDEVICEID");
    if (outputs > 0) {
        EXPECT_TRUE(w.GetWaveOutName(0, name));
        EXPECT_FALSE(name.empty());
        EXPECT_LE(name.size(), 31u);
    }
}

struct OpenFailure {
    const char* name;
    int deviceId;
    uint16_t bits;
    uint16_t channels;
    const char* message;
};

class PortAudioOpenFailure : public PortAudioTest,
                             public testing::WithParamInterface<OpenFailure> {};

TEST_P(PortAudioOpenFailure, IsReportedWithItsCode) {
    const OpenFailure& c = GetParam();
    TPortAudioWaveDevice device;
    TWaveOut w(&device);
    w.SetBitsPerSample(c.bits);
    w.SetChannels(c.channels);
    const int id =
        c.deviceId >= 0 ? static_cast<int>(device.GetNumDevs()) + c.deviceId : c.deviceId;
    EXPECT_FALSE(w.Open(id));
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[1], c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortAudioOpenFailure,
    testing::Values(OpenFailure{"NumberPastTheLastDevice", 0, 16, 1, "xOpen, MMSYSERR_BADDEVICEID"},
                    OpenFailure{"TwelveBitSamples", -1, 12, 1, "xOpen, WAVERR_BADFORMAT"},
                    OpenFailure{"NoChannels", -1, 16, 0, "xOpen, WAVERR_BADFORMAT"}),
    [](const auto& info) { return std::string(info.param.name); });

// What PortAudio says when a device is gone, busy or unknown must reach the
// user as that, not as a format the device cannot play.
struct ErrorResultCase {
    const char* name;
    PaError error;
    MmResult result;
};

class PortAudioErrorResult : public testing::TestWithParam<ErrorResultCase> {};

TEST_P(PortAudioErrorResult, NamesWhatWentWrong) {
    EXPECT_EQ(corvane::PortAudioErrorResult(GetParam().error), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PortAudioErrorResult,
    testing::Values(
        // An output device that cannot be opened (its sound server died).
        ErrorResultCase{"DeviceCannotBeOpened", paBadIODeviceCombination, mmsyserr::NoDriver},
        ErrorResultCase{"DeviceBusy", paDeviceUnavailable, mmsyserr::Allocated},
        ErrorResultCase{"DeviceUnknown", paInvalidDevice, mmsyserr::BadDeviceId},
        ErrorResultCase{"NotInitialised", paNotInitialized, mmsyserr::NoDriver},
        ErrorResultCase{"NoHostApi", paHostApiNotFound, mmsyserr::NoDriver},
        ErrorResultCase{"SampleRate", paInvalidSampleRate, waverr::BadFormat},
        ErrorResultCase{"ChannelCount", paInvalidChannelCount, waverr::BadFormat},
        ErrorResultCase{"SampleFormat", paSampleFormatNotSupported, waverr::BadFormat},
        ErrorResultCase{"Memory", paInsufficientMemory, mmsyserr::NoMem},
        ErrorResultCase{"HostError", paUnanticipatedHostError, mmsyserr::Error},
        ErrorResultCase{"Success", paNoError, mmsyserr::NoError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortAudioWaveDevice, OperationsOnAnUnknownHandleAreRefused) {
    TPortAudioWaveDevice device;
    TWaveHdr header;
    TMmTime time;
    const HWaveOut bogus = 12345;
    EXPECT_EQ(device.PrepareHeader(bogus, header), mmsyserr::InvalHandle);
    EXPECT_EQ(device.Write(bogus, header), mmsyserr::InvalHandle);
    EXPECT_EQ(device.Pause(bogus), mmsyserr::InvalHandle);
    EXPECT_EQ(device.Restart(bogus), mmsyserr::InvalHandle);
    EXPECT_EQ(device.Reset(bogus), mmsyserr::InvalHandle);
    EXPECT_EQ(device.GetPosition(bogus, time), mmsyserr::InvalHandle);
    EXPECT_EQ(device.Close(bogus), mmsyserr::InvalHandle);
    EXPECT_EQ(device.Close(0), mmsyserr::InvalHandle);
}

} // namespace
