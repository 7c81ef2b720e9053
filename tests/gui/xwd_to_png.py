#!/usr/bin/env python3
"""Turns an X window dump (xwd, 24 or 32 bits a pixel, TrueColor) into a PNG, optionally
cropped to a rectangle: xwd_to_png.py IN.xwd OUT.png [X Y WIDTH HEIGHT]. Standard library only,
so that a screenshot needs no image tools beyond xwd."""
import struct
import sys
import zlib


def read_xwd(data):
    fields = struct.unpack(">25I", data[:100])
    header_size, version = fields[0], fields[1]
    if version != 7:
        raise SystemExit(f"xwd_to_png: not an X11 window dump (version {version})")
    width, height = fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask = fields[14], fields[15], fields[16]
    ncolors = fields[19]
    if bits_per_pixel not in (24, 32):
        raise SystemExit(f"xwd_to_png: {bits_per_pixel} bits a pixel are not supported")
    pixels = data[header_size + 12 * ncolors:]
    step = bits_per_pixel // 8
    order = "<" if byte_order == 0 else ">"

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    shifts = [shift(m) for m in (red_mask, green_mask, blue_mask)]
    rows = []
    for y in range(height):
        line = pixels[y * bytes_per_line:(y + 1) * bytes_per_line]
        row = bytearray()
        for x in range(width):
            chunk = line[x * step:(x + 1) * step]
            value = int.from_bytes(chunk, "little" if order == "<" else "big")
            row += bytes(((value >> s) & 0xFF) for s in shifts)
        rows.append(bytes(row))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    raw = b"".join(b"\0" + r for r in rows)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def main():
    if len(sys.argv) not in (3, 7):
        raise SystemExit(__doc__)
    with open(sys.argv[1], "rb") as f:
        width, height, rows = read_xwd(f.read())
    if len(sys.argv) == 7:
        x, y, w, h = (int(v) for v in sys.argv[3:7])
        x, y = max(x, 0), max(y, 0)
        w, h = min(w, width - x), min(h, height - y)
        rows = [r[3 * x:3 * (x + w)] for r in rows[y:y + h]]
        width, height = w, h
    write_png(sys.argv[2], width, height, rows)


if __name__ == "__main__":
    main()
