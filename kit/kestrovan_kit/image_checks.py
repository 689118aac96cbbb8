"""Checks of a launcher image against the image we expect (brand.py): the default image, whose
icon and version block the product's resources declare, or a vendor's, which a brand file
declares. Format, imports, fixed flags, translation and file end are the launcher's whatever
the brand; the subsystem, resources, icon images byte for byte with their group entries, version
numbers and strings, and the manifest are the expected image's, one finding per difference.

`kit/verify`, `kit/sign`, `kit/size-report`, the installation check and the test suite run the
one list of checks, so what a packager verifies is what the build is tested for. Each check
returns a `Finding`; a check never raises for a malformed image, it reports it.
"""
import os

import pefile

from . import icon_format
from .brand import default_brand, dotted
from .command_line import one_line
from .findings import Finding, finding
from .untrusted import Fault, parsing

# An image is refused unread past this size: the launcher has 40 KiB, a Java runtime's javaw.exe
# well under 1 MiB, and reading one whole stays quick and small in memory.
IMAGE_LIMIT = 16 << 20
# The certificate table starts at a multiple of 8 bytes.
SIGNATURE_ALIGNMENT = 8
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]

MACHINE_I386 = 0x014C
PE32_MAGIC = 0x010B
SUBSYSTEMS = {2: "graphical (no console window)", 3: "console"}
LANGUAGE_EN_US = 0x0409

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
MANIFEST_ID = 1  # the manifest Windows reads when it creates the process

IMPORTS = ("KERNEL32.dll", "msvcrt.dll")
ICON_GROUP = "IDI_ICON1"
GROUP_ENTRY_FIELDS = ("width", "height", "colours", "reserved", "planes", "bits per pixel",
                      "bytes", "resource id")

# The fixed part of every launcher's version block but its version numbers.
FIXED_FLAGS = {
    "Signature": 0xFEEF04BD,
    "FileFlagsMask": 0x3F, "FileFlags": 0,
    "FileOS": 4, "FileType": 1, "FileSubtype": 0,
    "FileDateMS": 0, "FileDateLS": 0,
}
VERSION_FIELDS = {"file version": ("FileVersionMS", "FileVersionLS"),
                  "product version": ("ProductVersionMS", "ProductVersionLS")}
STRING_TABLE = "040904b0"
TRANSLATION = "0x0409 0x04b0"


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


def check_subsystem(pe, expected):
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    wanted = SUBSYSTEMS[expected.subsystem]
    expect(subsystem == expected.subsystem,
           f"subsystem {pefile.SUBSYSTEM_TYPE.get(subsystem, subsystem)}, not {wanted}")
    return wanted


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


def expected_resources(expected):
    icons = [(RT_ICON, image_id, LANGUAGE_EN_US)
             for image_id in range(1, len(expected.icon_images) + 1)]
    manifest = [(RT_MANIFEST, MANIFEST_ID, LANGUAGE_EN_US)] if expected.manifest else []
    return sorted(icons + manifest + [(RT_GROUP_ICON, ICON_GROUP, LANGUAGE_EN_US),
                                      (RT_VERSION, 1, LANGUAGE_EN_US)], key=str)


def check_resources(pe, expected):
    """The image's resources, which must be exactly the expected ones; else a Fault naming the
    missing and the unexpected ones."""
    wanted = expected_resources(expected)
    present = sorted(resource_entries(pe), key=str)
    missing = [describe(r) for r in wanted if r not in present]
    extra = [describe(r) for r in present if r not in wanted]
    expect(not missing and not extra,
           "; ".join(filter(None, [missing and f"missing {listing(missing)}",
                                   extra and f"unexpected {listing(extra)}"])))
    return (f"{len(present)} resources: {len(expected.icon_images)} icon images, icon group"
            f" {ICON_GROUP}, version block" + (", manifest" if expected.manifest else ""))


def icon_group(pe):
    """The entries of the image's icon group, which must be a whole group."""
    group = resource_entries(pe).get((RT_GROUP_ICON, ICON_GROUP, LANGUAGE_EN_US))
    expect(group is not None, f"no icon group {ICON_GROUP}")
    reserved, kind, count = icon_format.ICON_DIRECTORY.unpack_from(group)
    expect((reserved, kind) == (0, 1), "bad group header")
    expect(len(group) == icon_format.group_size(count),
           f"group of {len(group)} bytes for {count} images")
    return icon_format.group_entries(group)


def check_icon_group(pe, expected):
    count = len(icon_group(pe))
    expect(count == len(expected.icon_images),
           f"{count} images, {expected.icon.name} holds {len(expected.icon_images)}")
    return f"{count} images, as in {expected.icon.name}"


def size(entry):
    width, height = entry[:2]
    return f"{width or 256}x{height or 256}, {entry[5]} bits per pixel"


def entry_differences(found, wanted):
    return ", ".join(f"{name} {value}" for name, value, other in
                     zip(GROUP_ENTRY_FIELDS, found, wanted) if value != other)


def check_icon_image(pe, expected, index):
    """Image `index` of the group: its entry as the resource compiler writes the icon file's,
    and its bytes."""
    image = expected.icon_images[index]
    entries = icon_group(pe)
    expect(index < len(entries), "not in the image's icon group")
    entry, wanted = entries[index], icon_format.compiled_entry(image.entry, index + 1)
    expect(entry == wanted,
           f"the group gives {entry_differences(entry, wanted)}; {expected.icon.name}, as the"
           f" resource compiler writes it, gives {entry_differences(wanted, entry)}")
    data = resource_entries(pe).get((RT_ICON, entry[7], LANGUAGE_EN_US))
    expect(data is not None, f"the group names icon resource {entry[7]}, which is missing")
    expect(data == image.data, f"differs from image {index + 1} of {expected.icon.name}")
    kind = "PNG" if icon_format.is_png(image.data) else "bitmap"
    return f"{size(entry)}, {kind}, identical to {expected.icon.name}"


def version_info(pe):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    expect(fixed, "no version block")
    return fixed[0], getattr(pe, "FileInfo", [[]])[0]


def check_version_number(pe, expected, field):
    high, low = VERSION_FIELDS[field]
    fixed, _ = version_info(pe)
    found = (getattr(fixed, high) >> 16, getattr(fixed, high) & 0xFFFF,
             getattr(fixed, low) >> 16, getattr(fixed, low) & 0xFFFF)
    wanted = expected.file_version if field == "file version" else expected.product_version
    expect(found == wanted, f"{dotted(found)}, {expected.source} says {dotted(wanted)}")
    return dotted(found)


def check_fixed_flags(pe):
    fixed, _ = version_info(pe)
    wrong = [f"{field} {getattr(fixed, field):#x}" for field, value in FIXED_FLAGS.items()
             if getattr(fixed, field) != value]
    expect(not wrong, "fixed part has " + ", ".join(wrong))
    return "flags mask 0x3f, OS 4, type 1"


def utf16_at(data, offset):
    """The UTF-16 text at `offset` of `data`, up to its null unit, as Windows reads it: unit for
    unit, unpaired surrogates and all."""
    end = offset
    while len(data[end:end + 2]) == 2 and data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16-le", errors="surrogatepass")


def string_table(pe):
    """The key -> value pairs of the version block's one string table, in its order, which must
    be the launcher's (English, United States; Unicode). The values are read from the file, as
    pefile gives each UTF-16 unit of them as a character of its own."""
    _, file_info = version_info(pe)
    tables = [table for info in file_info if info.Key == b"StringFileInfo"
              for table in info.StringTable]
    expect([table.LangID for table in tables] == [STRING_TABLE.encode()],
           f"string tables {[table.LangID.decode() for table in tables]}, not [{STRING_TABLE}]")
    return {key.decode(): utf16_at(pe.__data__, value_offset)
            for key, (_, value_offset) in tables[0].entries_offsets.items()}


def check_string_keys(pe, expected):
    keys = list(string_table(pe))
    wanted = [key for key, _ in expected.version_strings]
    expect(keys == wanted, f"keys {', '.join(keys)}; expected {', '.join(wanted)}")
    return f"{STRING_TABLE}: {len(keys)} keys, in the launcher's order"


def utf16(text):
    return text.encode("utf-16-le", errors="surrogatepass")


def check_string(pe, expected, key, wanted):
    found = string_table(pe).get(key)
    expect(found is not None, f"missing, {expected.source} says {wanted!r}")
    expect(utf16(found) == utf16(wanted), f"{found!r}, {expected.source} says {wanted!r}")
    return repr(found)


def check_translation(pe):
    _, file_info = version_info(pe)
    translations = [entry for info in file_info if info.Key == b"VarFileInfo"
                    for var in info.Var for entry in var.entry.items()]
    expect(translations == [(b"Translation", TRANSLATION)], f"translations {translations}")
    return "0409, 04B0"


def check_manifest(pe, expected):
    manifest = resource_entries(pe).get((RT_MANIFEST, MANIFEST_ID, LANGUAGE_EN_US))
    expect(manifest is not None, "none: Windows may take the image for an installer by its name")
    expect(manifest == expected.manifest, "not the manifest that asks to run as the invoker")
    return "asks to run as the invoker (asInvoker)"


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


def checks(expected):
    """(name, function, arguments) of each check of an image against the `expected` one."""
    icons = [(f"icon image {index + 1}", check_icon_image, (expected, index))
             for index in range(len(expected.icon_images))]
    strings = [(f"version string {key}", check_string, (expected, key, value))
               for key, value in expected.version_strings]
    manifest = [("manifest", check_manifest, (expected,))] if expected.manifest else []
    return [
        ("format", check_format, ()),
        ("subsystem", check_subsystem, (expected,)),
        ("imports", check_imports, ()),
        ("resources", check_resources, (expected,)),
        ("icon group", check_icon_group, (expected,)),
        *icons,
        ("file version", check_version_number, (expected, "file version")),
        ("product version", check_version_number, (expected, "product version")),
        ("version fixed part", check_fixed_flags, ()),
        ("version strings", check_string_keys, (expected,)),
        *strings,
        ("translation", check_translation, ()),
        *manifest,
        ("file end", check_file_end, ()),
    ]


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


def inspect(path, expected=None):
    """Every check's finding for the image at `path` against the `expected` one (a brand.Brand;
    the default image when None), or one failed 'PE image' finding when it is no whole PE image
    (then no other check could say anything)."""
    try:
        pe = open_image(path)
    except Fault as fault:
        return [Finding("PE image", False, str(fault))]
    with pe:
        return [finding(name, check, pe, *arguments)
                for name, check, arguments in checks(expected or default_brand())]


def against(expected):
    """How a report names what the image was checked against: the brand file, if any."""
    return f" against {expected.path}" if expected.path else ""


def faults(path, expected=None):
    """What the checks against `expected` (the default image when None) find wrong with the
    image at `path`, as one line; empty when all hold."""
    return "; ".join(f"{finding.check}: {finding.detail}"
                     for finding in inspect(path, expected) if not finding.ok)
