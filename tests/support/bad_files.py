"""Files that are not what a tool asks for, each made at `path` from the built `image`; the one
way the tests patch an image."""
import os
import shutil
import struct

import pefile

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


def pe_field(path, offset, value, form="<H"):
    """Sets the field `offset` bytes after the image's PE signature to `value` (a 16-bit one,
    unless `form` says otherwise)."""
    data = bytearray(path.read_bytes())
    struct.pack_into(form, data, struct.unpack_from("<I", data, 0x3C)[0] + offset, value)
    path.write_bytes(data)
    return path


def patched(offset, value, form="<H"):
    """A copy of the image with the field at `offset` changed to `value`."""
    return lambda path, image: pe_field(shutil.copyfile(image, path), offset, value, form)


def replaced(old, new):
    """A copy of the image with its one occurrence of the bytes `old` changed to `new`."""
    def make(path, image):
        data = image.read_bytes()
        assert data.count(old) == 1, f"{old!r} occurs {data.count(old)} times"
        path.write_bytes(data.replace(old, new))
        return path
    return make


def with_bytes_changed(offset_in, length=1):
    """A copy of the image with `length` bytes inverted, from the offset that `offset_in(pe)`
    finds in the parsed image."""
    def make(path, image):
        data = bytearray(image.read_bytes())
        with pefile.PE(data=bytes(data)) as pe:
            offset = offset_in(pe)
        data[offset:offset + length] = bytes(byte ^ 0xFF for byte in data[offset:offset + length])
        path.write_bytes(data)
        return path
    return make
