// The simulator's live audio: header, zero byte, paced G.711 of the call's own
// tone, its end at hang-up, the record of what was sent, and the audio faults.

#include "SimClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

const std::string kCreds = "&username=supervisor&password=secret";

// A live-audio request on its own connection, split into the HTTP head, the
// stream header (up to the zero byte) and the audio after it.
class TAudioStream {
public:
    TAudioStream(int port, const std::string& remid, const std::string& creds = kCreds)
        : FConn(port) {
        FConn.SendGet("/client.php?info=RTCall&remid=" + remid + creds);
    }

    // Reads until the zero byte; false when it does not come.
    bool ReadHeader(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto end = FRaw.find("\r\n\r\n");
            if (end != std::string::npos) {
                const auto zero = FRaw.find('\0', end + 4);
                if (zero != std::string::npos) {
                    head = FRaw.substr(0, end);
                    header = FRaw.substr(end + 4, zero - end - 4);
                    audio = FRaw.substr(zero + 1);
                    return true;
                }
            }
            if (!FConn.ReadAtLeast(FRaw, FRaw.size() + 1, 100ms))
                break;
        }
        return false;
    }
    // More audio for `duration`; false when the connection ended.
    bool Read(std::chrono::milliseconds duration) { return FConn.ReadFor(audio, duration); }
    bool ReadAtLeast(size_t bytes, std::chrono::milliseconds timeout) {
        return FConn.ReadAtLeast(audio, bytes, timeout);
    }
    TRawConnection& Conn() { return FConn; }
    std::string Raw() const { return FRaw; }

    std::string head, header, audio;

private:
    TRawConnection FConn;
    std::string FRaw;
};

std::vector<int> Channel(const std::string& audio, bool aLaw, int channels, int channel) {
    std::vector<int> out;
    for (size_t i = static_cast<size_t>(channel); i < audio.size();
         i += static_cast<size_t>(channels)) {
        const auto b = static_cast<unsigned char>(audio[i]);
        out.push_back(aLaw ? ALawToLinear(b) : ULawToLinear(b));
    }
    return out;
}

struct TFormatCase {
    std::string format;
    int channels;
};

class SimAudio : public ::testing::TestWithParam<TFormatCase> {};

TEST_P(SimAudio, PacedToneOfTheCallUntilHangUp) {
    const auto& p = GetParam();
    QuorinSim sim;
    sim.Control("/sim/config?format=" + p.format + "&channels=" + std::to_string(p.channels));
    sim.Control("/sim/calls/add?id=7&remoteid=rc7&tone=700");

    TAudioStream s(sim.Port(), "rc7");
    ASSERT_TRUE(s.ReadHeader());
    TRawAnswer head;
    head.head = s.head;
    EXPECT_FALSE(head.HasHeader("Transfer-Encoding")) << s.head;
    EXPECT_FALSE(head.HasHeader("Content-Length")) << s.head;
    EXPECT_EQ(head.Header("Connection"), "close");
    EXPECT_EQ(s.header,
              "Format: " + p.format + "\r\nChannels: " + std::to_string(p.channels) + "\r\n");
    EXPECT_TRUE(s.Read(1s));
    // Real-time pace: about 8000 bytes per second and channel, roughly.
    const size_t perSecond = 8000u * static_cast<size_t>(p.channels);
    EXPECT_GT(s.audio.size(), perSecond / 2);
    EXPECT_LT(s.audio.size(), perSecond * 2);

    sim.Control("/sim/calls/hangup?id=7");
    s.Conn().ReadToEnd(s.audio, 5s);
    EXPECT_TRUE(s.Conn().Closed());
    EXPECT_EQ(sim.Control("/sim/rtcall/sent?remid=rc7"), s.audio);

    const bool aLaw = p.format == "alaw";
    for (int c = 0; c < p.channels; ++c) {
        const auto samples = Channel(s.audio, aLaw, p.channels, c);
        const double tone = 700.0 + 200.0 * c;
        const double power = TonePower(samples, tone);
        EXPECT_GT(power, 0.01) << "channel " << c;
        for (const double other : {tone - 100, tone + 100, tone + 300})
            EXPECT_GT(power, 20 * TonePower(samples, other)) << "channel " << c << " " << other;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, SimAudio,
                         ::testing::Values(TFormatCase{"alaw", 1}, TFormatCase{"ulaw", 2}),
                         [](const auto& info) {
                             return info.param.format + std::to_string(info.param.channels);
                         });

TEST(SimAudioStream, SameCallGivesTheSameBytes) {
    QuorinSim sim({"--format", "ulaw"});
    sim.Control("/sim/calls/add?id=3");
    std::string first;
    for (int i = 0; i < 2; ++i) {
        TAudioStream s(sim.Port(), "r3");
        ASSERT_TRUE(s.ReadHeader());
        EXPECT_EQ(s.header, "Format: ulaw\r\nChannels: 1\r\n");
        ASSERT_TRUE(s.ReadAtLeast(3000, 5s));
        if (i == 0)
            first = s.audio.substr(0, 3000);
        else
            EXPECT_EQ(s.audio.substr(0, 3000), first);
    }
}

TEST(SimAudioStream, RefusedRequestsGetAnErrorHeader) {
    QuorinSim sim;
    sim.Control("/sim/calls/add?id=3");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"nobody" + kCreds, "Error: UnknownCall\r\n"},
        {"r3&username=supervisor&password=wrong", "Error: NotLoggedIn\r\n"},
    };
    for (const auto& [query, header] : cases) {
        SCOPED_TRACE(query);
        const TRawAnswer a = RawGet(sim.Port(), "/client.php?info=RTCall&remid=" + query);
        EXPECT_TRUE(a.closed);
        EXPECT_EQ(a.body, header + std::string(1, '\0'));
    }
}

std::string Streams(const QuorinSim& sim) {
    return sim.Control("/sim/rtcall/streams");
}

bool WaitForNoStreams(const QuorinSim& sim) {
    for (int i = 0; i < 500; ++i) {
        if (Streams(sim).empty())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(SimAudioStream, EndsWhenTheClientGoesAway) {
    QuorinSim sim;
    sim.Control("/sim/calls/add?id=4");
    {
        TAudioStream s(sim.Port(), "r4");
        ASSERT_TRUE(s.ReadHeader());
        ASSERT_TRUE(s.ReadAtLeast(800, 5s));
        EXPECT_EQ(Streams(sim).rfind("r4\t", 0), 0u);
    }
    EXPECT_TRUE(WaitForNoStreams(sim));
    // What the client had read is the start of what was sent.
    EXPECT_GE(sim.Control("/sim/rtcall/sent?remid=r4").size(), 800u);
}

TEST(SimAudioFault, EndCutAndResetAfterBytes) {
    struct TCase {
        std::string query;
        size_t bytes;
        bool reset;
    };
    const std::vector<TCase> cases = {
        {"mode=audio-end&bytes=5000", 5000, false},
        {"mode=audio-cut&bytes=5001", 5001, false},
        {"mode=audio-reset&bytes=3000", 3000, true},
    };
    QuorinSim sim;
    sim.Control("/sim/calls/add?id=5");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        sim.Control("/sim/fault?count=1&" + c.query);
        TAudioStream s(sim.Port(), "r5");
        ASSERT_TRUE(s.ReadHeader());
        s.Conn().ReadToEnd(s.audio, 10s);
        if (c.reset) {
            EXPECT_TRUE(s.Conn().Reset());
            EXPECT_LE(s.audio.size(), c.bytes);
        } else {
            EXPECT_TRUE(s.Conn().Closed());
            EXPECT_EQ(s.audio.size(), c.bytes);
        }
        EXPECT_EQ(sim.Control("/sim/rtcall/sent?remid=r5").size(), c.bytes);
    }
    // Audio faults leave polls alone and are not used up by them.
    sim.Control("/sim/fault?mode=audio-end&bytes=10&count=1");
    const TRawAnswer poll =
        RawGet(sim.Port(), "/client.php?info=AllActiveCalls&wait=0&know=xxx" + kCreds);
    EXPECT_EQ(ParseAnswerText(poll.body).count("Know"), 1u);
    TAudioStream s(sim.Port(), "r5");
    ASSERT_TRUE(s.ReadHeader());
    s.Conn().ReadToEnd(s.audio, 10s);
    EXPECT_EQ(s.audio.size(), 10u);
}

TEST(SimAudioFault, StallKeepsTheConnectionOpen) {
    QuorinSim sim;
    sim.Control("/sim/calls/add?id=6");
    sim.Control("/sim/fault?mode=audio-stall&bytes=4000&count=1");
    {
        TAudioStream s(sim.Port(), "r6");
        ASSERT_TRUE(s.ReadHeader());
        ASSERT_TRUE(s.ReadAtLeast(4000, 5s));
        EXPECT_TRUE(s.Read(1s)); // still open
        EXPECT_EQ(s.audio.size(), 4000u);
        EXPECT_EQ(Streams(sim), "r6\t4000\n");
    }
    EXPECT_TRUE(WaitForNoStreams(sim));
}

TEST(SimAudioFault, HeaderSplitAndNoZeroByte) {
    QuorinSim sim;
    sim.Control("/sim/calls/add?id=8");

    sim.Control("/sim/fault?mode=audio-split&ms=1500&count=1");
    TAudioStream split(sim.Port(), "r8");
    EXPECT_FALSE(split.ReadHeader(500ms)); // only the first piece so far
    ASSERT_TRUE(split.ReadHeader(5s));
    EXPECT_EQ(split.header, "Format: alaw\r\nChannels: 1\r\n");

    sim.Control("/sim/fault?mode=audio-nozero&count=1");
    TAudioStream nozero(sim.Port(), "r8");
    std::string raw;
    nozero.Conn().ReadFor(raw, 1s);
    const auto body = raw.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    const std::string header = "Format: alaw\r\nChannels: 1\r\n";
    ASSERT_GT(raw.size(), body + 4 + header.size() + 100);
    EXPECT_EQ(raw.substr(body + 4, header.size()), header);
    // The first audio byte (the silent start of the signal) follows the header directly.
    EXPECT_EQ(static_cast<unsigned char>(raw[body + 4 + header.size()]), 0xD5);
}

} // namespace
