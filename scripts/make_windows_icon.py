#!/usr/bin/env python3
"""Writes gui/win32/velmora.ico: the program icon (the handset with the download arrow that
gui/program_icon.cpp paints for the wxWidgets dialog) at 16 to 64 pixels, 32-bit with
alpha. Run again after a change to the shapes there; the .ico is kept in the tree so that the
Windows build needs no tool beyond windres.
It also writes packaging/velmora.png (48 pixels), the icon of the Linux desktop entry.
Usage: scripts/make_windows_icon.py [OUTPUT.ico [OUTPUT.png]]"""
import struct
import zlib
import sys
from pathlib import Path

ARROW = (0xE8, 0x6A, 0x10)
SCREEN = (0xB8, 0xE0, 0xC8)
KEY = (0xD8, 0xDC, 0xE0)
BODY = (0x2E, 0x3B, 0x4E)


def clamp(v, lo, hi):
    return max(lo, min(v, hi))


def in_rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = clamp(x, x0 + r, x1 - r)
    cy = clamp(y, y0 + r, y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_arrow(x, y):
    shaft = 0.455 <= x <= 0.545 and 0.17 <= y <= 0.33
    top, bottom = 0.29, 0.43
    head = top <= y <= bottom and abs(x - 0.5) <= 0.13 * (bottom - y) / (bottom - top)
    return shaft or head


def colour_at(x, y):
    if in_arrow(x, y):
        return ARROW
    if in_rounded_rect(x, y, 0.30, 0.12, 0.70, 0.47, 0.04):
        return SCREEN
    for row in range(3):
        for col in range(3):
            kx, ky = 0.36 + col * 0.14, 0.57 + row * 0.12
            if in_rounded_rect(x, y, kx - 0.045, ky - 0.035, kx + 0.045, ky + 0.035, 0.02):
                return KEY
    if in_rounded_rect(x, y, 0.24, 0.05, 0.76, 0.96, 0.09):
        return BODY
    if 0.62 <= x <= 0.69 and 0.0 <= y <= 0.08:
        return BODY
    return None


def image(size, samples=4):
    """BGRA rows, bottom row first, as an icon's bitmap holds them."""
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            covered, r, g, b = 0, 0, 0, 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c is None:
                        continue
                    covered += 1
                    r, g, b = r + c[0], g + c[1], b + c[2]
            if covered == 0:
                row += bytes(4)
            else:
                row += bytes((b // covered, g // covered, r // covered, covered * 255 // samples ** 2))
        rows.append(bytes(row))
    return b"".join(reversed(rows))


def icon_entry(size):
    pixels = image(size)
    mask_row = ((size + 31) // 32) * 4  # the AND mask, all zero: alpha decides
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + mask_row * size,
                         0, 0, 0, 0)
    return header + pixels + bytes(mask_row * size)


def png(size):
    """The same pixels as an RGBA PNG, top row first."""
    bottom_up = image(size)
    stride = 4 * size
    rows = [bottom_up[i:i + stride] for i in range(0, len(bottom_up), stride)][::-1]
    raw = b"".join(b"\0" + bytes(v for px in range(size) for v in (r[4 * px + 2], r[4 * px + 1], r[4 * px], r[4 * px + 3]))
                   for r in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    root = Path(__file__).parent.parent
    out = Path(sys.argv[1] if len(sys.argv) > 1 else root / "gui/win32/velmora.ico")
    Path(sys.argv[2] if len(sys.argv) > 2 else root / "packaging/velmora.png").write_bytes(png(48))
    # 20, 24, 40 and 64: the small and big icons at 125, 150 and 200 per cent.
    sizes = (16, 20, 24, 32, 40, 48, 64)
    entries = [icon_entry(s) for s in sizes]
    data = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, entry in zip(sizes, entries):
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(entry), offset)
        offset += len(entry)
    out.write_bytes(data + b"".join(entries))


if __name__ == "__main__":
    main()
