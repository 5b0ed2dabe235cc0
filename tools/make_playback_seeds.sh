#!/usr/bin/env bash
# Writes small seeds for the playback fuzz target into fuzz/corpus/playback/
# (seed-* files, each at most 16 KB): tiny generated clips of every container
# and codec the media fixtures use, and the heads of the larger fixtures cut
# at 16 KB. The fuzzer mutates small inputs many times faster than the
# fixtures themselves. Usage: tools/make_playback_seeds.sh
set -euo pipefail
cd "$(dirname "$0")/.."
out=fuzz/corpus/playback
mkdir -p "$out"
rm -f "$out"/seed-*
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

FFMPEG=(ffmpeg -nostdin -hide_banner -loglevel error -y)
BITEXACT=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact)
VIDEO="testsrc2=size=32x32:rate=10:duration=0.3"
AUDIO="sine=frequency=440:sample_rate=8000:duration=0.3"

clip() { # name, then encoder and muxer arguments
  local name=$1
  shift
  "${FFMPEG[@]}" -f lavfi -i "$VIDEO" -f lavfi -i "$AUDIO" -map_metadata -1 "$@" "${BITEXACT[@]}" "$tmp/$name"
  cp "$tmp/$name" "$out/seed-$name"
}

printf '1\n00:00:00,000 --> 00:00:00,200\nHi\n' >"$tmp/cue.srt"
clip h264_aac.mkv -map 0:v -map 1:a -c:v libx264 -preset ultrafast -g 2 -threads 1 -c:a aac -b:a 16k
clip h264_aac.mp4 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -g 2 -threads 1 -c:a aac -b:a 16k
clip h264_aac.ts -map 0:v -map 1:a -c:v libx264 -preset ultrafast -g 2 -threads 1 -c:a aac -b:a 16k
clip mjpeg_pcm.avi -map 0:v -map 1:a -c:v mjpeg -q:v 20 -c:a pcm_s16le
clip mpeg4_bframes.avi -map 0:v -c:v mpeg4 -bf 2 -q:v 20
clip hevc.mkv -map 0:v -c:v libx265 -preset ultrafast -x265-params log-level=error:pools=none:frame-threads=1
clip aac.m4a -map 1:a -c:a aac -b:a 16k
clip pcm.wav -map 1:a -c:a pcm_s16le
"${FFMPEG[@]}" -f lavfi -i "$VIDEO" -i "$tmp/cue.srt" -map 0:v -map 1:s -c:v libx264 -preset ultrafast -threads 1 \
  -c:s srt "${BITEXACT[@]}" "$out/seed-h264_srt.mkv"
"${FFMPEG[@]}" -f lavfi -i "$VIDEO" -i "$tmp/cue.srt" -map 0:v -map 1:s -c:v libx264 -preset ultrafast -threads 1 \
  -c:s mov_text "${BITEXACT[@]}" "$out/seed-h264_movtext.mp4"

# The heads of the fixtures: container headers and the first packets.
for file in corpus/pgs_subs.mkv corpus/avs2_aac.ts corpus/hevc_main10_hlg.mkv corpus/aac_cover.m4a; do
  head -c 16384 "$file" >"$out/seed-head-$(basename "$file")"
done

for f in "$out"/seed-*; do
  [ "$(stat -c %s "$f")" -le 16384 ] || { echo "$f is larger than 16 KB" >&2; exit 1; }
done
echo "seeds written to $out/"
