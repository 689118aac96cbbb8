"""The product as its own resource definitions declare it, the one place the kit reads what it
checks an image against: the resource script and the icon in resources/ of this checkout, which
kit/release builds."""
import functools
import pathlib
import re

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
RESOURCES = CHECKOUT / "resources"
RESOURCE_SCRIPT = RESOURCES / "kestrovan.rc"
ICON = RESOURCES / "kestrovan.ico"
# A string of the version block: VALUE "Name", "text" on a line of its own.
VERSION_STRING = re.compile(r'^\s*VALUE\s+"(\w+)",\s*"([^"]*)"\s*$', re.MULTILINE)
# A version number of the version block's fixed part: FILEVERSION 1,2,3,4 on a line of its own.
FIXED_VERSION = re.compile(r"^\s*(FILEVERSION|PRODUCTVERSION)\s+(\d+),(\d+),(\d+),(\d+)\s*$",
                           re.MULTILINE)


@functools.cache
def resource_script():
    return RESOURCE_SCRIPT.read_text(encoding="ascii")


def version_strings():
    """The (name, value) pairs of the version block's string table, in the script's order."""
    return tuple(VERSION_STRING.findall(resource_script()))


def fixed_versions():
    """The file version and the product version of the version block's fixed part, four
    numbers each."""
    found = {name: tuple(map(int, numbers))
             for name, *numbers in FIXED_VERSION.findall(resource_script())}
    return found["FILEVERSION"], found["PRODUCTVERSION"]
