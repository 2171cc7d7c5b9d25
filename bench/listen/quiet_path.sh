#!/usr/bin/env bash
# How quiet the listening path is. Plays one simulated µ-law call on a private
# PulseAudio daemon's null sink twice, one after the other:
#   client    call-monitor-listen: TCallMonitor, TWaveOut, PortAudio, ALSA's
#             pulse plugin (the program's own listening path)
#   pipeline  curl -sN <stream URL> | pacat --format=ulaw --rate=8000
# and prints, for each, over the same window once playback runs: the CPU share
# of one core (all threads, both processes of the pipeline), the wake-ups per
# second (voluntary plus involuntary context switches of all threads, from
# /proc/<pid>/task/*/status), and the sound daemon's CPU share meanwhile.
#
# usage: bench/listen/quiet_path.sh BUILD_DIR [SECONDS]
set -euo pipefail
. "$(dirname "$0")/../lib/null-sink.sh"

build=${1:?build directory}
seconds=${2:-30}
warmup=5 # header, three blocks buffered, playback started
listener="$build/bin/call-monitor-listen"
sim="$build/bin/quorin-sim"
for exe in "$listener" "$sim"; do
  [ -x "$exe" ] || { echo "build $exe first" >&2; exit 1; }
done
for tool in curl pacat pactl pulseaudio; do
  command -v "$tool" > /dev/null || { echo "$tool is missing (scripts/install-deps)" >&2; exit 1; }
done

tmp=$(mktemp -d)
export HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run" XDG_CONFIG_HOME="$tmp/config"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  stop_null_sink
  rm -rf "$tmp"
}
trap cleanup EXIT

start_null_sink
pulse_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid")

"$sim" --port 0 --format ulaw --channels 1 --log "$tmp/sim.log" > "$tmp/sim.out" &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on" "$tmp/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$tmp/sim.out")
curl -fsS "http://127.0.0.1:$port/sim/calls/add?id=1&remoteid=r1" > /dev/null
stream_url="http://127.0.0.1:$port/client.php?info=RTCall&remid=r1&username=supervisor&password=secret"
hz=$(getconf CLK_TCK)

# CPU ticks (user + system) of the given processes, all their threads.
cpu_ticks() {
  local total=0 pid
  for pid in "$@"; do total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat"))); done
  echo "$total"
}
# Context switches of every thread of the given processes.
switches() {
  local pid
  for pid in "$@"; do cat /proc/"$pid"/task/*/status 2> /dev/null; done |
    awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}
# measure PID...: after the warm-up, one window of $seconds; prints the CPU
# share, the wake-ups per second and the sound daemon's CPU share.
measure() {
  sleep "$warmup"
  local c0 s0 p0 c1 s1 p1
  c0=$(cpu_ticks "$@"); s0=$(switches "$@"); p0=$(cpu_ticks "$pulse_pid")
  sleep "$seconds"
  c1=$(cpu_ticks "$@"); s1=$(switches "$@"); p1=$(cpu_ticks "$pulse_pid")
  awk -v c=$((c1 - c0)) -v n=$((s1 - s0)) -v p=$((p1 - p0)) -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "%.2f %.1f %.2f\n", 100 * c / hz / s, n / s, 100 * p / hz / s }'
}

echo "client: call-monitor-listen, ${warmup} s warm-up, ${seconds} s measured"
"$listener" "127.0.0.1:$port" r1 $((warmup + seconds + 2)) > "$tmp/listener.out" &
client_pid=$!
pids+=("$client_pid")
read -r client_cpu client_wakeups client_pulse < <(measure "$client_pid")
wait "$client_pid" || { echo "the client failed:" >&2; cat "$tmp/listener.out" >&2; exit 1; }
grep -E 'play_starts|queue_ran_dry|blocks_dropped|^MESSAGE' "$tmp/listener.out" | sed 's/^/  /'

echo "pipeline: curl -sN <stream URL> | pacat --format=ulaw --rate=8000"
mkfifo "$tmp/stream"
curl -sN "$stream_url" > "$tmp/stream" &
curl_pid=$!
pacat --format=ulaw --rate=8000 --channels=1 < "$tmp/stream" &
pacat_pid=$!
pids+=("$curl_pid" "$pacat_pid")
read -r pipeline_cpu pipeline_wakeups pipeline_pulse < <(measure "$curl_pid" "$pacat_pid")
kill "$curl_pid" "$pacat_pid" 2> /dev/null || true

printf '%-34s %10s %10s\n' "" client pipeline
printf '%-34s %10s %10s\n' cpu_share_of_one_core_percent "$client_cpu" "$pipeline_cpu"
printf '%-34s %10s %10s\n' wakeups_per_second "$client_wakeups" "$pipeline_wakeups"
printf '%-34s %10s %10s\n' pulseaudio_cpu_share_percent "$client_pulse" "$pipeline_pulse"
awk -v c="$client_cpu" -v p="$pipeline_cpu" 'BEGIN {
  if (p > 0) printf "client_cpu_per_pipeline_cpu %.2f (goal: at most 2)\n", c / p
}'
echo "goal: client wake-ups per second at most 60"
