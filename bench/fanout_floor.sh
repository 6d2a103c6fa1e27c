#!/usr/bin/env bash
# The kernel's own cost of live fan-out, without any server: yvk_udp_floor
# sends one 1080p25 H.264 stream's RTP packets (the fan-out benchmark's
# input) to N UDP destinations from one socket, either segmented (each
# client's run of a frame as one UDP_SEGMENT datagram, as this library's
# fan-out sends) or one datagram per packet (as gst-rtsp-server's
# multiudpsink sends), and reports its CPU.  Beside bench/fanout.sh it
# tells how much of each server's cost per added client is the kernel's
# work for the way it sends, which no server above it can avoid.
#
#   bench/fanout_floor.sh [options] [N ...]          (default N: 16 64)
#     --sender PROG    default build/bench/yvk_udp_floor
#     --input FILE     default build/bench/fanout-1080p25.h264 (made when missing)
#     --seconds S      measuring window (default 20)
#     --repeat R       rounds (default 3)
#     --veth           the receivers behind a veth link, as in fanout.sh --veth
#     --modes "A B"    the two ways to compare (default "segmented datagrams";
#                      yvk_udp_floor lists the others)
#
# Run it as root inside the build root (scripts/in-root bench/fanout_floor.sh).
# Each N runs four senders at once, each with its own receiver: both ways
# at one client and at N clients, so that both ways share whatever the
# machine does meanwhile.  The table gives the medians over the rounds:
# CPU in percent of one core, CPU per client added beyond one, and the
# ratio of the first way's to the second's; each round's ratio is listed
# under it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/bench-lib.sh"
top=$(cd "$here/.." && pwd)

sender=$top/build/bench/yvk_udp_floor
input=$top/build/bench/fanout-1080p25.h264
seconds=20
warmup=3
repeat=3
veth=()
modes="segmented datagrams"
counts=()
usage() { sed -n '11,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --sender) sender=${2:?}; shift 2 ;;
        --input) input=${2:?}; shift 2 ;;
        --seconds) seconds=${2:?}; shift 2 ;;
        --repeat) repeat=${2:?}; shift 2 ;;
        --veth) veth=(--veth); shift ;;
        --modes) modes=${2:?}; shift 2 ;;
        -h|--help) usage ;;
        [0-9]*) counts+=("$1"); shift ;;
        *) echo "fanout_floor.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
[ ${#counts[@]} -gt 0 ] || counts=(16 64)
read -r first second extra <<<"$modes"
[ -n "$second" ] && [ -z "$extra" ] || { echo "fanout_floor.sh: --modes takes two ways" >&2; usage; }
[ -x "$sender" ] || { echo "fanout_floor.sh: $sender missing; build the project first (scripts/build)" >&2; exit 1; }

if [ -z "${FLOOR_IN_NETNS:-}" ] && [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net env FLOOR_IN_NETNS=1 "$0" --sender "$sender" --input "$input" --seconds "$seconds" \
        --repeat "$repeat" --modes "$modes" "${veth[@]}" "${counts[@]}"
fi
[ -n "${FLOOR_IN_NETNS:-}" ] || { echo "fanout_floor.sh: needs root and a network namespace of its own" >&2; exit 1; }
ip link set lo up
destination=127.0.0.1 in_clients=() client_network_pid=
if [ ${#veth[@]} -gt 0 ]; then
    client_network_up
    destination=10.255.254.2
fi
trap '[ -z "$client_network_pid" ] || kill "$client_network_pid" 2>/dev/null || true' EXIT
make_live_input "$input"
work=$(mktemp -d)

# One value of a key=value line.
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A cpu ratios per added
for round in $(seq "$repeat"); do
    for n in "${counts[@]}"; do
        port=30000 pids=()
        for mode in $modes; do
            for clients in 1 "$n"; do
                key=$mode-$clients
                "${in_clients[@]}" "$sender" receive --clients "$clients" --port "$port" \
                    --seconds $((warmup + seconds + 3)) >"$work/$key.received" &
                pids+=($!)
                sleep 0.2
                "$sender" send --mode "$mode" --clients "$clients" --to "$destination" --port "$port" \
                    --input "$input" --seconds "$seconds" --warmup "$warmup" >"$work/$key.sent" &
                pids+=($!)
                port=$((port + clients + 100))
            done
        done
        wait "${pids[@]}"
        for mode in $modes; do
            for clients in 1 "$n"; do
                key=$mode-$clients
                line=$(cat "$work/$key.sent")
                echo "N=$n round $round: $line $(cat "$work/$key.received")" >&2
                cpu[$mode,$n,$clients,$round]=$(field "$line" cpu)
            done
            per[$mode]=$(awk -v a="${cpu[$mode,$n,1,$round]}" -v b="${cpu[$mode,$n,$n,$round]}" -v n="$n" \
                'BEGIN { printf "%.4f", (b - a) / (n - 1) }')
        done
        ratios[$n,$round]=$(awk -v s="${per[$first]}" -v d="${per[$second]}" 'BEGIN { printf "%.2f", s / d }')
    done
done

echo "link: $([ ${#veth[@]} -gt 0 ] && echo veth || echo loopback); $repeat round(s) of $seconds s; $(cpu_pressure)"
printf '%-6s %-34s %-34s %s\n' N "$first: cpu % (per added client)" "$second: cpu % (per added client)" "ratio (rounds)"
for n in "${counts[@]}"; do
    line=
    for mode in $modes; do
        at1=$(for r in $(seq "$repeat"); do echo "${cpu[$mode,$n,1,$r]}"; done | median)
        atn=$(for r in $(seq "$repeat"); do echo "${cpu[$mode,$n,$n,$r]}"; done | median)
        added[$mode]=$(for r in $(seq "$repeat"); do
            awk -v a="${cpu[$mode,$n,1,$r]}" -v b="${cpu[$mode,$n,$n,$r]}" -v n="$n" 'BEGIN { print (b - a) / (n - 1) }'
        done | median)
        line+=$(printf '%-34s ' "$(printf '%.3f @1, %.3f @%s (%.4f)' "$at1" "$atn" "$n" "${added[$mode]}")")
    done
    rounds=$(for r in $(seq "$repeat"); do printf '%s ' "${ratios[$n,$r]}"; done)
    ratio=$(awk -v s="${added[$first]}" -v d="${added[$second]}" 'BEGIN { printf "%.2f", s / d }')
    printf '%-6s %s%s (%s)\n' "$n" "$line" "$ratio" "${rounds% }"
done
rm -rf "$work"
