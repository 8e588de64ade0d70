#!/usr/bin/env python3
"""Draws the installer's window icon: a handheld with a module arrow going into it.

The shapes are defined once on a 32-unit grid and written as an SVG and as PNGs at 16, 32 and 48
pixels (rasterised here with 8x8 supersampling, no libraries needed). Run it from this folder after
changing a shape; the outputs are committed.
"""
import struct
import zlib

# Shapes in drawing order: (kind, geometry, RGBA colour).
BODY = (0x33, 0x3D, 0x4F, 255)
SCREEN = (0xD8, 0xF0, 0xD0, 255)
ARROW = (0x00, 0x80, 0x00, 255)
KEY = (0x9A, 0xA6, 0xB8, 255)
SHAPES = [
    ("rrect", (6, 2, 20, 28, 3), BODY),
    ("rect", (9, 5, 14, 15), SCREEN),
    ("poly", [(14, 6), (18, 6), (18, 12), (21, 12), (16, 18), (11, 12), (14, 12)], ARROW),
    ("circle", (16, 25, 2.2), KEY),
]


def inside(kind, g, x, y):
    if kind == "rect":
        left, top, w, h = g
        return left <= x < left + w and top <= y < top + h
    if kind == "rrect":
        left, top, w, h, r = g
        if not (left <= x < left + w and top <= y < top + h):
            return False
        cx = min(max(x, left + r), left + w - r)
        cy = min(max(y, top + r), top + h - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    if kind == "circle":
        cx, cy, r = g
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    if kind == "poly":
        hit = False
        n = len(g)
        for i in range(n):
            (x1, y1), (x2, y2) = g[i], g[(i + 1) % n]
            if (y1 > y) != (y2 > y) and x < (x2 - x1) * (y - y1) / (y2 - y1) + x1:
                hit = not hit
        return hit
    raise ValueError(kind)


def render(size, samples=8):
    scale = 32.0 / size
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    y = (py + (sy + 0.5) / samples) * scale
                    colour = (0, 0, 0, 0)
                    for kind, g, c in SHAPES:
                        if inside(kind, g, x, y):
                            colour = c
                    a = colour[3] / 255.0
                    for i in range(3):
                        acc[i] += colour[i] * a
                    acc[3] += a
            n = samples * samples
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [round(acc[i] / acc[3]) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row += bytes(rgb + [round(alpha * 255)])
        rows.append(bytes(row))
    return rows


def write_png(path, size, rows):
    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data +
                struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + r for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def write_svg(path):
    def fill(c):
        return "#%02x%02x%02x" % c[:3]
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">']
    for kind, g, c in SHAPES:
        if kind == "rect":
            parts.append('  <rect x="%g" y="%g" width="%g" height="%g" fill="%s"/>' % (*g, fill(c)))
        elif kind == "rrect":
            parts.append('  <rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"/>'
                         % (*g, fill(c)))
        elif kind == "circle":
            parts.append('  <circle cx="%g" cy="%g" r="%g" fill="%s"/>' % (*g, fill(c)))
        elif kind == "poly":
            pts = " ".join("%g,%g" % p for p in g)
            parts.append('  <polygon points="%s" fill="%s"/>' % (pts, fill(c)))
    parts.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(parts) + "\n")


if __name__ == "__main__":
    for size in (16, 32, 48):
        write_png("trestel-%d.png" % size, size, render(size))
    write_svg("trestel.svg")
