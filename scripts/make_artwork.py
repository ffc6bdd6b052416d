#!/usr/bin/env python3
"""Draws Tavimo's icon (res/app.ico) and link cursor (res/link.cur).

The icon: a monitor with a blue screen and an arrow, in five images (32x32 and 16x16 in
16 colours; 48x48, 32x32 and 16x16 in 256 colours). The cursor: a pointing hand, 32x32
at 24 bits, hot spot at the fingertip (5, 0). Run it again after changing the drawing.
"""
import struct
from pathlib import Path

# The 16 standard VGA colours (B, G, R), which both icon depths use.
VGA = [(0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128),
       (128, 128, 0), (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0),
       (0, 255, 255), (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255)]
BLACK, DARK_BLUE, GREY, SILVER, BLUE, WHITE, CYAN = 0, 4, 8, 7, 12, 15, 14


def monitor(size):
    """Palette indexes, rows top-down, None = transparent."""
    px = [[None] * size for _ in range(size)]
    s = size / 32.0

    def rect(x0, y0, x1, y1, c):
        for y in range(int(y0 * s), max(int(y1 * s), int(y0 * s) + 1)):
            for x in range(int(x0 * s), max(int(x1 * s), int(x0 * s) + 1)):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = c

    rect(1, 3, 31, 24, BLACK)      # bezel outline
    rect(2, 4, 30, 23, SILVER)     # bezel
    rect(4, 6, 28, 21, DARK_BLUE)  # screen
    rect(5, 7, 27, 20, BLUE)
    for i in range(8):             # an arrow pointer on the screen
        rect(9, 9 + i, 10 + i * 0.8, 10 + i, WHITE)
    rect(12, 16, 14, 19, WHITE)
    rect(13, 24, 19, 27, GREY)     # stand
    rect(8, 27, 24, 29, BLACK)
    rect(9, 27, 23, 28, GREY)
    return px


HAND = """\
.....XX.........................
....X..X........................
....X..X........................
....X..X........................
....X..X........................
....X..XXX......................
....X..X..XXX...................
....X..X..X..XX.................
..XXX..X..X..X.X................
.X..X.........X.X...............
.X..X...........X...............
.X..............X...............
..X.............X...............
..X.............X...............
...X...........X................
...X...........X................
....X.........X.................
....X.........X.................
....XXXXXXXXXXX.................
""".splitlines()


def dib(width, height, bits, pixels_rows_bottom_up, mask_rows_bottom_up, palette=None):
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, bits, 0, 0, 0, 0,
                         len(palette) if palette else 0, 0)
    out = bytearray(header)
    if palette:
        for b, g, r in palette:
            out += bytes((b, g, r, 0))
    for row in pixels_rows_bottom_up:
        out += row
    for row in mask_rows_bottom_up:
        out += row
    return bytes(out)


def pack_row(values, bits):
    out = bytearray()
    if bits == 1:
        for i in range(0, len(values), 8):
            byte = 0
            for j, v in enumerate(values[i:i + 8]):
                byte |= (v & 1) << (7 - j)
            out.append(byte)
    elif bits == 4:
        for i in range(0, len(values), 2):
            out.append((values[i] << 4) | (values[i + 1] if i + 1 < len(values) else 0))
    elif bits == 8:
        out += bytes(values)
    else:  # 24: values are (b, g, r)
        for b, g, r in values:
            out += bytes((b, g, r))
    while len(out) % 4:
        out.append(0)
    return bytes(out)


def icon_image(size, bits):
    px = monitor(size)
    palette = VGA if bits == 4 else VGA + [(0, 0, 0)] * 240
    rows = [pack_row([c if c is not None else 0 for c in row], bits) for row in reversed(px)]
    mask = [pack_row([1 if c is None else 0 for c in row], 1) for row in reversed(px)]
    return dib(size, size, bits, rows, mask, palette)


def write_icon(path):
    images = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8)]
    datas = [icon_image(size, bits) for size, bits in images]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for (size, bits), data in zip(images, datas):
        colours = 16 if bits == 4 else 0
        out += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    for data in datas:
        out += data
    Path(path).write_bytes(out)


def write_cursor(path):
    size = 32
    grid = [row.ljust(size, '.') for row in HAND] + ['.' * size] * (size - len(HAND))
    inside = set()
    for y, row in enumerate(grid):  # fill between the outline's ends on each row
        xs = [x for x, c in enumerate(row) if c == 'X']
        if len(xs) >= 2:
            for x in range(xs[0], xs[-1] + 1):
                inside.add((x, y))
    colour_rows, mask_rows = [], []
    for y in reversed(range(size)):
        colours, mask = [], []
        for x in range(size):
            if grid[y][x] == 'X':
                colours.append((0, 0, 0)); mask.append(0)
            elif (x, y) in inside:
                colours.append((255, 255, 255)); mask.append(0)
            else:
                colours.append((0, 0, 0)); mask.append(1)
        colour_rows.append(pack_row(colours, 24))
        mask_rows.append(pack_row(mask, 1))
    data = dib(size, size, 24, colour_rows, mask_rows)
    out = bytearray(struct.pack('<HHH', 0, 2, 1))
    out += struct.pack('<BBBBHHII', size, size, 0, 0, 5, 0, len(data), 6 + 16)  # hot spot 5, 0
    out += data
    Path(path).write_bytes(out)


if __name__ == '__main__':
    res = Path(__file__).resolve().parent.parent / 'res'
    write_icon(res / 'app.ico')
    write_cursor(res / 'link.cur')
