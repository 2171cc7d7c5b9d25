#!/usr/bin/env bash
# The real client (corvane, offscreen) against a simulated recorder that
# answers every poll with a hostile answer, DURATION seconds per phase:
#   records: RECORDS records {id:"1"} in one answer (1.6 million: about 16 MB,
#            just under the 16 MiB answer limit). Prints the client's peak
#            resident memory, the polls it sent and the longest gap between
#            two polls. Goals: at most 300 MB, a poll every 2 s.
#   field:   one field of FIELD_BYTES bytes in every answer. Prints the size of
#            log.txt (and of any rotated log) afterwards. Goal: a few KiB per
#            answer, not the field's size.
#
# usage: bench/engine/huge_answer.sh [BUILD_DIR] [records|field|both]
#   environment: DURATION (20), RECORDS (1600000), FIELD_BYTES (15000000),
#   KEEP_LOGS=1 keeps the temporary folder with the logs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
phases=${2:-both}
duration=${DURATION:-20}
records=${RECORDS:-1600000}
field_bytes=${FIELD_BYTES:-15000000}
client="$build/bin/corvane"
sim="$build/bin/quorin-sim"
ini="$build/bin/corvane-ini"
for exe in "$client" "$sim" "$ini"; do
  [ -x "$exe" ] || { echo "build $exe first" >&2; exit 1; }
done

tmp=$(mktemp -d)
export HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run" QT_QPA_PLATFORM=offscreen
mkdir -m 0700 "$XDG_RUNTIME_DIR"
sim_pid=""
client_pid=""
cleanup() {
  if [ -n "$client_pid" ]; then kill "$client_pid" 2>/dev/null || true; wait "$client_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ "${KEEP_LOGS:-0}" = 1 ]; then echo "logs kept in $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$sim" --port 0 --no-hold --log "$tmp/sim.log" > "$tmp/sim.out" &
sim_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$tmp/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$tmp/sim.out")
[ -n "$port" ] || { echo "quorin-sim did not start" >&2; exit 1; }

sim_get() {
  python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode("utf-8", "replace"))' \
    "http://127.0.0.1:$port$1"
}

# Runs the client for DURATION seconds while every poll gets the fault's
# answer; leaves its data folder in $data and its peak resident KiB in $peak_kib.
run_client() {
  local name=$1 fault=$2
  export XDG_CONFIG_HOME="$tmp/$name"
  data="$XDG_CONFIG_HOME/Brindlex/QuorinCallMonitor"
  mkdir -p "$data"
  "$ini" "$data/client.ini" "127.0.0.1:$port" supervisor secret US 0
  sim_get "/sim/fault?$fault" > /dev/null
  sim_get "/sim/requests?clear=1" > /dev/null
  "$client" > "$tmp/$name.out" 2>&1 &
  client_pid=$!
  sleep "$duration"
  kill -0 "$client_pid" 2>/dev/null || { echo "corvane ended early; see $tmp/$name.out" >&2; exit 1; }
  peak_kib=$(awk '/^VmHWM:/ {print $2}' "/proc/$client_pid/status")
  sim_get /sim/requests > "$tmp/$name.requests"
  kill "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  client_pid=""
  sim_get "/sim/fault?mode=none" > /dev/null
}

# Polls the client sent, and the longest gap between two of them in seconds.
poll_figures() {
  awk -F'\t' -v name="$1" '$2 ~ /info=AllActiveCalls/ {
      if (n > 0 && $1 - last > gap) gap = $1 - last
      last = $1; n++
    }
    END {
      printf "%s_polls %d\n", name, n
      printf "%s_longest_poll_gap_s %.2f\n", name, gap / 1000
    }' "$tmp/$1.requests"
}

echo "duration_s $duration"
if [ "$phases" = records ] || [ "$phases" = both ]; then
  run_client records "mode=records&records=$records&id=1"
  echo "records_per_answer $records"
  awk -v k="$peak_kib" 'BEGIN { printf "records_peak_rss_mb %.1f (goal: at most 300)\n", k / 1024 }'
  poll_figures records
  echo "records_goal_polls about $((duration / 2)) (one every 2 s)"
fi
if [ "$phases" = field ] || [ "$phases" = both ]; then
  run_client field "mode=field&key=Note&value=v&bytes=$field_bytes"
  echo "field_bytes_per_answer $field_bytes"
  log_bytes=$(cat "$data"/log*.txt | wc -c)
  echo "field_log_bytes $log_bytes (log.txt and rotated logs)"
  poll_figures field
  awk -v k="$peak_kib" 'BEGIN { printf "field_peak_rss_mb %.1f\n", k / 1024 }'
fi
