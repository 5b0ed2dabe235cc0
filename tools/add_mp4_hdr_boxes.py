#!/usr/bin/env python3
"""Adds mastering display ('mdcv') and content light level ('clli') boxes to the HEVC
sample entry of an MP4 file, in place.

libx265 writes this metadata only as SEI messages inside the bitstream; the ffmpeg
command line has no way to attach it to the stream, so the container would not carry
it. The boxes are appended to the 'hvc1' entry and every enclosing box grows by their
size. The movie box must follow the media data, so no chunk offset moves.

Usage: add_mp4_hdr_boxes.py FILE.mp4 GX,GY,BX,BY,RX,RY,WX,WY,MAXLUM,MINLUM MAXCLL,MAXFALL
  Chromaticities are in 0.00002 units, luminances in 0.0001 cd/m², light levels in cd/m²
  (the units of the x265 master-display and max-cll options).
"""
import struct
import sys

SAMPLE_DESCRIPTION_HEADER = 8  # version, flags and entry count
VISUAL_SAMPLE_ENTRY_HEADER = 78
PATH = [b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stsd", b"hvc1"]


def boxes(data, start, end):
    offset = start
    while offset < end:
        size, kind = struct.unpack_from(">I4s", data, offset)
        if size < 8:
            sys.exit(f"unsupported box size {size} at {offset}")
        yield offset, size, kind
        offset += size


def find_path(data, start, end, path, ancestors):
    """Offsets of the boxes along path, or None; several 'trak' boxes are tried in turn."""
    for offset, size, kind in boxes(data, start, end):
        if kind != path[0]:
            continue
        chain = ancestors + [offset]
        if len(path) == 1:
            return chain
        children = offset + 8
        if kind == b"stsd":
            children += SAMPLE_DESCRIPTION_HEADER
        found = find_path(data, children, offset + size, path[1:], chain)
        if found:
            return found
    return None


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    path, mastering, light = sys.argv[1], sys.argv[2].split(","), sys.argv[3].split(",")
    data = bytearray(open(path, "rb").read())
    top = {kind: offset for offset, _, kind in boxes(data, 0, len(data))}
    if top[b"moov"] < top[b"mdat"]:
        sys.exit("the movie box precedes the media data; chunk offsets would move")
    chain = find_path(data, 0, len(data), PATH, [])
    if not chain:
        sys.exit("no hvc1 sample entry")
    entry = chain[-1]
    entry_size = struct.unpack_from(">I", data, entry)[0]
    existing = {kind for _, _, kind in
                boxes(data, entry + 8 + VISUAL_SAMPLE_ENTRY_HEADER, entry + entry_size)}
    if existing & {b"mdcv", b"clli"}:
        sys.exit("the sample entry already has HDR boxes")

    mdcv = struct.pack(">8H2I", *(int(v) for v in mastering))
    clli = struct.pack(">2H", *(int(v) for v in light))
    added = (struct.pack(">I4s", 8 + len(mdcv), b"mdcv") + mdcv
             + struct.pack(">I4s", 8 + len(clli), b"clli") + clli)
    data[entry + entry_size:entry + entry_size] = added
    for offset in chain:
        size = struct.unpack_from(">I", data, offset)[0]
        struct.pack_into(">I", data, offset, size + len(added))
    open(path, "wb").write(data)


if __name__ == "__main__":
    main()
