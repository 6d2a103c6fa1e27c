#!/usr/bin/env bash
# Live HTTP streaming: how soon a segment is available to clients after its
# last frame was handed to the library.
#
#   bench/hls_availability.sh [options]
#     --seconds S      polling time (default 60)
#     --interval MS    between two playlist requests (default 2)
#     --input FILE     1080p25 H.264 Annex-B input (default the fan-out
#                      benchmark's, made with ffmpeg when missing)
#     --keep DIR       keep the logs in DIR
#     --rt             run the host and the client at SCHED_FIFO 50, as a device
#                      runs its streaming threads (see bench/latency.sh)
#
# Method: the reference host runs live HTTP streaming (--hls, AAC audio
# from its tone) from FILE with --latency-log: a numbered SEI in front of
# every access unit, and CLOCK_REALTIME noted when popStream hands each one
# over.  A client (bench/hls_availability.py) asks for the M3U8 playlist
# every MS milliseconds over one keep-alive connection; when a segment is
# listed for the first time it notes the instant, fetches the segment and
# reads the frame numbers in its video.  The delay is the listing instant
# minus the hand-over of the segment's last frame (target <= 50 ms); the
# delay after the next segment's first frame is printed beside it.  The
# figures include up to one polling interval plus one request.  A segment
# is complete 2 ms after the wall clock passes its end, so the delay is that
# of the last frame before the boundary: up to one frame interval (40 ms at
# 25 fps) plus 2 ms, plus whatever keeps the event loop from a CPU (the load
# average and the kernel's CPU pressure are printed beside the figures).
#
# Run it inside the build root, as root: scripts/in-root bench/hls_availability.sh
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/bench-lib.sh"
top=$(cd "$here/.." && pwd)

host=$top/build/host/yvkstreamer
input=$top/build/bench/fanout-1080p25.h264
seconds=60 interval=2 keep= rt=()
usage() { sed -n '5,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=${2:?}; shift 2 ;;
        --interval) interval=${2:?}; shift 2 ;;
        --input) input=${2:?}; shift 2 ;;
        --keep) keep=${2:?}; shift 2 ;;
        --rt) rt=(chrt -f 50); shift ;;
        -h|--help) usage ;;
        *) echo "hls_availability.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
[ -x "$host" ] || { echo "hls_availability.sh: $host missing; build the project first (scripts/build)" >&2; exit 1; }

if [ -z "${HLSAV_IN_NETNS:-}" ] && [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net env HLSAV_IN_NETNS=1 "$0" --seconds "$seconds" --interval "$interval" \
        --input "$input" ${keep:+--keep "$keep"} ${rt[0]:+--rt}
fi
[ -n "${HLSAV_IN_NETNS:-}" ] && ip link set lo up

make_live_input "$input"

work=$(mktemp -d)
trap 'stop_server; [ -n "$keep" ] && mkdir -p "$keep" && cp "$work"/* "$keep"/ 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

"${rt[@]}" "$host" live --hls --name live --if lo --source "$input" --latency-log "$work/pops.log" >"$work/host.log" 2>&1 &
server_pid=$!
for _ in $(seq 150); do
    grep -q "HLS playlist" "$work/host.log" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/host.log" >&2; exit 1; }
    sleep 0.1
done

echo "before: $(uptime | sed 's/^ *//'); $(cpu_pressure)"
"${rt[@]}" python3 "$here/hls_availability.py" poll http://127.0.0.1:8554/live.m3u8 "$seconds" "$work/segments.log" \
    --interval "$interval"
echo "after:  $(uptime | sed 's/^ *//'); $(cpu_pressure)"
stop_server
grep '^latency log:' "$work/host.log" || { echo "hls_availability.sh: the host wrote no log" >&2; exit 1; }
echo "HTTP segment availability, 1080p25 H.264 4 Mbit/s + AAC, playlist polled every ${interval} ms," \
     "$([ ${#rt[@]} -gt 0 ] && echo "SCHED_FIFO 50" || echo "default scheduling"), $(nproc) cores:"
python3 "$here/hls_availability.py" report "$work/pops.log" "$work/segments.log" --target 50
