#!/usr/bin/env bash
# Listens to a simulated call for SECONDS through TCallMonitor, PortAudio and a
# private PulseAudio daemon's null sink, and reports the latency from Start to
# the start of playback and the CPU share of the listening process (the
# simulator and the sound daemon are not counted; their figures follow).
#
# usage: bench/listen/call_monitor_bench.sh BUILD_DIR [SECONDS] [alaw|ulaw] [CHANNELS]
set -euo pipefail
. "$(dirname "$0")/../lib/null-sink.sh"

build=${1:?build directory}
seconds=${2:-60}
format=${3:-alaw}
channels=${4:-1}
listener="$build/bin/call-monitor-listen"
sim="$build/bin/quorin-sim"
for exe in "$listener" "$sim"; do
  [ -x "$exe" ] || { echo "build $exe first" >&2; exit 1; }
done

tmp=$(mktemp -d)
export HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run" XDG_CONFIG_HOME="$tmp/config"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  stop_null_sink
  rm -rf "$tmp"
}
trap cleanup EXIT

start_null_sink

"$sim" --port 0 --format "$format" --channels "$channels" --log "$tmp/sim.log" > "$tmp/sim.out" &
sim_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$tmp/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$tmp/sim.out")
curl -fsS "http://127.0.0.1:$port/sim/calls/add?id=1&remoteid=r1" > /dev/null 2>&1 ||
  python3 -c "import urllib.request,sys; urllib.request.urlopen(sys.argv[1]).read()" \
    "http://127.0.0.1:$port/sim/calls/add?id=1&remoteid=r1"

echo "listening ${seconds} s to a ${format} stream with ${channels} channel(s)"
sim_cpu_before=$(awk '{print $14 + $15}' "/proc/$sim_pid/stat")
pulse_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid")
pulse_cpu_before=$(awk '{print $14 + $15}' "/proc/$pulse_pid/stat")
"$listener" "127.0.0.1:$port" r1 "$seconds"
hz=$(getconf CLK_TCK)
sim_cpu=$(( $(awk '{print $14 + $15}' "/proc/$sim_pid/stat") - sim_cpu_before ))
pulse_cpu=$(( $(awk '{print $14 + $15}' "/proc/$pulse_pid/stat") - pulse_cpu_before ))
awk -v s="$sim_cpu" -v p="$pulse_cpu" -v hz="$hz" -v secs="$seconds" 'BEGIN {
  printf "simulator_cpu_share_percent %.2f\n", 100 * s / hz / secs
  printf "pulseaudio_cpu_share_percent %.2f\n", 100 * p / hz / secs
}'
