"""Checks of a launcher image as it must ship: format, imports, icon group and version block.

Both `kit/verify` and the test suite run these checks, so what a packager verifies is what the
build is tested for. Each check returns a `Finding`; a check never raises for a malformed image,
it reports it.
"""
import dataclasses
import os

import pefile

from . import icon_format, product
from .command_line import one_line
from .untrusted import Fault, parsing

# An image is refused unread past this size: the launcher has 40 KiB, a Java runtime's javaw.exe
# well under 1 MiB, and reading one whole stays quick and small in memory.
IMAGE_LIMIT = 16 << 20
# The certificate table starts at a multiple of 8 bytes.
SIGNATURE_ALIGNMENT = 8
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]

MACHINE_I386 = 0x014C
PE32_MAGIC = 0x010B
SUBSYSTEM_WINDOWS_GUI = 2
LANGUAGE_EN_US = 0x0409

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16

IMPORTS = ("KERNEL32.dll", "msvcrt.dll")
ICON_GROUP = "IDI_ICON1"
# (image id, width and height, byte size) of each icon image, in group order.
ICON_IMAGES = ((1, 16, 1128), (2, 32, 4264), (3, 64, 16936))
RESOURCES = sorted(
    [(RT_ICON, image_id, LANGUAGE_EN_US) for image_id, _, _ in ICON_IMAGES]
    + [(RT_GROUP_ICON, ICON_GROUP, LANGUAGE_EN_US), (RT_VERSION, 1, LANGUAGE_EN_US)],
    key=str)

FIXED_VERSION = {
    "Signature": 0xFEEF04BD,
    "FileVersionMS": 0, "FileVersionLS": 0,
    "ProductVersionMS": 0, "ProductVersionLS": 0,
    "FileFlagsMask": 0x3F, "FileFlags": 0,
    "FileOS": 4, "FileType": 1, "FileSubtype": 0,
    "FileDateMS": 0, "FileDateLS": 0,
}
STRING_TABLE = "040904b0"
TRANSLATION = "0x0409 0x04b0"


@dataclasses.dataclass(frozen=True)
class Finding:
    check: str
    ok: bool
    detail: str
    # Holds, but deserves a look: the tools show it and still exit 0.
    warning: bool = False


def expect(condition, message):
    if not condition:
        raise Fault(message)


def listing(names, shown=6):
    """`names` joined with commas; past `shown` of them, how many more, so that a foreign program
    still gets a line that can be read."""
    listed = ", ".join(names[:shown])
    return listed if len(names) <= shown else f"{listed} and {len(names) - shown} more"


def check_format(pe):
    expect(pe.OPTIONAL_HEADER.Magic == PE32_MAGIC,
           f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}, not PE32")
    expect(pe.FILE_HEADER.Machine == MACHINE_I386,
           f"machine {pe.FILE_HEADER.Machine:#06x}, not i386")
    return "PE32, i386"


def check_subsystem(pe):
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    expect(subsystem == SUBSYSTEM_WINDOWS_GUI,
           f"subsystem {pefile.SUBSYSTEM_TYPE.get(subsystem, subsystem)}, not graphical")
    return "graphical (no console window)"


def check_imports(pe):
    imported = [one_line(entry.dll.decode())
                for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    delayed = [one_line(entry.dll.decode())
               for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
    expect(not delayed, f"delay-loads {listing(delayed)}")
    expect(sorted(imported) == sorted(IMPORTS),
           f"imports {listing(imported) or 'nothing'}; expected only {' and '.join(IMPORTS)}")
    return " and ".join(IMPORTS)


def resource_entries(pe):
    """(type, name or id, language) -> data, for every resource in the image."""
    entries = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for name in kind.directory.entries:
            key = str(name.name) if name.name is not None else name.id
            for language in name.directory.entries:
                data = language.data.struct
                entries[(kind.id, key, language.id)] = pe.get_data(data.OffsetToData, data.Size)
    return entries


def describe(resource):
    kind, name, language = resource
    return f"{pefile.RESOURCE_TYPE.get(kind, kind)} {one_line(str(name))} ({language:04x})"


def expect_resources(pe, expected):
    """The image's resources, which must be exactly `expected`; else a Fault naming the missing
    and the unexpected ones."""
    present = sorted(resource_entries(pe), key=str)
    missing = [describe(r) for r in expected if r not in present]
    extra = [describe(r) for r in present if r not in expected]
    expect(not missing and not extra,
           "; ".join(filter(None, [missing and f"missing {listing(missing)}",
                                   extra and f"unexpected {listing(extra)}"])))
    return present


def check_resources(pe):
    present = expect_resources(pe, RESOURCES)
    return f"{len(present)} resources: three icon images, icon group {ICON_GROUP}, version block"


def icon_group_data(pe):
    group = resource_entries(pe).get((RT_GROUP_ICON, ICON_GROUP, LANGUAGE_EN_US))
    expect(group is not None, f"no icon group {ICON_GROUP}")
    return group


def check_icon_group(pe):
    group = icon_group_data(pe)
    expect(len(group) == icon_format.group_size(len(ICON_IMAGES)), f"group of {len(group)} bytes")
    expect(icon_format.ICON_DIRECTORY.unpack_from(group) == (0, 1, len(ICON_IMAGES)),
           "bad group header")
    entries = icon_format.group_entries(group)
    for index, ((image_id, size, byte_size), entry) in enumerate(zip(ICON_IMAGES, entries)):
        expect(entry == (size, size, 0, 0, 1, 32, byte_size, image_id),
               f"group entry {index + 1} is {entry}")
    return ", ".join(f"{size}x{size}" for _, size, _ in ICON_IMAGES) + ", 32 bits per pixel"


def check_bitmap(data, size, byte_size):
    expect(len(data) == byte_size, f"{len(data)} bytes, not {byte_size}")
    bitmap = icon_format.Bitmap(data)
    header = bitmap.header[:6]
    expect(header == (40, size, 2 * size, 1, 32, 0), f"bitmap header {header}")
    expect(bitmap.mask == bitmap.expected_mask(),
           "its mask does not mark exactly the pixels of alpha 0")


def committed_icon_images(icon_file):
    return [image.data for image in icon_format.icon_file_images(icon_file.read_bytes())]


def check_icon_images(pe, icon_file=product.ICON):
    resources = resource_entries(pe)
    reference = committed_icon_images(icon_file)
    for (image_id, size, byte_size), expected in zip(ICON_IMAGES, reference, strict=True):
        data = resources.get((RT_ICON, image_id, LANGUAGE_EN_US))
        expect(data is not None, f"no icon image {image_id}")
        try:
            check_bitmap(data, size, byte_size)
        except Fault as fault:
            raise Fault(f"image {image_id} ({size}x{size}): {fault}") from None
        expect(data == expected, f"image {image_id} ({size}x{size}) differs from {icon_file.name}")
    return f"uncompressed bitmaps with masks, identical to {icon_file.name}"


def version_info(pe):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    expect(fixed, "no version block")
    return fixed[0], getattr(pe, "FileInfo", [[]])[0]


def check_version_fixed(pe):
    fixed, _ = version_info(pe)
    wrong = [f"{field} {getattr(fixed, field):#x}" for field, value in FIXED_VERSION.items()
             if getattr(fixed, field) != value]
    expect(not wrong, "fixed part has " + ", ".join(wrong))
    return "file and product version 0.0.0.0, flags mask 0x3f, OS 4, type 1"


def string_table(pe):
    """The (key, value) pairs of the version block's one string table, which must be the
    launcher's (English, United States; Unicode)."""
    _, file_info = version_info(pe)
    tables = [table for info in file_info if info.Key == b"StringFileInfo"
              for table in info.StringTable]
    expect([table.LangID for table in tables] == [STRING_TABLE.encode()],
           f"string tables {[table.LangID.decode() for table in tables]}, not [{STRING_TABLE}]")
    return tuple((key.decode(), value.decode()) for key, value in tables[0].entries.items())


def check_version_strings(pe):
    strings = string_table(pe)
    expect(strings == product.version_strings(), f"strings {strings}")
    return f'{STRING_TABLE}: ProductName "kestrovan", OriginalFilename "kestrovan.exe"'


def check_translation(pe):
    _, file_info = version_info(pe)
    translations = [entry for info in file_info if info.Key == b"VarFileInfo"
                    for var in info.Var for entry in var.entry.items()]
    expect(translations == [(b"Translation", TRANSLATION)], f"translations {translations}")
    return "0409, 04B0"


def sections_end(pe):
    return max((s.PointerToRawData + s.SizeOfRawData for s in pe.sections), default=0)


def check_file_end(pe):
    """Nothing but the signature after the last section: bytes there are in no section that
    Windows loads, nor in the signature, so no check would ever look at them."""
    size = len(pe.__data__)
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    end = sections_end(pe)
    if not table.Size:
        expect(size == end, f"{size - end:,} bytes appended after its last section")
        return "nothing after its last section"
    aligned = -(-end // SIGNATURE_ALIGNMENT) * SIGNATURE_ALIGNMENT
    expect(table.VirtualAddress <= aligned and not any(pe.__data__[end:table.VirtualAddress]),
           f"{table.VirtualAddress - end:,} bytes between its last section and its signature")
    after = size - (table.VirtualAddress + table.Size)
    expect(after <= 0, f"{after:,} bytes appended after its signature")
    return "nothing after its last section but the signature"


CHECKS = {
    "format": check_format,
    "subsystem": check_subsystem,
    "imports": check_imports,
    "resources": check_resources,
    "icon group": check_icon_group,
    "icon images": check_icon_images,
    "version fixed part": check_version_fixed,
    "version strings": check_version_strings,
    "translation": check_translation,
    "file end": check_file_end,
}


def finding(check, function, *arguments):
    """`function`'s verdict as a Finding: what it returns when the check holds, else its Fault
    (a part of the file that it cannot parse among them)."""
    try:
        with parsing(check):
            return Finding(check, True, function(*arguments))
    except Fault as fault:
        return Finding(check, False, str(fault))


def open_image(path):
    """The parsed PE image at `path`; a Fault when it is not one, or not all of it is there."""
    with parsing("its headers"):
        size = os.stat(path).st_size
        if size > IMAGE_LIMIT:
            raise Fault(f"{size:,} bytes, more than the {IMAGE_LIMIT >> 20} MiB the kit reads of"
                        " an image: no launcher or runtime is that large; not read")
        try:
            pe = pefile.PE(str(path), fast_load=False)
        except pefile.PEFormatError as error:
            raise Fault(f"not a PE image ({error.value})") from None
        except OSError as error:
            raise Fault(f"cannot read it: {error.strerror}") from None
        size = len(pe.__data__)
        end = sections_end(pe) if pe.sections else size
        if end > size:
            pe.close()
            raise Fault(f"truncated: {size} bytes, but its sections end at byte {end}")
        return pe


def inspect(path, checks=None):
    """Every check's finding for the image at `path`, or one failed 'PE image' finding when it is
    no whole PE image (then no other check could say anything). `checks` are (name, function,
    arguments) in place of the launcher's own."""
    try:
        pe = open_image(path)
    except Fault as fault:
        return [Finding("PE image", False, str(fault))]
    with pe:
        if checks is None:
            checks = [(name, check, ()) for name, check in CHECKS.items()]
        return [finding(name, check, pe, *arguments) for name, check, arguments in checks]


def faults(path, checks=None):
    """What the checks find wrong with the image at `path`, as one line; empty when all hold."""
    return "; ".join(f"{finding.check}: {finding.detail}"
                     for finding in inspect(path, checks) if not finding.ok)
