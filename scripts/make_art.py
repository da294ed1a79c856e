#!/usr/bin/python3
"""Draws Quillfern's artwork: res/banner.bmp and res/quillfern.ico.

The banner is the picture in the dialogs: 75 x 121 pixels, 24-bit, no
compression, the name in green letters running up a black strip beside a fern
frond. The icon holds a 32 x 32 and a 16 x 16 image in the 16 VGA colours.
Everything is drawn here from a small built-in pixel font and a few lines, so
the output is the same on every run; the generated files are committed and
the build does not need python.

Usage: scripts/make_art.py [output-dir]   (default: res/ beside this script)
"""
import os
import struct
import sys

# 5 x 7 pixel glyphs, one string of five columns' worth per row.
FONT = {
    'Q': ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    'U': ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    'I': ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    'F': ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'N': ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    '1': ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    '5': ["11111", "10000", "11110", "00001", "00001", "10001", "01110"],
    '0': ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    '.': ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
}

BLACK = (0, 0, 0)
GREEN = (0, 255, 0)
MID_GREEN = (0, 176, 0)
DARK_GREEN = (0, 96, 0)


class Canvas:
    def __init__(self, width, height, fill):
        self.width = width
        self.height = height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def line(self, x0, y0, x1, y1, colour):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx = 1 if x0 < x1 else -1
        sy = 1 if y0 < y1 else -1
        err = dx + dy
        while True:
            self.put(x0, y0, colour)
            if x0 == x1 and y0 == y1:
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def rect(self, x0, y0, x1, y1, colour):
        self.line(x0, y0, x1, y0, colour)
        self.line(x1, y0, x1, y1, colour)
        self.line(x1, y1, x0, y1, colour)
        self.line(x0, y1, x0, y0, colour)


def draw_text_up(canvas, text, left, bottom, scale, colour):
    """Writes text turned a quarter to the left, reading from bottom to top.
    The glyphs' tops face the left edge."""
    y = bottom
    for char in text:
        glyph = FONT[char]
        for row in range(7):
            for col in range(5):
                if glyph[row][col] == '1':
                    for a in range(scale):
                        for b in range(scale):
                            canvas.put(left + row * scale + a, y - col * scale - b, colour)
        y -= (5 + 1) * scale


def draw_text(canvas, text, left, top, colour):
    x = left
    for char in text:
        glyph = FONT[char]
        for row in range(7):
            for col in range(5):
                if glyph[row][col] == '1':
                    canvas.put(x + col, top + row, colour)
        x += 6


def draw_frond(canvas, x_base, y_base, y_top, reach, stem, leaf_light, leaf_dark, step):
    """A fern frond: a stem leaning right as it rises, with paired leaflets
    that grow shorter towards the tip."""
    height = y_base - y_top
    prev = None
    for y in range(y_base, y_top - 1, -1):
        t = (y_base - y) / height
        x = x_base + round(3 * t * t)
        if prev:
            canvas.line(prev[0], prev[1], x, y, stem)
        prev = (x, y)
        offset = y_base - y
        if offset % step == 0 and offset > 1:
            length = max(1, round(reach * (1.0 - t) + 1))
            rise = max(1, length // 2)
            canvas.line(x - 1, y, x - length, y - rise, leaf_light)
            canvas.line(x + 1, y, x + length, y - rise, leaf_dark if step > 2 else leaf_light)
    canvas.put(prev[0], prev[1] - 1, leaf_light)


def banner():
    canvas = Canvas(75, 121, BLACK)
    canvas.rect(1, 1, 73, 119, DARK_GREEN)
    draw_text_up(canvas, "QUILLFERN", 6, 113, 2, GREEN)
    draw_frond(canvas, 44, 104, 9, 15, MID_GREEN, GREEN, MID_GREEN, 5)
    draw_text(canvas, "1.50", 36, 109, MID_GREEN)
    return canvas


def bmp24(canvas):
    row_size = (canvas.width * 3 + 3) & ~3
    image = bytearray()
    for y in range(canvas.height - 1, -1, -1):
        row = bytearray()
        for r, g, b in canvas.pixels[y]:
            row += bytes((b, g, r))
        row += b"\0" * (row_size - len(row))
        image += row
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0,
                       len(image), 0, 0, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(image), 0, 0, 14 + len(info))
    return header + info + image


# The 16 colours of the VGA palette, in their usual order.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
TRANSPARENT = None


def icon_image(size):
    canvas = Canvas(size, size, TRANSPARENT)
    # A black tile with a green rim and cut corners; outside it the icon is
    # transparent.
    cut = 2 if size >= 32 else 1
    for y in range(size):
        for x in range(size):
            dx = min(x, size - 1 - x)
            dy = min(y, size - 1 - y)
            if dx + dy >= cut:
                edge = dx == 0 or dy == 0 or dx + dy == cut
                canvas.put(x, y, (0, 128, 0) if edge else BLACK)
    if size >= 32:
        draw_frond(canvas, 14, 28, 3, 10, (0, 128, 0), (0, 255, 0), (0, 128, 0), 3)
    else:
        draw_frond(canvas, 7, 14, 2, 5, (0, 128, 0), (0, 255, 0), (0, 128, 0), 3)
    return canvas


def icon_entry_data(canvas):
    size = canvas.width
    xor_row = ((size * 4 + 31) // 32) * 4
    and_row = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(xor_row)
        bits = bytearray(and_row)
        for x in range(size):
            colour = canvas.pixels[y][x]
            index = 0 if colour is TRANSPARENT else VGA.index(colour)
            if colour is TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
            row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += row
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                       len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in VGA)
    return info + palette + xor + mask


def ico(canvases):
    header = struct.pack("<HHH", 0, 1, len(canvases))
    entries = b""
    blobs = b""
    offset = 6 + 16 * len(canvases)
    for canvas in canvases:
        data = icon_entry_data(canvas)
        entries += struct.pack("<BBBBHHII", canvas.width, canvas.height, 16, 0, 1, 4,
                               len(data), offset)
        blobs += data
        offset += len(data)
    return header + entries + blobs


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "res")
    with open(os.path.join(out, "banner.bmp"), "wb") as f:
        f.write(bmp24(banner()))
    with open(os.path.join(out, "quillfern.ico"), "wb") as f:
        f.write(ico([icon_image(32), icon_image(16)]))


if __name__ == "__main__":
    main()
