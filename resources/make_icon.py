#!/usr/bin/env python3
"""Writes resources/launcher.ico: seven square images (16 to 256 px) of a
parcel on a rounded blue tile, drawn pixel by pixel and stored as PNG
images inside the icon (the format Windows Vista and later read for every
size). Uses the standard library only, so the result is reproducible:
run it again and the file comes out byte-identical."""
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 24, 32, 48, 64, 128, 256)


def pixel(x, y, n):
    """RGBA of one pixel of the n-by-n image, from coordinates in [0, 1)."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius of the tile
    cu, cv = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cu) ** 2 + (v - cv) ** 2 > r * r:
        return (0, 0, 0, 0)
    # tile: blue, lighter at the top
    base = (30 + int(40 * (1 - v)), 90 + int(60 * (1 - v)), 200, 255)
    # parcel: a light square with a band across it
    if 0.25 <= u <= 0.75 and 0.28 <= v <= 0.78:
        if 0.46 <= u <= 0.54 or 0.46 <= v <= 0.54:
            return (200, 60, 50, 255)
        return (245, 225, 170, 255)
    return base


def png(n):
    rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y, n)) for x in range(n)) for y in range(n))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("launcher.ico")
    images = [png(n) for n in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(SIZES, images):
        side = 0 if n == 256 else n  # 0 stands for 256 in the directory
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out.write_bytes(directory + b"".join(images))


if __name__ == "__main__":
    main()
