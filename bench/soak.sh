#!/usr/bin/env bash
# Soak under client churn: memory, descriptors and threads of the reference
# host over a long run while clients come and go.
#
#   bench/soak.sh MINUTES [--asan] [--out DIR]
#
# Runs in a private network namespace inside the build root (it re-executes
# itself through scripts/in-root), everything on loopback:
#   live-rtsp  a live RTSP instance (test pattern, PCM audio), port 8600
#   live-hls   a live HTTP streaming instance (HLS and MPEG-DASH), port 8554
#   file-list  a file instance with a play list of two H.264 + AAC files
#              (the first 1.5 s long, so every play crosses into the second;
#              audio served as L16), port 8610
#   file-hevc  a file instance of one H.265 + MP3 file (video transcoded to
#              H.264, audio converted to AAC), port 8620
# one client on each RTSP instance before the idle counts are taken, and for
# MINUTES minutes these clients:
#   - on each RTSP instance, a new openRTSP client every second that plays
#     2 s and tears down, alternating UDP and TCP, every fifth one killed
#     without a TEARDOWN (on a file instance, whose one stream serves one
#     client at a time, the next client starts when the previous is gone);
#   - an HLS player fetching the playlist every second and each new segment;
#   - an HTTP reader that takes 4 kB of a segment, stalls for 30 s, then
#     reads the rest.
# Every 10 s it samples each host's resident memory (kB; all of it and the
# anonymous part), open descriptors and threads into DIR/NAME.csv, and, on
# the native build, what malloc holds in use and keeps free (the heap
# sampler, bench/HeapSampler.cpp, preloaded into the hosts; its thread is
# in the counts).  At the end of the warm-up and every 5 minutes after it
# comes a quiet point: the RTSP clients start no new client until every
# RTSP host is back at its idle descriptors (the vanished clients' sessions
# expired), at most 90 s; then, as before the idle sample, one client per
# RTSP instance plays a second and each host is sampled (phase "quiet"),
# so that these samples are taken in one client state.  After MINUTES the
# clients stop; sampling goes on (phase "drain") until the sessions they
# left have expired, at most 2 minutes, and ends with a last quiet sample.
# Then the hosts are stopped (SIGINT) and print their record account.
# DIR/soak.png draws the samples (gnuplot), DIR/summary.txt has the verdict,
# which is also printed:
#   - memory growth after a 2-minute warm-up under 1 MB: the last quiet
#     sample (after the drain) against the first (at the end of the
#     warm-up), both of the heap in use (what the program holds: a leak)
#     and of the resident anonymous memory (what the device pays, the
#     allocator's free pages included).  Under churn a
#     sample's memory depends on what the clients of that moment hold (a
#     transcoding client alone holds some 14 MB), so the medians of the
#     first and last five minutes' churn samples are shown, not judged; so
#     are the pages of the shared libraries' files, which come and go with
#     the page cache and the code paths taken; nothing is judged with
#     --asan, whose quarantine holds freed memory;
#   - descriptors and threads flat under churn (the peak of the last third
#     of the samples at most a little above the first third's) and back at
#     their idle count once the clients are gone;
#   - every record released (the live hosts' account), every host exiting 0;
#   - the clients served (at most 5% of RTSP clients failing, the player
#     getting its segments, every stalled read completing);
#   - with --asan (the build-asan/ binaries): no sanitizer report.
# Exits 1 when a criterion fails.  DIR must lie inside the checkout (the build
# root sees only that); default build/soak/DATE-native or DATE-asan.
# Build first: scripts/in-root scripts/build (or build-asan with
# -DYVK_SANITIZE=address).  A long run is best started with nice.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage="usage: bench/soak.sh MINUTES [--asan] [--out DIR]"
if [ ! -e /etc/yvkstreamer-build-root ] && [ "${YVK_NO_ROOT:-0}" != 1 ]; then
    exec "$top/scripts/in-root" "$top/bench/soak.sh" "$@"
fi

minutes=${1:-}
[[ "$minutes" =~ ^[0-9]+$ ]] && [ "$minutes" -ge 1 ] || { echo "$usage" >&2; exit 2; }
shift
asan=0 out=
while [ $# -gt 0 ]; do
    case "$1" in
    --asan) asan=1; shift ;;
    --out) out=${2:?$usage}; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
done
if [ "${YVK_SOAK_NETNS:-0}" != 1 ]; then
    args=("$minutes" --out "${out:-$top/build/soak/$(date +%Y%m%d-%H%M%S)-$([ $asan = 1 ] && echo asan || echo native)}")
    [ $asan = 0 ] || args+=(--asan)
    exec env YVK_SOAK_NETNS=1 unshare --net "$top/bench/soak.sh" "${args[@]}"
fi
ip link set lo up

build=$top/build
[ $asan = 0 ] || build=$top/build-asan
host=$build/host/yvkstreamer
[ -x "$host" ] || { echo "soak: $host is missing: build it first" >&2; exit 1; }
warmup=120
drain_limit=120
stop_limit=$([ $asan = 1 ] && echo 60 || echo 20)
mkdir -p "$out"/clients "$out"/media "$out"/sanitizer
out=$(cd "$out" && pwd)
if [ $asan = 1 ]; then
    export ASAN_OPTIONS="log_path=$out/sanitizer/report:log_exe_name=1:print_stacktrace=1:halt_on_error=1:detect_leaks=1"
    export UBSAN_OPTIONS="log_path=$out/sanitizer/report:log_exe_name=1:print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="suppressions=$top/tests/sanitizers/lsan.supp:print_suppressions=0"
fi

declare -A pid idle_fds idle_threads
names=(live-rtsp live-hls file-list file-hevc)
clients=()

# Clients are told first: each ends the openRTSP it runs.
cleanup() {
    local p alive
    for p in "${clients[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for _ in $(seq 25); do
        alive=0
        for p in "${clients[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
        [ $alive = 1 ] || break
        sleep 0.2
    done
    for p in "${clients[@]}" "${pid[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "soak: $minutes min on $host, results in $out"
# The media of the file instances: 320x240, one key frame a second.
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
x264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p -x264-params keyint=25:scenecut=0:log-level=error)
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=1.5 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1.5 \
    "${x264[@]}" -c:a aac -ac 2 -b:a 96k "$out/media/list-1.mp4"
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=30 -f lavfi -i sine=frequency=660:sample_rate=48000:duration=30 \
    "${x264[@]}" -c:a aac -ac 2 -b:a 96k "$out/media/list-2.mp4"
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=30 -f lavfi -i sine=frequency=880:sample_rate=44100:duration=30 \
    -c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params keyint=25:scenecut=0:log-level=error \
    -c:a libmp3lame -ac 2 -b:a 128k "$out/media/hevc.mkv"

sampler=$build/bench/libyvk_heap_sampler.so
[ $asan = 1 ] || [ -e "$sampler" ] || { echo "soak: $sampler is missing: build it first" >&2; exit 1; }
start_host() {   # NAME ARG...
    local name=$1; shift
    if [ $asan = 1 ]; then
        "$host" "$@" >"$out/$name.out" 2>"$out/$name.err" &
    else
        LD_PRELOAD=$sampler YVK_HEAP_SAMPLE=$out/$name.heap "$host" "$@" >"$out/$name.out" 2>"$out/$name.err" &
    fi
    pid[$name]=$!
}
live=(--size 640x360 --bitrate 1M --audio pcm)
start_host live-rtsp live --port 8600 --name cam "${live[@]}"
start_host live-hls live --hls "${live[@]}"
start_host file-list file --port 8610 --name list "$out/media/list-1.mp4" "$out/media/list-2.mp4"
start_host file-hevc file --port 8620 --name hevc "$out/media/hevc.mkv"
for name in "${names[@]}"; do
    for _ in $(seq 300); do
        grep -q "Press Ctrl-C" "$out/$name.out" 2>/dev/null && break
        kill -0 "${pid[$name]}" 2>/dev/null || break
        sleep 0.2
    done
    grep -q "Press Ctrl-C" "$out/$name.out" || { echo "soak: $name did not start:" >&2; tail "$out/$name.err" >&2; exit 1; }
done

# One line per host into NAME.csv; false when a host has just ended (the
# others go on being sampled).
sample() {   # SECONDS PHASE
    local name p rss anon threads fds heap heap_free alive=0
    for name in "${names[@]}"; do
        p=${pid[$name]}
        [ -e "$out/$name.status" ] && continue
        if ! read -r rss anon threads < <(awk '/^VmRSS/ {r=$2} /^RssAnon/ {a=$2} /^Threads/ {t=$2}
                                               END {if (r) print r, a, t}' "/proc/$p/status" 2>/dev/null) ||
           ! kill -0 "$p" 2>/dev/null; then
            wait "$p" && echo "died (0)" >"$out/$name.status" || echo "died ($?)" >"$out/$name.status"
            echo "soak: $name ended at ${1}s" >&2
            alive=1
            continue
        fi
        fds=$(ls "/proc/$p/fd" 2>/dev/null | wc -l)
        heap= heap_free=
        [ ! -e "$out/$name.heap" ] || read -r heap heap_free <"$out/$name.heap" || true
        echo "$1,$2,$rss,$fds,$threads,$anon,$heap,$heap_free" >>"$out/$name.csv"
    done
    return $alive
}

# Whether every RTSP host (the live HTTP host keeps its players) has no more
# descriptors open than at idle.
rtsp_hosts_idle() {
    local name fds
    for name in "${names[@]}"; do
        [ "$name" != live-hls ] && [ ! -e "$out/$name.status" ] || continue
        fds=$(ls "/proc/${pid[$name]}/fd" 2>/dev/null | wc -l)
        [ "$fds" -le "${idle_fds[$name]}" ] || return 1
    done
}

# A sample of every host in the state of the idle sample: the sessions of
# the churn gone, then one client each that plays a second from the start
# (a file instance's transcoder keeps running between clients, and what it
# holds then depends on where the last client left it).
quiet_sample() {   # SECONDS
    prime
    sleep 3 # the heap sampler writes once a second
    sample "$1" quiet || true
}
quiet_point() {
    touch "$out/quiet"
    for _ in $(seq 90); do rtsp_hosts_idle && break; sleep 1; done
    quiet_sample $((SECONDS - start))
    rm -f "$out/quiet"
}

# Whether every host is back at its idle descriptors and threads.
at_idle() {
    local name p fds threads
    for name in "${names[@]}"; do
        p=${pid[$name]}
        [ -e "$out/$name.status" ] && continue
        IFS=, read -r _ _ _ fds threads _ < <(tail -n 1 "$out/$name.csv")
        [ "$fds" -le "${idle_fds[$name]}" ] && [ "$threads" -le "${idle_threads[$name]}" ] || return 1
    done
}

for name in "${names[@]}"; do echo "seconds,phase,rss_kb,fds,threads,anon_kb,heap_kb,heap_free_kb" >"$out/$name.csv"; done
# What a host holds open, for a count that did not come back.
list_fds() {   # SUFFIX
    local name p
    for name in "${names[@]}"; do
        p=${pid[$name]}
        [ -e "$out/$name.status" ] || find "/proc/$p/fd" -mindepth 1 -printf '%f -> %l\n' 2>/dev/null |
            sort -n >"$out/$name.fds-$1" || true
    done
}

# One client per instance first: what the first client makes for good (a
# file instance's transcoder keeps its handle of the file) is part of the
# idle counts.
prime() {
    local url
    for url in rtsp://127.0.0.1:8600/cam rtsp://127.0.0.1:8610/list rtsp://127.0.0.1:8620/hevc; do
        (cd "$(mktemp -d)" && timeout 15 openRTSP -d 1 "$url" >/dev/null 2>&1; rm -rf "$PWD") ||
            echo "soak: the first client of $url failed" >&2
    done
    curl -s -m 5 -o /dev/null http://127.0.0.1:8554/live.m3u8 || echo "soak: no HLS playlist" >&2
}

sleep 3
prime
sleep 3
sample 0 idle || true
list_fds idle
for name in "${names[@]}"; do
    IFS=, read -r _ _ _ "idle_fds[$name]" "idle_threads[$name]" _ < <(tail -n 1 "$out/$name.csv")
done

seconds=$((minutes * 60))
clients_py=(python3 -u "$top/bench/soak_clients.py")
run_client() {   # NAME ARG...
    local name=$1; shift
    "${clients_py[@]}" "$@" >"$out/clients/$name.json" 2>"$out/clients/$name.err" &
    clients+=($!)
}
start=$SECONDS
run_client churn-live-rtsp rtsp-churn rtsp://127.0.0.1:8600/cam "$seconds" --log "$out/clients/churn-live-rtsp.log" \
    --pause-file "$out/quiet"
run_client churn-file-list rtsp-churn rtsp://127.0.0.1:8610/list "$seconds" --serial --log "$out/clients/churn-file-list.log" \
    --pause-file "$out/quiet"
run_client churn-file-hevc rtsp-churn rtsp://127.0.0.1:8620/hevc "$seconds" --serial --log "$out/clients/churn-file-hevc.log" \
    --pause-file "$out/quiet"
run_client hls-player hls-player http://127.0.0.1:8554 live "$seconds"
run_client stalled-reader stalled-reader http://127.0.0.1:8554 live "$seconds"

# A line every five minutes: each host's last sample.
progress() {
    local name line=
    for name in "${names[@]}"; do line+=" $name $(tail -n 1 "$out/$name.csv" | cut -d, -f3-)"; done
    echo "soak: ${1}s:$line (rss kB,fds,threads,anon kB,heap in use kB,heap free kB)"
}
# Sleeps until SECONDS after the start.
sleep_until() { local left=$(($1 - (SECONDS - start))); [ $left -le 0 ] || sleep $left; }
t=0
next_quiet=$warmup
while [ $t -lt $seconds ]; do
    t=$((t + 10))
    sleep_until $t
    sample $t churn || true
    [ $((t % 300)) -ne 0 ] || progress $t
    if [ $t -ge $next_quiet ] && [ $t -le $((seconds - 60)) ]; then
        quiet_point
        next_quiet=$((next_quiet + 300))
        t=$(((SECONDS - start) / 10 * 10))
    fi
done

# The clients end by themselves at the time; a late one is told to.
for p in "${clients[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.2; done
    kill -TERM "$p" 2>/dev/null || true
    wait "$p" || true
done
clients=()
echo "soak: clients stopped at $((SECONDS - start))s; waiting for their sessions to expire"
drained=$((t + drain_limit))
while [ $t -lt $drained ]; do
    t=$((t + 10))
    sleep_until $t
    sample $t drain || true
    at_idle && break
done
! at_idle || quiet_sample $((t + 10))

list_fds end
for name in "${names[@]}"; do
    p=${pid[$name]}
    [ -e "$out/$name.status" ] && continue
    kill -INT "$p"
    for _ in $(seq $((stop_limit * 5))); do kill -0 "$p" 2>/dev/null || break; sleep 0.2; done
    kill -0 "$p" 2>/dev/null && { echo "soak: $name did not stop within ${stop_limit}s" >&2; kill -KILL "$p"; }
    status=0
    wait "$p" || status=$?
    echo $status >"$out/$name.status"
done
pid=()

echo "soak: record accounts:"
grep -H " records: " "$out"/live-*.out | sed "s|^$out/||" || true
report=(python3 "$top/bench/soak_report.py" "$out" --minutes "$minutes" --warmup $warmup)
[ $asan = 0 ] || report+=(--asan)
"${report[@]}"
