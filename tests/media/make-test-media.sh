#!/usr/bin/env bash
# Makes the media files of the file-input tests with ffmpeg: short clips
# with a moving picture and a tone, in the containers and codecs the demux
# service reads.  Everything goes to OUT_DIR; a stamp file marks completion.
#   make-test-media.sh OUT_DIR
set -euo pipefail
out=${1:?usage: make-test-media.sh OUT_DIR}
mkdir -p "$out"
cd "$out"
rm -f stamp

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
picture() { echo "testsrc2=size=$1:rate=25:duration=$2"; }
tone() { echo "sine=frequency=$1:sample_rate=$2:duration=$3"; }
# One key frame a second, no scene-cut key frames, so the counts are known.
x264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p -x264-params keyint=25:min-keyint=25:scenecut=0:log-level=error)
x265=(-c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params keyint=25:min-keyint=25:scenecut=0:log-level=error)

# MP4: H.264 320x240 + AAC 44.1 kHz stereo, 4 s.
ff -f lavfi -i "$(picture 320x240 4)" -f lavfi -i "$(tone 440 44100 4)" \
   "${x264[@]}" -c:a aac -ac 2 -b:a 64k clip.mp4

# MKV: H.265 320x240 + AAC 48 kHz mono + an SRT subtitle track, 3 s.
cat > subs.srt <<'SRT'
1
00:00:00,500 --> 00:00:01,200
first line

2
00:00:01,500 --> 00:00:02,000
second line

3
00:00:02,200 --> 00:00:02,800
third line
SRT
ff -f lavfi -i "$(picture 320x240 3)" -f lavfi -i "$(tone 660 48000 3)" -i subs.srt \
   -map 0:v -map 1:a -map 2:s "${x265[@]}" -c:a aac -ac 1 -b:a 48k -c:s srt clip.mkv

# AVI: H.264 (Annex-B in the container) + MP3 32 kHz mono, 3 s.
ff -f lavfi -i "$(picture 320x240 3)" -f lavfi -i "$(tone 880 32000 3)" \
   "${x264[@]}" -c:a libmp3lame -ar 32000 -ac 1 -b:a 64k clip.avi

# MPEG-TS: H.264 + AAC, 3 s (timestamps start late, as broadcast ones do).
ff -f lavfi -i "$(picture 320x240 3)" -f lavfi -i "$(tone 500 48000 3)" \
   "${x264[@]}" -c:a aac -ac 1 -b:a 48k clip.ts

# The same subtitles as mov_text in MP4 and as ASS in MKV, beside 1 s of
# video; and a clip whose only video is MPEG-4 Visual.
ff -f lavfi -i "$(picture 160x120 1)" -i subs.srt "${x264[@]}" -c:s mov_text text.mp4
ff -f lavfi -i "$(picture 160x120 1)" -i subs.srt "${x264[@]}" -c:s ass text-ass.mkv
ff -f lavfi -i "$(picture 160x120 1)" -c:v mpeg4 other-codec.avi

# MP4 with two H.264 video tracks of different sizes, 8 s.
ff -f lavfi -i "$(picture 320x240 8)" -f lavfi -i "$(picture 160x120 8)" \
   -map 0:v -map 1:v "${x264[@]}" two-video.mp4

# The audio people have: MP3 at 44.1 kHz and 48 kHz stereo, AAC at 48 kHz
# stereo, each a 440 Hz tone beside 4 s of H.264.
ff -f lavfi -i "$(picture 160x120 4)" -f lavfi -i "$(tone 440 44100 4)" \
   "${x264[@]}" -c:a libmp3lame -ar 44100 -ac 2 -b:a 128k mp3-44k-stereo.avi
ff -f lavfi -i "$(picture 160x120 4)" -f lavfi -i "$(tone 440 48000 4)" \
   "${x264[@]}" -c:a libmp3lame -ar 48000 -ac 2 -b:a 128k mp3-48k-stereo.mkv
ff -f lavfi -i "$(picture 160x120 4)" -f lavfi -i "$(tone 440 48000 4)" \
   "${x264[@]}" -c:a aac -ac 2 -b:a 128k aac-48k-stereo.mp4

# H.264 with sparse subtitles (at 1 s and 9 s), 10 s.
cat > sparse.srt <<'SRT'
1
00:00:01,000 --> 00:00:02,000
early line

2
00:00:09,000 --> 00:00:09,500
late line
SRT
ff -f lavfi -i "$(picture 320x240 10)" -i sparse.srt -map 0:v -map 1:s "${x264[@]}" -c:s srt sparse-text.mkv

# H.264 whose first key frame (lossless noise, about 5 MB) is larger than
# the 3 MB sample buffer of file mode; the rest is small, 2 s in all.
ff -f lavfi -i "color=gray:size=2560x1440:rate=25:duration=0.04,noise=alls=100:allf=t" \
   -f lavfi -i "testsrc2=size=2560x1440:rate=25:duration=2" \
   -filter_complex "[0:v][1:v]concat=n=2:v=1[v]" -map "[v]" \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
   -x264-params keyint=25:min-keyint=25:scenecut=0:zones=0,0,q=0:log-level=error big-key-frame.mkv

# MKV whose metadata asks players to skip its first 10 frames, 2 s.
ff -f lavfi -i "$(picture 320x240 2)" "${x264[@]}" -metadata prebuffer_frames=10 prebuffer.mkv

# Play list: three 4-second MP4s (H.264 + AAC 48 kHz mono), tones apart.
for i in 1 2 3; do
    ff -f lavfi -i "$(picture 320x240 4)" -f lavfi -i "$(tone $((300 * i)) 48000 4)" \
       "${x264[@]}" -c:a aac -ac 1 -b:a 48k "list-$i.mp4"
done

# Files that must be refused: not media at all, and a clip cut short.
printf 'this is not a media file\n' > not-media.mp4
head -c 2000 clip.mp4 > truncated.mp4

# Encoder outputs as they come, for the live input: raw Annex-B streams of
# 4 s at 352x288, the encoders' default settings but for a key picture each
# second (so a late client and every HTTP slice start at one).  libx264
# writes three-byte start codes inside an access unit and SEI, libx265 SEI
# and a long VUI; the variants add slices and delimiters.
enc() { # NAME EXTENSION ENCODER PARAMS
    ff -f lavfi -i "$(picture 352x288 4)" -c:v "$3" -g 25 -pix_fmt yuv420p "-${3#lib}-params" "log-level=error${4:+:$4}" \
       "encoder-$1.$2"
}
enc x264-default h264 libx264 ""
enc x264-slices4 h264 libx264 "slices=4"
enc x264-aud-sei h264 libx264 "aud=1"
enc x265-default hevc libx265 ""
enc x265-slices2 hevc libx265 "slices=2"

touch stamp
