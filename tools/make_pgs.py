#!/usr/bin/env python3
"""Writes a small bitmap subtitle stream in the .sup layout (HDMV presentation graphics).

FFmpeg can decode this format but has no encoder for it, so the test media script builds
the segments here: for each caption a display set of composition (PCS), window (WDS),
palette (PDS), object (ODS) and END segments, followed by a display set that clears it.

The caption bitmap is a framed box with a striped interior and single dots, so that the
run-length data uses every code form: single pixels, short and long runs of the
transparent colour, and short and long runs of an opaque colour.

Usage: make_pgs.py OUTPUT.sup WIDTHxHEIGHT
"""
import struct
import sys

PTS_CLOCK = 90000  # segment timestamps tick at 90 kHz

SEGMENT_PDS = 0x14
SEGMENT_ODS = 0x15
SEGMENT_PCS = 0x16
SEGMENT_WDS = 0x17
SEGMENT_END = 0x80

STATE_NORMAL = 0x00
STATE_EPOCH_START = 0x80
FRAME_RATE_CODE = 0x10  # fixed by the format; decoders ignore it
ODS_FIRST_AND_LAST = 0xC0

TRANSPARENT, FRAME, FILL, DOT = 0, 1, 2, 3
# (index, Y, Cr, Cb, alpha)
PALETTE = [
    (TRANSPARENT, 16, 128, 128, 0),
    (FRAME, 235, 128, 128, 255),   # opaque white
    (FILL, 16, 128, 128, 160),     # translucent black
    (DOT, 210, 146, 16, 255),      # opaque yellow
]

# (start seconds, end seconds, x, y, bitmap width, bitmap height)
CAPTIONS = [
    (0.5, 1.5, 40, 120, 240, 40),
    (2.0, 3.0, 60, 20, 200, 30),
]


def segment(kind, pts_seconds, payload):
    pts = round(pts_seconds * PTS_CLOCK)
    return b"PG" + struct.pack(">IIBH", pts, 0, kind, len(payload)) + payload


def caption_bitmap(width, height):
    rows = []
    for y in range(height):
        if y < 2 or y >= height - 2:
            rows.append([FRAME] * width)
        elif y % 8 in (2, 3):
            # transparent stripe: a run longer than 63 exercises the long run form
            rows.append([FRAME, FRAME] + [TRANSPARENT] * (width - 4) + [FRAME, FRAME])
        else:
            row = [FRAME, FRAME] + [FILL] * (width - 4) + [FRAME, FRAME]
            if y % 8 == 5:
                for x in range(8, width - 8, 16):
                    row[x] = DOT
                    row[x + 4] = TRANSPARENT
            rows.append(row)
    return rows


def encode_run(color, length):
    if color != TRANSPARENT and length <= 2:
        return bytes([color]) * length  # one byte per pixel beats the three-byte run form
    long_form = 0x40 if length > 63 else 0
    colored = 0x80 if color != TRANSPARENT else 0
    if long_form:
        head = bytes([0, colored | long_form | (length >> 8), length & 0xFF])
    else:
        head = bytes([0, colored | length])
    return head + (bytes([color]) if colored else b"")


def encode_rle(rows):
    out = bytearray()
    for row in rows:
        x = 0
        while x < len(row):
            run = 1
            while x + run < len(row) and row[x + run] == row[x] and run < 16383:
                run += 1
            out += encode_run(row[x], run)
            x += run
        out += b"\x00\x00"  # end of line
    return bytes(out)


def display_set(number, start, x, y, width, height, video_width, video_height):
    pcs = struct.pack(">HHBHBBBB", video_width, video_height, FRAME_RATE_CODE, number,
                      STATE_EPOCH_START, 0, 0, 1)
    pcs += struct.pack(">HBBHH", 0, 0, 0, x, y)  # object 0 in window 0, not cropped
    wds = struct.pack(">BBHHHH", 1, 0, x, y, width, height)
    pds = struct.pack(">BB", 0, 0) + b"".join(struct.pack(">BBBBB", *entry) for entry in PALETTE)
    rle = encode_rle(caption_bitmap(width, height))
    object_length = len(rle) + 4  # the length field also counts width and height
    ods = struct.pack(">HBB", 0, 0, ODS_FIRST_AND_LAST) + object_length.to_bytes(3, "big")
    ods += struct.pack(">HH", width, height) + rle
    if len(ods) > 0xFFFF:
        sys.exit("caption bitmap too large for a single object segment")
    return (segment(SEGMENT_PCS, start, pcs) + segment(SEGMENT_WDS, start, wds)
            + segment(SEGMENT_PDS, start, pds) + segment(SEGMENT_ODS, start, ods)
            + segment(SEGMENT_END, start, b""))


def clear_set(number, end, x, y, width, height, video_width, video_height):
    pcs = struct.pack(">HHBHBBBB", video_width, video_height, FRAME_RATE_CODE, number,
                      STATE_NORMAL, 0, 0, 0)
    wds = struct.pack(">BBHHHH", 1, 0, x, y, width, height)
    return (segment(SEGMENT_PCS, end, pcs) + segment(SEGMENT_WDS, end, wds)
            + segment(SEGMENT_END, end, b""))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    video_width, video_height = (int(v) for v in sys.argv[2].split("x"))
    stream = bytearray()
    number = 0
    for start, end, x, y, width, height in CAPTIONS:
        stream += display_set(number, start, x, y, width, height, video_width, video_height)
        stream += clear_set(number + 1, end, x, y, width, height, video_width, video_height)
        number += 2
    with open(sys.argv[1], "wb") as f:
        f.write(stream)


if __name__ == "__main__":
    main()
