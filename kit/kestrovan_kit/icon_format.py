"""The icon format read once for all: an ICO file's directory and its images, the group entry
the resource compiler writes for each, and the 32-bit bitmaps with AND masks that both an ICO
file and an image's RT_ICON resources hold."""
import dataclasses
import struct

ICON_DIRECTORY = struct.Struct("<HHH")  # reserved, type (1: icon), count
ICON_DIRECTORY_ENTRY = struct.Struct("<BBBBHHII")  # width ... byte size, offset in the file
# An RT_GROUP_ICON resource is the same directory, each entry naming its image's RT_ICON
# resource where an ICO file gives the image's offset.
GROUP_ENTRY = struct.Struct("<BBBBHHIH")  # width ... byte size, the RT_ICON resource's id
BITMAP_HEADER = struct.Struct("<IiiHHIIiiII")
BITMAP_HEADER_SIZE = 40
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# The PNG's first chunk after its length: type, width, height, bit depth, colour type.
PNG_HEADER = struct.Struct(">4sIIBB")
PNG_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}  # grey, RGB, palette, grey and alpha, RGBA


@dataclasses.dataclass(frozen=True)
class IconFileImage:
    entry: tuple  # the ICONDIRENTRY's fields
    data: bytes


def icon_file_images(icon):
    """The images of the ICO file `icon`, in directory order, each with its directory entry."""
    reserved, kind, count = ICON_DIRECTORY.unpack_from(icon)
    if (reserved, kind) != (0, 1):
        raise ValueError(f"not an icon file (header {reserved}, {kind})")
    images = []
    for index in range(count):
        entry = ICON_DIRECTORY_ENTRY.unpack_from(icon, ICON_DIRECTORY.size
                                                 + ICON_DIRECTORY_ENTRY.size * index)
        length, offset = entry[6:]
        images.append(IconFileImage(entry, icon[offset:offset + length]))
    return images


def is_png(data):
    return data.startswith(PNG_SIGNATURE)


def drawn_size(data):
    """(width, height, bits per pixel) of an icon image as its own header gives them: a
    bitmap's, whose height counts the AND mask too, or a PNG's IHDR chunk."""
    if is_png(data):
        kind, width, height, depth, colour = PNG_HEADER.unpack_from(data, len(PNG_SIGNATURE) + 4)
        if kind != b"IHDR":
            raise ValueError("a PNG whose first chunk is not IHDR")
        return width, height, depth * PNG_CHANNELS.get(colour, 0)
    _, width, height, _, bits, *_ = BITMAP_HEADER.unpack_from(data)
    return width, height // 2, bits


def compiled_entry(entry, resource_id):
    """The RT_GROUP_ICON entry that the resource compiler (windres) writes for the ICO file's
    directory `entry`: the same, but 0 planes written as 1, and 0 bits per pixel as the fewest
    bits that tell its colour count apart (as measured with binutils 2.40; Pillow writes 0
    planes), and the image's resource id in place of its offset."""
    width, height, colours, reserved, planes, bits, size, _ = entry
    return (width, height, colours, reserved, planes or 1,
            bits or max(colours - 1, 0).bit_length(), size, resource_id)


def group_size(count):
    """The byte size of an RT_GROUP_ICON resource of `count` images."""
    return ICON_DIRECTORY.size + GROUP_ENTRY.size * count


def group_entries(group):
    """The entries of the RT_GROUP_ICON resource `group`, as many as its header counts."""
    _, _, count = ICON_DIRECTORY.unpack_from(group)
    return [GROUP_ENTRY.unpack_from(group, group_size(index)) for index in range(count)]


@dataclasses.dataclass(frozen=True)
class Bitmap:
    """A 32-bit icon bitmap: its header, colour rows and AND mask, both stored bottom-up."""
    data: bytes

    @property
    def header(self):
        return BITMAP_HEADER.unpack_from(self.data)

    @property
    def size(self):
        """Width and height; the header's height counts the colour rows and the mask."""
        _, width, double_height, *_ = self.header
        return width, double_height // 2

    @property
    def mask_row_bytes(self):
        """The mask's rows are padded to whole 32-bit words."""
        return (self.size[0] + 31) // 32 * 4

    @property
    def mask(self):
        width, height = self.size
        return self.data[BITMAP_HEADER_SIZE + width * height * 4:]

    def pixel(self, x, y):
        """(red, green, blue, alpha) at (x, y), y counted from the top."""
        width, height = self.size
        if not (0 <= x < width and 0 <= y < height):
            raise IndexError((x, y))
        offset = BITMAP_HEADER_SIZE + ((height - 1 - y) * width + x) * 4
        blue, green, red, alpha = self.data[offset:offset + 4]
        return red, green, blue, alpha

    def expected_mask(self):
        """The mask that marks exactly the pixels of alpha 0, its padding bits clear."""
        width, height = self.size
        row_bits = self.mask_row_bytes * 8
        rows = []
        for y in reversed(range(height)):
            row = sum(1 << (row_bits - 1 - x) for x in range(width) if self.pixel(x, y)[3] == 0)
            rows.append(row.to_bytes(self.mask_row_bytes, "big"))
        return b"".join(rows)
