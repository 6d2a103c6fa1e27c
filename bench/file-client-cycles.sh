#!/usr/bin/env bash
# Memory and descriptors of the reference host in file mode over many
# connect/PLAY/TEARDOWN cycles of one client (openRTSP): both must stay
# flat.  Prints resident memory (kB) and open descriptors after a warm-up
# and at the end.  With CONVERT_BENCH (yvk_file_convert_bench) it then makes
# a 30-minute 44.1 kHz stereo MP3 and fast-forwards it through the MP3 to AAC
# converter, printing the converter's store, resident memory and time per
# frame after the first minute and at the end: all must stay flat.
#   file-client-cycles.sh HOST_PROGRAM MEDIA_FILE [CYCLES [CONVERT_BENCH]]
# Runs in a private network namespace when started as root (scripts/in-root).
set -euo pipefail
usage="usage: file-client-cycles.sh HOST_PROGRAM MEDIA_FILE [CYCLES [CONVERT_BENCH]]"
host=${1:?$usage}
file=${2:?$usage}
cycles=${3:-100}
convert_bench=${4:-}
warmup=10
port=18554
url=rtsp://127.0.0.1:$port/bench

work=$(mktemp -d)
"$host" file --port "$port" --name bench "$file" >"$work/host.out" 2>"$work/host.err" &
pid=$!
cleanup() { kill -INT "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 100); do
    grep -q "$url" "$work/host.out" 2>/dev/null && break
    sleep 0.1
done
grep -q "$url" "$work/host.out" || { echo "host did not start" >&2; cat "$work/host.err" >&2; exit 1; }

measure() { echo "$(awk '/^VmRSS/ {print $2}' /proc/$pid/status) $(ls /proc/$pid/fd | wc -l)"; }
cycle() { (cd "$work" && timeout 10 openRTSP -d 0.3 "$url" >/dev/null 2>&1) || echo "cycle failed" >&2; }

for _ in $(seq $warmup); do cycle; done
read -r rss0 fds0 < <(measure)
for _ in $(seq $((cycles - warmup))); do cycle; done
read -r rss1 fds1 < <(measure)
echo "after $warmup cycles: rss ${rss0} kB, fds ${fds0}"
echo "after $cycles cycles: rss ${rss1} kB, fds ${fds1}"
echo "growth: rss $((rss1 - rss0)) kB, fds $((fds1 - fds0))"

[ -n "$convert_bench" ] || exit 0
kill -INT "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
echo "30-minute MP3 (44.1 kHz stereo) through the converter:"
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1800 \
       -ac 2 -c:a libmp3lame -b:a 128k "$work/long.mp3"
"$convert_bench" "$work/long.mp3" 2>/dev/null | grep -E '^(start|end) '
