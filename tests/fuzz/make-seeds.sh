#!/usr/bin/env bash
# Makes the binary seeds of the fuzz targets with ffmpeg, in the recipes of
# the test media (tests/media/make-test-media.sh) but tiny, so that the
# fuzzers mutate kilobytes, not megabytes.  One folder per target in OUT_DIR;
# a stamp file marks completion.
#   make-seeds.sh OUT_DIR
set -euo pipefail
out=${1:?usage: make-seeds.sh OUT_DIR}
rm -rf "$out"
mkdir -p "$out"/{file,ts-probe,mp3-decoder,h26x-split}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
picture() { echo "testsrc2=size=64x48:rate=25:duration=$1"; }
tone() { echo "sine=frequency=$1:sample_rate=$2:duration=$3"; }
x264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p -x264-params keyint=5:min-keyint=5:scenecut=0:log-level=error)
x265=(-c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params keyint=5:min-keyint=5:scenecut=0:log-level=error)
printf '1\n00:00:00,100 --> 00:00:00,300\nline\n' > subs.srt

# Files of the containers and codecs the demux service reads.
ff -f lavfi -i "$(picture 0.4)" -f lavfi -i "$(tone 440 44100 0.4)" "${x264[@]}" -c:a aac -ac 2 -b:a 32k clip.mp4
ff -f lavfi -i "$(picture 0.4)" -f lavfi -i "$(tone 660 48000 0.4)" -i subs.srt -map 0:v -map 1:a -map 2:s \
   "${x264[@]}" -c:a aac -ac 1 -b:a 32k -c:s srt clip.mkv
ff -f lavfi -i "$(picture 0.4)" -f lavfi -i "$(tone 880 32000 0.4)" "${x264[@]}" -c:a libmp3lame -ac 1 -b:a 32k clip.avi
ff -f lavfi -i "$(picture 0.4)" -f lavfi -i "$(tone 500 48000 0.4)" "${x264[@]}" -c:a aac -ac 1 -b:a 32k clip.ts
ff -f lavfi -i "$(picture 0.3)" "${x265[@]}" clip-h265.mkv
ff -f lavfi -i "$(picture 0.3)" -f lavfi -i "$(picture 0.3)" -map 0:v -map 1:v "${x264[@]}" two-video.mp4
cp clip.mp4 clip.mkv clip.avi clip.ts clip-h265.mkv two-video.mp4 "$out/file/"

# Transport Stream: the start of the H.264 and of an H.265 stream (PAT, PMT,
# the first key frame with its parameter sets, ADTS audio).
ff -f lavfi -i "$(picture 0.3)" -f lavfi -i "$(tone 500 48000 0.3)" "${x265[@]}" -c:a aac -ac 1 -b:a 32k h265.ts
head -c $((188 * 40)) clip.ts > "$out/ts-probe/h264-aac.ts"
head -c $((188 * 40)) h265.ts > "$out/ts-probe/h265-aac.ts"

# MP3: two bytes that choose the chunking and the output capacity, then the
# stream (mono 32 kHz and stereo 44.1 kHz).
ff -f lavfi -i "$(tone 880 32000 0.3)" -c:a libmp3lame -ac 1 -b:a 32k mono.mp3
ff -f lavfi -i "$(tone 440 44100 0.3)" -c:a libmp3lame -ac 2 -b:a 64k stereo.mp3
{ printf '\x07\x10'; cat mono.mp3; } > "$out/mp3-decoder/mono-32k.bin"
{ printf '\xc3\xff'; cat stereo.mp3; } > "$out/mp3-decoder/stereo-44k.bin"
{ printf '\x01\x00'; head -c 3000 stereo.mp3; } > "$out/mp3-decoder/stereo-small-output.bin"

# Live video records: a mode byte (bit 0 H.265, bit 1 start codes kept),
# then the first access units of an encoder at its defaults (three-byte
# start codes, SEI) and with several slices.
ff -f lavfi -i "$(picture 0.2)" -c:v libx264 -preset ultrafast -x264-params log-level=error -f h264 x264.h264
ff -f lavfi -i "$(picture 0.2)" -c:v libx264 -preset ultrafast -x264-params slices=4:log-level=error -f h264 slices.h264
ff -f lavfi -i "$(picture 0.2)" -c:v libx265 -preset ultrafast -x265-params log-level=error -f hevc x265.hevc
{ printf '\x00'; head -c 6000 x264.h264; } > "$out/h26x-split/x264.bin"
{ printf '\x02'; head -c 6000 slices.h264; } > "$out/h26x-split/x264-slices-kept-codes.bin"
{ printf '\x01'; head -c 6000 x265.hevc; } > "$out/h26x-split/x265.bin"
{ printf '\x03'; head -c 6000 x265.hevc; } > "$out/h26x-split/x265-kept-codes.bin"

touch "$out/stamp"
