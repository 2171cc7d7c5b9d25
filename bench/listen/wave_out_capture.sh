#!/usr/bin/env bash
# Plays blocks through TWaveOut and the PortAudio device into a PulseAudio null
# sink and checks what the sound system received: every block, in order, each
# byte as queued, paced in real time.
#
# usage: bench/listen/wave_out_capture.sh BUILD_DIR [BLOCKS] [PAUSE_MS [reset]]
#
# With "reset" the player resets the output 1.5 s in and plays on: the blocks
# flushed then may be cut short, every block queued afterwards must be whole.
#
# ALSA's default device becomes a `file` plugin over the `pulse` plugin, so the
# capture file holds exactly what PortAudio wrote, at the pace the null sink
# consumes it (the `file` plugin over `null` alone would run unpaced).
#
# Under ThreadSanitizer pass
# TSAN_OPTIONS=suppressions=tests/listen/tsan-third-party.supp (PulseAudio's
# client library is not instrumented).
set -euo pipefail

build=${1:?build directory}
blocks=${2:-12}
pause_ms=${3:-0}
mode=${4:-}
player="$build/bin/wave-out-play"
[ -x "$player" ] || { echo "build $player first" >&2; exit 1; }

tmp=$(mktemp -d)
export HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
cleanup() {
  if [ -f "$XDG_RUNTIME_DIR/pulse/pid" ]; then kill "$(cat "$XDG_RUNTIME_DIR/pulse/pid")" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

pulseaudio -D -n --exit-idle-time=-1 --system=false --use-pid-file=yes \
  --load="module-native-protocol-unix" \
  --load="module-null-sink sink_name=cap rate=8000 channels=1 format=s16le"
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink cap

cat > "$HOME/.asoundrc" <<EOF
@hooks [ { func load files [ "$tmp/capture-pulse.conf" ] errors false } ]
EOF
cat > "$tmp/capture-pulse.conf" <<EOF
pcm.!default { type file slave.pcm "pulse" file "$tmp/capture.raw" format "raw" }
EOF

start=$(date +%s%N)
"$player" "$blocks" "$tmp/expected.raw" "$pause_ms" $mode | tee "$tmp/player.txt"
end=$(date +%s%N)
echo "wall_ms $(( (end - start) / 1000000 ))"

python3 - "$tmp/expected.raw" "$tmp/capture.raw" "$tmp/player.txt" <<'EOF'
import struct, sys
expected = open(sys.argv[1], "rb").read()
captured = open(sys.argv[2], "rb").read()
info = dict(line.split(" ", 1) for line in open(sys.argv[3]).read().splitlines() if " " in line)
samples = struct.unpack("<%dh" % (len(captured) // 2), captured[: len(captured) // 2 * 2])
silence = sum(1 for s in samples if s == 0)
played = struct.pack("<%dh" % (len(samples) - silence), *(s for s in samples if s != 0))
print("captured_samples", len(samples), "silent_samples", silence)
reset_at = int(info.get("reset_at_byte", "-1"))
if reset_at >= 0:
    # Flushed blocks may be cut short; everything queued after the reset is whole.
    pre, post = expected[:reset_at], expected[reset_at:]
    head = played[: len(played) - len(post)]
    ok = played.endswith(post) and pre.startswith(head)
    print("flushed_bytes_heard", len(head), "of", len(pre))
else:
    ok = played == expected
print("blocks_in_order_and_intact", ok)
first = next(i for i, s in enumerate(samples) if s != 0)
last = max(i for i, s in enumerate(samples) if s != 0)
gaps = sum(1 for s in samples[first:last + 1] if s == 0)
print("silence_inside_the_stream_ms", gaps * 1000 // 8000)
audio_ms = int(info["audio_ms"]); paused_ms = int(info["paused_ms"])
took = int(info["play_to_finish_ms"])
if reset_at < 0:
    print("play_to_finish_ms", took, "audio_plus_pause_ms", audio_ms + paused_ms,
          "ratio %.3f" % (took / (audio_ms + paused_ms)))
sys.exit(0 if ok else 1)
EOF
