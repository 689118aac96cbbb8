"""The image we expect: a vendor's file name, icon, version numbers, version strings and launch
options, read from a brand file and checked here once for all, or the default image's, read from
the product's resources; and the variant folder that the build takes instead of resources/ (a
resource script and a header of launch options).

    python3 -m kestrovan_kit.brand variant BRAND_FILE FOLDER   writes the variant folder
    python3 -m kestrovan_kit.brand file-name BRAND_FILE        prints the image's file name
    python3 -m kestrovan_kit.brand buildinfo BRAND_FILE        prints BUILDINFO's brand lines

Exit status: 0 done; 2 the brand file is unusable: one line names the file, the key and the fault.
"""
import dataclasses
import functools
import hashlib
import os
import pathlib
import re
import sys
import tomllib
import unicodedata
import uuid

from . import icon_format, product
from .command_line import (ArgumentParser, Refusal, TooLarge, Unusable, byte_count, file_argument,
                           read_file, run)
from .untrusted import Fault, parsing

STRING_KEYS = ("CompanyName", "FileDescription", "LegalCopyright", "ProductName")
VERSION_KEYS = ("file", "product")
LAUNCH_KEYS = ("forward_startup", "app_id", "failure_message", "exit_code", "forward_arguments",
               "java_options", "console", "clean_java_environment")
TOP_KEYS = ("file_name", "icon", "version", "strings", "launch", "installer")
REQUIRED_TOP_KEYS = ("file_name", "icon", "version")

# The longest brand file that holds what the reader accepts: four strings of 8,000 UTF-16 units
# (MAX_STRING_UNITS), each unit written as a six-character \uXXXX escape, take 192,000 bytes.
BRAND_FILE_LIMIT = 256 << 10
# The icon's images go into the image whole, whose budget is 40 KiB (size_report.BUDGET): an icon
# near this size never ships. The size report, which says by how much, has the last word; this
# bound only keeps what is read and handed to the build small.
ICON_LIMIT = 1 << 20
MAX_VERSION_NUMBER = 0xFFFF
# A version block is at most 64 KiB (its length is a 16-bit field). Four strings of this many
# UTF-16 units, with the file name and the two versions, always fit.
MAX_STRING_UNITS = 8000
# The longest name a Windows folder entry holds, in UTF-16 units; on this host, in bytes.
MAX_FILE_NAME_UNITS = 255
MAX_FILE_NAME_BYTES = 255
# Room kept in every file name for "-console" before its ".exe": a console twin of the image
# takes the name with that suffix, and must fit where the image does.
TWIN_SUFFIX_ROOM = len("-console")
MAX_APP_ID_UNITS = 128
MAX_FAILURE_MESSAGE_UNITS = 1024
# Windows' limit on a command line, terminator included, less the rest of the child's.
MAX_JAVA_OPTIONS_UNITS = 32767 - 1 - len(r"application\default-jre\bin\javaw.exe -jar launcher.jar")
RESERVED_CHARACTERS = '<>:"/\\|?*'
# Windows opens these devices for a file of the name, whatever follows the first dot.
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$",
                *(f"{port}{number}" for port in ("COM", "LPT") for number in "0123456789¹²³")}
SUBSYSTEM_WINDOWS_GUI = 2
SUBSYSTEM_WINDOWS_CUI = 3

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
    forward_arguments: bool = False
    java_options: tuple = ()  # as the runtime gets each, unquoted
    console: bool = False  # a console twin is built beside the image
    clean_java_environment: bool = False


@dataclasses.dataclass(frozen=True)
class Brand:
    """The image we expect: a vendor's, read from a brand file, or the default image, a brand
    with known values read from the product's resources."""
    path: pathlib.Path | None  # the brand file; None for the default image
    sha256: str | None  # of the brand file as read
    file_name: str
    icon: pathlib.Path
    icon_data: bytes
    icon_images: tuple  # icon_format.IconFileImage, in the file's order
    file_version: tuple  # four numbers
    product_version: tuple
    version_strings: tuple  # the version block's string table: (key, value), in its order
    launch: Launch
    manifest: bytes | None  # None: the image has none
    subsystem: int = SUBSYSTEM_WINDOWS_GUI
    installer: "Installer" = dataclasses.field(default_factory=lambda: Installer())

    @property
    def source(self):
        """The file that says what the image holds, as the report names it."""
        return self.path.name if self.path else product.RESOURCE_SCRIPT.name

    @property
    def display_name(self):
        """The name the program goes by: its ProductName, or its file name without ".exe"."""
        return dict(self.version_strings)["ProductName"] or self.file_name[:-len(".exe")]

    @property
    def console_file_name(self):
        """The console twin's file name: the image's, with the room kept for "-console" used
        before ".exe"."""
        return self.file_name[:-len(".exe")] + "-console.exe"

    def console_twin(self):
        """The console twin we expect beside the image: the same resources and options, built for
        the console subsystem."""
        return dataclasses.replace(self, subsystem=SUBSYSTEM_WINDOWS_CUI)


def dotted(numbers):
    return ".".join(map(str, numbers))


def utf16_units(text):
    return len(text.encode("utf-16-le", errors="surrogatepass")) // 2


def character_of(text, category):
    """The first character of the Unicode `category` in `text`, as U+XXXX, or None."""
    found = next((c for c in text if unicodedata.category(c) == category), None)
    return None if found is None else f"U+{ord(found):04X}"


def quoted(text, shown=40):
    """`text` quoted for a message, cut after `shown` characters."""
    return repr(text) if len(text) <= shown else f"{text[:shown]!r}... ({len(text):,} characters)"


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
    control = character_of(value, "Cc")
    if control:
        raise BrandError(path, key, f"holds the control character {control}")
    return value


def name_max():
    """The most bytes a file name may have on this host's file system, where the kit writes."""
    try:
        return min(MAX_FILE_NAME_BYTES, os.pathconf(product.CHECKOUT, "PC_NAME_MAX"))
    except (OSError, ValueError):  # not known there
        return MAX_FILE_NAME_BYTES


def file_name_fault(name):
    """Why a command, Windows or this host cannot take a file of `name`, or None."""
    if name.startswith("-"):
        return "starts with '-', which a command takes for an option"
    reserved = next((c for c in name if c in RESERVED_CHARACTERS), None)
    if reserved:
        return f"holds {reserved!r}, which Windows does not allow in a file name"
    # Bidirectional controls among them (U+202A-U+202E, U+2066-U+2069, U+200E, U+200F, U+061C),
    # which show a name in another order than it has.
    invisible = character_of(name, "Cf")
    if invisible:
        return f"holds the invisible format character {invisible}"
    if name.endswith((".", " ")):
        return "ends with a dot or a space, which Windows drops"
    if not name.lower().endswith(".exe"):
        return "must end with .exe"
    device = name.split(".")[0].rstrip(" ").upper()
    if device in DEVICE_NAMES:
        return f"names the device {device}, which Windows opens instead of a file"
    if utf16_units(name) + TWIN_SUFFIX_ROOM > MAX_FILE_NAME_UNITS:
        return (f"longer than the {MAX_FILE_NAME_UNITS - TWIN_SUFFIX_ROOM} characters a Windows"
                f" file name leaves for it")
    most = name_max() - TWIN_SUFFIX_ROOM
    if len(name.encode("utf-8")) > most:
        return f"longer than the {most} bytes (UTF-8) this host's file system leaves for it"
    return None


def read_file_name(path, value):
    name = text(path, "file_name", value)
    fault = file_name_fault(name)
    if fault:
        raise BrandError(path, "file_name", f"{quoted(name)} {fault}")
    return name


def check_icon_image(image):
    """A Fault when the ICO file's `image` is cut short, neither a bitmap nor a PNG, or drawn
    at another size or depth than its directory entry says."""
    if len(image.data) != image.entry[6]:
        raise Fault("is cut short")
    is_bitmap = image.data[:4] == icon_format.BITMAP_HEADER_SIZE.to_bytes(4, "little")
    if not (is_bitmap or icon_format.is_png(image.data)):
        raise Fault("is neither a bitmap nor a PNG")
    width, height, _, _, _, bits, _, _ = image.entry
    with parsing("its header"):
        drawn = icon_format.drawn_size(image.data)
    # An entry gives 256 pixels, or more, as 0; and its bits per pixel as 0 when it leaves them
    # to the image.
    said = (width or 256, height or 256, bits or drawn[2])
    if said != (min(drawn[0], 256), min(drawn[1], 256), drawn[2]):
        raise Fault(f"is {drawn[0]}x{drawn[1]}, {drawn[2]} bits per pixel, but its directory entry"
                    f" says {said[0]}x{said[1]}, {said[2]} bits per pixel")


def icon_images(data):
    """The images of the icon file `data`, each whole, a bitmap or a PNG, and what its entry
    says; else a Fault."""
    with parsing("the icon file"):
        images = icon_format.icon_file_images(data)
    if not images:
        raise Fault("the icon file holds no image")
    for index, image in enumerate(images, 1):
        try:
            check_icon_image(image)
        except Fault as fault:
            raise Fault(f"image {index} of the icon file {fault}") from None
    return tuple(images)


def read_icon(path, value):
    icon = path.parent / text(path, "icon", value)
    try:
        data = read_file(icon, "icon", ICON_LIMIT)
        return icon, data, icon_images(data)
    except Refusal as fault:  # an unreadable file, or a Fault of its contents
        raise BrandError(path, "icon", str(fault)) from None


VERSION = re.compile(r"[0-9]+(?:\.[0-9]+){0,3}")


def version_number(path, key, digits):
    # The digits are counted before they are converted: int() of thousands takes long, and
    # Python refuses more than 4,300.
    significant = digits.lstrip("0") or "0"
    if len(significant) > len(str(MAX_VERSION_NUMBER)) or int(significant) > MAX_VERSION_NUMBER:
        raise BrandError(path, key, f"{quoted(digits, 12)} is out of range: each number is 0 to"
                                    f" {MAX_VERSION_NUMBER}")
    return int(significant)


def read_version(path, key, value):
    """Four numbers from 1 to 4 dotted ones; the missing ones are 0."""
    version = text(path, key, value)
    if not VERSION.fullmatch(version):
        raise BrandError(path, key, f"{quoted(version)} is no version: 1 to 4 numbers joined by"
                                    " dots")
    numbers = [version_number(path, key, digits) for digits in version.split(".")]
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
    if not 1 <= utf16_units(app_id) <= MAX_APP_ID_UNITS:
        raise BrandError(path, key, f"must be 1 to {MAX_APP_ID_UNITS} UTF-16 units long")
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


def quoted_argument(argument):
    """`argument` as the C runtime's and CommandLineToArgvW's parsers give it back: as it is
    without a blank, tab or quote; otherwise in quotes, each quote after a backslash, and the
    backslashes before a quote or the closing quote doubled."""
    if argument and not any(c in argument for c in ' \t"'):
        return argument
    quoted_text = re.sub(r'(\\*)"', lambda m: m.group(1) * 2 + '\\"', argument)
    return '"' + re.sub(r"(\\+)\Z", r"\1\1", quoted_text) + '"'


def java_options_text(options):
    """The runtime's options as the child's command line holds them: each after one blank."""
    return "".join(" " + quoted_argument(option) for option in options)


def read_java_options(path, key, value):
    if not isinstance(value, list):
        raise BrandError(path, key, "must be a list of strings")
    options = tuple(text(path, f"{key}[{index}]", option) for index, option in enumerate(value))
    stray = next((index for index, option in enumerate(options) if not option.startswith("-")),
                 None)
    if stray is not None:
        raise BrandError(path, f"{key}[{stray}]",
                         f"{quoted(options[stray])} does not begin with '-': the runtime would"
                         " take it for the class to run")
    if utf16_units(java_options_text(options)) > MAX_JAVA_OPTIONS_UNITS:
        raise BrandError(path, key, f"longer, quoted, than the {MAX_JAVA_OPTIONS_UNITS} characters"
                                    " a Windows command line leaves for them")
    return options


def read_launch(path, values):
    launch = table(path, values, "launch", LAUNCH_KEYS)
    readers = {"forward_startup": read_flag, "app_id": read_app_id,
               "failure_message": read_failure_message, "exit_code": read_exit_code,
               "forward_arguments": read_flag, "java_options": read_java_options,
               "console": read_flag, "clean_java_environment": read_flag}
    read = {key: readers[key](path, f"launch.{key}", value) for key, value in launch.items()}
    return Launch(forward_startup=read.get("forward_startup", False),
                  app_id=read.get("app_id", ""),
                  failure_message=read.get("failure_message", ""),
                  exit_with_child_code=read.get("exit_code", False),
                  forward_arguments=read.get("forward_arguments", False),
                  java_options=read.get("java_options", ()),
                  console=read.get("console", False),
                  clean_java_environment=read.get("clean_java_environment", False))


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


def read_installer(path, values, brand):
    """The installer's part of `brand`; what is not given comes from the product's name, so
    that the same brand file always gives the same ProgID and UpgradeCode."""
    installer = table(path, values, "installer", INSTALLER_KEYS)
    if "extensions" in installer and not brand.launch.forward_arguments:
        raise BrandError(path, "installer.extensions", "the association hands the launcher the"
                         " document, which reaches the application only with"
                         " launch.forward_arguments = true")
    name = brand.display_name
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
        # Windows' editors may begin UTF-8 text with a byte-order mark.
        return tomllib.loads(data.decode("utf-8-sig"))
    except UnicodeDecodeError:
        raise BrandError(path, "(file)", "not UTF-8 text") from None
    # A TOML integer of thousands of digits is a ValueError of int(), deep nesting a
    # RecursionError; Python's advice after the semicolon is not for the vendor.
    except (ValueError, RecursionError) as error:
        raise BrandError(path, "(file)", f"not TOML: {str(error).split(';')[0]}") from None


def read_brand_file(path):
    try:
        return read_file(path, "brand file", BRAND_FILE_LIMIT)
    except TooLarge:
        raise BrandError(path, "(file)", f"larger than the {byte_count(BRAND_FILE_LIMIT)} the kit"
                                         " reads of a brand file: not read") from None


def version_strings(file_name, strings, file_version, product_version):
    """The version block's string table, key by key in the default image's order."""
    return (("CompanyName", strings["CompanyName"]),
            ("FileDescription", strings["FileDescription"]),
            ("FileVersion", dotted(file_version)),
            ("LegalCopyright", strings["LegalCopyright"]),
            ("OriginalFilename", file_name),
            ("ProductName", strings["ProductName"]),
            ("ProductVersion", dotted(product_version)))


def read_brand(path):
    """The brand file at `path`, read and checked; a BrandError (status 2) names what is wrong."""
    path = pathlib.Path(path)
    data = read_brand_file(path)
    values = table(path, parse_toml(path, data), "", TOP_KEYS, REQUIRED_TOP_KEYS)
    version = table(path, values["version"], "version", VERSION_KEYS, VERSION_KEYS)
    strings = table(path, values.get("strings", {}), "strings", STRING_KEYS)
    icon, icon_data, images = read_icon(path, values["icon"])
    file_name = read_file_name(path, values["file_name"])
    file_version = read_version(path, "version.file", version["file"])
    product_version = read_version(path, "version.product", version["product"])
    strings = {key: read_string(path, f"strings.{key}", strings.get(key, ""))
               for key in STRING_KEYS}
    brand = Brand(
        path=path,
        sha256=hashlib.sha256(data).hexdigest(),
        file_name=file_name,
        icon=icon,
        icon_data=icon_data,
        icon_images=images,
        file_version=file_version,
        product_version=product_version,
        version_strings=version_strings(file_name, strings, file_version, product_version),
        launch=read_launch(path, values.get("launch", {})),
        manifest=MANIFEST)
    return dataclasses.replace(brand, installer=read_installer(
        path, values.get("installer", {}), brand))


@functools.cache
def default_brand():
    """The default image as the product's resources declare it: its icon, the version block of
    its resource script, no manifest and no launch options."""
    strings = product.version_strings()
    file_version, product_version = product.fixed_versions()
    icon_data = read_file(product.ICON, "icon", ICON_LIMIT)
    return Brand(
        path=None,
        sha256=None,
        file_name=dict(strings)["OriginalFilename"],
        icon=product.ICON,
        icon_data=icon_data,
        icon_images=icon_images(icon_data),
        file_version=file_version,
        product_version=product_version,
        version_strings=strings,
        launch=Launch(),
        manifest=None)


def expected(brand_file, image=None):
    """The image we expect: the one `brand_file` describes, or the default image when it is
    None; at a path named as the brand's console twin (`image`, when given), that twin."""
    if not brand_file:
        return default_brand()
    brand = read_brand(brand_file)
    is_twin = image is not None and pathlib.Path(image).name.lower() == (
        brand.console_file_name.lower())
    return brand.console_twin() if brand.launch.console and is_twin else brand


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
    java_options = cpp_wide_string(java_options_text(launch.java_options))
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
/// What follows the launcher's program name on its own command line goes on, as given, after
/// "-jar launcher.jar".
inline constexpr bool forward_arguments = {str(launch.forward_arguments).lower()};
/// The runtime's options, each after one blank and quoted where it needs it, placed between the
/// runtime and "-jar"; empty: none.
inline constexpr std::wstring_view java_options = {java_options};
/// The child's environment is the launcher's without _JAVA_OPTIONS, JAVA_TOOL_OPTIONS and
/// JDK_JAVA_OPTIONS.
inline constexpr bool clean_java_environment = {str(launch.clean_java_environment).lower()};

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
    header = launch_options_header(brand.launch, brand.display_name)
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
    variant.add_argument("brand", metavar="BRAND_FILE", type=file_argument)
    variant.add_argument("folder", metavar="FOLDER", type=pathlib.Path)
    file_name = commands.add_parser("file-name", help="print the image's file name")
    file_name.add_argument("brand", metavar="BRAND_FILE", type=file_argument)
    buildinfo = commands.add_parser("buildinfo", help="print what BUILDINFO says of the brand")
    buildinfo.add_argument("brand", metavar="BRAND_FILE", type=file_argument)
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
