"""Decoding of the 32-bit bitmaps stored inside ICO files."""

import struct

HEADER_SIZE = 40


def decode_dib(data):
    """Return (width, height, pixel) for one 32-bit ICO image.

    pixel(x, y) gives (r, g, b, a) with y counted from the top, whereas the
    bitmap stores its rows bottom-up.  The height in the header covers the
    colour rows and the AND mask together, so the image is half of it.
    """
    (header_size, width, double_height, _planes, bit_count,
     compression) = struct.unpack_from("<IiiHHI", data)
    if header_size != HEADER_SIZE or bit_count != 32 or compression != 0:
        raise ValueError("not an uncompressed 32-bit bitmap")
    height = double_height // 2

    def pixel(x, y):
        if not (0 <= x < width and 0 <= y < height):
            raise IndexError((x, y))
        offset = HEADER_SIZE + ((height - 1 - y) * width + x) * 4
        blue, green, red, alpha = data[offset:offset + 4]
        return red, green, blue, alpha

    return width, height, pixel
