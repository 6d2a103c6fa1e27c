#!/usr/bin/env bash
# Resident memory of a live HTTP streaming instance over a long run.
#
#   bench/hls_memory.sh [SECONDS] [BITRATE]      (defaults: 600, 2M)
#
# Runs the reference host (build/host/yvkstreamer live --hls) in a private
# network namespace with the test pattern at BITRATE and AAC audio, while a
# client follows the playlist and fetches every new segment, as a player
# does.  Samples VmRSS every 10 s and prints the first sample after the
# warm-up, the last, the largest and the growth.  Run it inside the build
# root: scripts/in-root bench/hls_memory.sh
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-600}
bitrate=${2:-2M}
host=$top/build/host/yvkstreamer
[ -x "$host" ] || { echo "build the project first (scripts/build)" >&2; exit 1; }

exec unshare --net bash -s "$host" "$seconds" "$bitrate" <<'INNER'
set -euo pipefail
host=$1 seconds=$2 bitrate=$3
ip link set lo up
log=$(mktemp)
"$host" live --hls --bitrate "$bitrate" >"$log" 2>&1 &
pid=$!
trap 'kill -INT $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 100); do grep -q "HLS playlist" "$log" && break; sleep 0.2; done

# A player: the playlist every second, each new segment once.
( last=""
  while kill -0 $pid 2>/dev/null; do
      for url in $(curl -s -m 5 http://127.0.0.1:8554/live.m3u8 | tr -d '\r' | grep '^live?segment='); do
          case " $last " in *" $url "*) ;; *) curl -s -m 5 -o /dev/null "http://127.0.0.1:8554/$url" ;; esac
      done
      last=$(curl -s -m 5 http://127.0.0.1:8554/live.m3u8 | tr -d '\r' | grep '^live?segment=' | tr '\n' ' ')
      sleep 1
  done ) &

rss() { awk '/^VmRSS/ {print $2}' /proc/$pid/status; }
warmup=30
sleep $warmup
first=$(rss) max=$first samples=0
end=$((SECONDS + seconds - warmup))
while [ $SECONDS -lt $end ]; do
    sleep 10
    now=$(rss) samples=$((samples + 1))
    [ "$now" -gt "$max" ] && max=$now
    printf 't=%4ds rss=%d kB\n' $((SECONDS)) "$now"
done
last=$(rss)
echo "bitrate $bitrate, ${seconds}s: rss after ${warmup}s ${first} kB, at the end ${last} kB, largest ${max} kB, growth $((last - first)) kB"
INNER
