#!/usr/bin/env bash
# File-mode start: PLAY -> first RTP packet and seek PLAY (Range: npt=10-)
# -> first packet, this project's file mode beside live555MediaServer, on the
# same 720p H.264 + AAC Matroska file with the same client.
#
#   bench/file_start.sh [options]
#     --host PROG      the reference host (default build/host/yvkstreamer)
#     --input FILE     the MKV, made with ffmpeg when missing
#                      (default build/bench/file-start-720p.mkv: 60 s testsrc
#                      720p25, libx264 at its default settings, 48 kHz stereo AAC)
#     --runs N         sessions per figure (default 10)
#
# Run it as root inside the build root (scripts/in-root bench/file_start.sh):
# it then moves into a private network namespace, so only its own loopback
# carries the streams.  Each figure is N sessions on fresh connections
# (DESCRIBE, SETUP of every track over UDP, PLAY, TEARDOWN) made by
# bench/file_start_client.py, which starts its clock just before the PLAY's
# bytes go out and stops it at the first RTP packet of any track.  Prints
# median, p90 and max per server, for PLAY from the start and for the seek,
# and the median of the whole start (DESCRIBE sent to the first packet).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/bench-lib.sh"
top=$(cd "$here/.." && pwd)

host=$top/build/host/yvkstreamer
input=$top/build/bench/file-start-720p.mkv
runs=10
usage() { sed -n '6,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --host) host=${2:?}; shift 2 ;;
        --input) input=${2:?}; shift 2 ;;
        --runs) runs=${2:?}; shift 2 ;;
        -h|--help) usage ;;
        *) echo "file_start.sh: unknown argument '$1'" >&2; usage ;;
    esac
done
reference=$(command -v live555MediaServer || true)
[ -x "$host" ] || { echo "file_start.sh: $host missing; build the project first (scripts/build)" >&2; exit 1; }
[ -n "$reference" ] || { echo "file_start.sh: live555MediaServer missing (Debian's livemedia-utils)" >&2; exit 1; }

# A private network namespace with its own loopback, when we may make one.
if [ -z "${FILE_START_IN_NETNS:-}" ] && [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net env FILE_START_IN_NETNS=1 "$0" --host "$host" --input "$input" --runs "$runs"
fi
[ -n "${FILE_START_IN_NETNS:-}" ] && ip link set lo up

if [ ! -s "$input" ]; then
    echo "making $input (60 s, 720p25 H.264 at libx264's defaults, 48 kHz stereo AAC)" >&2
    mkdir -p "$(dirname "$input")"
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i testsrc=size=1280x720:rate=25:duration=60 \
        -f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 \
        -c:v libx264 -pix_fmt yuv420p -x264-params log-level=error \
        -c:a aac -ac 2 -ar 48000 "$input.tmp.mkv"
    mv "$input.tmp.mkv" "$input"
fi

work=$(mktemp -d)
trap 'stop_server; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# start_server KIND LOG: starts the server, sets server_pid and url.
start_server() {
    local kind=$1 log=$2 ready
    case "$kind" in
        yvk)
            url=rtsp://127.0.0.1:18554/vod ready="$url"
            "$host" file --port 18554 --name vod --if lo "$input" >"$log" 2>&1 &
            ;;
        live555)
            # It serves the files of its working directory, on port 554 (8554
            # when 554 is taken).
            cp "$input" "$work/start.mkv"  # it does not follow a symbolic link
            ready="Play streams from this server"
            (cd "$work" && exec "$reference") >"$log" 2>&1 &
            ;;
    esac
    server_pid=$!
    for _ in $(seq 150); do
        if grep -qF "$ready" "$log" 2>/dev/null; then
            [ "$kind" = live555 ] || return 0
            # Without an address beside loopback it prints no URL: the
            # port is the one that answers.
            for port in 554 8554; do
                if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
                    url=rtsp://127.0.0.1:$port/start.mkv
                    return 0
                fi
            done
        fi
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "file_start.sh: the $kind server did not start:" >&2
    tail -n 5 "$log" >&2
    return 1
}

field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

echo "uptime: $(uptime)" >&2
declare -A result
for kind in yvk live555; do
    start_server "$kind" "$work/$kind.log"
    for what in play seek; do
        [ "$what" = play ] && range="npt=0.000-" || range="npt=10.000-"
        line=$(python3 "$here/file_start_client.py" "$url" --runs "$runs" --range "$range" \
                   2>"$work/client.err" | grep '^runs=' || true)
        sed "s/^/$kind $what: /" "$work/client.err" >&2
        [ -n "$line" ] || line="first_median_ms=- first_p90_ms=- first_max_ms=- failed=$runs"
        result[$kind,$what]=$line
    done
    stop_server
done

echo
echo "File start, 720p25 H.264 + AAC MKV, RTP over UDP, $runs sessions each; ms from PLAY sent to the first RTP packet"
printf '%-18s | %8s %8s %8s | %8s %8s %8s\n' "" "PLAY" "" "" "seek" "" ""
printf '%-18s | %8s %8s %8s | %8s %8s %8s\n' server median p90 max median p90 max
for kind in yvk live555; do
    p=${result[$kind,play]} s=${result[$kind,seek]}
    [ "$kind" = yvk ] && name="yvkstreamer file" || name="live555MediaServer"
    printf '%-18s | %8s %8s %8s | %8s %8s %8s\n' "$name" \
        "$(field "$p" first_median_ms)" "$(field "$p" first_p90_ms)" "$(field "$p" first_max_ms)" \
        "$(field "$s" first_median_ms)" "$(field "$s" first_p90_ms)" "$(field "$s" first_max_ms)"
    for what in play seek; do
        f=$(field "${result[$kind,$what]}" failed)
        [ "${f:-0}" = 0 ] || echo "  $name $what: $f of $runs sessions failed" >&2
    done
done
echo "Whole start, DESCRIBE sent to the first RTP packet (median):" \
    "yvkstreamer file $(field "${result[yvk,play]}" session_median_ms) ms," \
    "live555MediaServer $(field "${result[live555,play]}" session_median_ms) ms"
