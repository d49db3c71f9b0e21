#!/usr/bin/env python3
"""Draw the application logo and window icon.

Run from the repository root:  python3 scripts/make-images.py

Writes src/Images/logo.png (120 x 120 RGBA),
src/Images/mouse_keyboard_icon.ico (one 64 x 64, 32-bit BMP image) and
packaging/icons/harnelo-N.png (N x N RGBA), the icons that desktop menus show.
Only the standard library is used, and the output is byte-for-byte the
same on every run, so the images can be regenerated and diffed freely.

The motif is drawn in a unit coordinate system (-1..1 across the emblem,
y pointing down) with signed distance functions, so the same drawing
serves both sizes. Each pixel is supersampled on a regular grid and the
samples are averaged for anti-aliased edges.
"""

import math
import os
import struct
import zlib

OUT_DIR = os.path.join("src", "Images")
DESKTOP_ICON_DIR = os.path.join("packaging", "icons")
# Sizes of the hicolor theme that menus and launchers ask for most.
DESKTOP_ICON_SIZES = (48, 64, 128, 256)
SAMPLES_PER_AXIS = 5

# Palette (straight RGB, 0..255).
RIM = (226, 240, 250)
DISC_TOP = (86, 170, 232)
DISC_BOTTOM = (28, 96, 168)
BODY = (250, 252, 254)
INK = (30, 72, 120)


# ---------------------------------------------------------------- shapes

def rounded_box(x, y, cx, cy, half_w, half_h, radius):
    qx = abs(x - cx) - (half_w - radius)
    qy = abs(y - cy) - (half_h - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - radius


def segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) - half_width


# ---------------------------------------------------------------- motif

DISC_R = 0.97
RIM_WIDTH = 0.07

# Keyboard: a slab in the lower left: two rows of keys and a space bar; keys the
# mouse would cut into are left out so none is drawn half hidden.
KB_CX, KB_CY, KB_HW, KB_HH = -0.11, 0.37, 0.55, 0.26
KEY_HALF = 0.052
KEY_PITCH = 0.155
KEY_COLUMNS_X = tuple(-0.52 + i * KEY_PITCH for i in range(6))
KEY_ROWS_Y = (KB_CY - KEY_PITCH, KB_CY)
SPACE_Y = KB_CY + KEY_PITCH

# Mouse: an upright rounded body on the right, overlapping the keyboard.
MS_CX, MS_CY, MS_HW, MS_HH = 0.34, -0.16, 0.25, 0.40
MS_OUTLINE = 0.065
MS_SPLIT_Y = MS_CY - 0.07
LINE_HALF = 0.022


def disc_colour(y):
    t = min(max((y + DISC_R) / (2 * DISC_R), 0.0), 1.0)
    return tuple(a + (b - a) * t for a, b in zip(DISC_TOP, DISC_BOTTOM))


def mouse_body(x, y):
    return rounded_box(x, y, MS_CX, MS_CY, MS_HW, MS_HH, MS_HW * 0.98)


def key_clear_of_mouse(kx, ky):
    return mouse_body(kx, ky) > MS_OUTLINE + KEY_HALF * 1.6


VISIBLE_KEYS = tuple((kx, ky) for ky in KEY_ROWS_Y for kx in KEY_COLUMNS_X
                     if key_clear_of_mouse(kx, ky))


def on_keyboard_key(x, y):
    for kx, ky in VISIBLE_KEYS:
        if rounded_box(x, y, kx, ky, KEY_HALF, KEY_HALF, 0.018) < 0:
            return True
    space_cx = KEY_COLUMNS_X[1] + KEY_PITCH * 1.5
    return rounded_box(x, y, space_cx, SPACE_Y, KEY_PITCH * 2 + KEY_HALF,
                       KEY_HALF * 0.85, 0.018) < 0


def on_mouse_detail(x, y):
    top = MS_CY - MS_HH
    if segment(x, y, MS_CX, top, MS_CX, MS_SPLIT_Y, LINE_HALF) < 0:
        return True
    if segment(x, y, MS_CX - MS_HW, MS_SPLIT_Y, MS_CX + MS_HW, MS_SPLIT_Y,
               LINE_HALF) < 0:
        return True
    wheel = rounded_box(x, y, MS_CX, top + 0.17, 0.045, 0.085, 0.045)
    return wheel < 0


def scene(x, y):
    """RGB colour of the emblem at one sample point, None outside it."""
    centre_dist = math.hypot(x, y)
    if centre_dist > DISC_R:
        return None
    if centre_dist > DISC_R - RIM_WIDTH:
        return RIM
    body = mouse_body(x, y)
    if body < 0:
        return INK if on_mouse_detail(x, y) else BODY
    if body < MS_OUTLINE:
        return disc_colour(y)  # gap that lifts the mouse off the keyboard
    if rounded_box(x, y, KB_CX, KB_CY, KB_HW, KB_HH, 0.09) < 0:
        return INK if on_keyboard_key(x, y) else BODY
    return disc_colour(y)


def render(size):
    """Rows of straight-alpha RGBA tuples (0..255), top row first."""
    n = SAMPLES_PER_AXIS
    offsets = [(i + 0.5) / n for i in range(n)]
    scale = 2.0 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0.0
            for oy in offsets:
                y = (py + oy) * scale - 1.0
                for ox in offsets:
                    colour = scene((px + ox) * scale - 1.0, y)
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        covered += 1
            row.append(unpremultiply(r, g, b, covered, n * n))
        rows.append(row)
    return rows


def unpremultiply(r, g, b, covered, total):
    if covered == 0:
        return (0, 0, 0, 0)
    return (round(r / covered), round(g / covered), round(b / covered),
            round(255 * covered / total))


# ---------------------------------------------------------------- PNG

def png_chunk(kind, data):
    crc = zlib.crc32(kind + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(kind, row, prev, bpp=4):
    out = bytearray(len(row))
    for i, value in enumerate(row):
        left = row[i - bpp] if i >= bpp else 0
        up = prev[i]
        up_left = prev[i - bpp] if i >= bpp else 0
        predictor = (0, left, up, (left + up) // 2,
                     paeth(left, up, up_left))[kind]
        out[i] = (value - predictor) & 0xFF
    return out


def best_filtered_row(row, prev):
    """Pick the filter with the smallest sum of signed residuals."""
    def cost(data):
        return sum(v if v < 128 else 256 - v for v in data)
    candidates = [(kind, filter_row(kind, row, prev)) for kind in range(5)]
    kind, data = min(candidates, key=lambda c: cost(c[1]))
    return bytes([kind]) + bytes(data)


def encode_png(rows):
    height, width = len(rows), len(rows[0])
    raw = bytearray()
    prev = bytes(width * 4)
    for row in rows:
        flat = bytes(channel for pixel in row for channel in pixel)
        raw += best_filtered_row(flat, prev)
        prev = flat
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + png_chunk(b"IEND", b""))


# ---------------------------------------------------------------- ICO

def and_mask(rows):
    """1-bpp mask, bottom-up; a set bit marks a fully transparent pixel."""
    stride = (len(rows[0]) + 31) // 32 * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def encode_ico(rows):
    size = len(rows)
    pixels = bytes(channel for row in reversed(rows)
                   for (r, g, b, a) in row for channel in (b, g, r, a))
    mask = and_mask(rows)
    # Icon bitmaps declare twice the height: colour rows plus mask rows.
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                       len(pixels) + len(mask), 0, 0, 0, 0)
    image = info + pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image),
                        len(directory) + 16)
    return directory + entry + image


def write(name, data, directory=OUT_DIR):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(data)
    print(f"{path}: {len(data)} bytes")


def main():
    os.makedirs(OUT_DIR, exist_ok=True)
    write("logo.png", encode_png(render(120)))
    write("mouse_keyboard_icon.ico", encode_ico(render(64)))
    os.makedirs(DESKTOP_ICON_DIR, exist_ok=True)
    for size in DESKTOP_ICON_SIZES:
        write(f"harnelo-{size}.png", encode_png(render(size)), DESKTOP_ICON_DIR)


if __name__ == "__main__":
    main()
