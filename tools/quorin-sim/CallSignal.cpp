#include "CallSignal.h"

#include "G711.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace corvane::sim {

namespace {

constexpr int kRate = 8000;
constexpr int kGapMs = 150;
constexpr int kRampFrames = 40;       // 5 ms fade in and out, so bursts do not click
constexpr double kAmplitude = 9830.0; // about -10 dB of full scale
constexpr double kChannelStepHz = 200.0;

uint32_t Fnv1a(const std::string& text) {
    uint32_t h = 2166136261u;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

} // namespace

double TCallSignal::ToneOf(const std::string& remoteid) {
    return 300.0 + 50.0 * static_cast<double>(Fnv1a(remoteid) % 12);
}

int TCallSignal::BurstMsOf(const std::string& remoteid) {
    return 250 + 50 * static_cast<int>((Fnv1a(remoteid) / 12) % 6);
}

TCallSignal::TCallSignal(const std::string& remoteid, double toneHz, bool aLaw, int channels)
    : FTone(toneHz > 0 ? toneHz : ToneOf(remoteid)),
      FBurstFrames(BurstMsOf(remoteid) * kRate / 1000), FGapFrames(kGapMs * kRate / 1000),
      FALaw(aLaw), FChannels(std::max(1, channels)) {}

void TCallSignal::Render(uint8_t* out, size_t frames) {
    const uint64_t period = static_cast<uint64_t>(FBurstFrames + FGapFrames);
    for (size_t f = 0; f < frames; ++f, ++FFrame) {
        const auto inPeriod = static_cast<int>(FFrame % period);
        double envelope = 0.0;
        if (inPeriod < FBurstFrames) {
            const int edge = std::min(inPeriod, FBurstFrames - 1 - inPeriod);
            envelope = edge >= kRampFrames ? 1.0 : static_cast<double>(edge) / kRampFrames;
        }
        const double t = static_cast<double>(FFrame) / kRate;
        for (int c = 0; c < FChannels; ++c) {
            const double hz = FTone + kChannelStepHz * c;
            const double value = kAmplitude * envelope * std::sin(2.0 * std::numbers::pi * hz * t);
            const auto sample = static_cast<int16_t>(std::lround(value));
            *out++ = FALaw ? LinearToALaw(sample) : LinearToULaw(sample);
        }
    }
}

} // namespace corvane::sim
