#!/usr/bin/env python3
"""Writes a raw AVS2 video elementary stream that FFmpeg can demux but not decode.

Debian's FFmpeg recognises the format (demuxer and parser) but ships no decoder for it,
which gives the tests a stream that opens and reports its codec yet never yields a
frame. Only the sequence header is meaningful (profile, size, frame rate); picture
payloads are seeded filler, since nothing will try to decode them.

Usage: make_avs2.py OUTPUT.avs2 WIDTHxHEIGHT FRAMES
"""
import random
import sys

SEQUENCE_START = b"\x00\x00\x01\xb0"
INTRA_PICTURE_START = b"\x00\x00\x01\xb3"
INTER_PICTURE_START = b"\x00\x00\x01\xb6"
SEQUENCE_END = b"\x00\x00\x01\xb1"

PROFILE_MAIN = 0x20
LEVEL_4_0_30 = 0x20
CHROMA_420 = 1
PRECISION_8_BIT = 1
ASPECT_SQUARE = 1
FRAME_RATE_25 = 3
LCU_64 = 6
GOP_LENGTH = 25
PICTURE_BYTES = 160


class BitWriter:
    def __init__(self):
        self.bits = []

    def put(self, value, width):
        self.bits += [(value >> shift) & 1 for shift in reversed(range(width))]

    def to_bytes(self, min_length):
        # stop bit, then zeros up to the byte boundary
        bits = self.bits + [1]
        bits += [0] * (-len(bits) % 8)
        data = bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
        # the FFmpeg probe wants at least 21 bytes between the sequence start code and the next one
        return data + b"\x80" * max(0, min_length - len(data))


def sequence_header(width, height):
    w = BitWriter()
    w.put(PROFILE_MAIN, 8)
    w.put(LEVEL_4_0_30, 8)
    w.put(1, 1)          # progressive sequence
    w.put(0, 1)          # not field coded
    w.put(width, 14)
    w.put(height, 14)
    w.put(CHROMA_420, 2)
    w.put(PRECISION_8_BIT, 3)
    w.put(ASPECT_SQUARE, 4)
    w.put(FRAME_RATE_25, 4)
    w.put(500, 18)       # bit rate in units of 400 bit/s, low part
    w.put(1, 1)          # marker
    w.put(0, 12)         # bit rate, high part
    w.put(0, 1)          # low delay off
    w.put(1, 1)          # marker
    w.put(0, 1)          # temporal ids off
    w.put(1024, 18)      # buffer size
    w.put(LCU_64, 3)
    return SEQUENCE_START + w.to_bytes(min_length=24)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    width, height = (int(v) for v in sys.argv[2].split("x"))
    frames = int(sys.argv[3])
    filler = random.Random(2)
    stream = bytearray(sequence_header(width, height))
    for index in range(frames):
        start = INTRA_PICTURE_START if index % GOP_LENGTH == 0 else INTER_PICTURE_START
        # bytes 1..255 only, so the filler never imitates a start code
        stream += start + bytes(filler.randrange(1, 256) for _ in range(PICTURE_BYTES))
    stream += SEQUENCE_END
    with open(sys.argv[1], "wb") as f:
        f.write(stream)


if __name__ == "__main__":
    main()
