#pragma once

// What the listener hears of the stream: volume, mute and, for a two-channel
// stream, one party only. Applied to 16-bit PCM where samples are handed to
// the sound device, so a change is heard at once rather than after the
// blocks already queued.

#include <cstddef>
#include <cstdint>

namespace corvane {

struct TOutputLevel {
    int Volume = 100;  // percent, 0..100
    bool Mute = false; // silence; the stream keeps running
    int Party = 0;     // two-channel streams: 0 both, 1 first channel, 2 second channel

    bool operator==(const TOutputLevel&) const = default;
};

// The level with every field pulled into its range.
TOutputLevel ClampedOutputLevel(const TOutputLevel& level);

// Shapes `frames` interleaved frames of `channels` 16-bit samples in place:
// with Party 1 or 2 on a two-channel stream the chosen channel is copied to
// both, then each sample becomes sample * Volume / 100 rounded to the nearest
// integer (halves away from zero); Mute gives zeros. Never allocates.
void ShapePcm16(int16_t* samples, size_t frames, unsigned channels, const TOutputLevel& level);

// The level every device applies from now on. Any thread, lock-free.
void SetOutputLevel(const TOutputLevel& level);
TOutputLevel CurrentOutputLevel();

} // namespace corvane
