"""The icon format read once for all: an ICO file's directory and its images, and the 32-bit
bitmaps with AND masks that both an ICO file and an image's RT_ICON resources hold."""
import dataclasses
import struct

ICON_DIRECTORY = struct.Struct("<HHH")  # reserved, type (1: icon), count
ICON_DIRECTORY_ENTRY = struct.Struct("<BBBBHHII")  # width ... byte size, offset in the file
# An RT_GROUP_ICON resource is the same directory, each entry naming its image's RT_ICON
# resource where an ICO file gives the image's offset.
GROUP_ENTRY = struct.Struct("<BBBBHHIH")  # width ... byte size, the RT_ICON resource's id
BITMAP_HEADER = struct.Struct("<IiiHHIIiiII")
BITMAP_HEADER_SIZE = 40


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
