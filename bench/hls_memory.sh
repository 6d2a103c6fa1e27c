#!/usr/bin/env bash
# Resident memory of a live HTTP streaming instance over a long run, against
# its bound: 10 x segment duration x bitrate + 8 MB.
#
#   bench/hls_memory.sh [SECONDS] [SOURCE]      (default: 600 s of a 720p25
#                                                2 Mbit/s H.264 file)
#
# SOURCE is a media file with H.264/H.265 video, played in real time and
# looped; by default build/bench/hls-720p25-2M.h264, made with ffmpeg when
# missing.  A bitrate instead (e.g. 2M) streams the reference host's test
# pattern, which the host encodes with libx264 in the same process: the
# encoder's own buffers, about 13 MB at 720p, grow after the instance is
# created and then count as the instance's.  The host
# (build/host/yvkstreamer live --hls, AAC audio from its tone) runs in a
# private network namespace while a client follows the playlist and fetches
# every new segment, as a player does.  VmRSS is sampled every 10 s.
#
# The bound is for what the instance adds to the process: the host prints
# its resident memory just before YVK_StreamerCoreNew, and the instance's
# share is each sample minus that.  The bitrate is the stream's own: the
# mean size of the segments fetched (Transport Stream with audio, per
# segment duration, which is 1 s).  The last line compares the largest
# share with the bound and gives the verdict; the growth from the first
# sample after the warm-up (the store is full by then) to the last shows
# whether anything accumulates.  Run it inside the build root:
# scripts/in-root bench/hls_memory.sh
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-600}
source=${2:-$top/build/bench/hls-720p25-2M.h264}
host=$top/build/host/yvkstreamer
[ -x "$host" ] || { echo "build the project first (scripts/build)" >&2; exit 1; }
if [ "$source" = "$top/build/bench/hls-720p25-2M.h264" ] && [ ! -s "$source" ]; then
    echo "making $source (720p25 H.264, 2 Mbit/s, a key frame every second)" >&2
    mkdir -p "$(dirname "$source")"
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 \
        -c:v libx264 -preset veryfast -profile:v main -bf 0 -pix_fmt yuv420p \
        -g 25 -keyint_min 25 -sc_threshold 0 -b:v 2M -maxrate 2M -bufsize 2M \
        -x264-params log-level=error -f h264 "$source.tmp"
    mv "$source.tmp" "$source"
fi
case "$source" in
    [0-9]*) input=(--bitrate "$source") ;;
    *) [ -r "$source" ] || { echo "hls_memory.sh: cannot read $source" >&2; exit 1; }; input=(--source "$source") ;;
esac

exec unshare --net bash -s "$host" "$seconds" "${input[@]}" <<'INNER'
set -euo pipefail
host=$1 seconds=$2
shift 2
ip link set lo up
log=$(mktemp) sizes=$(mktemp)
"$host" live --hls "$@" >"$log" 2>&1 &
pid=$!
trap 'kill -INT $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$log" "$sizes"' EXIT
for _ in $(seq 100); do grep -q "HLS playlist" "$log" && break; sleep 0.2; done
base=$(sed -n 's/^resident before the instance: \([0-9]*\) kB$/\1/p' "$log")
[ -n "$base" ] || { echo "hls_memory.sh: the host did not say its resident memory" >&2; exit 1; }

# A player: the playlist every second, each new segment once.
( last=""
  while kill -0 $pid 2>/dev/null; do
      for url in $(curl -s -m 5 http://127.0.0.1:8554/live.m3u8 | tr -d '\r' | grep '^live?segment='); do
          case " $last " in *" $url "*) ;; *) curl -s -m 5 -o /dev/null -w '%{size_download}\n' \
              "http://127.0.0.1:8554/$url" >>"$sizes" ;; esac
      done
      last=$(curl -s -m 5 http://127.0.0.1:8554/live.m3u8 | tr -d '\r' | grep '^live?segment=' | tr '\n' ' ')
      sleep 1
  done ) &

rss() { awk '/^VmRSS/ {print $2}' /proc/$pid/status; }
echo "$(date -u +%H:%M:%S) $(uptime | sed 's/^ *//'); resident before the instance ${base} kB"
warmup=30
sleep $warmup
first=$(rss) max=$first
end=$((SECONDS + seconds - warmup))
while [ $SECONDS -lt $end ]; do
    sleep 10
    now=$(rss)
    [ "$now" -gt "$max" ] && max=$now
    printf 't=%4ds rss=%d kB instance=%d kB\n' $((SECONDS)) "$now" $((now - base))
done
last=$(rss)
echo "$(date -u +%H:%M:%S) $(uptime | sed 's/^ *//')"
echo "${seconds}s: rss after ${warmup}s ${first} kB, at the end ${last} kB, largest ${max} kB, growth $((last - first)) kB"
awk -v base="$base" -v max="$max" '$1 > 0 { n++; bytes += $1 }
    END {
        if (n == 0) { print "verdict: FAIL (no segment fetched)"; exit 1 }
        mean = bytes / n; bound = 10 * mean / 1024 + 8192; share = max - base
        printf "segments fetched %d, mean %.0f bytes (%.2f Mbit/s with audio and TS overhead)\n", n, mean, mean * 8 / 1e6
        printf "bound 10 x 1 s x bitrate + 8 MB = %.0f kB; largest instance share %d kB (largest rss %d - %d before the instance)\n", bound, share, max, base
        printf "verdict: %s\n", share <= bound ? "PASS" : "FAIL"
        exit share <= bound ? 0 : 1
    }' "$sizes"
INNER
