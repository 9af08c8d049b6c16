#!/usr/bin/env python3
"""Draws the updater's artwork into this folder.

    python3 res/art/draw_art.py

Output (loaded by res/updater.rc):
  background.bmp     131  367x114, 24 bpp   whole face of the window
  closebox.bmp       132  140x21,  24 bpp   5 slices of 28x21: normal, hover, pressed, disabled, unused
  progress_fill.bmp  129  345x12,  8 bpp    orange stripes (top-left 100x11 is what gets shown)
  progress_track.bmp 130  347x14,  24 bpp   dark stripes (top-left 88x12 is what gets shown)
  updater.ico        128  16, 32, 48 px, 32 bpp with alpha
  preview.png             composite for eyes only, not used by the program

Needs only python3 and ImageMagick's `convert` (used for text glyphs) plus
fonts-wqy-microhei. Everything is computed, nothing random, so two runs give
identical files.
"""

import math
import os
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"

# Window and control geometry (pixels) as laid out by the dialog template.
WIN_W, WIN_H = 367, 114
CLOSE_X, CLOSE_Y, CLOSE_W, CLOSE_H = 330, 4, 28, 21
BARS = [(7, 54, 348, 14), (7, 73, 348, 14)]
TEXT1 = (39, 99, 288, 12)
TEXT_GOLD = (222, 172, 50)
MAGENTA = (255, 0, 255)

FILL_W, FILL_H = 345, 12          # progress_fill.bmp
FILL_SHOWN = (100, 11)            # the part the control stretches
TRACK_W, TRACK_H = 347, 14        # progress_track.bmp
TRACK_SHOWN = (88, 12)


# ---------------------------------------------------------------- helpers

def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def hexc(s):
    s = s.lstrip("#")
    return tuple(int(s[i:i + 2], 16) for i in (0, 2, 4))


def smoothstep(e0, e1, x):
    t = clamp((x - e0) / (e1 - e0))
    return t * t * (3 - 2 * t)


def grad(stops, t):
    """Piecewise-linear colour ramp; stops = [(pos, colour), ...] sorted by pos."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0))
    return stops[-1][1]


class Canvas:
    """Float RGB(A) image; alpha is only used for the icon."""

    def __init__(self, w, h, colour=(0, 0, 0), alpha=1.0):
        self.w, self.h = w, h
        self.px = [[list(colour) + [alpha] for _ in range(w)] for _ in range(h)]

    def blend(self, x, y, colour, a):
        if a <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        p = self.px[y][x]
        # "over" on premultiplied-free storage; destination alpha only grows
        da = p[3]
        oa = a + da * (1 - a)
        if oa <= 0:
            return
        for i in range(3):
            p[i] = (colour[i] * a + p[i] * da * (1 - a)) / oa
        p[3] = oa

    def shape(self, box, sdf, colour_at, alpha=1.0):
        """Fill where the signed distance (in pixels) is negative, anti-aliased."""
        x0, y0, x1, y1 = box
        for y in range(max(0, int(y0)), min(self.h, int(math.ceil(y1)))):
            for x in range(max(0, int(x0)), min(self.w, int(math.ceil(x1)))):
                d = sdf(x + 0.5, y + 0.5)
                a = clamp(0.5 - d)
                if a > 0:
                    self.blend(x, y, colour_at(x + 0.5, y + 0.5), a * alpha)

    def crop(self, x, y, w, h):
        c = Canvas(w, h)
        c.px = [[list(self.px[y + j][x + i]) for i in range(w)] for j in range(h)]
        return c

    def paste(self, other, x, y):
        for j in range(other.h):
            for i in range(other.w):
                p = other.px[j][i]
                self.blend(x + i, y + j, p[:3], p[3])


def sd_round_rect(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    out = math.hypot(max(qx, 0), max(qy, 0))
    return out + min(max(qx, qy), 0) - r


def sd_segment(px, py, ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    t = clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy))
    return math.hypot(px - ax - t * dx, py - ay - t * dy) - r


def sd_circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


# 4x4 ordered dither so the long dark gradients do not band.
BAYER = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def quantise(c, x, y, dither=True):
    off = (BAYER[y & 3][x & 3] + 0.5) / 16 - 0.5 if dither else 0.0
    return tuple(int(clamp(math.floor(v + 0.5 + off), 0, 255)) for v in c[:3])


def to_rgb8(cv, dither=True, ox=0, oy=0):
    return [[quantise(cv.px[y][x], x + ox, y + oy, dither) for x in range(cv.w)]
            for y in range(cv.h)]


# ---------------------------------------------------------------- file writers

def bmp_header(w, h, bpp, ncolours, image_size):
    off = 14 + 40 + 4 * ncolours
    fh = struct.pack("<2sIHHI", b"BM", off + image_size, 0, 0, off)
    ih = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bpp, 0, image_size,
                     2835, 2835, ncolours, 0)
    return fh + ih


def write_bmp24(path, rows):
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):                     # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        data += line
    with open(path, "wb") as f:
        f.write(bmp_header(w, h, 24, 0, len(data)) + data)


def write_bmp8(path, indices, palette):
    h, w = len(indices), len(indices[0])
    assert len(palette) <= 256
    pal = list(palette) + [palette[-1]] * (256 - len(palette))
    stride = (w + 3) & ~3
    data = bytearray()
    for row in reversed(indices):
        line = bytearray(row)
        line += b"\0" * (stride - len(line))
        data += line
    paldata = b"".join(bytes((b, g, r, 0)) for r, g, b in pal)
    with open(path, "wb") as f:
        f.write(bmp_header(w, h, 8, 256, len(data)) + paldata + data)


def write_png(path, rows):
    h, w = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for p in row:
            raw += bytes(p[:3])

    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body +
                struct.pack(">I", zlib.crc32(tag + body) & 0xffffffff))

    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def write_ico(path, images):
    """images: list of Canvas (square) with alpha; stored as 32 bpp DIBs."""
    blobs = []
    for cv in images:
        n = cv.w
        xor = bytearray()
        mask_stride = ((n + 31) // 32) * 4
        andm = bytearray()
        for y in reversed(range(n)):
            bits = [0] * (mask_stride * 8)
            for x in range(n):
                r, g, b, a = cv.px[y][x]
                ai = int(clamp(math.floor(a * 255 + 0.5), 0, 255))
                if ai == 0:
                    xor += b"\0\0\0\0"
                    bits[x] = 1
                else:
                    xor += bytes((int(clamp(round(b), 0, 255)), int(clamp(round(g), 0, 255)),
                                  int(clamp(round(r), 0, 255)), ai))
            for i in range(mask_stride):
                v = 0
                for k in range(8):
                    v = (v << 1) | bits[i * 8 + k]
                andm.append(v)
        hdr = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(andm),
                          0, 0, 0, 0)
        blobs.append((n, hdr + xor + andm))
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for n, blob in blobs:
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for _, blob in blobs:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


# ---------------------------------------------------------------- text

def text_mask(text, size, width=400, height=40, baseline=None):
    """Grey coverage mask of `text` drawn with its baseline at `baseline`,
    starting at x=2. Returns (mask rows of floats 0..1, ink x-extent)."""
    if baseline is None:
        baseline = int(size * 1.2)
    cmd = ["convert", "-size", "%dx%d" % (width, height), "xc:black",
           "-font", FONT, "-pointsize", str(size), "-density", "72",
           "-fill", "white", "-annotate", "+2+%d" % baseline, text,
           "-depth", "8", "gray:-"]
    raw = subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout
    assert len(raw) == width * height, "convert gave %d bytes" % len(raw)
    mask = [[raw[y * width + x] / 255.0 for x in range(width)] for y in range(height)]
    right = 0
    for row in mask:
        for x in range(width - 1, -1, -1):
            if row[x] > 0.02:
                right = max(right, x)
                break
    return mask, right + 1


def draw_text(cv, text, size, x, baseline_y, colour_at, alpha=1.0, shadow=None):
    """Draws text with its baseline at baseline_y; returns the right ink edge."""
    pad = int(size * 1.2)
    mask, right = text_mask(text, size, height=pad + int(size * 0.6), baseline=pad)
    ox, oy = x - 2, baseline_y - pad
    if shadow:
        (sdx, sdy), scol, sa = shadow
        for j, row in enumerate(mask):
            for i, m in enumerate(row):
                if m > 0:
                    cv.blend(ox + i + sdx, oy + j + sdy, scol, m * sa)
    for j, row in enumerate(mask):
        for i, m in enumerate(row):
            if m > 0:
                cv.blend(ox + i, oy + j, colour_at(ox + i, oy + j), m * alpha)
    return ox + right


# ---------------------------------------------------------------- emblem

GOLD_HI, GOLD_MID, GOLD_LO = hexc("ffe29a"), hexc("f0b04a"), hexc("b8661a")
NAVY_HI, NAVY_LO = hexc("27346e"), hexc("0c112c")


def draw_emblem(cv, cx, cy, size, halo=True):
    """Gold ring around a navy disc with a gold 'V' that doubles as a
    download chevron. size = outer diameter in pixels."""
    R = size / 2.0
    top, bot = cy - R, cy + R

    def gold(x, y):
        return grad([(0, GOLD_HI), (0.45, GOLD_MID), (1, GOLD_LO)], (y - top) / (bot - top))

    def navy(x, y):
        return grad([(0, NAVY_HI), (1, NAVY_LO)], (y - top) / (bot - top))

    box = (cx - R - 1, cy - R - 1, cx + R + 1, cy + R + 1)
    ring_w = max(1.6, R * 0.2)
    if halo:   # lifts it off the background; icons get none (their backdrop is unknown)
        cv.shape(box, lambda x, y: sd_circle(x, y, cx, cy + 0.5, R), lambda x, y: (0, 0, 0), 0.35)
    cv.shape(box, lambda x, y: sd_circle(x, y, cx, cy, R - 0.3), gold)
    cv.shape(box, lambda x, y: sd_circle(x, y, cx, cy, R - 0.3 - ring_w), navy)
    # a hairline of shine on the ring's upper edge
    if size >= 24:
        cv.shape(box, lambda x, y: max(abs(sd_circle(x, y, cx, cy, R - 1.0)) - 0.45, (y - cy) + R * 0.35),
                 lambda x, y: (255, 246, 220), 0.55)
    # the V / chevron
    s = R - ring_w
    hw = max(0.95, s * 0.17)
    ax, ay = cx - s * 0.52, cy - s * 0.36
    bx, by = cx, cy + s * 0.42
    ex, ey = cx + s * 0.52, cy - s * 0.36
    v = lambda x, y: min(sd_segment(x, y, ax, ay, bx, by, hw), sd_segment(x, y, bx, by, ex, ey, hw))
    cv.shape(box, v, gold)
    # small bar above the V's notch: "download to here"
    if size >= 24:
        cv.shape(box, lambda x, y: sd_segment(x, y, cx, cy - s * 0.62, cx, cy + s * 0.15, hw * 0.8), gold)


# ---------------------------------------------------------------- background

BG_TOP = hexc("1d2752")
BG_MID = hexc("121936")
BG_LOW = hexc("0a0e20")
BG_BOT = hexc("05060d")


def background():
    cv = Canvas(WIN_W, WIN_H)
    for y in range(WIN_H):
        t = (y + 0.5) / WIN_H
        base = grad([(0, BG_TOP), (0.40, BG_MID), (0.75, BG_LOW), (1, BG_BOT)], t)
        for x in range(WIN_W):
            c = base
            # an indigo glow behind the title, gone well before the close box
            d = math.hypot((x - 40) / 150.0, (y - 20) / 55.0)
            g = clamp(1 - d) ** 2 * 0.55
            c = mix(c, hexc("35448c"), g)
            # faint vignette towards the bottom corners
            v = clamp((abs(x - WIN_W / 2) / (WIN_W / 2)) ** 3 * t) * 0.35
            c = mix(c, (0, 0, 0), v)
            cv.px[y][x] = list(c) + [1.0]

    # title separator: a thin gold highlight fading out at both ends, over an etched dark line
    sep_y = 45
    for x in range(6, WIN_W - 6):
        u = (x - 6) / (WIN_W - 12)
        a = math.sin(math.pi * u) ** 1.5
        cv.blend(x, sep_y, hexc("05070f"), 0.55 * a)
        cv.blend(x, sep_y + 1, hexc("d9a441"), 0.50 * a * (0.4 + 0.6 * clamp(1.4 - u)))

    # bar slots: a recessed bed 2 px round each bar
    for bx, by, bw, bh in BARS:
        x0, y0, x1, y1 = bx - 3, by - 2, bx + bw + 3, by + bh + 2
        box = (x0 - 2, y0 - 2, x1 + 2, y1 + 2)
        # lit lower lip (light falls from above)
        cv.shape(box, lambda x, y, a=(x0, y0, x1, y1): sd_round_rect(x, y, a[0] - 0.5, a[1] - 0.5, a[2] + 0.5, a[3] + 1, 3.5),
                 lambda x, y: hexc("3a4a88"), 0.55)
        # dark rim
        cv.shape(box, lambda x, y, a=(x0, y0, x1, y1): sd_round_rect(x, y, a[0] - 0.5, a[1] - 0.5, a[2] + 0.5, a[3] + 0.5, 3.5),
                 lambda x, y: hexc("020308"), 0.95)
        # bed
        cv.shape(box, lambda x, y, a=(x0, y0, x1, y1): sd_round_rect(x, y, a[0] + 0.5, a[1] + 0.5, a[2] - 0.5, a[3] - 0.5, 2.5),
                 lambda x, y, a=(y0, y1): grad([(0, hexc("06070d")), (1, hexc("10142a"))], (y - a[0]) / (a[1] - a[0])))

    # window frame: black outline, bevel (light top/left, dark bottom/right)
    for x in range(WIN_W):
        for y in range(WIN_H):
            edge = min(x, y, WIN_W - 1 - x, WIN_H - 1 - y)
            if edge == 0:
                cv.px[y][x][:3] = list(hexc("010205"))
            elif edge == 1:
                if y == 1 or x == 1:
                    if y == 1 and x >= 1 and x <= WIN_W - 2:
                        # top highlight, brightest in the middle-left
                        u = x / WIN_W
                        col = mix(hexc("4a5ca8"), hexc("7d8fd8"), clamp(1 - abs(u - 0.35) * 2.2))
                    else:
                        col = mix(hexc("3e4e94"), hexc("151a33"), y / WIN_H)
                else:
                    col = hexc("03040a")
                cv.px[y][x][:3] = list(col)
            elif edge == 2:
                cv.blend(x, y, hexc("5a6cc0") if (y == 2 and 2 <= x <= WIN_W - 3) else hexc("000000"),
                         0.18 if y == 2 else 0.12)

    # title: emblem + "Velmora 游戏大厅 · 在线更新"
    draw_emblem(cv, 24.0, 23.0, 28)
    base_y = 29
    white = lambda x, y: mix(hexc("ffffff"), hexc("c9d3f5"), clamp((y - 12) / 18.0))
    shadow = ((1, 1), hexc("000000"), 0.6)
    right = draw_text(cv, "Velmora", 18, 45, base_y, white, shadow=shadow)
    right = draw_text(cv, "游戏大厅", 18, right + 5, base_y, white, shadow=shadow)
    dot_x = right + 7
    cv.shape((dot_x - 3, base_y - 11, dot_x + 4, base_y - 3),
             lambda x, y: sd_circle(x, y, dot_x + 0.5, base_y - 6.5, 1.4), lambda x, y: hexc("d9a441"))
    goldt = lambda x, y: mix(hexc("f2c35e"), hexc("c8902e"), clamp((y - 16) / 14.0))
    draw_text(cv, "在线更新", 13, dot_x + 7, base_y, goldt, shadow=shadow)
    return cv


# ---------------------------------------------------------------- close box

CLOSE_STATES = {
    #            fill top,  fill bottom, rim,      glyph,    glow
    "normal":   ("2f3b72", "1b2350", "5a68aa", "cdd6f4", 0.0),
    "hover":    ("e0574a", "a92f26", "ff9a8a", "ffffff", 0.25),
    "pressed":  ("8a2820", "6a1c16", "3c0c09", "f2cdc8", 0.0),
    "disabled": ("22273c", "1b1f31", "30364f", "4b5270", 0.0),
}


def close_slice(bg, state):
    top, bot, rim, glyph, glow = (CLOSE_STATES[state][i] for i in range(5))
    cv = bg.crop(CLOSE_X, CLOSE_Y, CLOSE_W, CLOSE_H)
    x0, y0, x1, y1 = 5.5, 2.0, 22.5, 19.0          # 17x17 rounded square
    r = 4.0
    box = (0, 0, CLOSE_W, CLOSE_H)
    pressed = state == "pressed"
    if not pressed:   # drop shadow
        cv.shape(box, lambda x, y: sd_round_rect(x, y, x0, y0 + 1, x1, y1 + 1, r), lambda x, y: (0, 0, 0), 0.55)
    cv.shape(box, lambda x, y: sd_round_rect(x, y, x0, y0, x1, y1, r), lambda x, y: hexc(rim))
    cv.shape(box, lambda x, y: sd_round_rect(x, y, x0 + 1, y0 + 1, x1 - 1, y1 - 1, r - 1),
             lambda x, y: mix(hexc(top), hexc(bot), clamp((y - y0) / (y1 - y0))))
    if pressed:       # inner shadow along the top: pushed in
        cv.shape(box, lambda x, y: max(sd_round_rect(x, y, x0 + 1, y0 + 1, x1 - 1, y1 - 1, r - 1), y - (y0 + 3)),
                 lambda x, y: (0, 0, 0), 0.35)
    else:             # glassy top sheen
        cv.shape(box, lambda x, y: max(sd_round_rect(x, y, x0 + 1.5, y0 + 1.5, x1 - 1.5, y1 - 1.5, r - 1.5), y - (y0 + 7.5)),
                 lambda x, y: (255, 255, 255), 0.10 + glow * 0.3)
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    if pressed:
        cx, cy = cx + 1, cy + 1
    k, w = 3.6, 0.95
    cross = lambda x, y: min(sd_segment(x, y, cx - k, cy - k, cx + k, cy + k, w),
                             sd_segment(x, y, cx - k, cy + k, cx + k, cy - k, w))
    if state != "disabled":
        cv.shape(box, lambda x, y: cross(x, y - 1), lambda x, y: (0, 0, 0), 0.35)
    cv.shape(box, cross, lambda x, y: hexc(glyph))
    return cv


def closebox(bg):
    slices = [close_slice(bg, s) for s in ("normal", "hover", "pressed", "disabled", "normal")]
    rows = [[None] * (CLOSE_W * 5) for _ in range(CLOSE_H)]
    for n, sl in enumerate(slices):
        q = to_rgb8(sl, ox=CLOSE_X, oy=CLOSE_Y)   # same dither phase as the background there
        for y in range(CLOSE_H):
            for x in range(CLOSE_W):
                p = q[y][x]
                if p == MAGENTA:
                    p = (254, 0, 255)
                rows[y][n * CLOSE_W + x] = p
    return rows


# ---------------------------------------------------------------- progress bitmaps

def stripe(x, y, period, slant, duty=0.5, soft=0.12):
    """0..1 band value of diagonal ('/') stripes, soft-edged so stretching stays smooth."""
    p = ((x + y * slant) / period) % 1.0
    d = abs(p - 0.5) * 2          # 0 at band centre, 1 at gap centre
    return 1 - smoothstep(duty - soft, duty + soft, d)


FILL_PERIOD, FILL_SLANT = 10.0, 0.6   # 100 px shown = 10 whole periods, tiles seamlessly
FILL_LEVELS = 16


def fill_row_colours(y):
    """(dark band, light band) colours of row y; row 0 is the highlight line."""
    sh = FILL_SHOWN[1]
    t = y / (sh - 1)
    dark = grad([(0, hexc("ffb24a")), (0.12, hexc("f49a30")), (0.5, hexc("e57f1c")), (1, hexc("b85610"))], t)
    light = grad([(0, hexc("ffd486")), (0.12, hexc("ffbe5c")), (0.5, hexc("fba640")), (1, hexc("d8741e"))], t)
    if y == 0:
        dark, light = mix(dark, (255, 240, 200), 0.35), mix(light, (255, 248, 225), 0.45)
    return dark, light


def progress_fill():
    palette, index_of = [], {}
    for y in range(FILL_H):
        dark, light = fill_row_colours(min(y, FILL_SHOWN[1] - 1))
        for lv in range(FILL_LEVELS):
            c = tuple(int(round(v)) for v in mix(dark, light, lv / (FILL_LEVELS - 1)))
            if c not in index_of:
                index_of[c] = len(palette)
                palette.append(c)
    rows = []
    for y in range(FILL_H):
        dark, light = fill_row_colours(min(y, FILL_SHOWN[1] - 1))
        row = []
        for x in range(FILL_W):
            s = stripe(x + 0.5, y + 0.5, FILL_PERIOD, FILL_SLANT)
            lv = int(round(s * (FILL_LEVELS - 1)))
            c = tuple(int(round(v)) for v in mix(dark, light, lv / (FILL_LEVELS - 1)))
            row.append(index_of[c])
        rows.append(row)
    return rows, palette


TRACK_PERIOD, TRACK_SLANT = 8.0, 0.6   # 88 px shown = 11 whole periods


def progress_track():
    cv = Canvas(TRACK_W, TRACK_H)
    sh = TRACK_SHOWN[1]
    for y in range(TRACK_H):
        t = min(y, sh - 1) / (sh - 1)
        dark = grad([(0, hexc("0b0c10")), (0.2, hexc("191b22")), (0.85, hexc("20232b")), (1, hexc("2a2e38"))], t)
        light = grad([(0, hexc("0f1015")), (0.2, hexc("23262f")), (0.85, hexc("2b2f39")), (1, hexc("333845"))], t)
        for x in range(TRACK_W):
            s = stripe(x + 0.5, y + 0.5, TRACK_PERIOD, TRACK_SLANT, duty=0.5, soft=0.25)
            cv.px[y][x] = list(mix(dark, light, s)) + [1.0]
    return to_rgb8(cv, dither=False)


# ---------------------------------------------------------------- preview

def resample(rows, sw, sh, dw, dh):
    """Crop rows to sw x sh and stretch to dw x dh with a triangle filter
    (close to what a HALFTONE StretchBlt gives)."""
    def weights(src, dst):
        scale = dst / src
        support = max(1.0, 1.0 / scale)
        out = []
        for i in range(dst):
            c = (i + 0.5) / scale - 0.5
            lo, hi = int(math.floor(c - support)), int(math.ceil(c + support))
            ws = []
            for k in range(lo, hi + 1):
                w = max(0.0, 1 - abs(k - c) / support)
                if w > 0:
                    ws.append((min(max(k, 0), src - 1), w))
            tot = sum(w for _, w in ws)
            out.append([(k, w / tot) for k, w in ws])
        return out
    wx, wy = weights(sw, dw), weights(sh, dh)
    tmp = [[tuple(sum(rows[y][k][c] * w for k, w in wx[i]) for c in range(3)) for i in range(dw)]
           for y in range(sh)]
    return [[tuple(int(round(sum(tmp[k][i][c] * w for k, w in wy[j]))) for c in range(3))
             for i in range(dw)] for j in range(dh)]


def preview(bg_rows, close_rows, track_rows, fill_rows, fill_pal):
    img = [list(r) for r in bg_rows]
    for y in range(CLOSE_H):
        for x in range(CLOSE_W):
            img[CLOSE_Y + y][CLOSE_X + x] = close_rows[y][x]
    fill_rgb = [[fill_pal[i] for i in r] for r in fill_rows]
    track = resample(track_rows, TRACK_SHOWN[0], TRACK_SHOWN[1], BARS[0][2], BARS[0][3])
    for (bx, by, bw, bh), frac in zip(BARS, (0.60, 0.35)):
        for y in range(bh):
            for x in range(bw):
                img[by + y][bx + x] = track[y][x]
        fw = int(round((bw - 14) * frac))
        fill = resample(fill_rgb, FILL_SHOWN[0], FILL_SHOWN[1], fw, 10)
        for y in range(10):
            for x in range(fw):
                img[by + 2 + y][bx + 7 + x] = fill[y][x]
    # the first status line as the program draws it
    cv = Canvas(WIN_W, WIN_H)
    cv.px = [[list(p) + [1.0] for p in r] for r in img]
    draw_text(cv, "文件名字:  Quorvanta.exe 文件大小: 812 KB", 12, TEXT1[0], TEXT1[1] + 10,
              lambda x, y: TEXT_GOLD)
    return to_rgb8(cv, dither=False)


# ---------------------------------------------------------------- self-check

def check_bmp(path, w, h, bpp):
    """Reads the header back: the resource loader wants exactly this."""
    with open(path, "rb") as f:
        b = f.read()
    sig, size, _, _, off = struct.unpack("<2sIHHI", b[:14])
    hs, bw, bh, planes, bbpp, comp, _, _, _, used, _ = struct.unpack("<IiiHHIIiiII", b[14:54])
    pal = (off - 54) // 4
    ok = (sig == b"BM" and size == len(b) and hs == 40 and (bw, bh, planes, bbpp, comp) == (w, h, 1, bpp, 0)
          and (pal == 0 if bpp == 24 else 0 < pal <= 256))
    if not ok:
        raise SystemExit("%s: bad header" % path)
    return "%s %dx%d %d bpp uncompressed%s" % (os.path.basename(path), bw, bh, bbpp,
                                               ", %d palette entries" % pal if pal else "")


def check_ico(path, sizes):
    with open(path, "rb") as f:
        b = f.read()
    _, kind, n = struct.unpack("<HHH", b[:6])
    got = []
    for i in range(n):
        w, h, _, _, _, bpp, sz, off = struct.unpack("<BBBBHHII", b[6 + 16 * i:22 + 16 * i])
        _, dw, dh, _, dbpp = struct.unpack("<IiiHH", b[off:off + 16])
        if not (dw == w and dh == 2 * h and dbpp == bpp == 32 and off + sz <= len(b)):
            raise SystemExit("%s: bad image %d" % (path, i))
        got.append(w)
    if kind != 1 or got != list(sizes):
        raise SystemExit("%s: sizes %s" % (path, got))
    return "%s %s px, 32 bpp" % (os.path.basename(path), "/".join(map(str, got)))


# ---------------------------------------------------------------- main

def main():
    out = lambda name: os.path.join(HERE, name)

    bg = background()
    bg_rows = to_rgb8(bg)
    write_bmp24(out("background.bmp"), bg_rows)

    close_rows = closebox(bg)
    assert all(p != MAGENTA for r in close_rows for p in r)
    write_bmp24(out("closebox.bmp"), close_rows)

    fill_rows, fill_pal = progress_fill()
    write_bmp8(out("progress_fill.bmp"), fill_rows, fill_pal)

    track_rows = progress_track()
    write_bmp24(out("progress_track.bmp"), track_rows)

    icons = []
    for n in (16, 32, 48):
        cv = Canvas(n, n, (0, 0, 0), 0.0)
        draw_emblem(cv, n / 2.0, n / 2.0, n - (1 if n <= 16 else 2), halo=False)
        icons.append(cv)
    write_ico(out("updater.ico"), icons)

    write_png(out("preview.png"), preview(bg_rows, close_rows, track_rows, fill_rows, fill_pal))
    for line in (check_bmp(out("background.bmp"), WIN_W, WIN_H, 24),
                 check_bmp(out("closebox.bmp"), CLOSE_W * 5, CLOSE_H, 24),
                 check_bmp(out("progress_fill.bmp"), FILL_W, FILL_H, 8),
                 check_bmp(out("progress_track.bmp"), TRACK_W, TRACK_H, 24),
                 check_ico(out("updater.ico"), (16, 32, 48)),
                 "preview.png"):
        print("wrote", line)


if __name__ == "__main__":
    sys.exit(main())
