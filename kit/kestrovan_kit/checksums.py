"""Checksum files in the format of sha256sum: a line holds a SHA-256 in hex, a space, a space or
an asterisk, and the file's name; or, as `sha256sum --tag` writes it, `SHA256 (name) = ` and the
SHA-256. sha256sum's line for a name holding a backslash or a line break starts with a backslash,
and escapes those characters in the name. `name` and `./name` are the same file."""
import hashlib
import os
import re

from .command_line import Refusal, read_file
from .findings import Finding
from .image_checks import IMAGE_LIMIT

# Far more than the few lines of a release's checksums; read whole, so bounded.
SUMS_LIMIT = 1 << 20
PLAIN_ENTRY = re.compile(rb"^(?P<marked>\\?)(?P<digest>[0-9a-fA-F]{64}) [ *](?P<name>.*)$")
TAGGED_ENTRY = re.compile(
    rb"^(?P<marked>\\?)SHA256 \((?P<name>.*)\) = (?P<digest>[0-9a-fA-F]{64})$")
ESCAPES = {b"\\": b"\\\\", b"\n": b"\\n", b"\r": b"\\r"}


def escaped_name(name):
    """`name` as sha256sum writes it, and whether its line takes the leading backslash."""
    escaped = re.sub(rb"[\\\n\r]", lambda match: ESCAPES[match[0]], os.fsencode(name))
    return escaped, escaped != os.fsencode(name)


def same_file(name):
    """The spelling of a name that every other spelling of it comes to."""
    while name.startswith(b"./"):
        name = name[2:]
    return name


def entries(sums):
    """(line index, the name's key as escaped_name gives it, digest, where the digest is in the
    line) for each SHA-256 entry of `sums`, in either format."""
    for index, line in enumerate(sums.splitlines()):
        if match := PLAIN_ENTRY.match(line) or TAGGED_ENTRY.match(line):
            key = (same_file(match["name"]), match["marked"] == b"\\")
            yield index, key, match["digest"].decode().lower(), match.span("digest")


def with_entry(sums, name, digest):
    """`sums` with every entry for `name`, however spelt, giving `digest`; one added when there
    is none."""
    key = escaped_name(name)
    escaped, marked = key
    lines = sums.splitlines()
    named = [(index, span) for index, entry_key, _, span in entries(sums) if entry_key == key]
    for index, (start, end) in named:
        lines[index] = lines[index][:start] + digest.encode() + lines[index][end:]
    if not named:
        lines.append((b"\\" if marked else b"") + f"{digest}  ".encode() + escaped)
    return b"".join(line + b"\n" for line in lines)


def digests_of(sums, name):
    """Every digest that `sums` gives for `name`, however spelt."""
    key = escaped_name(name)
    return [digest for _, entry_key, digest, _ in entries(sums) if entry_key == key]


def digest_of(sums, name):
    """The digest that `sums` gives for `name`, or None when it names no such file."""
    return next(iter(digests_of(sums, name)), None)


SUMS = "SHA256SUMS"


def beside(image):
    """A 'checksums' finding on the SHA256SUMS beside `image`: whether it gives the image's
    SHA-256; None when there is no such file."""
    sums = image.with_name(SUMS)
    if not os.path.lexists(sums):
        return None
    try:
        listed = digests_of(read_file(sums, "checksum file", SUMS_LIMIT), image.name)
    except Refusal as fault:
        return Finding("checksums", False, str(fault))
    actual = hashlib.sha256(read_file(image, "image", IMAGE_LIMIT)).hexdigest()
    if not listed:
        return Finding("checksums", True, warning=True,
                       detail=f"{sums} gives no SHA-256 of {image.name}")
    stale = [digest for digest in listed if digest != actual]
    if stale:
        return Finding("checksums", False,
                       f"{sums} gives sha256 {stale[0]} for {image.name}, but the file's is"
                       f" {actual}: the image changed after its checksums were written; sign"
                       " with kit/sign, which keeps them true, or write them again")
    return Finding("checksums", True, f"{sums} gives its SHA-256, {actual}")
