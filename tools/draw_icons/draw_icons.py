#!/usr/bin/env python3
"""Draws the program's icons (app.ico, check.ico, door.ico) into resources/.

The icons are vector drawings rasterised here, so each size is drawn for its own pixel grid instead of
being scaled from another size. Only the standard library is used, so the output is the same on every
machine and the checked-in .ico files can be verified against this script with --check.

    python3 tools/draw_icons/draw_icons.py                 # rewrite resources/*.ico
    python3 tools/draw_icons/draw_icons.py --check         # fail if the checked-in icons differ
    python3 tools/draw_icons/draw_icons.py --preview DIR   # also write enlarged PNG previews
"""

import argparse
import math
import pathlib
import struct
import sys
import zlib

# Samples per pixel along each axis: 8 x 8 give 64 coverage levels, more than the eye tells apart at 16 px.
SUPERSAMPLE = 8

# The 16 colours of the standard Windows palette; the door icon is drawn with these only.
VGA_PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)


# ------------------------------------------------------------------------------------------------------------
# Shapes as signed distance functions (negative inside, in pixels) with a bounding box for speed.


class Shape:
    def __init__(self, sdf, bbox):
        self.sdf = sdf
        self.bbox = bbox  # (x0, y0, x1, y1), in pixels

    def grown(self, d):
        """The shape with its edge moved outwards by d pixels (inwards when d < 0)."""
        x0, y0, x1, y1 = self.bbox
        return Shape(lambda x, y: self.sdf(x, y) - d, (x0 - d, y0 - d, x1 + d, y1 + d))


def _segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def polygon(points):
    edges = list(zip(points, points[1:] + points[:1]))

    def sdf(x, y):
        distance = min(_segment_distance(x, y, ax, ay, bx, by) for (ax, ay), (bx, by) in edges)
        inside = False
        for (ax, ay), (bx, by) in edges:
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                inside = not inside
        return -distance if inside else distance

    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return Shape(sdf, (min(xs), min(ys), max(xs), max(ys)))


def rect(x0, y0, x1, y1, radius=0.0):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - radius

    return Shape(sdf, (x0, y0, x1, y1))


def stroke(points, width):
    """A polyline of the given width with round ends and joins."""
    segments = list(zip(points, points[1:]))
    half = width / 2

    def sdf(x, y):
        return min(_segment_distance(x, y, ax, ay, bx, by) for (ax, ay), (bx, by) in segments) - half

    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return Shape(sdf, (min(xs) - half, min(ys) - half, max(xs) + half, max(ys) + half))


def arc(cx, cy, r, width, start_deg, end_deg):
    """A ring segment with round ends; angles in degrees, clockwise from +x (y grows downwards)."""
    a0, a1 = math.radians(start_deg), math.radians(end_deg)
    ends = [(cx + r * math.cos(a), cy + r * math.sin(a)) for a in (a0, a1)]
    half = width / 2

    def sdf(x, y):
        angle = math.atan2(y - cy, x - cx)
        if a0 <= angle <= a1:
            return abs(math.hypot(x - cx, y - cy) - r) - half
        return min(math.hypot(x - ex, y - ey) for ex, ey in ends) - half

    reach = r + half
    return Shape(sdf, (cx - reach, cy - reach, cx + reach, cy + reach))


# ------------------------------------------------------------------------------------------------------------
# Rasterising.


class Canvas:
    """A supersampled canvas: every sample holds the colour last painted over it, so shapes that touch
    leave no seams; pixels are formed from their samples only at the end."""

    def __init__(self, size):
        self.size = size
        self.n = size * SUPERSAMPLE
        self.samples = [None] * (self.n * self.n)

    def paint(self, shape, colour):
        """colour: an RGBA tuple, a palette index, or a function (x, y) -> either of them."""
        s = SUPERSAMPLE
        x0, y0, x1, y1 = shape.bbox
        i0, i1 = max(0, int(math.floor(x0 * s)) - 1), min(self.n, int(math.ceil(x1 * s)) + 1)
        j0, j1 = max(0, int(math.floor(y0 * s)) - 1), min(self.n, int(math.ceil(y1 * s)) + 1)
        sdf = shape.sdf
        for j in range(j0, j1):
            y = (j + 0.5) / s
            row = j * self.n
            for i in range(i0, i1):
                x = (i + 0.5) / s
                if sdf(x, y) <= 0:
                    self.samples[row + i] = colour(x, y) if callable(colour) else colour

    def _pixel_samples(self, px, py):
        s = SUPERSAMPLE
        for j in range(py * s, (py + 1) * s):
            yield from self.samples[j * self.n + px * s:j * self.n + (px + 1) * s]

    def to_rgba(self):
        """Rows of (r, g, b, a) pixels: the samples averaged with their alpha, so edges are smooth."""
        count = SUPERSAMPLE * SUPERSAMPLE
        rows = []
        for py in range(self.size):
            row = []
            for px in range(self.size):
                r = g = b = a = 0
                for sample in self._pixel_samples(px, py):
                    if sample is not None:
                        alpha = sample[3]
                        r += sample[0] * alpha
                        g += sample[1] * alpha
                        b += sample[2] * alpha
                        a += alpha
                if a == 0:
                    row.append((0, 0, 0, 0))
                else:
                    row.append((round(r / a), round(g / a), round(b / a), round(a / count)))
            rows.append(row)
        return rows

    def to_indexed(self):
        """Rows of palette indices (None where transparent): each pixel takes the colour that covers most
        of it, so a 16-colour image keeps hard edges and only colours of the palette."""
        rows = []
        for py in range(self.size):
            row = []
            for px in range(self.size):
                counts = {}
                for sample in self._pixel_samples(px, py):
                    counts[sample] = counts.get(sample, 0) + 1
                # On a tie max() keeps the colour met first, so the output never varies between runs.
                row.append(max(counts, key=lambda k: counts[k]))
            rows.append(row)
        return rows


# ------------------------------------------------------------------------------------------------------------
# The drawings. Coordinates are given on a 16-unit grid and scaled by u = size / 16.


def vertical_gradient(top, bottom, y0, y1):
    def colour(_x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(round(a + (b - a) * t) for a, b in zip(top, bottom)) + (255,)

    return colour


def draw_check(size):
    """A green check mark with a darker rim, so it reads on light and dark button faces alike."""
    u = size / 16
    canvas = Canvas(size)
    path = [(2.4 * u, 8.4 * u), (6.2 * u, 12.2 * u), (13.6 * u, 3.6 * u)]
    rim = max(1.0, 0.8 * u)
    body = stroke(path, 2.6 * u)
    canvas.paint(body.grown(rim), (0x1B, 0x5E, 0x20, 255))
    canvas.paint(body, vertical_gradient((0x7C, 0xD6, 0x5A), (0x2E, 0x9B, 0x32), 3 * u, 13 * u))
    return canvas.to_rgba()


def draw_door(size):
    """An open door seen from inside the room: the leaf has swung away from the viewer, daylight shows
    through the opening, and an arrow leads out through it."""
    u = size / 16
    canvas = Canvas(size)
    line = max(1, math.floor(u))

    def p(x, y):
        return (x * u, y * u)

    # Door frame with the bright opening.
    frame = rect(1 * u, 1 * u, 10 * u, 15 * u)
    canvas.paint(frame, BLACK)
    canvas.paint(rect(1 * u + line, 1 * u + line, 10 * u - line, 15 * u), YELLOW)
    # The leaf, hinged on the left jamb, swung away from the viewer: its far edge looks shorter.
    leaf = polygon([p(2, 2), p(6, 3.5), p(6, 13), p(2, 15)])
    canvas.paint(leaf, BLACK)
    canvas.paint(leaf.grown(-line), MAROON)
    knob_x, knob_y = math.floor(4 * u), math.floor(8 * u)
    canvas.paint(rect(knob_x, knob_y, knob_x + line, knob_y + line), YELLOW)
    # Floor line under the opening.
    canvas.paint(rect(0, 15 * u - line, 11 * u, 15 * u), BLACK)
    # The arrow leaving through the opening.
    arrow = polygon([p(5.5, 7), p(10, 7), p(10, 4), p(14.5, 8.5), p(10, 13), p(10, 10), p(5.5, 10)])
    canvas.paint(arrow.grown(line / 2), BLACK)
    canvas.paint(arrow.grown(-line / 2), RED)
    return canvas.to_indexed()


def draw_app(size):
    """A handheld instrument whose infrared window sends out a beam."""
    u = size / 16
    canvas = Canvas(size)
    rim = max(1, math.floor(0.75 * u + 0.5))

    def snap(v):
        # Straight edges on whole pixels stay sharp at every size.
        return math.floor(v * u + 0.5)

    dark = (0x26, 0x32, 0x38, 255)
    # Infrared beam: arcs from the emitter towards the upper right; small sizes get fewer, wider-spread arcs.
    cx, cy = snap(7.5), 6.5 * u
    near, middle, far = (0xE5, 0x39, 0x35, 255), (0xEF, 0x53, 0x50, 255), (0xF4, 0x8F, 0x8C, 255)
    if size == 16:
        # Two arcs placed pixel by pixel: any rasterised arc this small breaks up.
        for pixels, shade in ((((9, 3), (10, 3), (11, 4), (11, 5)), near),
                              (((9, 1), (10, 1), (11, 1), (12, 2), (13, 3), (13, 4), (13, 5)), middle)):
            for x, y in pixels:
                canvas.paint(rect(x, y, x + 1, y + 1), shade)
    elif size < 32:
        for radius, shade in ((3.5, near), (6.0, middle)):
            canvas.paint(arc(cx, cy, radius * u, 1.1 * u, -80, -10), shade)
    else:
        for radius, shade in ((3.0, near), (5.0, middle), (7.0, far)):
            canvas.paint(arc(cx, cy, radius * u, 1.3 * u, -70, -15), shade)
    # Body.
    body = rect(snap(1), snap(6.5), snap(11), snap(15.5), 1.6 * u)
    canvas.paint(body, dark)
    canvas.paint(body.grown(-rim), vertical_gradient((0x78, 0x90, 0x9C), (0x45, 0x5A, 0x64), 6 * u, 15 * u))
    # Emitter window on the top edge.
    canvas.paint(rect(snap(5), snap(5.2), snap(9), snap(7.5), 0.6 * u), dark)
    canvas.paint(rect(snap(5) + rim, snap(5.2) + rim, snap(9) - rim, snap(7.5)), (0xC6, 0x28, 0x28, 255))
    # Display with a reading.
    screen = rect(snap(3), snap(8.5), snap(9), snap(12.3), 0.5 * u)
    canvas.paint(screen, (0x1C, 0x27, 0x2C, 255))
    canvas.paint(screen.grown(-rim), (0xC5, 0xE1, 0xA5, 255))
    if size >= 32:
        for i, height in enumerate((1.2, 2.0, 1.5)):
            x = 4.2 + i * 1.3
            bar = rect(snap(x), snap(11.5 - height), snap(x + 0.8), snap(11.5))
            canvas.paint(bar, (0x33, 0x69, 0x1E, 255))
    # Keys.
    for x in (3.8, 6.8) if size >= 24 else (4.5,):
        canvas.paint(rect(snap(x), snap(13.0), snap(x + 2.4), snap(14.0), 0.4 * u), dark)
    return canvas.to_rgba()


# ------------------------------------------------------------------------------------------------------------
# File formats.


def _and_mask(rows, transparent):
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    data = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, pixel in enumerate(row):
            if transparent(pixel):
                line[x // 8] |= 0x80 >> (x % 8)
        data += line
    return bytes(data)


def _bitmap_header(size, bit_count, image_bytes):
    # BITMAPINFOHEADER; the height counts the colour image and the mask.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bit_count, 0, image_bytes, 0, 0, 0, 0)


def ico_entry_rgba(rows):
    size = len(rows)
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a) if a else (0, 0, 0, 0))
    mask = _and_mask(rows, lambda pixel: pixel[3] == 0)
    return size, 0, 32, _bitmap_header(size, 32, len(xor) + len(mask)) + bytes(xor) + mask


def ico_entry_indexed(rows):
    size = len(rows)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in VGA_PALETTE)
    stride = ((size * 4 + 31) // 32) * 4
    xor = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, index in enumerate(row):
            line[x // 2] |= (index or 0) << (4 if x % 2 == 0 else 0)
        xor += line
    mask = _and_mask(rows, lambda index: index is None)
    return size, 16, 4, _bitmap_header(size, 4, len(xor) + len(mask)) + palette + bytes(xor) + mask


def ico_file(entries):
    header = struct.pack("<HHH", 0, 1, len(entries))
    offset = len(header) + 16 * len(entries)
    directory, images = b"", b""
    for size, colours, bit_count, data in entries:
        # A width or height of 256 is stored as 0.
        side = size % 256
        directory += struct.pack("<BBBBHHII", side, side, colours, 0, 1, bit_count, len(data), offset)
        images += data
        offset += len(data)
    return header + directory + images


def png_file(rows, scale, background):
    """An enlarged preview over a checkerboard of the given colour, to see transparency and edges."""
    size = len(rows)
    raw = bytearray()
    for y in range(size * scale):
        raw.append(0)
        for x in range(size * scale):
            r, g, b, a = rows[y // scale][x // scale]
            square = ((x // 4) + (y // 4)) % 2
            br, bg, bb = background if square else tuple(max(0, c - 24) for c in background)
            raw += bytes(round((c * a + d * (255 - a)) / 255) for c, d in ((r, br), (g, bg), (b, bb)))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size * scale, size * scale, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def indexed_to_rgba(rows):
    return [[(0, 0, 0, 0) if i is None else VGA_PALETTE[i] + (255,) for i in row] for row in rows]


# ------------------------------------------------------------------------------------------------------------

ICONS = {
    "app.ico": (draw_app, (16, 24, 32, 48, 64), ico_entry_rgba),
    "check.ico": (draw_check, (16, 24, 32), ico_entry_rgba),
    "door.ico": (draw_door, (16, 24, 32), ico_entry_indexed),
}


def main():
    here = pathlib.Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=pathlib.Path, default=here.parent.parent / "resources")
    parser.add_argument("--check", action="store_true", help="compare with the files in --out, write nothing")
    parser.add_argument("--preview", type=pathlib.Path, help="folder for enlarged PNG previews")
    args = parser.parse_args()

    stale = []
    for name, (draw, sizes, encode) in ICONS.items():
        images = {size: draw(size) for size in sizes}
        data = ico_file([encode(images[size]) for size in sizes])
        target = args.out / name
        if args.check:
            if not target.exists() or target.read_bytes() != data:
                stale.append(name)
        else:
            target.write_bytes(data)
        if args.preview:
            args.preview.mkdir(parents=True, exist_ok=True)
            for size, rows in images.items():
                rgba = indexed_to_rgba(rows) if encode is ico_entry_indexed else rows
                for shade, background in (("light", (0xF0, 0xF0, 0xF0)), ("dark", (0x40, 0x40, 0x40))):
                    preview = args.preview / f"{name[:-4]}_{size}_{shade}.png"
                    preview.write_bytes(png_file(rgba, 256 // size * 2, background))
    if stale:
        print("out of date: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
