#!/usr/bin/env bash
# Soak run: the client polls a simulated recorder whose CALLS calls keep
# arriving and hanging up, and listens to one of them (moving on to another
# when it ends) for MINUTES, through PortAudio into a private PulseAudio
# daemon's null sink. Then it polls IDLE_SECONDS more without listening, first
# on that changing list, then on a steady list of CALLS calls from a second
# simulator (polls held until a change, as with a quiet recorder).
# Prints the client's resident memory after the warm-up and at the end, its CPU
# share (all its threads; the simulator and the sound daemon are listed apart),
# wave-output underruns and the status codes raised, against the goals.
#
# usage: bench/soak/soak.sh [BUILD_DIR] [MINUTES]
#   environment: CALLS (200), IDLE_SECONDS (60), WARMUP_SECONDS (30), SEED (3),
#   MEAN_LENGTH (60 s per call), MEAN_GAP (0.2 s between arrivals),
#   KEEP_LOGS=1 keeps the temporary folder with the logs.
set -euo pipefail
. "$(dirname "$0")/../lib/null-sink.sh"

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
minutes=${2:-10}
calls=${CALLS:-200}
idle=${IDLE_SECONDS:-60}
warmup=${WARMUP_SECONDS:-30}
seed=${SEED:-3}
mean_length=${MEAN_LENGTH:-60}
mean_gap=${MEAN_GAP:-0.2}
client="$build/bin/soak-client"
sim="$build/bin/quorin-sim"
for exe in "$client" "$sim"; do
  [ -x "$exe" ] || { echo "build $exe first" >&2; exit 1; }
done

tmp=$(mktemp -d)
export HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run" XDG_CONFIG_HOME="$tmp/config"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
sim_pid=""
steady_pid=""
client_pid=""
cleanup() {
  if [ -n "$client_pid" ]; then kill "$client_pid" 2>/dev/null || true; wait "$client_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$steady_pid" ]; then kill "$steady_pid" 2>/dev/null || true; wait "$steady_pid" 2>/dev/null || true; fi
  stop_null_sink
  if [ "${KEEP_LOGS:-0}" = 1 ]; then echo "logs kept in $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_null_sink
pulse_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid")

"$sim" --host 127.0.0.1 --port 0 --random-calls --max-calls "$calls" --mean-gap "$mean_gap" \
  --mean-length "$mean_length" --seed "$seed" --log "$tmp/sim.log" > "$tmp/sim.out" &
sim_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$tmp/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$tmp/sim.out")
[ -n "$port" ] || { echo "quorin-sim did not start" >&2; exit 1; }

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
echo "soak: ${minutes} min listening + ${idle} s idle polling, ${calls} changing calls" \
  "(mean length ${mean_length} s), load average $(cut -d' ' -f1-3 /proc/loadavg)"
sim_before=$(ticks "$sim_pid")
pulse_before=$(ticks "$pulse_pid")
start_s=$(date +%s)
set +e
"$client" "127.0.0.1:$port" $((minutes * 60)) "$idle" "$calls" "$warmup" | tee "$tmp/client.out" &
client_pid=$!
wait "$client_pid"
client_rc=$?
client_pid=""
set -e
wall=$(( $(date +%s) - start_s ))
sim_cpu=$(( $(ticks "$sim_pid") - sim_before ))
pulse_cpu=$(( $(ticks "$pulse_pid") - pulse_before ))
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

# Idle polling of a steady list: the recorder holds each poll until its wait ends.
for i in $(seq "$calls"); do
  printf 'id=%d\tremoteid=r%d\tage=%d\tlocal=2%02d\tlname=Caller %d\tremote=+4930%06d\tdirection=%d\n' \
    "$i" "$i" "$((i * 7))" "$((i % 100))" "$i" "$i" "$((i % 3))"
done > "$tmp/steady.calls"
"$sim" --host 127.0.0.1 --port 0 --calls "$tmp/steady.calls" --log "$tmp/steady.log" > "$tmp/steady.out" &
steady_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$tmp/steady.out" 2>/dev/null && break; sleep 0.1; done
steady_port=$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$tmp/steady.out")
[ -n "$steady_port" ] || { echo "quorin-sim (steady list) did not start" >&2; exit 1; }
set +e
"$client" "127.0.0.1:$steady_port" 0 "$idle" "$calls" |
  sed -n 's/^idle_cpu_percent/steady_idle_cpu_percent/p; s/^idle_list_updates/steady_idle_list_updates/p; s/^status_codes/steady_status_codes/p' |
  tee -a "$tmp/client.out"
steady_rc=${PIPESTATUS[0]}
set -e
[ "$steady_rc" = 0 ] || client_rc=$steady_rc
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"

awk -v s="$sim_cpu" -v p="$pulse_cpu" -v hz="$hz" -v wall="$wall" -v rc="$client_rc" '
  { v[$1] = $2 }
  function verdict(ok) { return ok ? "met" : "MISSED" }
  END {
    growth = (v["rss_end_kib"] - v["rss_start_kib"]) / 1024
    printf "\n%-40s %-22s %-14s %s\n", "figure", "value", "goal", "verdict"
    printf "%-40s %-22s %-14s %s\n", "RSS after warm-up", sprintf("%.1f MiB", v["rss_start_kib"] / 1024), "", ""
    printf "%-40s %-22s %-14s %s\n", "RSS at the end", sprintf("%.1f MiB", v["rss_end_kib"] / 1024), "", ""
    printf "%-40s %-22s %-14s %s\n", "RSS growth", sprintf("%+.2f MiB", growth), "<= 2 MB", verdict(growth * 1048576 <= 2000000)
    printf "%-40s %-22s %-14s %s\n", "RSS min / max while listening", sprintf("%.1f / %.1f MiB", v["rss_min_kib"] / 1024, v["rss_max_kib"] / 1024), "", ""
    printf "%-40s %-22s %-14s %s\n", "client CPU, polling + listening", sprintf("%.2f %%", v["listen_cpu_percent"]), "< 2 %", verdict(v["listen_cpu_percent"] < 2)
    printf "%-40s %-22s %-14s %s\n", "underruns", v["underruns"], "0", verdict(v["underruns"] == 0)
    printf "%-40s %-22s %-14s %s\n", "blocks dropped (queue full)", v["blocks_dropped"], "", ""
    printf "%-40s %-22s %-14s %s\n", "calls switched to (listened call ended)", v["call_switches"], "", ""
    printf "%-40s %-22s %-14s %s\n", "list updates (poll answers), listening", v["listen_list_updates"], "", ""
    printf "%-40s %-22s %-14s %s\n", "status codes raised (code x count)", v["status_codes"], "", ""
    printf "%-40s %-22s %-14s %s\n", "client CPU, idle polling", sprintf("%.2f %%", v["idle_cpu_percent"]), "< 0.5 %", verdict(v["idle_cpu_percent"] < 0.5)
    printf "%-40s %-22s %-14s %s\n", "list updates (poll answers), idle", v["idle_list_updates"], "", ""
    printf "%-40s %-22s %-14s %s\n", "client CPU, idle polling, steady list", sprintf("%.2f %%", v["steady_idle_cpu_percent"]), "< 0.5 %", verdict(v["steady_idle_cpu_percent"] < 0.5)
    printf "%-40s %-22s %-14s %s\n", "status codes, steady list", v["steady_status_codes"], "", ""
    printf "%-40s %-22s %-14s %s\n", "simulator CPU (listening + idle)", sprintf("%.2f %%", 100 * s / hz / wall), "", ""
    printf "%-40s %-22s %-14s %s\n", "PulseAudio CPU (listening + idle)", sprintf("%.2f %%", 100 * p / hz / wall), "", ""
    printf "%-40s %-22s %-14s %s\n", "client exit code", rc, "0", verdict(rc == 0)
  }' "$tmp/client.out"
exit "$client_rc"
