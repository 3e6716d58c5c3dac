#!/usr/bin/env python3
"""Draws the agent's five 20x20 status images into daemon/Resources.

Each look is a few filled shapes, sampled 8x8 per pixel for smooth edges, and written as an
RGBA PNG with nothing but the standard library. Run it again after changing a shape:

    python3 tools/status-images/draw.py
"""
import math
import os
import struct
import zlib

SIZE = 20
SAMPLES = 8


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1
    return inside


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def stroke(points, width):
    """A polyline of the given width with round joins."""
    half = width / 2

    def inside(x, y):
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            dx, dy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
            if (x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2 <= half * half:
                return True
        return False
    return inside


def arrow(cx, top, bottom, head, shaft):
    """An upward arrow: a triangular head over a shaft."""
    head_shape = polygon([(cx, top), (cx + head, top + head), (cx - head, top + head)])
    shaft_shape = rounded_rect(cx - shaft / 2, top + head - 0.5, cx + shaft / 2, bottom, 0.6)
    return lambda x, y: head_shape(x, y) or shaft_shape(x, y)


def upload_glyph(scale=1.0, cx=10.0, cy=10.0):
    """The idle glyph: an arrow rising out of an open tray."""
    def at(px, py):
        return (cx + (px - 10) * scale, cy + (py - 10) * scale)
    a = arrow(at(10, 2.5)[0], at(10, 2.5)[1], at(10, 12.5)[1], 4.2 * scale, 2.6 * scale)
    tray = stroke([at(3.5, 11), at(3.5, 16.5), at(16.5, 16.5), at(16.5, 11)], 2.2 * scale)
    return lambda x, y: a(x, y) or tray(x, y)


def render(layers):
    """layers: (shape, (r, g, b, a)) painted in order."""
    pixels = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) / SAMPLES
                    y = py + (sy + 0.5) / SAMPLES
                    colour = (0.0, 0.0, 0.0, 0.0)
                    for shape, fill in layers:
                        if shape(x, y):
                            fa = fill[3] / 255
                            ca = colour[3]
                            out = fa + ca * (1 - fa)
                            colour = tuple(
                                (fill[i] * fa + colour[i] * ca * (1 - fa)) / out if out else 0
                                for i in range(3)) + (out,)
                    r += colour[0] * colour[3]
                    g += colour[1] * colour[3]
                    b += colour[2] * colour[3]
                    a += colour[3]
            n = SAMPLES * SAMPLES
            alpha = a / n
            if alpha:
                row.append((round(r / a), round(g / a), round(b / a), round(alpha * 255)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def write_png(path, pixels):
    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in pixels)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


INK = (40, 40, 40, 255)
HALO = (255, 255, 255, 150)
WHITE = (255, 255, 255, 255)
BLUE = (38, 94, 200, 255)
AMBER = (232, 150, 0, 255)
GREEN = (30, 160, 60, 255)
RED = (214, 40, 40, 255)


def looks():
    glyph = upload_glyph()
    small = upload_glyph(scale=0.62)
    check = stroke([(5.6, 10.4), (8.6, 13.4), (14.4, 7.2)], 2.4)
    cross = lambda x, y: (stroke([(6.5, 6.5), (13.5, 13.5)], 2.5)(x, y) or
                          stroke([(13.5, 6.5), (6.5, 13.5)], 2.5)(x, y))
    # The pending look: an amber ring, open at the top right like a turning wheel, round the arrow.
    gap = lambda x, y: x > 10 and y < 10 and (y - 10) < -(x - 10) * math.tan(math.radians(25))
    pending_ring = lambda x, y: ring(10, 10, 9.5, 7.3)(x, y) and not gap(x, y)
    halo = lambda x, y: any(glyph(x + dx, y + dy) for dx, dy in
                            ((0.9, 0), (-0.9, 0), (0, 0.9), (0, -0.9)))
    return {
        "KapshoStatus.png": [(halo, HALO), (glyph, INK)],
        "KapshoStatus-Inverted.png": [(rounded_rect(0, 0, 20, 20, 4), BLUE), (glyph, WHITE)],
        "KapshoStatus-Pending.png": [(disc(10, 10, 7.3), (255, 255, 255, 200)),
                                     (pending_ring, AMBER), (small, AMBER)],
        "KapshoStatus-Finished.png": [(disc(10, 10, 9.5), GREEN), (check, WHITE)],
        "KapshoStatus-Error.png": [(disc(10, 10, 9.5), RED), (cross, WHITE)],
    }


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    folder = os.path.join(root, "daemon", "Resources")
    os.makedirs(folder, exist_ok=True)
    for name, layers in looks().items():
        write_png(os.path.join(folder, name), render(layers))


if __name__ == "__main__":
    main()
