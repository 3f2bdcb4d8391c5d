#!/usr/bin/env python3
"""Draws the program's icons (tickmend.ico: Gaming Mode off, also the program's icon;
tickmend_on.ico; tickmend_off_warning.ico and tickmend_on_warning.ico while a notice is
raised; each 16, 20, 24, 32 and 48 px, 32 bits with alpha; the 16 px frames drawn pixel by
pixel for that size) and the About box's logo
(logo.bmp: 95x37, 8 bits per pixel) from code, so that all can be rebuilt and changed.

The glyph is a clock face whose two hands form a tick mark: the clock's tick and the
check mark of counters brought back in step. Run it from anywhere; it writes next to itself.

    python3 src/app/make_art.py
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

NAVY_RGB = (16, 40, 96)
FACE_RGB = (255, 255, 255)
HAND_RGB = (0, 150, 60)
PULSE_RGB = (90, 220, 120)
TEXT_RGB = (255, 255, 255)


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def clock_layers(size):
    """The clock glyph in a size x size square, as (test(x, y) -> bool, colour name) layers,
    the later ones on top. Coordinates are in pixels, centres at +0.5."""
    c = size / 2.0
    r = size / 2.0 - 0.5
    rim = max(1.5, size / 12.0)
    hub_x, hub_y = c - size * 0.06, c + size * 0.14      # the tick's lower corner
    short_end = (c - size * 0.30, c - size * 0.02)        # the short stroke, up to the left
    long_end = (c + size * 0.30, c - size * 0.30)         # the long stroke, up to the right
    hand = max(1.0, size / 10.0)
    marks = []
    if size >= 24:
        for angle in (0, 90, 180, 270):
            a = math.radians(angle)
            marks.append((c + math.sin(a) * (r - rim - 1.5), c - math.cos(a) * (r - rim - 1.5)))

    def in_disc(x, y):
        return math.hypot(x - c, y - c) <= r

    def in_face(x, y):
        return math.hypot(x - c, y - c) <= r - rim

    def in_mark(x, y):
        return any(math.hypot(x - mx, y - my) <= size / 22.0 for mx, my in marks)

    def in_hands(x, y):
        return (segment_distance(x, y, hub_x, hub_y, *short_end) <= hand / 2.0 or
                segment_distance(x, y, hub_x, hub_y, *long_end) <= hand / 2.0)

    return [(in_disc, "rim"), (in_face, "face"), (in_mark, "rim"), (in_hands, "hand")]


ICON_SIZES = [16, 20, 24, 32, 48]

# The icon's variants: Gaming Mode off (white face, grey hands), on (green face, white hands:
# told apart at 16 px by colour alone), and each with the warning mark of a raised notice.
OFF_COLOURS = {"rim": NAVY_RGB, "face": (255, 255, 255), "hand": (110, 110, 120)}
# The 16 px clock's hands a shade darker: one pixel wide lines need the contrast.
OFF_HAND_16_RGB = (85, 85, 95)
ON_COLOURS = {"rim": NAVY_RGB, "face": (20, 170, 70), "hand": (255, 255, 255)}
WARN_RGB = (255, 200, 0)
WARN_EDGE_RGB = (90, 60, 0)


def warning_layers(size):
    """A yellow triangle with a dark edge and "!" in the lower right quarter and a bit more."""
    s = size * 0.58
    x0, y1 = size - s, size - 0.2
    apex = (x0 + s / 2.0, size - s)
    left, right = (x0, y1), (size - 0.2, y1)
    edge = max(1.0, size / 16.0)

    def inside(x, y, grow=0.0):
        if y > y1 + grow or y < apex[1] - grow:
            return False
        half = (y - apex[1]) / (y1 - apex[1]) * (s / 2.0) + grow
        return abs(x - apex[0]) <= half

    def in_edge(x, y):
        return inside(x, y, edge * 0.5)

    def in_fill(x, y):
        return inside(x, y, -edge * 0.6)

    bar_w = max(1.0, size / 14.0)
    top, bottom = apex[1] + s * 0.32, y1 - s * 0.34

    def in_bang(x, y):
        if abs(x - apex[0]) > bar_w / 2.0 + 0.25:
            return False
        return top <= y <= bottom or (y1 - s * 0.24 <= y <= y1 - s * 0.10)

    return [(in_edge, "warn_edge"), (in_fill, "warn"), (in_bang, "warn_edge")]


def pixel_samples(layers, colours, x, y, samples=4):
    """The colour at each of samples x samples points of pixel (x, y): the topmost layer's
    there, None where no layer is."""
    points = []
    for sy in range(samples):
        for sx in range(samples):
            px, py = x + (sx + 0.5) / samples, y + (sy + 0.5) / samples
            rgb = None
            for test, name in layers:
                if test(px, py):
                    rgb = colours[name]
            points.append(rgb)
    return points


def icon_rgba(size, colours, warning):
    """RGBA rows, top row first, each pixel sampled 4x4 times for smooth edges."""
    colours = dict(colours, warn=WARN_RGB, warn_edge=WARN_EDGE_RGB)
    layers = clock_layers(size)
    if warning:
        layers = layers + warning_layers(size)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            points = pixel_samples(layers, colours, x, y)
            hits = [rgb for rgb in points if rgb]
            if hits:
                row.append(tuple(round(sum(c[k] for c in hits) / len(hits)) for k in range(3)) +
                           (round(255 * len(hits) / len(points)),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


# The 16 px frames, the size the notification area shows, are drawn pixel by pixel: a shape
# scaled down to 16 px loses the clock's marks and smears the warning mark. Off is a clock
# (grey hands at three o'clock, white face), on is a white tick on a green face: told apart
# at a glance, and off does not look done.
#   .  transparent    r  the rim's edge, half covered    R  the rim    F  the face
#   M  a mark (rim colour)    H  a hand (the state's colour)
CLOCK_16 = [
    "....rRRRRRRr....",
    "..rRRFFFFFFRRr..",
    ".rRFFFFMMFFFFRr.",
    ".RFFFFFFFFFFFFR.",
    "rRFFFFFFFFFFFFRr",
    "RFFFFFFFFFFFFFFR",
    "RFFFFFFFFFFFFFFR",
    "RFMFFFFFFFFFFMFR",
    "RFMFFFFFFFFFFMFR",
    "RFFFFFFFFFFFFFFR",
    "RFFFFFFFFFFFFFFR",
    "rRFFFFFFFFFFFFRr",
    ".RFFFFFFFFFFFFR.",
    ".rRFFFFMMFFFFRr.",
    "..rRRFFFFFFRRr..",
    "....rRRRRRRr....",
]
# The hands, as (row, columns) over the clock.
OFF_HANDS_16 = [(4, (7, 8)), (5, (7, 8)), (6, (7, 8)), (7, (7, 8, 9, 10, 11)), (8, (7, 8, 9, 10, 11))]
ON_HANDS_16 = [(4, (11, 12)), (5, (10, 11)), (6, (9, 10)), (7, (8, 9)), (8, (4, 7, 8)), (9, (4, 5, 6, 7)),
               (10, (5, 6))]
# The warning mark over the lower right: K its dark edge and "!", Y its yellow.
WARNING_16 = [
    (6, 10, "K"),
    (7, 9, "KYK"),
    (8, 9, "KYK"),
    (9, 8, "KYKYK"),
    (10, 8, "KYKYK"),
    (11, 7, "KYYKYYK"),
    (12, 7, "KYYKYYK"),
    (13, 6, "KYYYYYYYK"),
    (14, 6, "KYYYKYYYK"),
    (15, 5, "KKKKKKKKKKK"),
]
EDGE_ALPHA_16 = 110


def icon_rgba_16(colours, warning):
    """The 16 px frame from the maps above: RGBA rows, top row first."""
    on = colours is ON_COLOURS
    pixel = {"R": colours["rim"] + (255,), "r": colours["rim"] + (EDGE_ALPHA_16,), "F": colours["face"] + (255,),
             "M": colours["rim"] + (255,), "H": (colours["hand"] if on else OFF_HAND_16_RGB) + (255,),
             "K": WARN_EDGE_RGB + (255,),
             "Y": WARN_RGB + (255,), ".": (0, 0, 0, 0)}
    grid = [list(row) for row in CLOCK_16]
    for y, columns in (ON_HANDS_16 if on else OFF_HANDS_16):
        for x in columns:
            grid[y][x] = "H"
    if warning:
        for y, x0, cells in WARNING_16:
            for i, cell in enumerate(cells):
                grid[y][x0 + i] = cell
    return [[pixel[cell] for cell in row] for row in grid]


def icon_entry_data(size, colours, warning):
    rows = icon_rgba_16(colours, warning) if size == 16 else icon_rgba(size, colours, warning)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    and_stride = ((size + 31) // 32) * 4
    xor_rows, and_rows = [], []
    for y in reversed(range(size)):           # bottom-up
        xor_rows.append(b"".join(struct.pack("<BBBB", b, g, r, a) for r, g, b, a in rows[y]))
        bits = bytearray(and_stride)
        for x, (_, _, _, a) in enumerate(rows[y]):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(bytes(bits))
    return header + b"".join(xor_rows) + b"".join(and_rows)


def write_icon(path, sizes, colours, warning=False):
    images = [icon_entry_data(s, colours, warning) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


# A 5x7 pixel font for the logo's letters.
FONT = {
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
}


def letters_test(text_x, text_y, scale, text="QEL"):
    """A point test for the letters of text in FONT, each cell scale pixels, from the corner."""
    def in_text(x, y):
        for n, letter in enumerate(text):
            gx = int((x - text_x - n * 6 * scale) // scale)
            gy = int((y - text_y) // scale)
            if 0 <= gx < 5 and 0 <= gy < 7 and x >= text_x + n * 6 * scale and y >= text_y:
                if FONT[letter][gy][gx] == "1":
                    return True
        return False
    return in_text


def logo_layers(width, height):
    layers = []
    pad = 3
    clock = height - 2 * pad
    for test, name in clock_layers(clock):
        layers.append((lambda x, y, t=test: t(x - pad, y - pad), name))

    scale = 3
    text_x, text_y = pad + clock + 7, 4

    layers.append((letters_test(text_x, text_y, scale), "text"))

    # A pulse line below the letters: flat, one beat, flat.
    base = text_y + 7 * scale + 6
    x0, x1 = text_x, width - pad - 1
    beat = x0 + (x1 - x0) * 0.45
    points = [(x0, base), (beat - 6, base), (beat - 3, base - 5), (beat + 1, base + 4),
              (beat + 4, base - 2), (beat + 7, base), (x1, base)]

    def in_pulse(x, y):
        return any(segment_distance(x, y, *points[i], *points[i + 1]) <= 0.9 for i in range(len(points) - 1))

    layers.append((in_pulse, "pulse"))
    return layers


def write_logo(path, width=95, height=37):
    colours = {"rim": NAVY_RGB, "face": FACE_RGB, "hand": HAND_RGB, "text": TEXT_RGB, "pulse": PULSE_RGB}
    background = NAVY_RGB
    layers = logo_layers(width, height)

    def blend(a, b, t):
        return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))

    # Palette: ramps between the colours that meet at edges; smoothed pixels map to the nearest.
    palette = []
    for a, b, steps in ((background, FACE_RGB, 64), (background, HAND_RGB, 48), (FACE_RGB, HAND_RGB, 48),
                        (background, PULSE_RGB, 48), (background, TEXT_RGB, 32), (FACE_RGB, NAVY_RGB, 16)):
        for s in range(steps):
            colour = blend(a, b, s / (steps - 1))
            if colour not in palette:
                palette.append(colour)
    palette = palette[:256]

    def nearest(rgb):
        return min(range(len(palette)), key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))

    rows = []
    stride = (width + 3) // 4 * 4
    for y in reversed(range(height)):         # bottom-up
        row = bytearray(stride)
        for x in range(width):
            points = [rgb or background for rgb in pixel_samples(layers, colours, x, y)]
            row[x] = nearest(tuple(sum(c[k] for c in points) / len(points) for k in range(3)))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    table += bytes(4 * (256 - len(palette)))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + table + pixels)


if __name__ == "__main__":
    write_icon(os.path.join(HERE, "tickmend.ico"), ICON_SIZES, OFF_COLOURS)
    write_icon(os.path.join(HERE, "tickmend_on.ico"), ICON_SIZES, ON_COLOURS)
    write_icon(os.path.join(HERE, "tickmend_off_warning.ico"), ICON_SIZES, OFF_COLOURS, warning=True)
    write_icon(os.path.join(HERE, "tickmend_on_warning.ico"), ICON_SIZES, ON_COLOURS, warning=True)
    write_logo(os.path.join(HERE, "logo.bmp"))
