#!/usr/bin/env python3
"""Draws Quillon's icon (a card with a row of digits under a quill stroke, on a
rounded teal tile) and writes it as a one-image 32x32 32-bit .ico.
Deterministic: the same script always writes the same bytes.
    scripts/make-icon.py [OUT]   (default ui/resources/Quillon.ico)"""
import os
import struct
import sys

SIZE = 32


def inside_rounded(x, y, x0, y0, x1, y1, r):
    """Coverage (0..1) of pixel (x, y) in a rounded rectangle, 4x4 supersampled."""
    hits = 0
    for sy in range(4):
        for sx in range(4):
            px, py = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
            if not (x0 <= px <= x1 and y0 <= py <= y1):
                continue
            cx = min(max(px, x0 + r), x1 - r)
            cy = min(max(py, y0 + r), y1 - r)
            if (px - cx) ** 2 + (py - cy) ** 2 <= r * r:
                hits += 1
    return hits / 16


def blend(dst, src, a):
    return tuple(round(d * (1 - a) + s * a) for d, s in zip(dst, src))


def draw():
    pixels = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]  # RGBA
    teal, card, ink, gold = (0, 120, 130), (250, 250, 245), (30, 40, 60), (240, 170, 30)
    for y in range(SIZE):
        for x in range(SIZE):
            a = inside_rounded(x, y, 0.5, 0.5, 31.5, 31.5, 6)
            if a == 0:
                continue
            rgb = teal
            c = inside_rounded(x, y, 4, 9, 28, 25, 2)
            rgb = blend(rgb, card, c)
            # magnetic stripe
            if 11 <= y < 14 and 4 <= x < 28:
                rgb = blend(rgb, ink, 0.85 * c)
            # a row of four "digits"
            for i in range(4):
                if 18 <= y < 22 and 7 + i * 5 <= x < 10 + i * 5:
                    rgb = ink
            pixels[y][x] = rgb + (round(255 * a),)
    # the quill: a gold diagonal stroke across the top-right corner
    for y in range(SIZE):
        for x in range(SIZE):
            d = abs((x - 17) - (10 - y) * 1.4)
            if 1 <= y <= 15 and x >= 14 and d < 1.3:
                r, g, b, a = pixels[y][x]
                pixels[y][x] = blend((r, g, b), gold, 1.0 if d < 0.8 else 0.5) + (max(a, 255),)
    return pixels


def ico(pixels):
    xor = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up rows
        for x in range(SIZE):
            r, g, b, a = pixels[y][x]
            xor += bytes((b, g, r, a))
    mask_row = (SIZE + 31) // 32 * 4
    andmask = bytearray()
    for y in reversed(range(SIZE)):
        row = bytearray(mask_row)
        for x in range(SIZE):
            if pixels[y][x][3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        andmask += row
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    image = header + xor + andmask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return icondir + entry + image


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "ui", "resources", "Quillon.ico")
    with open(out, "wb") as f:
        f.write(ico(draw()))


if __name__ == "__main__":
    main()
