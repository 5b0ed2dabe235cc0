#!/usr/bin/env bash
# Builds the playback engine's test media with the ffmpeg command line and python3.
#
#   tools/make_test_media.sh              regenerate every fixture in corpus/
#   tools/make_test_media.sh --check      verify the committed fixtures with ffprobe
#   tools/make_test_media.sh --bench [DIR]
#                                         write the large benchmark files (not committed)
#                                         to DIR, default build/bench-media
#
# The small fixtures are committed so tests never depend on the local encoder version;
# regenerating them here is for changing the corpus, not for every build. Encoders run
# single-threaded and every muxer and encoder gets the bitexact flags, so a rerun with
# the same Debian packages reproduces the same bytes.
set -euo pipefail
CALLER_DIR=$PWD
cd "$(dirname "$0")/.."

TOOLS=tools
CORPUS=corpus
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Oblique.ttf  # smallest DejaVu face

FFMPEG=(ffmpeg -nostdin -hide_banner -loglevel error -y)
BITEXACT=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact)
# Fixed GOP of one second so seek tests have several key frames; B-frames stay on so
# presentation and decode order differ.
X264=(-c:v libx264 -preset medium -crf 30 -g 25 -threads 1)
X265_THREADS="pools=none:frame-threads=1:log-level=error"
AAC=(-c:a aac -b:a 64k)
# Matroska marks no track default unless told; players and tests expect the usual flags.
MKV_DEFAULTS=(-disposition:v:0 default -disposition:a:0 default)

video() { # size rate seconds
  echo "testsrc2=size=$1:rate=$2:duration=$3"
}
stereo() { # seconds; a different tone per channel so a swap is audible and measurable
  echo "aevalsrc=0.4*sin(2*PI*440*t)|0.4*sin(2*PI*660*t):s=48000:c=stereo:d=$1"
}
surround() { # seconds; one tone per channel of 5.1
  echo "aevalsrc=0.3*sin(2*PI*330*t)|0.3*sin(2*PI*440*t)|0.3*sin(2*PI*550*t)|0.3*sin(2*PI*110*t)|0.3*sin(2*PI*660*t)|0.3*sin(2*PI*770*t):s=48000:c=5.1:d=$1"
}

write_chapters() { # file, then "start_ms end_ms title" triples
  local file=$1
  shift
  echo ";FFMETADATA1" >"$file"
  while [ $# -gt 0 ]; do
    printf '[CHAPTER]\nTIMEBASE=1/1000\nSTART=%s\nEND=%s\ntitle=%s\n' "$1" "$2" "$3" >>"$file"
    shift 3
  done
}

write_subtitles() { # directory: dialogue.srt and signs.ass
  cat >"$1/dialogue.srt" <<'SRT'
1
00:00:00,500 --> 00:00:02,000
First subtitle

2
00:00:02,500 --> 00:00:04,000
Second subtitle
on two lines

3
00:00:04,500 --> 00:00:05,800
<i>Third</i> subtitle
SRT
  cat >"$1/signs.ass" <<'ASS'
[Script Info]
ScriptType: v4.00+
PlayResX: 320
PlayResY: 180
WrapStyle: 0

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Sign,DejaVu Sans Mono,14,&H0000FFFF,&H000000FF,&H00000000,&H80000000,0,-1,0,0,100,100,0,0,1,1,0,8,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:01.00,0:00:03.00,Sign,,0,0,0,,Forced sign
Dialogue: 0,0:00:03.50,0:00:05.50,Sign,,0,0,0,,{\pos(160,90)}Positioned sign
ASS
}

generate() {
  command -v ffmpeg >/dev/null || { echo "ffmpeg not found (dev/setup installs it)" >&2; exit 1; }
  [ -f "$FONT" ] || { echo "$FONT not found (apt-get install fonts-dejavu-core)" >&2; exit 1; }
  tmp=$(mktemp -d)  # global: the exit trap runs after this function has returned
  trap 'rm -rf "$tmp"' EXIT
  mkdir -p "$CORPUS"
  write_subtitles "$tmp"

  # The shell's fallback files.
  write_chapters "$tmp/three.txt" 0 2000 Opening 2000 4000 Middle 4000 6000 Credits
  "${FFMPEG[@]}" -f lavfi -i "$(video 320x180 25 6)" -f lavfi -i "$(stereo 6)" \
    -i "$tmp/dialogue.srt" -i "$tmp/signs.ass" -i "$tmp/three.txt" \
    -map 0:v -map 1:a -map 2:s -map 3:s -map_metadata 4 -map_chapters 4 \
    "${X264[@]}" "${AAC[@]}" -c:s:0 srt -c:s:1 ass \
    "${MKV_DEFAULTS[@]}" -metadata:s:a:0 language=eng \
    -metadata:s:s:0 language=eng -metadata:s:s:0 title=Dialogue -disposition:s:0 default \
    -metadata:s:s:1 language=eng -metadata:s:s:1 title=Signs -disposition:s:1 forced \
    -attach "$FONT" -metadata:s:t mimetype=application/x-truetype-font \
    "${BITEXACT[@]}" "$CORPUS/mkv_chapters_subs.mkv"

  "${FFMPEG[@]}" -f lavfi -i "$(video 320x180 25 6)" -f lavfi -i "$(stereo 6)" -i "$tmp/dialogue.srt" \
    -map 0:v -map 1:a -map 2:s -map_metadata -1 \
    "${X264[@]}" "${AAC[@]}" -c:s mov_text -metadata:s:s:0 language=eng \
    "${BITEXACT[@]}" "$CORPUS/h264_movtext.mp4"

  # MP4 keeps no track titles; the handler name is the track name players show.
  "${FFMPEG[@]}" -f lavfi -i "$(video 320x180 25 5)" -f lavfi -i "$(stereo 5)" -f lavfi -i "$(surround 5)" \
    -map 0:v -map 1:a -map 2:a -map_metadata -1 \
    "${X264[@]}" "${AAC[@]}" -b:a:1 160k \
    -metadata:s:a:0 language=eng -metadata:s:a:0 handler_name=Stereo -disposition:a:0 0 \
    -metadata:s:a:1 language=eng -metadata:s:a:1 handler_name=Surround -disposition:a:1 default \
    "${BITEXACT[@]}" "$CORPUS/h264_aac_2audio.mp4"

  # Ten-bit and HDR video.
  "${FFMPEG[@]}" -f lavfi -i "$(video 320x180 25 2)" -map 0:v -map_metadata -1 \
    "${X264[@]}" -pix_fmt yuv420p10le -profile:v high10 -disposition:v:0 default \
    "${BITEXACT[@]}" "$CORPUS/h264_high10.mkv"

  local bt2020=(-color_primaries bt2020 -colorspace bt2020nc -color_range tv)
  "${FFMPEG[@]}" -f lavfi -i "smptehdbars=size=320x180:rate=25:duration=2" -map 0:v -map_metadata -1 \
    -c:v libx265 -pix_fmt yuv420p10le -crf 30 -g 25 "${bt2020[@]}" -color_trc smpte2084 \
    -x265-params "$X265_THREADS:hdr10=1:repeat-headers=1:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,50):max-cll=1000,400" \
    -tag:v hvc1 "${BITEXACT[@]}" "$CORPUS/hevc_main10_hdr10.mp4"
  # libx265 puts the mastering display and light level only into the bitstream; the
  # container boxes let an engine report HDR without decoding a frame.
  python3 "$TOOLS/add_mp4_hdr_boxes.py" "$CORPUS/hevc_main10_hdr10.mp4" \
    "13250,34500,7500,3000,34000,16000,15635,16450,10000000,50" "1000,400"

  "${FFMPEG[@]}" -f lavfi -i "smptehdbars=size=320x180:rate=25:duration=2" -map 0:v -map_metadata -1 \
    -c:v libx265 -pix_fmt yuv420p10le -crf 30 -g 25 "${bt2020[@]}" -color_trc arib-std-b67 \
    -x265-params "$X265_THREADS:colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc" \
    -disposition:v:0 default \
    "${BITEXACT[@]}" "$CORPUS/hevc_main10_hlg.mkv"

  # Sizes, chapters and timelines.
  "${FFMPEG[@]}" -f lavfi -i "$(video 318x178 25 2)" -f lavfi -i "$(stereo 2)" -map 0:v -map 1:a -map_metadata -1 \
    "${X264[@]}" "${AAC[@]}" "${BITEXACT[@]}" "$CORPUS/h264_odd_318x178.mp4"

  write_chapters "$tmp/one.txt" 0 3000 "Only chapter"
  "${FFMPEG[@]}" -f lavfi -i "$(video 160x90 25 3)" -f lavfi -i "$(stereo 3)" -i "$tmp/one.txt" \
    -map 0:v -map 1:a -map_metadata 2 -map_chapters 2 "${MKV_DEFAULTS[@]}" \
    "${X264[@]}" "${AAC[@]}" "${BITEXACT[@]}" "$CORPUS/one_chapter.mkv"

  # Media runs from 10 s to 14 s; the first chapter starts before the media does and the
  # last ends after it.
  write_chapters "$tmp/offset.txt" 9500 11000 Before 11000 12500 Inside 12500 14500 After
  "${FFMPEG[@]}" -f lavfi -i "$(video 160x90 25 4)" -f lavfi -i "$(stereo 4)" -i "$tmp/offset.txt" \
    -map 0:v -map 1:a -map_metadata 2 -map_chapters 2 -output_ts_offset 10 "${MKV_DEFAULTS[@]}" \
    "${X264[@]}" "${AAC[@]}" "${BITEXACT[@]}" "$CORPUS/start_offset_chapters.mkv"

  "${FFMPEG[@]}" -f lavfi -i "$(video 320x180 25 3)" -f lavfi -i "$(stereo 3)" -map 0:v -map 1:a -map_metadata -1 \
    "${X264[@]}" "${AAC[@]}" "${BITEXACT[@]}" "$CORPUS/h264_aac.ts"

  "${FFMPEG[@]}" -f lavfi -i "smptebars=size=160x90:rate=25:duration=2" \
    -f lavfi -i "sine=frequency=1000:sample_rate=16000:duration=2" -map 0:v -map 1:a -map_metadata -1 \
    -c:v mjpeg -pix_fmt yuvj420p -q:v 6 -c:a pcm_s16le "${BITEXACT[@]}" "$CORPUS/mjpeg_pcm.avi"

  # MPEG-4 Part 2 with B-frames in AVI: the last frames come out of the draining decoder
  # without timestamps.
  "${FFMPEG[@]}" -f lavfi -i "$(video 160x90 25 2)" -map 0:v -map_metadata -1 \
    -c:v mpeg4 -bf 2 -g 25 -q:v 8 -threads 1 "${BITEXACT[@]}" "$CORPUS/mpeg4_bframes.avi"

  # Audio only.
  "${FFMPEG[@]}" -f lavfi -i "$(stereo 3)" -map 0:a -map_metadata -1 \
    "${AAC[@]}" "${BITEXACT[@]}" "$CORPUS/aac_only.m4a"

  "${FFMPEG[@]}" -f lavfi -i "testsrc=size=160x160:rate=1:duration=1" -frames:v 1 "$tmp/cover.png"
  "${FFMPEG[@]}" -f lavfi -i "$(stereo 3)" -i "$tmp/cover.png" -map 0:a -map 1:v -map_metadata -1 \
    "${AAC[@]}" -c:v png -disposition:v attached_pic "${BITEXACT[@]}" "$CORPUS/aac_cover.m4a"

  # Streams that open but cannot be played.
  python3 "$TOOLS/make_avs2.py" "$CORPUS/avs2_undecodable.avs2" 320x180 50
  # The raw stream carries no timestamps; the copy path hands the filter 90 kHz ticks.
  "${FFMPEG[@]}" -framerate 25 -i "$CORPUS/avs2_undecodable.avs2" -f lavfi -i "$(stereo 2)" \
    -map 0:v -map 1:a -map_metadata -1 -c:v copy -bsf:v "setts=ts=N*3600" "${AAC[@]}" \
    "${BITEXACT[@]}" "$CORPUS/avs2_aac.ts"

  python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(1).randbytes(4096))' \
    >"$CORPUS/not_media.mkv"

  # Bitmap subtitles: FFmpeg has no encoder for them, so the segments are written directly.
  python3 "$TOOLS/make_pgs.py" "$tmp/captions.sup" 320x180
  # -copyts keeps the captions at their own times instead of moving the first one to zero.
  "${FFMPEG[@]}" -f lavfi -i "$(video 320x180 25 4)" -i "$tmp/captions.sup" -map 0:v -map 1:s -map_metadata -1 \
    -copyts "${X264[@]}" -c:s copy -bsf:s pgs_frame_merge -disposition:v:0 default -metadata:s:s:0 language=eng \
    "${BITEXACT[@]}" "$CORPUS/pgs_subs.mkv"

  echo "fixtures written to $CORPUS/"
}

bench() {
  local out=${1:-build/bench-media}
  [ -z "${1:-}" ] || [[ $out = /* ]] || out="$CALLER_DIR/$out"
  mkdir -p "$out"
  # Real-world bitrates need real-world detail: temporal noise keeps the encoders from
  # collapsing the synthetic pattern to almost nothing. Encoder threads stay on here;
  # the benchmark compares against the CLI on the same file, so exact bytes do not matter.
  local detail="noise=alls=12:allf=t+u:all_seed=7"
  "${FFMPEG[@]}" -f lavfi -i "$(video 1920x1080 30 20)" -f lavfi -i "$(stereo 20)" -map 0:v -map 1:a \
    -vf "$detail" -c:v libx264 -preset fast -b:v 8M -maxrate 10M -bufsize 16M -g 60 \
    -c:a aac -b:a 160k "${MKV_DEFAULTS[@]}" "${BITEXACT[@]}" "$out/bench_h264_1080p30.mkv"
  "${FFMPEG[@]}" -f lavfi -i "$(video 1920x1080 30 10)" -f lavfi -i "$(stereo 10)" -map 0:v -map 1:a \
    -vf "$detail,format=yuv420p10le" -c:v libx265 -preset fast -b:v 6M -g 60 \
    -x265-params log-level=error -c:a aac -b:a 160k "${MKV_DEFAULTS[@]}" "${BITEXACT[@]}" \
    "$out/bench_hevc_main10_1080p30.mkv"
  # A minute with sound for the player's pacing benchmark (bench/pacing_bench.cpp).
  "${FFMPEG[@]}" -f lavfi -i "$(video 1920x1080 30 60)" -f lavfi -i "$(stereo 60)" -map 0:v -map 1:a \
    -vf "$detail" -c:v libx264 -preset fast -b:v 8M -maxrate 10M -bufsize 16M -g 60 \
    -c:a aac -b:a 160k "${MKV_DEFAULTS[@]}" "${BITEXACT[@]}" "$out/bench_h264_aac_1080p30_60s.mkv"
  echo "benchmark files written to $out/"
}

case "${1:-}" in
  "") generate ;;
  --check) exec python3 "$TOOLS/check_test_media.py" "$CORPUS" ;;
  --bench) bench "${2:-}" ;;
  *) sed -n '2,9p' "$TOOLS/make_test_media.sh" >&2; exit 2 ;;
esac
