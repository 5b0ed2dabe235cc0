#!/usr/bin/env python3
"""Checks colours of a PNG screenshot: png_colours.py FILE X,Y=R,G,B... [--somewhere R,G,B@X0,Y0,X1,Y1]

Each X,Y=R,G,B must be the colour of that pixel; each --somewhere colour must
appear inside the box. Reads 8-bit RGB and RGBA images without interlacing."""
import struct
import sys
import zlib


def read_png(path):
    data = open(path, 'rb').read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        sys.exit(f'{path}: not a PNG file')
    pos, idat, header = 8, b'', None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            header = struct.unpack('>IIBBBBB', body)
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    channels = {2: 3, 6: 4}.get(colour)
    if depth != 8 or not channels or interlace:
        sys.exit(f'{path}: unsupported PNG (depth {depth}, colour type {colour}, interlace {interlace})')
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, row = line[0], bytearray(line[1:])
        for x in range(stride):
            a = row[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                row[x] = (row[x] + a) & 255
            elif kind == 2:
                row[x] = (row[x] + b) & 255
            elif kind == 3:
                row[x] = (row[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[x] = (row[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(row)
        previous = row
    return width, height, channels, rows


def main():
    path, checks = sys.argv[1], sys.argv[2:]
    width, height, channels, rows = read_png(path)
    pixel = lambda x, y: tuple(rows[y][x * channels:x * channels + 3])
    failed = False
    i = 0
    while i < len(checks):
        if checks[i] == '--somewhere':
            colour, box = checks[i + 1].split('@')
            want = tuple(int(v) for v in colour.split(','))
            x0, y0, x1, y1 = (int(v) for v in box.split(','))
            if not any(pixel(x, y) == want for y in range(y0, min(y1, height)) for x in range(x0, min(x1, width))):
                print(f'{path}: no pixel of colour {want} in {x0},{y0}..{x1},{y1}')
                failed = True
            i += 2
            continue
        where, colour = checks[i].split('=')
        x, y = (int(v) for v in where.split(','))
        want = tuple(int(v) for v in colour.split(','))
        if pixel(x, y) != want:
            print(f'{path}: pixel {x},{y} is {pixel(x, y)}, expected {want}')
            failed = True
        i += 1
    sys.exit(1 if failed else 0)


if __name__ == '__main__':
    main()
