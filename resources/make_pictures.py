#!/usr/bin/env python3
"""Draws the program's pictures in the 16 standard VGA colours: the icon (32x32 and 16x16,
zipsalvage.ico) and the 100x250 side picture of the first page (side.bmp).

Run from anywhere: python3 resources/make_pictures.py. The outputs are committed; the Win32
test script regenerates them and checks that nothing differs."""
import os
import struct

# The 16-colour VGA palette, index order as in the Windows default palette.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)
CLEAR = -1  # transparent, icons only

# 4x4 ordered dither thresholds for the background gradient.
BAYER = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


class Canvas:
    def __init__(self, width, height, fill):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def fill_rect(self, left, top, right, bottom, colour):  # right and bottom exclusive
        for y in range(top, bottom):
            for x in range(left, right):
                self.put(x, y, colour)

    def frame_rect(self, left, top, right, bottom, colour):
        for x in range(left, right):
            self.put(x, top, colour)
            self.put(x, bottom - 1, colour)
        for y in range(top, bottom):
            self.put(left, y, colour)
            self.put(right - 1, y, colour)


def draw_archive(canvas, left, top, width, height, fold, tooth):
    """A sheet with a folded corner and a zipper down its middle."""
    right, bottom = left + width, top + height
    canvas.fill_rect(left, top, right, bottom, WHITE)
    # Folded top-right corner: cut the triangle away, then draw the turned-over flap.
    for step in range(fold):
        for x in range(right - fold + step + 1, right):
            canvas.put(x, top + step, CLEAR_OR_BACKGROUND[0])
    canvas.frame_rect(left, top, right, bottom, GRAY)
    for step in range(fold + 1):
        canvas.put(right - fold + step, top + step, GRAY)  # the diagonal edge
        canvas.put(right - fold, top + step, GRAY)  # the flap's left side
        canvas.put(right - fold + step, top + fold, GRAY)  # the flap's bottom
    for y in range(top + fold + 1, bottom):
        canvas.put(right - 1, y, GRAY)
    for y in range(top, top + fold + 1):
        for x in range(right - fold + 1, right - fold + (y - top)):
            canvas.put(x, y, SILVER)
    # The zipper: a track of alternating teeth, then its pull.
    middle = left + width // 2
    for y in range(top + 1, bottom - 1):
        side = ((y - top) // tooth) % 2
        canvas.put(middle - 1 + side, y, BLACK)
        canvas.put(middle - 2 + 3 * side, y, GRAY)
    pull_top = top + height // 3
    canvas.fill_rect(middle - tooth, pull_top, middle + tooth, pull_top + 2 * tooth + 1, YELLOW)
    canvas.frame_rect(middle - tooth, pull_top, middle + tooth, pull_top + 2 * tooth + 1, OLIVE)


def draw_badge(canvas, centre_x, centre_y, radius, arm):
    """A green round badge with a white plus: the repair."""
    for y in range(centre_y - radius, centre_y + radius + 1):
        for x in range(centre_x - radius, centre_x + radius + 1):
            distance = (x - centre_x) ** 2 + (y - centre_y) ** 2
            if distance <= radius * radius:
                canvas.put(x, y, GREEN if distance > (radius - 1) ** 2 else LIME)
    for offset in range(-arm, arm + 1):
        for width in (-1, 0):
            canvas.put(centre_x + offset, centre_y + width, WHITE)
            canvas.put(centre_x + width, centre_y + offset, WHITE)


CLEAR_OR_BACKGROUND = [CLEAR]


def icon_canvas(size):
    canvas = Canvas(size, size, CLEAR)
    CLEAR_OR_BACKGROUND[0] = CLEAR
    if size == 32:
        draw_archive(canvas, 4, 1, 22, 29, 6, 2)
        draw_badge(canvas, 24, 24, 7, 4)
    else:
        draw_archive(canvas, 2, 0, 11, 15, 3, 1)
        draw_badge(canvas, 12, 12, 3, 2)
    return canvas


def side_canvas():
    canvas = Canvas(100, 250, NAVY)
    # Navy at the top to teal at the bottom, ordered-dithered.
    for y in range(250):
        level = y * 17 // 250
        for x in range(100):
            canvas.pixels[y][x] = TEAL if level > BAYER[y % 4][x % 4] else NAVY
    CLEAR_OR_BACKGROUND[0] = SILVER  # the sheet behind shows through the folded corner
    # Three sheets, stacked, the front one zipped.
    for shift, colour in ((12, SILVER), (6, SILVER)):
        canvas.fill_rect(22 + shift, 52 - shift, 70 + shift, 122 - shift, colour)
        canvas.frame_rect(22 + shift, 52 - shift, 70 + shift, 122 - shift, GRAY)
    draw_archive(canvas, 22, 52, 48, 70, 12, 3)
    draw_badge(canvas, 68, 122, 14, 8)
    return canvas


def palette_bytes():
    return b"".join(struct.pack("<BBBB", blue, green, red, 0) for red, green, blue in PALETTE)


def pack_4bit_rows(canvas):
    """Bottom-up rows of 4-bit indices, each padded to 4 bytes."""
    rows = []
    for y in reversed(range(canvas.height)):
        row = bytearray()
        for x in range(0, canvas.width, 2):
            high = max(canvas.pixels[y][x], 0)
            low = max(canvas.pixels[y][x + 1], 0) if x + 1 < canvas.width else 0
            row.append(high << 4 | low)
        row.extend(b"\0" * (-len(row) % 4))
        rows.append(bytes(row))
    return b"".join(rows)


def pack_mask_rows(canvas):
    """Bottom-up rows of the AND mask: 1 where the icon is transparent."""
    rows = []
    for y in reversed(range(canvas.height)):
        row = bytearray((canvas.width + 7) // 8)
        for x in range(canvas.width):
            if canvas.pixels[y][x] == CLEAR:
                row[x // 8] |= 0x80 >> (x % 8)
        row.extend(b"\0" * (-len(row) % 4))
        rows.append(bytes(row))
    return b"".join(rows)


def info_header(width, height, image_bytes):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, image_bytes, 0, 0, 16, 16)


def bitmap_file(canvas):
    pixels = pack_4bit_rows(canvas)
    offset = 14 + 40 + 64
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info_header(canvas.width, canvas.height, len(pixels)) + palette_bytes() + pixels


def icon_file(canvases):
    images = []
    for canvas in canvases:
        pixels = pack_4bit_rows(canvas)
        mask = pack_mask_rows(canvas)
        # An icon image's header counts the XOR and AND halves together in its height.
        images.append(info_header(canvas.width, canvas.height * 2, len(pixels) + len(mask)) +
                      palette_bytes() + pixels + mask)
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for canvas, image in zip(canvases, images):
        directory += struct.pack("<BBBBHHII", canvas.width, canvas.height, 16, 0, 1, 4,
                                 len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def main():
    folder = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(folder, "zipsalvage.ico"), "wb") as out:
        out.write(icon_file([icon_canvas(32), icon_canvas(16)]))
    with open(os.path.join(folder, "side.bmp"), "wb") as out:
        out.write(bitmap_file(side_canvas()))


if __name__ == "__main__":
    main()
