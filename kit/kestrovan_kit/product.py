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


@functools.cache
def version_strings():
    """The (name, value) pairs of the version block's string table, in the script's order."""
    return tuple(VERSION_STRING.findall(RESOURCE_SCRIPT.read_text(encoding="ascii")))
