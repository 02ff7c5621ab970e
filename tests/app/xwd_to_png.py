#!/usr/bin/env python3
"""Converts an X window dump (xwd, 24- or 32-bit TrueColor ZPixmap) to PNG with the standard
library only: xwd_to_png.py in.xwd out.png"""

import struct
import sys
import zlib


def convert(source, target):
    data = open(source, "rb").read()
    fields = struct.unpack(">25I", data[:100])
    header_size, _, pixmap_format, depth, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask = fields[14:17]
    colormap_entries = fields[19]
    if pixmap_format != 2 or bits_per_pixel not in (24, 32):
        raise SystemExit(f"unsupported dump: format {pixmap_format}, {bits_per_pixel} bits")
    step = bits_per_pixel // 8
    pixels = data[header_size + colormap_entries * 12:]
    order = "<" if byte_order == 0 else ">"

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        row = pixels[y * bytes_per_line:y * bytes_per_line + width * step]
        if step == 3:  # pad each pixel to four bytes, on the side the byte order puts last
            row = b"".join((row[i:i + 3] + b"\0") if order == "<" else (b"\0" + row[i:i + 3])
                           for i in range(0, len(row), 3))
        for (value,) in struct.iter_unpack(order + "I", row):
            raw += bytes(((value & red_mask) >> rs, (value & green_mask) >> gs,
                          (value & blue_mask) >> bs))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(target, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" +
                  chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                  chunk(b"IDAT", zlib.compress(bytes(raw), 6)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    convert(sys.argv[1], sys.argv[2])
