#!/usr/bin/env python3
"""pngcmp.py PART WHOLE [LEFT TOP]: exit 0 when the pixels of PART equal those of WHOLE's rectangle of
the same size at (LEFT, TOP). Both are 8-bit RGB, 8-bit grey or 1-bit grey PNG files, not interlaced."""
import struct
import sys
import zlib


def decode(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path + ": not a PNG file"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert interlace == 0 and (depth, colour) in ((8, 2), (8, 0), (1, 0)), path + ": unexpected format"
    channels = 3 if colour == 2 else 1
    stride = (width * channels * depth + 7) // 8
    step = max(1, channels * depth // 8)
    raw, rows, prior = zlib.decompress(idat), [], bytearray(stride)
    for y in range(height):
        kind, row = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = row[i - step] if i >= step else 0
            b, c = prior[i], prior[i - step] if i >= step else 0
            p = a + b - c
            pred = [0, a, b, (a + b) // 2,
                    a if abs(p - a) <= min(abs(p - b), abs(p - c)) else b if abs(p - b) <= abs(p - c) else c][kind]
            row[i] = (row[i] + pred) & 0xFF
        rows.append(row)
        prior = row
    # One list of samples per row: bits for 1-bit images, bytes otherwise.
    if depth == 1:
        rows = [[(r[x // 8] >> (7 - x % 8)) & 1 for x in range(width)] for r in rows]
    return width, height, channels, rows


def main():
    part, whole = decode(sys.argv[1]), decode(sys.argv[2])
    left, top = (int(sys.argv[3]), int(sys.argv[4])) if len(sys.argv) > 4 else (0, 0)
    width, height, channels, rows = part
    if channels != whole[2] or left + width > whole[0] or top + height > whole[1]:
        sys.exit(f"{width}x{height}x{channels} at {left},{top} does not fit in {whole[0]}x{whole[1]}x{whole[2]}")
    for y in range(height):
        expected = whole[3][top + y][left * channels:(left + width) * channels]
        if list(rows[y]) != list(expected):
            sys.exit(f"row {y} differs")
    print(f"{width}x{height} pixels equal")


main()
