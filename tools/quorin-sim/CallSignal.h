#pragma once

// The recognisable audio of one simulated call: a tone whose pitch depends on
// the call, in speech-like bursts, G.711-compressed. Sample n of a stream
// depends only on the call and n, so two streams of one call are identical.

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::sim {

class TCallSignal {
public:
    // toneHz <= 0: the pitch derived from remoteid (see ToneOf).
    TCallSignal(const std::string& remoteid, double toneHz, bool aLaw, int channels);

    // Pitch of channel 0 for a call without an explicit tone:
    // 300 + 50 * (FNV-1a-32(remoteid) mod 12) Hz.
    static double ToneOf(const std::string& remoteid);
    // Length of the tone bursts: 250 + 50 * ((FNV-1a-32 / 12) mod 6) ms;
    // each burst is followed by 150 ms of silence.
    static int BurstMsOf(const std::string& remoteid);

    double Tone() const { return FTone; }
    int Channels() const { return FChannels; }

    // Writes the next `frames` frames (frames x channels bytes, channels
    // interleaved) and advances.
    void Render(uint8_t* out, size_t frames);

private:
    double FTone;
    int FBurstFrames;
    int FGapFrames;
    bool FALaw;
    int FChannels;
    uint64_t FFrame = 0;
};

} // namespace corvane::sim
