"""Draw the kestrovan application icon and its preview image.

Every size is drawn on its own pixel grid, so the 16x16 image stays crisp;
only the rounded corners of the larger sizes get anti-aliased edges.  The
output is byte-for-byte reproducible: integer arithmetic throughout, and the
PNG is written with stored deflate blocks, whose bytes, unlike compressed
ones, do not depend on which zlib build is installed.

Usage: dev/make-icon [--out-dir DIR]
"""

import argparse
import struct
import zlib
from dataclasses import dataclass
from pathlib import Path

from kestrovan_kit.icon_format import (BITMAP_HEADER, BITMAP_HEADER_SIZE, ICON_DIRECTORY,
                                      ICON_DIRECTORY_ENTRY)

BLUE = (0, 112, 184)
WHITE = (255, 255, 255)
TRANSPARENT = (0, 0, 0, 0)

ICON_NAME = "kestrovan.ico"
PREVIEW_NAME = "icon-preview.png"


@dataclass(frozen=True)
class Rect:
    """Pixel rectangle; right and bottom are exclusive."""

    left: int
    top: int
    right: int
    bottom: int

    def contains(self, x, y):
        return self.left <= x < self.right and self.top <= y < self.bottom

    def inset(self, amount):
        return Rect(self.left + amount, self.top + amount,
                    self.right - amount, self.bottom - amount)


@dataclass(frozen=True)
class Layout:
    """Where each part of the design falls on one size's pixel grid."""

    size: int
    body: Rect
    corner_radius: int
    corner_samples: int  # per axis and pixel; 1 samples the centre only
    band_top: int
    band_bottom: int
    screen: Rect
    screen_outline: int
    stripe_height: int
    stripe_length: int  # how far the stripes reach in from each end


LAYOUTS = (
    Layout(size=16, body=Rect(0, 2, 16, 15), corner_radius=2,
           corner_samples=1, band_top=5, band_bottom=12,
           screen=Rect(5, 6, 11, 11), screen_outline=1,
           stripe_height=1, stripe_length=3),
    Layout(size=32, body=Rect(1, 5, 31, 27), corner_radius=4,
           corner_samples=8, band_top=9, band_bottom=23,
           screen=Rect(10, 11, 22, 21), screen_outline=2,
           stripe_height=2, stripe_length=6),
    Layout(size=64, body=Rect(2, 10, 62, 55), corner_radius=8,
           corner_samples=8, band_top=19, band_bottom=46,
           screen=Rect(19, 22, 45, 43), screen_outline=3,
           stripe_height=3, stripe_length=12),
)


def inside_rounded_body(layout, x, y, scale):
    """Whether the point (x, y), given in units of 1/scale pixel, is inside."""
    body, radius = layout.body, layout.corner_radius
    nearest_x = min(max(x, scale * (body.left + radius)),
                    scale * (body.right - radius))
    nearest_y = min(max(y, scale * (body.top + radius)),
                    scale * (body.bottom - radius))
    return (x - nearest_x) ** 2 + (y - nearest_y) ** 2 <= (scale * radius) ** 2


def body_alpha(layout, x, y):
    """Coverage of pixel (x, y) by the rounded body, as an alpha value."""
    if not layout.body.contains(x, y):
        return 0
    samples = layout.corner_samples
    scale = 2 * samples  # sample centres then land on whole units
    covered = sum(
        inside_rounded_body(layout, scale * x + 2 * i + 1,
                            scale * y + 2 * j + 1, scale)
        for i in range(samples) for j in range(samples))
    total = samples * samples
    return (255 * covered + total // 2) // total


def stripe_colour(layout, y):
    stripe_index = (y - layout.band_top) // layout.stripe_height
    return WHITE if stripe_index % 2 == 0 else BLUE


def surface_colour(layout, x, y):
    """Colour of the design at (x, y), before the body's corners apply."""
    if not layout.band_top <= y < layout.band_bottom:
        return BLUE
    if layout.screen.contains(x, y):
        inner = layout.screen.inset(layout.screen_outline)
        return WHITE if inner.contains(x, y) else BLUE
    body = layout.body
    if (x < body.left + layout.stripe_length
            or x >= body.right - layout.stripe_length):
        return stripe_colour(layout, y)
    return WHITE


def draw(layout):
    """Top-down rows of (r, g, b, a) pixels."""
    rows = []
    for y in range(layout.size):
        row = []
        for x in range(layout.size):
            alpha = body_alpha(layout, x, y)
            row.append((*surface_colour(layout, x, y), alpha)
                       if alpha else TRANSPARENT)
        rows.append(row)
    return rows


def mask_row(row):
    """AND-mask bits for one row: 1 where the pixel is fully transparent."""
    row_bytes = (len(row) + 31) // 32 * 4
    bits = bytearray(row_bytes)
    for x, (_, _, _, alpha) in enumerate(row):
        if alpha == 0:
            bits[x // 8] |= 0x80 >> (x % 8)
    return bytes(bits)


def dib_image(rows):
    """32-bit bitmap with its AND mask, as stored inside an ICO file."""
    size = len(rows)
    colour = b"".join(bytes((b, g, r, a))
                      for row in reversed(rows) for r, g, b, a in row)
    mask = b"".join(mask_row(row) for row in reversed(rows))
    header = BITMAP_HEADER.pack(BITMAP_HEADER_SIZE, size, 2 * size, 1, 32, 0,
                                len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + mask


def ico_file(images):
    """ICO container for square 32-bit images given as (size, bytes)."""
    directory = ICON_DIRECTORY.pack(0, 1, len(images))
    offset = len(directory) + ICON_DIRECTORY_ENTRY.size * len(images)
    entries = b""
    for size, data in images:
        entries += ICON_DIRECTORY_ENTRY.pack(size, size, 0, 0, 1, 32,
                                             len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


PREVIEW_TILE = 128
PREVIEW_MARGIN = 16
CHECKER_CELL = 8
CHECKER_COLOURS = ((255, 255, 255), (214, 214, 214))
PREVIEW_BACKGROUND = (240, 240, 240)


def over_checkerboard(pixel, x, y):
    """Composite a straight-alpha pixel over the preview's checkerboard."""
    checker = CHECKER_COLOURS[(x // CHECKER_CELL + y // CHECKER_CELL) % 2]
    *colour, alpha = pixel
    return tuple((c * alpha + under * (255 - alpha) + 127) // 255
                 for c, under in zip(colour, checker))


def preview_rows(drawings):
    """RGB rows showing each drawing scaled up side by side."""
    width = len(drawings) * (PREVIEW_TILE + PREVIEW_MARGIN) + PREVIEW_MARGIN
    height = PREVIEW_TILE + 2 * PREVIEW_MARGIN
    canvas = [[PREVIEW_BACKGROUND] * width for _ in range(height)]
    for index, rows in enumerate(drawings):
        left = PREVIEW_MARGIN + index * (PREVIEW_TILE + PREVIEW_MARGIN)
        scale = PREVIEW_TILE // len(rows)
        for y in range(PREVIEW_TILE):
            for x in range(PREVIEW_TILE):
                pixel = rows[y // scale][x // scale]
                canvas[PREVIEW_MARGIN + y][left + x] = \
                    over_checkerboard(pixel, x, y)
    return canvas


def stored_zlib_stream(data):
    """zlib stream made of uncompressed deflate blocks."""
    block_limit = 0xFFFF
    blocks = []
    for start in range(0, len(data), block_limit):
        block = data[start:start + block_limit]
        is_final = start + block_limit >= len(data)
        blocks.append(struct.pack("<BHH", is_final, len(block),
                                  len(block) ^ 0xFFFF) + block)
    return (b"\x78\x01" + b"".join(blocks)
            + struct.pack(">I", zlib.adler32(data)))


def png_chunk(kind, payload):
    return (struct.pack(">I", len(payload)) + kind + payload
            + struct.pack(">I", zlib.crc32(kind + payload)))


def png_file(rows):
    """Palette PNG of RGB rows (at most 256 distinct colours)."""
    palette = sorted({pixel for row in rows for pixel in row})
    index_of = {colour: index for index, colour in enumerate(palette)}
    scanlines = b"".join(b"\x00" + bytes(index_of[pixel] for pixel in row)
                         for row in rows)
    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 3, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", header)
            + png_chunk(b"PLTE", b"".join(bytes(c) for c in palette))
            + png_chunk(b"IDAT", stored_zlib_stream(scanlines))
            + png_chunk(b"IEND", b""))


def main():
    checkout = Path(__file__).resolve().parents[1]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out-dir", type=Path,
                        help="write both files here instead of their "
                             "places in the source tree")
    args = parser.parse_args()
    if args.out_dir:
        icon_path = args.out_dir / ICON_NAME
        preview_path = args.out_dir / PREVIEW_NAME
    else:
        icon_path = checkout / "resources" / ICON_NAME
        preview_path = checkout / "docs" / PREVIEW_NAME

    drawings = [draw(layout) for layout in LAYOUTS]
    icon_path.write_bytes(ico_file(
        [(len(rows), dib_image(rows)) for rows in drawings]))
    preview_path.write_bytes(png_file(preview_rows(drawings)))


if __name__ == "__main__":
    main()
