#include "OutputLevel.h"

#include <algorithm>
#include <atomic>

namespace corvane {

namespace {

// One word, so the sound device's callback reads a consistent level without a lock.
std::atomic<uint32_t> CurrentLevel{100};

uint32_t Pack(const TOutputLevel& level) {
    return static_cast<uint32_t>(level.Volume) | (level.Mute ? 1u << 8 : 0u) |
           static_cast<uint32_t>(level.Party) << 9;
}

TOutputLevel Unpack(uint32_t word) {
    TOutputLevel level;
    level.Volume = static_cast<int>(word & 0xFF);
    level.Mute = (word >> 8 & 1) != 0;
    level.Party = static_cast<int>(word >> 9 & 3);
    return level;
}

int16_t Scale(int16_t sample, int volume) {
    const int product = sample * volume;
    // Integer division truncates towards zero; adding half first rounds halves away from it.
    return static_cast<int16_t>(product >= 0 ? (product + 50) / 100 : (product - 50) / 100);
}

} // namespace

TOutputLevel ClampedOutputLevel(const TOutputLevel& level) {
    TOutputLevel clamped = level;
    clamped.Volume = std::clamp(level.Volume, 0, 100);
    clamped.Party = level.Party == 1 || level.Party == 2 ? level.Party : 0;
    return clamped;
}

void ShapePcm16(int16_t* samples, size_t frames, unsigned channels, const TOutputLevel& level) {
    const size_t count = frames * channels;
    if (level.Mute || level.Volume <= 0) {
        std::fill(samples, samples + count, int16_t{0});
        return;
    }
    if (channels == 2 && (level.Party == 1 || level.Party == 2)) {
        const size_t chosen = static_cast<size_t>(level.Party - 1);
        for (size_t f = 0; f < frames; ++f) {
            const int16_t sample = samples[f * 2 + chosen];
            samples[f * 2] = sample;
            samples[f * 2 + 1] = sample;
        }
    }
    if (level.Volume >= 100)
        return;
    for (size_t i = 0; i < count; ++i)
        samples[i] = Scale(samples[i], level.Volume);
}

void SetOutputLevel(const TOutputLevel& level) {
    CurrentLevel.store(Pack(ClampedOutputLevel(level)), std::memory_order_relaxed);
}

TOutputLevel CurrentOutputLevel() {
    return Unpack(CurrentLevel.load(std::memory_order_relaxed));
}

} // namespace corvane
