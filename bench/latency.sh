#!/usr/bin/env bash
# Live RTSP delivery latency: from the instant the host's popStream hands a
# frame to the library to the first RTP packet of that frame leaving the
# server's socket, with N clients (default 16).
#
#   bench/latency.sh [options]
#     --clients N      RTSP sessions over UDP (default 16)
#     --seconds S      measuring window (default 30)
#     --warmup S       from the first client's start to the window (default 5)
#     --input FILE     1080p25 H.264 Annex-B input (default the fan-out
#                      benchmark's, made with ffmpeg when missing)
#     --keep DIR       keep the two logs in DIR
#     --rt             run the server and the client with real-time priority
#                      (SCHED_FIFO 50), as a device runs its streaming threads;
#                      on a shared machine this separates the server's own
#                      delay from the wait for a CPU behind other work
#
# Method: the reference host (build/host/yvkstreamer, on the public API)
# runs with --latency-log: it puts a numbered SEI in front of every access
# unit and notes CLOCK_REALTIME when its popStream returns each one.  The
# library delivers that SEI as the first NAL unit, hence the first RTP
# packet, of the picture.  build/bench/yvk_rtsp_load --marks opens the N
# sessions and, for every mark that arrives, reads the kernel's receive
# stamp of its packet (SIOCGSTAMPNS).  On loopback the kernel stamps a
# packet while the sender's sendto() runs, so the stamp is the departure.
# bench/latency_report.py joins both logs by frame number and prints
# p50/p99/max against the targets (p50 <= 1 ms, p99 <= 5 ms).  The load
# average and the kernel's CPU pressure (the share of time some task waited
# for a CPU) are printed beside them: figures taken on a saturated machine
# measure its scheduler as much as the server.
#
# Run it inside the build root, as root: scripts/in-root bench/latency.sh
# (it moves into a private network namespace).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/bench-lib.sh"
top=$(cd "$here/.." && pwd)

host=$top/build/host/yvkstreamer
load=$top/build/bench/yvk_rtsp_load
input=$top/build/bench/fanout-1080p25.h264
clients=16 seconds=30 warmup=5 keep= rt=()
usage() { sed -n '5,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --clients) clients=${2:?}; shift 2 ;;
        --seconds) seconds=${2:?}; shift 2 ;;
        --warmup) warmup=${2:?}; shift 2 ;;
        --input) input=${2:?}; shift 2 ;;
        --keep) keep=${2:?}; shift 2 ;;
        --rt) rt=(chrt -f 50); shift ;;
        -h|--help) usage ;;
        *) echo "latency.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
for tool in "$host" "$load"; do
    [ -x "$tool" ] || { echo "latency.sh: $tool missing; build the project first (scripts/build)" >&2; exit 1; }
done

if [ -z "${LATENCY_IN_NETNS:-}" ] && [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net env LATENCY_IN_NETNS=1 "$0" --clients "$clients" --seconds "$seconds" \
        --warmup "$warmup" --input "$input" ${keep:+--keep "$keep"} ${rt[0]:+--rt}
fi
[ -z "${LATENCY_IN_NETNS:-}" ] || private_network_up

make_live_input "$input"

work=$(mktemp -d)
trap 'stop_server; [ -n "$keep" ] && mkdir -p "$keep" && cp "$work"/* "$keep"/ 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

url=rtsp://127.0.0.1:18554/live
"${rt[@]}" "$host" live --port 18554 --name live --if lo --audio none --source "$input" \
    --latency-log "$work/pops.log" >"$work/host.log" 2>&1 &
server_pid=$!
for _ in $(seq 150); do
    grep -qF "RTSP server: $url" "$work/host.log" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/host.log" >&2; exit 1; }
    sleep 0.1
done

echo "before: $(uptime | sed 's/^ *//'); $(cpu_pressure)"
line=$(timeout $((warmup + seconds + 30)) "${rt[@]}" "$load" "$url" --sessions "$clients" --seconds "$seconds" \
           --warmup "$warmup" --fps 25 --pid "$server_pid" --marks "$work/marks.log" 2>"$work/load.err" |
       grep '^requested=' || true)
echo "after:  $(uptime | sed 's/^ *//'); $(cpu_pressure)"
stop_server
grep '^yvk_rtsp_load:' "$work/load.err" >&2 || true
[ -n "$line" ] || { echo "latency.sh: no result from the load client" >&2; exit 1; }
grep '^latency log:' "$work/host.log" || { echo "latency.sh: the host wrote no log" >&2; tail "$work/host.log" >&2; exit 1; }
echo "load client: $line"
echo "RTSP delivery latency, 1080p25 H.264 4 Mbit/s, $clients clients over UDP, ${seconds}s window," \
     "$([ ${#rt[@]} -gt 0 ] && echo "SCHED_FIFO 50" || echo "default scheduling"), $(nproc) cores:"
python3 "$here/latency_report.py" "$work/pops.log" "$work/marks.log" --p50 1 --p99 5
