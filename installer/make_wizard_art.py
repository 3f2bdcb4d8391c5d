#!/usr/bin/env python3
"""Draws the setup's wizard image (wizard.bmp: 164x314, 24 bits per pixel), the picture on
the left of the welcome and finish pages, from the program's own glyph: the clock whose
hands form a tick (src/app/make_art.py draws it for the icons and the About box's logo),
the maker's letters and the pulse line of the logo, on the logo's navy.

Run it from anywhere; it writes next to itself.

    python3 installer/make_wizard_art.py
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src", "app"))

from make_art import (FACE_RGB, HAND_RGB, NAVY_RGB, PULSE_RGB, TEXT_RGB,  # noqa: E402
                      clock_layers, letters_test, pixel_samples, segment_distance)

WIDTH, HEIGHT = 164, 314          # the size the welcome and finish pages show at 96 DPI
DEEP_RGB = (6, 16, 44)            # the navy darkens towards the foot of the page


def wizard_layers():
    layers = []
    clock = 116
    cx, cy = (WIDTH - clock) / 2.0, 44.0
    for test, name in clock_layers(clock):
        layers.append((lambda x, y, t=test: t(x - cx, y - cy), name))

    scale = 6
    text_w = (3 * 6 - 1) * scale
    text_x, text_y = (WIDTH - text_w) / 2.0, cy + clock + 30

    layers.append((letters_test(text_x, text_y, scale), "text"))

    # The pulse line: flat, one beat under the middle letter, flat.
    base = text_y + 7 * scale + 26
    x0, x1 = 14.0, WIDTH - 14.0
    beat = WIDTH / 2.0
    points = [(x0, base), (beat - 14, base), (beat - 7, base - 13), (beat + 2, base + 10),
              (beat + 9, base - 5), (beat + 15, base), (x1, base)]

    def in_pulse(x, y):
        return any(segment_distance(x, y, *points[i], *points[i + 1]) <= 1.4 for i in range(len(points) - 1))

    layers.append((in_pulse, "pulse"))
    return layers


def background(y):
    t = y / (HEIGHT - 1.0)
    return tuple(NAVY_RGB[k] + (DEEP_RGB[k] - NAVY_RGB[k]) * t for k in range(3))


def write_wizard(path):
    colours = {"rim": NAVY_RGB, "face": FACE_RGB, "hand": HAND_RGB, "text": TEXT_RGB, "pulse": PULSE_RGB}
    layers = wizard_layers()
    stride = (WIDTH * 3 + 3) // 4 * 4
    rows = []
    for y in reversed(range(HEIGHT)):        # bottom-up
        row = bytearray(stride)
        back = background(y + 0.5)
        for x in range(WIDTH):
            points = [rgb or back for rgb in pixel_samples(layers, colours, x, y)]
            r, g, b = (round(sum(c[k] for c in points) / len(points)) for k in range(3))
            row[3 * x:3 * x + 3] = bytes((b, g, r))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    offset = 14 + len(info)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


if __name__ == "__main__":
    write_wizard(os.path.join(HERE, "wizard.bmp"))
