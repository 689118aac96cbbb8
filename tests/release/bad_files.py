"""Files that are not what a tool asks for, each made at `path` from the built `image`."""
import os
import shutil
import struct

MACHINE, CHARACTERISTICS, OPTIONAL_MAGIC, SUBSYSTEM = 4, 22, 24, 24 + 68
IMAGE_FILE_DLL = 0x2000


def missing(path, image):
    return path


def directory(path, image):
    path.mkdir()
    return path


def fifo(path, image):
    os.mkfifo(path)
    return path


def empty(path, image):
    path.write_bytes(b"")
    return path


def text(path, image):
    path.write_text("kestrovan launcher\n" * 10)
    return path


def truncated(path, image):
    path.write_bytes(image.read_bytes()[:1500])
    return path


def pe_field(path, offset, value):
    """Sets the 16-bit field `offset` bytes after the image's PE signature to `value`."""
    data = bytearray(path.read_bytes())
    struct.pack_into("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + offset, value)
    path.write_bytes(data)
    return path


def patched(offset, value):
    """A copy of the image with the field at `offset` changed to `value`."""
    return lambda path, image: pe_field(shutil.copyfile(image, path), offset, value)
