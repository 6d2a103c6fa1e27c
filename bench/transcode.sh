#!/usr/bin/env bash
# The file-mode transcoder beside the ffmpeg command line with the same
# settings: H.265 1080p25 in, H.264 1280x720 out (libx264 veryfast,
# zerolatency, no B-frames, a key frame every 2 s, bilinear scaling, as
# many threads as the machine has).  Prints both speeds as multiples of
# real time and their ratio.
#
#   bench/transcode.sh [--bench PROG] [--input FILE] [--seconds S]
#
# Run it inside the build root: scripts/in-root bench/transcode.sh
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(dirname "$here")
bench=$top/build/bench/yvk_transcode_bench
input=""
seconds=30
while [ $# -gt 0 ]; do
    case $1 in
        --bench) bench=${2:?}; shift 2 ;;
        --input) input=${2:?}; shift 2 ;;
        --seconds) seconds=${2:?}; shift 2 ;;
        *) echo "usage: $0 [--bench PROG] [--input FILE] [--seconds S]" >&2; exit 2 ;;
    esac
done
[ -x "$bench" ] || { echo "build the project first (scripts/build build)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$input" ]; then
    input=$work/in-1080p25.mkv
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=$seconds" \
        -c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=error "$input"
fi
duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$input")

ours=$("$bench" "$input" | sed -n 's/.*, \([0-9.]*\)x real time.*/\1/p')
start=$(date +%s.%N)
ffmpeg -nostdin -hide_banner -loglevel error -y -threads 0 -i "$input" -an \
    -vf scale=1280:720:flags=bilinear -c:v libx264 -preset veryfast -tune zerolatency -bf 0 -g 50 \
    -x264-params repeat-headers=1 -f h264 /dev/null
theirs=$(awk -v d="$duration" -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print d / (e - s) }')

printf 'H.265 1080p25 -> H.264 1280x720, %.0f s of input, %s cores\n' "$duration" "$(nproc)"
printf '  %-24s %6.2fx real time\n' "yvkstreamer transcoder" "$ours" "ffmpeg command line" "$theirs"
printf '  ratio (ours / ffmpeg)   %6.2f\n' "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { print a / b }')"
