#!/usr/bin/env python3
"""Checks that every committed test media file still has the properties the engine's
tests rely on, using ffprobe. Exits non-zero listing each missing property.

Usage: check_test_media.py CORPUS_DIR   (normally via tools/make_test_media.sh --check)
"""
import json
import os
import subprocess
import sys
from dataclasses import dataclass, field

TIME_TOLERANCE = 0.05  # seconds; AAC priming shifts Matroska timelines by about 21 ms


def video(codec, pix_fmt, width, height, **props):
    return {"codec_type": "video", "codec_name": codec, "pix_fmt": pix_fmt,
            "width": width, "height": height, **props}


def audio(codec, channels, **props):
    return {"codec_type": "audio", "codec_name": codec, "channels": channels, **props}


def subtitle(codec, **props):
    return {"codec_type": "subtitle", "codec_name": codec, **props}


# Keyword names map to ffprobe's JSON: "default" is disposition.default, "language" and
# "title" are tags, "packets" is nb_read_packets, "side_data" lists side data types.
ALIASES = {
    "default": "disposition.default", "forced": "disposition.forced",
    "attached_pic": "disposition.attached_pic", "language": "tags.language",
    "title": "tags.title", "mimetype": "tags.mimetype", "packets": "nb_read_packets",
    "transfer": "color_transfer", "primaries": "color_primaries", "matrix": "color_space",
}

HDR10_SIDE_DATA = ["Mastering display metadata", "Content light level metadata"]


@dataclass
class Fixture:
    format: str = ""
    duration: float = 0.0
    streams: list = field(default_factory=list)
    chapters: list = field(default_factory=list)      # (start, end, title)
    start_time: float = 0.0
    first_frame_side_data: list = field(default_factory=list)
    undecodable: str = ""                             # codec FFmpeg must have no decoder for
    openable: bool = True


H264_320 = video("h264", "yuv420p", 320, 180, profile="High")
STEREO = audio("aac", 2, profile="LC")

FIXTURES = {
    "mkv_chapters_subs.mkv": Fixture(
        "matroska,webm", 6.0,
        [{**H264_320, "default": 1}, {**STEREO, "default": 1, "language": "eng"},
         subtitle("subrip", default=1, forced=0, language="eng", title="Dialogue", packets=3),
         subtitle("ass", default=0, forced=1, language="eng", title="Signs", packets=2),
         {"codec_type": "attachment", "mimetype": "application/x-truetype-font"}],
        chapters=[(0, 2, "Opening"), (2, 4, "Middle"), (4, 6, "Credits")]),
    "h264_movtext.mp4": Fixture(
        "mov,mp4,m4a,3gp,3g2,mj2", 6.0,
        [H264_320, STEREO, subtitle("mov_text", language="eng")]),
    "h264_aac_2audio.mp4": Fixture(
        "mov,mp4,m4a,3gp,3g2,mj2", 5.0,
        [H264_320, {**STEREO, "default": 0, "language": "eng", "tags.handler_name": "Stereo"},
         audio("aac", 6, channel_layout="5.1", default=1, language="eng",
               **{"tags.handler_name": "Surround"})]),
    "h264_high10.mkv": Fixture(
        "matroska,webm", 2.0, [video("h264", "yuv420p10le", 320, 180, profile="High 10")]),
    "hevc_main10_hdr10.mp4": Fixture(
        "mov,mp4,m4a,3gp,3g2,mj2", 2.0,
        [video("hevc", "yuv420p10le", 320, 180, profile="Main 10", transfer="smpte2084",
               primaries="bt2020", matrix="bt2020nc", side_data=HDR10_SIDE_DATA)],
        first_frame_side_data=HDR10_SIDE_DATA),
    "hevc_main10_hlg.mkv": Fixture(
        "matroska,webm", 2.0,
        [video("hevc", "yuv420p10le", 320, 180, profile="Main 10", transfer="arib-std-b67",
               primaries="bt2020", matrix="bt2020nc")]),
    "h264_odd_318x178.mp4": Fixture(
        "mov,mp4,m4a,3gp,3g2,mj2", 2.0, [video("h264", "yuv420p", 318, 178), STEREO]),
    "one_chapter.mkv": Fixture(
        "matroska,webm", 3.0, [video("h264", "yuv420p", 160, 90), STEREO],
        chapters=[(0, 3, "Only chapter")]),
    "start_offset_chapters.mkv": Fixture(
        "matroska,webm", 14.0, [video("h264", "yuv420p", 160, 90), STEREO],
        chapters=[(9.5, 11, "Before"), (11, 12.5, "Inside"), (12.5, 14.5, "After")],
        start_time=10.0),
    "h264_aac.ts": Fixture("mpegts", 3.0, [H264_320, STEREO], start_time=1.4),
    "mjpeg_pcm.avi": Fixture(
        "avi", 2.0, [video("mjpeg", "yuvj420p", 160, 90), audio("pcm_s16le", 1, sample_rate=16000)]),
    "mpeg4_bframes.avi": Fixture("avi", 2.0, [video("mpeg4", "yuv420p", 160, 90)]),
    "aac_only.m4a": Fixture("mov,mp4,m4a,3gp,3g2,mj2", 3.0, [STEREO]),
    "aac_cover.m4a": Fixture(
        "mov,mp4,m4a,3gp,3g2,mj2", 3.0,
        [STEREO, video("png", "rgb24", 160, 160, attached_pic=1)]),
    "avs2_undecodable.avs2": Fixture(
        "avs2", 0.0, [{"codec_type": "video", "codec_name": "avs2", "packets": 50}],
        undecodable="avs2"),
    "avs2_aac.ts": Fixture(
        "mpegts", 2.0, [{"codec_type": "video", "codec_name": "avs2", "packets": 50}, STEREO],
        start_time=1.4, undecodable="avs2"),
    "not_media.mkv": Fixture(openable=False),
    "pgs_subs.mkv": Fixture(
        "matroska,webm", 4.0,
        [{**H264_320, "default": 1},
         subtitle("hdmv_pgs_subtitle", width=320, height=180, language="eng", packets=4)]),
}

NOT_FIXTURES = {"README.md"}


def ffprobe(*args):
    result = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args],
                            capture_output=True, text=True)
    return result.returncode, json.loads(result.stdout or "{}")


def lookup(record, key):
    key = ALIASES.get(key, key)
    if key == "side_data":
        return [entry.get("side_data_type") for entry in record.get("side_data_list", [])]
    value = record
    for part in key.split("."):
        if not isinstance(value, dict) or part not in value:
            return None
        value = value[part]
    return value


def matches(actual, expected):
    if isinstance(expected, list):
        return actual is not None and all(item in actual for item in expected)
    return actual is not None and str(actual) == str(expected)  # ffprobe quotes some numbers


def near(actual, expected):
    try:
        return abs(float(actual) - expected) <= TIME_TOLERANCE
    except (TypeError, ValueError):
        return False


def decoders():
    listing = subprocess.run(["ffmpeg", "-hide_banner", "-decoders"],
                             capture_output=True, text=True, check=True).stdout
    return {line.split()[1] for line in listing.splitlines() if line.startswith(" ") and len(line.split()) > 1}


def check(path, fixture, available_decoders):
    problems = []
    code, info = ffprobe("-count_packets", "-show_format", "-show_streams", "-show_chapters", path)
    if not fixture.openable:
        return [] if code != 0 else ["ffprobe opened it; it must not look like media"]
    if code != 0:
        return ["ffprobe cannot open it"]

    fmt = info.get("format", {})
    if fmt.get("format_name") != fixture.format:
        problems.append(f"format {fmt.get('format_name')}, expected {fixture.format}")
    if fixture.duration and not near(fmt.get("duration"), fixture.duration):
        problems.append(f"duration {fmt.get('duration')}, expected about {fixture.duration}")
    if fixture.start_time and float(fmt.get("start_time", 0)) < fixture.start_time - TIME_TOLERANCE:
        problems.append(f"start time {fmt.get('start_time')}, expected at least {fixture.start_time}")

    streams = info.get("streams", [])
    if len(streams) != len(fixture.streams):
        problems.append(f"{len(streams)} streams, expected {len(fixture.streams)}")
    for index, (stream, expected) in enumerate(zip(streams, fixture.streams)):
        for key, value in expected.items():
            actual = lookup(stream, key)
            if not matches(actual, value):
                problems.append(f"stream {index} {key} is {actual!r}, expected {value!r}")

    chapters = info.get("chapters", [])
    if len(chapters) != len(fixture.chapters):
        problems.append(f"{len(chapters)} chapters, expected {len(fixture.chapters)}")
    for chapter, (start, end, title) in zip(chapters, fixture.chapters):
        if not (near(chapter.get("start_time"), start) and near(chapter.get("end_time"), end)
                and lookup(chapter, "title") == title):
            problems.append(f"chapter {chapter.get('start_time')}-{chapter.get('end_time')} "
                            f"{lookup(chapter, 'title')!r}, expected {start}-{end} {title!r}")

    if fixture.first_frame_side_data:
        _, frames = ffprobe("-select_streams", "v:0", "-read_intervals", "%+#1", "-show_frames", path)
        first = (frames.get("frames") or [{}])[0]
        if not matches(lookup(first, "side_data"), fixture.first_frame_side_data):
            problems.append(f"first frame side data {lookup(first, 'side_data')}, "
                            f"expected {fixture.first_frame_side_data}")

    if fixture.undecodable and fixture.undecodable in available_decoders:
        problems.append(f"this FFmpeg can decode {fixture.undecodable}; the fixture no longer "
                        "tests an undecodable stream")
    return problems


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    corpus = sys.argv[1]
    failures = 0
    present = set(os.listdir(corpus)) - NOT_FIXTURES
    for name in sorted(present - FIXTURES.keys()):
        print(f"FAIL {name}: not described in {__file__}")
        failures += 1
    available_decoders = decoders()
    for name, fixture in FIXTURES.items():
        path = os.path.join(corpus, name)
        problems = check(path, fixture, available_decoders) if name in present else ["missing"]
        print(("FAIL " if problems else "ok   ") + name)
        for problem in problems:
            print(f"       {problem}")
        failures += bool(problems)
    if failures:
        sys.exit(f"{failures} test media file(s) failed the check")


if __name__ == "__main__":
    main()
