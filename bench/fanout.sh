#!/usr/bin/env bash
# Live RTSP fan-out: the library's live mode (the reference host, fed from a
# file) beside gst-rtsp-server (one shared media fed from the same file),
# both at 25 fps, for each number of clients N.
#
#   bench/fanout.sh [options] [N ...]                 (default N: 1 16 64 128)
#     --host PROG      the reference host (default build/host/yvkstreamer)
#     --load PROG      the load client (default build/bench/yvk_rtsp_load)
#     --input FILE     1080p25 H.264 input, made with ffmpeg as a raw Annex-B
#                      stream when missing (default build/bench/fanout-1080p25.h264)
#     --seconds S      measuring window per run (default 20)
#     --warmup S       from the first client's start to the window (default 5)
#     --tcp            RTP over the RTSP connections instead of UDP
#     --repeat R       measure every (server, N) R times (default 1)
#     --together       run the four servers of each N at once (see below)
#     --veth           the clients behind a veth link instead of on loopback
#     --select         the load client waits in select() instead of epoll
#
# Run it as root inside the build root (scripts/in-root bench/fanout.sh): it
# then moves into a private network namespace, so only its own loopback
# carries the streams.  Each run starts its server afresh, opens N sessions
# with one yvk_rtsp_load process, and samples the server's CPU (user+system,
# all threads) over the load client's measuring window.  The table gives,
# per server: CPU in percent of one core, CPU per client added beyond the
# smallest N, and the clients that received at least 95 % of the frames;
# then the ratio of this project's numbers to gst-rtsp-server's.  Nothing
# else should run on the machine meanwhile.
#
# A server's CPU at small N differs between runs by as much as 15 clients
# add to it, so one run's per-client figure is rough.  With --repeat, the
# runs go in rounds (every N and server once per round, the servers in
# turn first), each round's per-client cost is taken against the same
# round's smallest N, and the table gives medians over the rounds; the
# per-client ratio of every round is listed under it.
#
# On a shared machine whose speed drifts from minute to minute (the load
# client's CPU for the same streams has been seen to vary 2.5-fold), runs
# one after the other compare different machines.  With --together, each
# N's measurement runs both servers at the smallest N and at N at once,
# each with its own load client, over the same window: every server's
# per-client cost then comes from two runs side by side, and both servers
# share whatever the machine does meanwhile.
#
# On loopback a packet's whole way into the client's socket (and, with
# segmented sends, cutting it into datagrams) runs inside the sender's
# system call and counts as the server's CPU: per packet and client, the
# same for both servers, it is most of what a client costs.  With --veth
# the clients sit in a network namespace of their own behind a veth pair
# whose receiving end has a kernel thread of its own, as if they were on
# another machine: the server's CPU then holds what it spends itself,
# including the software segmentation a device's NIC leaves to the kernel.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/bench-lib.sh"
top=$(cd "$here/.." && pwd)

host=$top/build/host/yvkstreamer
load=$top/build/bench/yvk_rtsp_load
input=$top/build/bench/fanout-1080p25.h264
seconds=20
warmup=5
repeat=1
together=()
veth=()
transport=()
wait_in=()
counts=()
usage() { sed -n '6,17p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --host) host=${2:?}; shift 2 ;;
        --load) load=${2:?}; shift 2 ;;
        --input) input=${2:?}; shift 2 ;;
        --seconds) seconds=${2:?}; shift 2 ;;
        --warmup) warmup=${2:?}; shift 2 ;;
        --tcp) transport=(--tcp); shift ;;
        --repeat) repeat=${2:?}; shift 2 ;;
        --together) together=(--together); shift ;;
        --veth) veth=(--veth); shift ;;
        --select) wait_in=(--select); shift ;;
        -h|--help) usage ;;
        [0-9]*) counts+=("$1"); shift ;;
        *) echo "fanout.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
[ ${#counts[@]} -gt 0 ] || counts=(1 16 64 128)
for tool in "$host" "$load"; do
    [ -x "$tool" ] || { echo "fanout.sh: $tool missing; build the project first (scripts/build)" >&2; exit 1; }
done
python3 -c 'import gi; gi.require_version("GstRtspServer", "1.0")' 2>/dev/null || {
    echo "fanout.sh: needs python3-gi and gir1.2-gst-rtsp-server-1.0" >&2; exit 1; }

# A private network namespace with its own loopback, when we may make one.
if [ -z "${FANOUT_IN_NETNS:-}" ] && [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net env FANOUT_IN_NETNS=1 "$0" --host "$host" --load "$load" --input "$input" \
        --seconds "$seconds" --warmup "$warmup" --repeat "$repeat" "${together[@]}" "${veth[@]}" "${transport[@]}" "${wait_in[@]}" \
        "${counts[@]}"
fi
[ -z "${FANOUT_IN_NETNS:-}" ] || private_network_up
server_address=127.0.0.1 server_if=lo in_clients=() client_network_pid=
if [ ${#veth[@]} -gt 0 ]; then
    [ -n "${FANOUT_IN_NETNS:-}" ] || { echo "fanout.sh: --veth needs root and a network namespace of its own" >&2; exit 1; }
    client_network_up
    server_if=yvk-server
fi

make_live_input "$input"

work=$(mktemp -d)
servers=()
stop_servers() {
    for server_pid in "${servers[@]}"; do stop_server; done
    servers=()
}
trap 'stop_servers; rm -rf "$work"; [ -z "$client_network_pid" ] || kill "$client_network_pid" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM

# start_server KIND PORT LOG: starts the server and adds it to servers;
# sets server_pid and url.
start_server() {
    local kind=$1 port=$2 log=$3 ready
    url=rtsp://$server_address:$port/live
    case "$kind" in
        yvk)
            ready="RTSP server: $url"
            "$host" live --port "$port" --name live --if "$server_if" --audio none --source "$input" >"$log" 2>&1 &
            ;;
        gst)
            ready="ready $url"
            python3 "$here/gst_rtsp_server.py" "$input" --port "$port" --name live --fps 25 \
                --address "$server_address" >"$log" 2>&1 &
            ;;
    esac
    server_pid=$!
    servers+=("$server_pid")
    for _ in $(seq 150); do
        grep -qF "$ready" "$log" 2>/dev/null && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "fanout.sh: the $kind server did not start:" >&2
    tail -n 5 "$log" >&2
    return 1
}

# One value of the load client's key=value line.
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

# measure KIND N PORT KEY: a server and its load client of N sessions,
# the client in the background, its result line to $work/KEY.out.
measure() {
    local kind=$1 n=$2 port=$3 key=$4
    start_server "$kind" "$port" "$work/$key.log"
    "${in_clients[@]}" timeout $((warmup + seconds + 30)) "$load" "$url" --sessions "$n" --seconds "$seconds" --warmup "$warmup" \
        --fps 25 --pid "$server_pid" "${transport[@]}" "${wait_in[@]}" >"$work/$key.out" 2>"$work/$key.err" &
    clients+=($!)
}

# collect KIND N ROUND KEY [AS]: the result of measure KEY into cpu and
# at_rate under KIND,AS (default N),ROUND.
declare -A cpu at_rate
collect() {
    local kind=$1 n=$2 round=$3 key=$4 as=${5:-$2} line
    line=$(grep '^requested=' "$work/$key.out" || true)
    grep '^yvk_rtsp_load:' "$work/$key.err" >&2 || true
    [ -n "$line" ] || { echo "fanout.sh: $kind N=$n: no result from the load client" >&2; line="server_cpu=- at_rate=0"; }
    local client_cpu
    client_cpu=$(field "$line" client_cpu)
    if awk -v c="${client_cpu:-0}" 'BEGIN { exit !(c > 90) }'; then
        echo "fanout.sh: $kind N=$n: the load client used $client_cpu % of a core; clients behind rate then measure it, not the server" >&2
    fi
    cpu[$kind,$as,$round]=$(field "$line" server_cpu)
    at_rate[$kind,$as,$round]=$(field "$line" at_rate)
    printf '%s N=%s round %s: %s\n' "$kind" "$n" "$round" "$line" >&2
}

base=${counts[0]}
for n in "${counts[@]}"; do [ "$n" -lt "$base" ] && base=$n; done
for round in $(seq "$repeat"); do
    kinds=(yvk gst)
    [ $((round % 2)) = 0 ] && kinds=(gst yvk)
    for n in "${counts[@]}"; do
        clients=()
        if [ ${#together[@]} -eq 0 ]; then
            for kind in "${kinds[@]}"; do
                measure "$kind" "$n" 18554 "$kind-$n"
                wait "${clients[@]}" || true
                clients=()
                stop_servers
                collect "$kind" "$n" "$round" "$kind-$n"
            done
            continue
        fi
        [ "$n" != "$base" ] || continue
        measure yvk "$base" 18554 "yvk-$base-$n"
        measure yvk "$n" 18555 "yvk-$n"
        measure gst "$base" 18556 "gst-$base-$n"
        measure gst "$n" 18557 "gst-$n"
        wait "${clients[@]}" || true
        stop_servers
        for kind in yvk gst; do
            collect "$kind" "$base" "$round" "$kind-$base-$n" "$base:$n"
            collect "$kind" "$n" "$round" "$kind-$n"
            # The smallest N's row shows the runs beside the next N.
            if [ -z "${cpu[$kind,$base,$round]:-}" ]; then
                cpu[$kind,$base,$round]=${cpu[$kind,$base:$n,$round]}
                at_rate[$kind,$base,$round]=${at_rate[$kind,$base:$n,$round]}
            fi
        done
    done
done

# One line per (server, N): its CPU in every round, then its at-rate counts.
runs() {
    local kind=$1 n=$2 round
    for round in $(seq "$repeat"); do printf '%s ' "${cpu[$kind,$n,$round]}"; done
    for round in $(seq "$repeat"); do printf '%s ' "${at_rate[$kind,$n,$round]}"; done
}

echo
[ ${#transport[@]} -gt 0 ] && proto=tcp || proto=udp
rounds=""
[ "$repeat" -gt 1 ] && rounds=", medians of $repeat rounds"
[ ${#together[@]} -eq 0 ] || rounds="$rounds, each N beside the smallest at once"
[ ${#veth[@]} -gt 0 ] && link="clients behind veth" || link="loopback"
[ ${#wait_in[@]} -gt 0 ] && link="$link, clients waiting in select()"
echo "RTSP fan-out, 1080p25 H.264 4 Mbit/s, ${seconds}s windows, RTP over $proto, $link; CPU in % of one core$rounds"
printf '%7s | %8s %10s %8s | %8s %10s %8s | %7s %10s\n' "" "yvk" "yvk" "yvk" "gst" "gst" "gst" "ratio" "ratio"
printf '%7s | %8s %10s %8s | %8s %10s %8s | %7s %10s\n' \
    clients cpu per-added at-rate cpu per-added at-rate cpu per-added
for n in "${counts[@]}"; do
    beside=$base
    [ ${#together[@]} -eq 0 ] || [ "$n" = "$base" ] || beside=$base:$n
    echo "$(runs yvk "$n")" "$(runs yvk "$beside")" "$(runs gst "$n")" "$(runs gst "$beside")" |
    awk -v n="$n" -v base="$base" -v r="$repeat" '
        function num(v) { return v ~ /^[0-9.]+$/ }
        function median(a, k,    i, j, t, m) {
            if (k == 0) return "-"
            for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
            m = (k % 2) ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
            return m
        }
        # Fields: for each of yvk N, yvk base, gst N, gst base: r CPU values, then r at-rate counts.
        function cpuOf(block, round) { return $((block * 2 * r) + round) }
        function rateOf(block, round) { return $((block * 2 * r) + r + round) }
        # Median CPU of a block; median per-added cost of a server (blocks b, b+1), per round.
        function medianCpu(block,    i, k, a) { k = 0; for (i = 1; i <= r; i++) if (num(cpuOf(block, i))) a[++k] = cpuOf(block, i); return median(a, k) }
        function perAdded(block, round) {
            if (n <= base || !num(cpuOf(block, round)) || !num(cpuOf(block + 1, round))) return "-"
            return (cpuOf(block, round) - cpuOf(block + 1, round)) / (n - base)
        }
        function medianPer(block,    i, k, a, v) { k = 0; for (i = 1; i <= r; i++) { v = perAdded(block, i); if (v != "-") a[++k] = v } return median(a, k) }
        function minRate(block,    i, m) { m = n; for (i = 1; i <= r; i++) if (rateOf(block, i) + 0 < m) m = rateOf(block, i) + 0; return m }
        function show(v, f) { return v == "-" ? "-" : sprintf(f, v) }
        function ratio(a, b) { return (a != "-" && b != "-" && b + 0 > 0) ? sprintf("%.2f", a / b) : "-" }
        {
            yc = medianCpu(0); yp = medianPer(0); gc = medianCpu(2); gp = medianPer(2)
            printf "%7d | %8s %10s %8s | %8s %10s %8s | %7s %10s\n", n, show(yc, "%.2f"), show(yp, "%.3f"),
                   minRate(0) "/" n, show(gc, "%.2f"), show(gp, "%.3f"), minRate(2) "/" n, ratio(yc, gc), ratio(yp, gp)
            if (r > 1 && n > base) {
                line = ""
                for (i = 1; i <= r; i++) line = line " " ratio(perAdded(0, i), perAdded(2, i))
                rounds[n] = line
            }
        }
        END { if (n in rounds) printf "%7s   per-added ratio by round:%s\n", "", rounds[n] }'
done
