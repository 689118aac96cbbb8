"""The brand file: a vendor's file name, icon, version numbers, version strings and launch
options for the launcher image, read and checked here once for all, and the variant folder that
the build takes instead of resources/ (a resource script and a header of launch options).

    python3 -m kestrovan_kit.brand variant BRAND_FILE FOLDER   writes the variant folder
    python3 -m kestrovan_kit.brand file-name BRAND_FILE        prints the image's file name
    python3 -m kestrovan_kit.brand buildinfo BRAND_FILE        prints BUILDINFO's brand lines

Exit status: 0 done; 2 the brand file is unusable: one line names the file, the key and the fault.
"""
import dataclasses
import hashlib
import pathlib
import re
import sys
import tomllib
import unicodedata
import uuid

from . import icon_format
from .command_line import ArgumentParser, Refusal, Unusable, read_file, run
from .untrusted import Fault, parsing

STRING_KEYS = ("CompanyName", "FileDescription", "LegalCopyright", "ProductName")
VERSION_KEYS = ("file", "product")
LAUNCH_KEYS = ("forward_startup", "app_id", "failure_message", "exit_code")
TOP_KEYS = ("file_name", "icon", "version", "strings", "launch", "installer")
REQUIRED_TOP_KEYS = ("file_name", "icon", "version")

MAX_VERSION_NUMBER = 0xFFFF
# A version block is at most 64 KiB (its length is a 16-bit field). Four strings of this many
# UTF-16 units, with the file name and the two versions, always fit.
MAX_STRING_UNITS = 8000
# The longest name a Windows folder entry holds.
MAX_FILE_NAME_UNITS = 255
MAX_APP_ID_CHARACTERS = 128
MAX_FAILURE_MESSAGE_UNITS = 1024
RESERVED_CHARACTERS = '<>:"/\\|?*'
# Windows opens these devices for a file of the name, whatever follows the first dot.
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$",
                *(f"{port}{number}" for port in ("COM", "LPT") for number in "0123456789¹²³")}
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

VARIANT_SCRIPT = "kestrovan.rc"
VARIANT_HEADER = "launch_options.h"
VARIANT_ICON = "brand.ico"
VARIANT_MANIFEST = "brand.manifest"

# Without a manifest, Windows takes a 32-bit program whose name holds "install", "setup",
# "update" or "patch" for an installer and asks for elevation; this one says it runs as it is.
MANIFEST = b"""\
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
</assembly>
"""


class BrandError(Unusable):
    """A brand file that cannot be used: its path, the key and the fault, on one line."""

    def __init__(self, path, key, fault):
        super().__init__(f"{path}: {key}: {fault}")


@dataclasses.dataclass(frozen=True)
class Launch:
    """What the launcher does beyond starting and waiting; all off by default."""
    forward_startup: bool = False
    app_id: str = ""
    failure_message: str = ""
    exit_with_child_code: bool = False


@dataclasses.dataclass(frozen=True)
class Brand:
    path: pathlib.Path
    sha256: str  # of the brand file as read
    file_name: str
    icon: pathlib.Path
    icon_data: bytes
    icon_images: tuple  # icon_format.IconFileImage, in the file's order
    file_version: tuple  # four numbers
    product_version: tuple
    strings: dict  # each of STRING_KEYS, "" when absent
    launch: Launch
    installer: "Installer"

    @property
    def version_strings(self):
        """The version block's string table, key by key in the default image's order."""
        return (("CompanyName", self.strings["CompanyName"]),
                ("FileDescription", self.strings["FileDescription"]),
                ("FileVersion", dotted(self.file_version)),
                ("LegalCopyright", self.strings["LegalCopyright"]),
                ("OriginalFilename", self.file_name),
                ("ProductName", self.strings["ProductName"]),
                ("ProductVersion", dotted(self.product_version)))

    @property
    def failure_caption(self):
        return product_name(self.strings, self.file_name)


def product_name(strings, file_name):
    """The ProductName, or else the file name without ".exe"."""
    return strings["ProductName"] or file_name[:-len(".exe")]


def dotted(numbers):
    return ".".join(map(str, numbers))


def utf16_units(text):
    return len(text.encode("utf-16-le", errors="surrogatepass")) // 2


def control_character(text):
    """The first control character in `text`, as U+XXXX, or None."""
    found = next((c for c in text if unicodedata.category(c) == "Cc"), None)
    return None if found is None else f"U+{ord(found):04X}"


def table(path, values, name, keys, required=()):
    """`values`, a table whose keys must be among `keys` and hold `required`."""
    if not isinstance(values, dict):
        raise BrandError(path, name, "must be a table")
    prefix = f"{name}." if name else ""
    unknown = [key for key in values if key not in keys]
    if unknown:
        raise BrandError(path, prefix + unknown[0], f"unknown key (known: {', '.join(keys)})")
    missing = [key for key in required if key not in values]
    if missing:
        raise BrandError(path, prefix + missing[0], "missing")
    return values


def text(path, key, value):
    if not isinstance(value, str):
        raise BrandError(path, key, "must be a string")
    control = control_character(value)
    if control:
        raise BrandError(path, key, f"holds the control character {control}")
    return value


def file_name_fault(name):
    """Why Windows cannot hold a file of `name`, or None."""
    reserved = next((c for c in name if c in RESERVED_CHARACTERS), None)
    if reserved:
        return f"holds {reserved!r}, which Windows does not allow in a file name"
    if name.endswith((".", " ")):
        return "ends with a dot or a space, which Windows drops"
    if not name.lower().endswith(".exe"):
        return "must end with .exe"
    device = name.split(".")[0].rstrip(" ").upper()
    if device in DEVICE_NAMES:
        return f"names the device {device}, which Windows opens instead of a file"
    if utf16_units(name) > MAX_FILE_NAME_UNITS:
        return f"longer than the {MAX_FILE_NAME_UNITS} characters of a Windows file name"
    return None


def read_file_name(path, value):
    name = text(path, "file_name", value)
    fault = file_name_fault(name)
    if fault:
        raise BrandError(path, "file_name", f"{name!r} {fault}")
    return name


def icon_images(data):
    """The images of the icon file `data`, each whole and a bitmap or a PNG; else a Fault."""
    with parsing("the icon file"):
        images = icon_format.icon_file_images(data)
    if not images:
        raise Fault("the icon file holds no image")
    for index, image in enumerate(images, 1):
        if len(image.data) != image.entry[6]:
            raise Fault(f"image {index} of the icon file is cut short")
        is_bitmap = image.data[:4] == icon_format.BITMAP_HEADER_SIZE.to_bytes(4, "little")
        if not (is_bitmap or image.data.startswith(PNG_SIGNATURE)):
            raise Fault(f"image {index} of the icon file is neither a bitmap nor a PNG")
    return tuple(images)


def read_icon(path, value):
    icon = path.parent / text(path, "icon", value)
    try:
        data = read_file(icon, "icon")
        return icon, data, icon_images(data)
    except Refusal as fault:  # an unreadable file, or a Fault of its contents
        raise BrandError(path, "icon", str(fault)) from None


VERSION = re.compile(r"[0-9]+(?:\.[0-9]+){0,3}")


def read_version(path, key, value):
    """Four numbers from 1 to 4 dotted ones; the missing ones are 0."""
    version = text(path, key, value)
    if not VERSION.fullmatch(version):
        raise BrandError(path, key, f"{version!r} is no version: 1 to 4 numbers joined by dots")
    numbers = [int(number) for number in version.split(".")]
    if max(numbers) > MAX_VERSION_NUMBER:
        raise BrandError(path, key, f"{max(numbers)} is out of range: each number is 0 to"
                                    f" {MAX_VERSION_NUMBER}")
    return tuple(numbers + [0] * (4 - len(numbers)))


def read_string(path, key, value):
    string = text(path, key, value)
    if utf16_units(string) > MAX_STRING_UNITS:
        raise BrandError(path, key, f"longer than the {MAX_STRING_UNITS} characters a version"
                                    " block holds for it")
    return string


def read_flag(path, key, value):
    if not isinstance(value, bool):
        raise BrandError(path, key, "must be true or false")
    return value


def read_app_id(path, key, value):
    app_id = text(path, key, value)
    if not 1 <= len(app_id) <= MAX_APP_ID_CHARACTERS:
        raise BrandError(path, key, f"must be 1 to {MAX_APP_ID_CHARACTERS} characters long")
    if any(c.isspace() for c in app_id):
        raise BrandError(path, key, "must not hold spaces")
    return app_id


def read_failure_message(path, key, value):
    message = text(path, key, value)
    if not 1 <= utf16_units(message) <= MAX_FAILURE_MESSAGE_UNITS:
        raise BrandError(path, key, f"must be 1 to {MAX_FAILURE_MESSAGE_UNITS} characters long")
    return message


def read_exit_code(path, key, value):
    if value != "child":
        raise BrandError(path, key, 'the only value is "child"')
    return True


def read_launch(path, values):
    launch = table(path, values, "launch", LAUNCH_KEYS)
    readers = {"forward_startup": read_flag, "app_id": read_app_id,
               "failure_message": read_failure_message, "exit_code": read_exit_code}
    read = {key: readers[key](path, f"launch.{key}", value) for key, value in launch.items()}
    return Launch(forward_startup=read.get("forward_startup", False),
                  app_id=read.get("app_id", ""),
                  failure_message=read.get("failure_message", ""),
                  exit_with_child_code=read.get("exit_code", False))


# The installer's part of the brand file (kit/installer): the documents the launcher opens.
INSTALLER_KEYS = ("extensions", "prog_id", "document", "upgrade_code")
EXTENSION = re.compile(r"\.[A-Za-z0-9_-]{1,32}")
# A ProgID: a letter first, then letters, digits and dots; at most 39 characters.
PROG_ID = re.compile(r"[A-Za-z][A-Za-z0-9.]{0,38}")
GUID = re.compile(r"[0-9A-Fa-f]{8}(?:-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}")
UPGRADE_CODES = uuid.UUID("0d0f3c63-6d3c-4b8e-9a52-6b1f1e3a6c4e")


@dataclasses.dataclass(frozen=True)
class Installer:
    """What the installer registers: the extensions it associates with the launcher, under the
    ProgID, named `document` in Explorer; and the MSI's UpgradeCode."""
    extensions: tuple = ()
    prog_id: str = ""
    document: str = ""
    upgrade_code: str = ""


def read_extensions(path, value):
    key = "installer.extensions"
    if not isinstance(value, list) or not value:
        raise BrandError(path, key, 'must be a list of extensions, such as [".acme"]')
    for extension in value:
        if not isinstance(extension, str) or not EXTENSION.fullmatch(extension):
            raise BrandError(path, key, f"{extension!r} is no extension: a dot, then 1 to 32"
                                        " letters, digits, - or _")
    folded = [extension.casefold() for extension in value]
    if len(set(folded)) != len(folded):
        raise BrandError(path, key, "names an extension twice (Windows ignores case)")
    return tuple(value)


def read_prog_id(path, value):
    prog_id = text(path, "installer.prog_id", value)
    if not PROG_ID.fullmatch(prog_id):
        raise BrandError(path, "installer.prog_id", f"{prog_id!r} is no ProgID: a letter, then"
                                                    " up to 38 letters, digits and dots")
    return prog_id


def read_upgrade_code(path, value):
    code = text(path, "installer.upgrade_code", value).strip("{}")
    if not GUID.fullmatch(code):
        raise BrandError(path, "installer.upgrade_code", f"{value!r} is no GUID")
    return code.upper()


def read_installer(path, values, name):
    """The installer's part; what is not given comes from `name`, the product's name, so that
    the same brand file always gives the same ProgID and UpgradeCode."""
    installer = table(path, values, "installer", INSTALLER_KEYS)
    readers = {"extensions": read_extensions, "prog_id": read_prog_id,
               "document": lambda path, value: text(path, "installer.document", value),
               "upgrade_code": read_upgrade_code}
    read = {key: readers[key](path, value) for key, value in installer.items()}
    stem = re.sub(r"[^A-Za-z0-9]", "", name)
    return Installer(
        extensions=read.get("extensions", ()),
        prog_id=read.get("prog_id", f"{stem if stem[:1].isalpha() else 'App' + stem}"[:30]
                         + ".Document"),
        document=read.get("document", f"{name} document"),
        upgrade_code=read.get("upgrade_code", str(uuid.uuid5(UPGRADE_CODES, name)).upper()))


def parse_toml(path, data):
    try:
        return tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise BrandError(path, "(file)", "not UTF-8 text") from None
    except tomllib.TOMLDecodeError as error:
        raise BrandError(path, "(file)", f"not TOML: {error}") from None


def read_brand(path):
    """The brand file at `path`, read and checked; a BrandError (status 2) names what is wrong."""
    path = pathlib.Path(path)
    data = read_file(path, "brand file")
    values = table(path, parse_toml(path, data), "", TOP_KEYS, REQUIRED_TOP_KEYS)
    version = table(path, values["version"], "version", VERSION_KEYS, VERSION_KEYS)
    strings = table(path, values.get("strings", {}), "strings", STRING_KEYS)
    icon, icon_data, images = read_icon(path, values["icon"])
    file_name = read_file_name(path, values["file_name"])
    strings = {key: read_string(path, f"strings.{key}", strings.get(key, ""))
               for key in STRING_KEYS}
    return Brand(
        path=path,
        sha256=hashlib.sha256(data).hexdigest(),
        file_name=file_name,
        icon=icon,
        icon_data=icon_data,
        icon_images=images,
        file_version=read_version(path, "version.file", version["file"]),
        product_version=read_version(path, "version.product", version["product"]),
        strings=strings,
        launch=read_launch(path, values.get("launch", {})),
        installer=read_installer(path, values.get("installer", {}),
                                 product_name(strings, file_name)))


def rc_string(value):
    """`value` as a wide string of the resource script, each UTF-16 unit that is not printable
    ASCII, and the quote, backslash and question mark (trigraphs), as a four-digit escape, so
    that neither the preprocessor nor a code page can change it."""
    units = value.encode("utf-16-le", errors="surrogatepass")
    codes = [int.from_bytes(units[i:i + 2], "little") for i in range(0, len(units), 2)]
    return 'L"' + "".join(chr(code) if 0x20 <= code < 0x7F and chr(code) not in '"\\?'
                          else f"\\x{code:04x}" for code in codes) + '"'


def resource_script(brand):
    """The resource script of the branded image: the default's, with the brand's icon, numbers
    and strings, and the manifest."""
    values = "\n".join(f'            VALUE "{key}", {rc_string(value)}'
                       for key, value in brand.version_strings)
    return f"""\
// Written from a brand file by kestrovan_kit.brand; the shell shows the one icon group.
#include <winver.h>

LANGUAGE 0x09, 0x01

IDI_ICON1 ICON "{VARIANT_ICON}"

1 24 "{VARIANT_MANIFEST}"

VS_VERSION_INFO VERSIONINFO
 FILEVERSION {",".join(map(str, brand.file_version))}
 PRODUCTVERSION {",".join(map(str, brand.product_version))}
 FILEFLAGSMASK 0x3fL
 FILEFLAGS 0x0L
 FILEOS 0x4L
 FILETYPE 0x1L
 FILESUBTYPE 0x0L
BEGIN
    BLOCK "StringFileInfo"
    BEGIN
        BLOCK "040904b0"
        BEGIN
{values}
        END
    END
    BLOCK "VarFileInfo"
    BEGIN
        VALUE "Translation", 0x409, 1200
    END
END
"""


def cpp_wide_string(value):
    """`value` as a C++ wide string literal: non-ASCII characters as universal character names,
    which no following character can extend, and `?` escaped so that no trigraph forms."""
    def escaped(c):
        if c in '"\\?':
            return "\\" + c
        if c.isascii():
            return c
        return f"\\u{ord(c):04X}" if ord(c) <= 0xFFFF else f"\\U{ord(c):08X}"
    return 'L"' + "".join(map(escaped, value)) + '"'


def launch_options_header(launch, failure_caption=""):
    """The header of launch options for the launcher's code; the caption only goes with a
    failure message."""
    caption = failure_caption if launch.failure_message else ""
    return f"""\
#pragma once

#include <string_view>

namespace kestrovan::launch_options {{

/// The child gets the start information the launcher was given (show state, position, size,
/// the shortcut's path as title, hot key), never standard handles nor reserved fields.
inline constexpr bool forward_startup = {str(launch.forward_startup).lower()};
/// The taskbar identity handed to the child as its title with STARTF_TITLEISAPPID; empty: off.
inline constexpr std::wstring_view app_id = {cpp_wide_string(launch.app_id)};
/// Shown in a message box, with the Windows code, when the start fails; empty: off.
inline constexpr std::wstring_view failure_message = {cpp_wide_string(launch.failure_message)};
/// The message box's caption (the brand's ProductName, or the file name without ".exe").
inline constexpr std::wstring_view failure_caption = {cpp_wide_string(caption)};
/// The launcher exits with the child's exit code, and with the Windows code on a failed start.
inline constexpr bool exit_with_child_code = {str(launch.exit_with_child_code).lower()};

}}  // namespace kestrovan::launch_options
"""


def write_if_changed(path, data):
    """Leaves a file that already holds `data` untouched, so that the build does not redo it."""
    if not path.is_file() or path.read_bytes() != data:
        path.write_bytes(data)


def write_variant(brand, folder):
    """The variant folder of `brand`: its resource script, with the icon and the manifest it
    names, and its launch options."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    write_if_changed(folder / VARIANT_ICON, brand.icon_data)
    write_if_changed(folder / VARIANT_MANIFEST, MANIFEST)
    write_if_changed(folder / VARIANT_SCRIPT, resource_script(brand).encode("ascii"))
    header = launch_options_header(brand.launch, brand.failure_caption)
    write_if_changed(folder / VARIANT_HEADER, header.encode("ascii"))


def buildinfo_lines(brand):
    """What BUILDINFO says of the brand: the files, by name and SHA-256, that the image was
    branded from."""
    return [f"brand={brand.path.name}",
            f"brand.sha256={brand.sha256}",
            f"brand.icon={brand.icon.name}",
            f"brand.icon_sha256={hashlib.sha256(brand.icon_data).hexdigest()}"]


def main():
    parser = ArgumentParser(prog="brand", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    variant = commands.add_parser("variant", help="write the variant folder of a brand file")
    variant.add_argument("brand", metavar="BRAND_FILE", type=pathlib.Path)
    variant.add_argument("folder", metavar="FOLDER", type=pathlib.Path)
    file_name = commands.add_parser("file-name", help="print the image's file name")
    file_name.add_argument("brand", metavar="BRAND_FILE", type=pathlib.Path)
    buildinfo = commands.add_parser("buildinfo", help="print what BUILDINFO says of the brand")
    buildinfo.add_argument("brand", metavar="BRAND_FILE", type=pathlib.Path)
    arguments = parser.parse_args()
    brand = read_brand(arguments.brand)
    if arguments.command == "variant":
        write_variant(brand, arguments.folder)
    elif arguments.command == "file-name":
        print(brand.file_name)
    else:
        print("\n".join(buildinfo_lines(brand)))
    return 0


if __name__ == "__main__":
    sys.exit(run("brand", main))
