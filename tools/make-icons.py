#!/usr/bin/env python3
"""Draws the Corvex icon: a scalable SVG and the PNG sizes of the hicolor theme, from one geometry.

The PNGs are rasterised here (4x4 supersampling, no image library needed) so the build needs no
SVG renderer. Run it again after changing the shapes; its output is committed under dist/desktop/icons.
"""
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
BACK = (0x2A, 0x6F, 0xB0)   # tile
PAPER = (0xFF, 0xFF, 0xFF)  # envelope
FLAP = (0x1C, 0x4A, 0x78)   # envelope edges
BADGE = (0xE8, 0x4A, 0x2F)  # new-mail dot

# Geometry on a 64x64 canvas.
TILE = (4, 4, 60, 60, 12)            # x0, y0, x1, y1, corner radius
ENVELOPE = (12, 20, 52, 48)
BADGE_CIRCLE = (48, 18, 9)           # cx, cy, r
LINE_WIDTH = 3


def svg():
    x0, y0, x1, y1, r = TILE
    ex0, ey0, ex1, ey1 = ENVELOPE
    cx, cy, br = BADGE_CIRCLE
    mx = (ex0 + ex1) / 2
    hexc = lambda c: '#%02x%02x%02x' % c
    return f'''<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <rect x="{x0}" y="{y0}" width="{x1 - x0}" height="{y1 - y0}" rx="{r}" fill="{hexc(BACK)}"/>
  <rect x="{ex0}" y="{ey0}" width="{ex1 - ex0}" height="{ey1 - ey0}" fill="{hexc(PAPER)}" stroke="{hexc(FLAP)}" stroke-width="{LINE_WIDTH}"/>
  <polyline points="{ex0},{ey0} {mx},{(ey0 + ey1) / 2 + 4} {ex1},{ey0}" fill="none" stroke="{hexc(FLAP)}" stroke-width="{LINE_WIDTH}"/>
  <circle cx="{cx}" cy="{cy}" r="{br}" fill="{hexc(BADGE)}"/>
</svg>
'''


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    qx, qy = ax + t * dx - px, ay + t * dy - py
    return (qx * qx + qy * qy) ** 0.5


def colour_at(x, y):
    """Colour and coverage (0 or 1) of the point (x, y) on the 64x64 canvas."""
    cx, cy, br = BADGE_CIRCLE
    if (x - cx) ** 2 + (y - cy) ** 2 <= br * br:
        return BADGE
    ex0, ey0, ex1, ey1 = ENVELOPE
    half = LINE_WIDTH / 2
    mx, my = (ex0 + ex1) / 2, (ey0 + ey1) / 2 + 4
    edges = [(ex0, ey0, ex1, ey0), (ex1, ey0, ex1, ey1), (ex1, ey1, ex0, ey1), (ex0, ey1, ex0, ey0),
             (ex0, ey0, mx, my), (mx, my, ex1, ey0)]
    if any(distance_to_segment(x, y, *edge) <= half for edge in edges):
        return FLAP
    if ex0 <= x <= ex1 and ey0 <= y <= ey1:
        return PAPER
    x0, y0, x1, y1, r = TILE
    if x0 <= x <= x1 and y0 <= y <= y1:
        nx = min(max(x, x0 + r), x1 - r)
        ny = min(max(y, y0 + r), y1 - r)
        if (x - nx) ** 2 + (y - ny) ** 2 <= r * r:
            return BACK
    return None


def png(size):
    samples = 4
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            total = [0, 0, 0]
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * 64 / size
                    y = (py + (sy + 0.5) / samples) * 64 / size
                    colour = colour_at(x, y)
                    if colour:
                        hits += 1
                        for i in range(3):
                            total[i] += colour[i]
            if hits:
                row += bytes([total[0] // hits, total[1] // hits, total[2] // hits,
                              255 * hits // (samples * samples)])
            else:
                row += bytes(4)
        rows.append(bytes(row))

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) +
            chunk(b'IDAT', zlib.compress(b''.join(rows), 9)) + chunk(b'IEND', b''))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else 'dist/desktop/icons'
    name = 'org.corvex.Korrind'
    scalable = os.path.join(out, 'scalable', 'apps')
    os.makedirs(scalable, exist_ok=True)
    with open(os.path.join(scalable, name + '.svg'), 'w') as f:
        f.write(svg())
    for size in SIZES:
        folder = os.path.join(out, '%dx%d' % (size, size), 'apps')
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name + '.png'), 'wb') as f:
            f.write(png(size))


if __name__ == '__main__':
    main()
