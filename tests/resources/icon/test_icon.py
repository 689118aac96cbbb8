"""Checks the committed application icon and its preview."""

import subprocess
import sys

import pytest

from checkout import DEV, REPOSITORY
from kestrovan_kit.icon_format import Bitmap, icon_file_images

GENERATOR = DEV / "make_icon.py"
ICON = REPOSITORY / "resources" / "kestrovan.ico"
PREVIEW = REPOSITORY / "docs" / "icon-preview.png"

# Each size's bytes: its header, 32-bit pixels and a mask of rows padded to 32 bits.
IMAGE_BYTES = {16: 1128, 32: 4264, 64: 16936}
IMAGE_SIZES = tuple(IMAGE_BYTES)

TRANSPARENT = (0, 0, 0, 0)
BLUE = (0, 112, 184, 255)
WHITE = (255, 255, 255, 255)

# (x, y) from the top-left corner -> expected pixel, for each size.
DESIGN_SAMPLES = {
    16: {
        (0, 2): TRANSPARENT,   # corner cut out of the body
        (8, 0): TRANSPARENT,   # above the body
        (8, 3): BLUE,          # body above the band
        (12, 8): WHITE,        # band between screen and stripes
        (5, 8): BLUE,          # screen outline, left side
        (8, 6): BLUE,          # screen outline, top side
        (8, 8): WHITE,         # screen interior
        (1, 6): BLUE,          # left stripes
        (1, 7): WHITE,
        (14, 6): BLUE,         # right stripes
        (8, 13): BLUE,         # body below the band
    },
    32: {
        (1, 5): TRANSPARENT,
        (16, 2): TRANSPARENT,
        (16, 6): BLUE,
        (8, 16): WHITE,
        (10, 16): BLUE,
        (16, 12): BLUE,
        (16, 16): WHITE,
        (3, 11): BLUE,
        (3, 13): WHITE,
        (28, 12): BLUE,
        (16, 25): BLUE,
    },
    64: {
        (2, 10): TRANSPARENT,
        (32, 4): TRANSPARENT,
        (32, 14): BLUE,
        (16, 32): WHITE,
        (20, 32): BLUE,
        (32, 23): BLUE,
        (32, 32): WHITE,
        (5, 23): BLUE,
        (5, 26): WHITE,
        (58, 23): BLUE,
        (32, 50): BLUE,
    },
}


def icon_images():
    """Maps each size to its bitmap in the committed icon."""
    return {image.entry[0]: Bitmap(image.data) for image in icon_file_images(ICON.read_bytes())}


def test_committed_files_match_generator(tmp_path):
    subprocess.run([sys.executable, str(GENERATOR), "--out-dir",
                    str(tmp_path)], check=True)
    stale = "is out of date: re-run dev/make-icon and commit it"
    assert (tmp_path / ICON.name).read_bytes() == ICON.read_bytes(), \
        f"{ICON.name} {stale}"
    assert (tmp_path / PREVIEW.name).read_bytes() == PREVIEW.read_bytes(), \
        f"{PREVIEW.name} {stale}"


def test_icon_directory():
    icon = ICON.read_bytes()
    offset = 6 + 16 * len(IMAGE_SIZES)
    images = icon_file_images(icon)
    assert len(images) == len(IMAGE_SIZES)
    for size, image in zip(IMAGE_SIZES, images):
        assert image.entry == (size, size, 0, 0, 1, 32, IMAGE_BYTES[size], offset)
        offset += IMAGE_BYTES[size]
    assert len(icon) == offset


@pytest.mark.parametrize("size", IMAGE_SIZES)
def test_bitmap_header(size):
    assert icon_images()[size].header == (40, size, 2 * size, 1, 32, 0,
                                          IMAGE_BYTES[size] - 40, 0, 0, 0, 0)


# A mask row is padded to 32 bits: two bytes of padding at 16 pixels, none at 32 and 64.
@pytest.mark.parametrize("size, padding_bytes", [(16, 2), (32, 0), (64, 0)])
def test_mask_marks_exactly_the_transparent_pixels_and_its_padding_is_clear(size, padding_bytes):
    bitmap = icon_images()[size]
    assert bitmap.mask_row_bytes == size // 8 + padding_bytes
    assert len(bitmap.mask) == bitmap.mask_row_bytes * size
    assert bitmap.mask == bitmap.expected_mask()
    assert any(bitmap.pixel(x, y)[3] == 0 for x in range(size) for y in range(size))


@pytest.mark.parametrize("size", IMAGE_SIZES)
def test_design_samples(size):
    bitmap = icon_images()[size]
    assert bitmap.size == (size, size)
    for (x, y), expected in DESIGN_SAMPLES[size].items():
        assert bitmap.pixel(x, y) == expected, (x, y)


@pytest.mark.parametrize("size", IMAGE_SIZES)
def test_only_pure_colours_and_blue_edges(size):
    pixel = icon_images()[size].pixel
    partial = set()
    for y in range(size):
        for x in range(size):
            colour = pixel(x, y)
            if colour in (TRANSPARENT, BLUE, WHITE):
                continue
            assert colour[:3] == BLUE[:3], (x, y, colour)
            partial.add((x, y))
    if size == 16:
        assert not partial, "the 16x16 image should have crisp edges"
    else:
        assert partial, "rounded corners should be anti-aliased"
