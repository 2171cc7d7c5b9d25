// Plays numbered 16-bit blocks through TWaveOut on the default wave device
// (PortAudio) the way the call monitor does: eight slots, play from the third
// queued block, then keep the ring topped up. Optionally pauses once for a
// while. Writes the exact PCM it queued to a file and prints timings, so that
// wave_out_capture.sh can compare what the sound system received.
//
// usage: wave-out-play BLOCKS EXPECTED.raw [PAUSE_MS [reset]]
//
// With "reset", 1.5 s after the start it resets the output instead of pausing
// and plays the rest; EXPECTED.raw then starts with a "reset at byte N" split:
// the bytes before N may be cut short in the capture, the rest must be whole.
//
// Every sample is non-zero (block i holds i+1 in its high byte), so silence
// that the device inserts while paused or starved is easy to tell apart.

#include "MainThread.h"
#include "WaveOut.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace corvane;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BLOCKS EXPECTED.raw [PAUSE_MS]\n", argv[0]);
        return 2;
    }
    const int blocks = std::atoi(argv[1]);
    const std::string expectedPath = argv[2];
    const int pauseMs = argc > 3 ? std::atoi(argv[3]) : 0;
    const bool reset = argc > 4 && std::string(argv[4]) == "reset";

    SetWaveOutMessageBox(
        [](const std::string& text) { std::printf("MESSAGE: %s\n", text.c_str()); });
    TWaveOut w;
    std::atomic<bool> finished{false};
    std::atomic<int> triggers{0};
    Clock::time_point finishedAt;
    w.OnBufferTrigger = [&](TWaveOut&) { ++triggers; };
    w.OnFinish = [&](TWaveOut&) {
        finishedAt = Clock::now();
        finished = true;
    };
    w.SetBufferSize(8192); // 4096 frames: 512 ms at 8000 samples/s
    w.SetBufferCount(8);
    w.SetBitsPerSample(16);
    w.SetChannels(1);
    w.SetTriggerPosition(4);
    if (!w.Open(WaveMapper))
        return 1;

    std::FILE* expected = std::fopen(expectedPath.c_str(), "wb");
    if (!expected)
        return 1;
    std::vector<int16_t> pcm(4096);
    int queued = 0;
    bool playing = false;
    bool paused = false;
    Clock::time_point playAt;
    Clock::time_point pausedAt;
    std::chrono::milliseconds pausedFor{0};
    long resetAtByte = -1;
    while (!finished) {
        // Keep at most six blocks queued, like the monitor.
        while (queued < blocks && w.GetBufferFree() > 2) {
            for (size_t j = 0; j < pcm.size(); ++j)
                pcm[j] = static_cast<int16_t>(((queued + 1) << 8) | static_cast<int>(1 + j % 255));
            if (!w.Queue(pcm.data()))
                return 1;
            std::fwrite(pcm.data(), sizeof(int16_t), pcm.size(), expected);
            ++queued;
            if (!playing && w.GetBufferFree() == 5) {
                playAt = Clock::now();
                w.Play();
                playing = true;
            }
        }
        if (!playing && queued == blocks) {
            playAt = Clock::now();
            w.Play();
            playing = true;
        }
        const auto now = Clock::now();
        if (reset && resetAtByte < 0 && playing && now - playAt > std::chrono::milliseconds(1500)) {
            // The flushed blocks' completions must not retire the ones queued next.
            w.Reset();
            resetAtByte = std::ftell(expected);
            playing = false;
            continue;
        }
        if (!reset && pauseMs > 0 && playing && !paused &&
            now - playAt > std::chrono::milliseconds(1500)) {
            w.Pause();
            paused = true;
            pausedAt = now;
        }
        if (paused && pausedFor.count() == 0 &&
            now - pausedAt > std::chrono::milliseconds(pauseMs)) {
            pausedFor = std::chrono::duration_cast<std::chrono::milliseconds>(now - pausedAt);
            w.Resume();
        }
        WaitAndCheckSynchronize(10);
    }
    std::fclose(expected);
    std::printf("reset_at_byte %ld\n", resetAtByte);
    const uint32_t samples = w.GetPositionTime();
    w.Close();

    const auto ms = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    std::printf("blocks %d\n", blocks);
    std::printf("audio_ms %d\n", blocks * 512);
    std::printf("paused_ms %lld\n", static_cast<long long>(pausedFor.count()));
    std::printf("play_to_finish_ms %lld\n", static_cast<long long>(ms(finishedAt - playAt)));
    std::printf("position_samples %u\n", samples);
    std::printf("triggers %d\n", triggers.load());
    return 0;
}
