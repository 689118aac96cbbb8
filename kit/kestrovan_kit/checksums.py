"""Checksum files in the format of sha256sum: a line holds a SHA-256 in hex, a space, a space or
an asterisk, and the file's name. sha256sum's line for a name holding a backslash or a line
break starts with a backslash, and escapes those characters in the name."""
import os
import re

ENTRY = re.compile(rb"^(\\?)([0-9a-fA-F]{64}) [ *](.*)$")
ESCAPES = {b"\\": b"\\\\", b"\n": b"\\n", b"\r": b"\\r"}


def escaped_name(name):
    """`name` as sha256sum writes it, and whether its line takes the leading backslash."""
    escaped = re.sub(rb"[\\\n\r]", lambda match: ESCAPES[match[0]], os.fsencode(name))
    return escaped, escaped != os.fsencode(name)


def entries(sums):
    """(line index, the name's key as escaped_name gives it, digest) for each entry of `sums`."""
    for index, line in enumerate(sums.splitlines()):
        if match := ENTRY.match(line):
            marked, digest, name = match.groups()
            yield index, (name, marked == b"\\"), digest.decode().lower()


def with_entry(sums, name, digest):
    """`sums` with the entry for `name` giving `digest`, in place of its old one or added."""
    key = escaped_name(name)
    escaped, marked = key
    entry = (b"\\" if marked else b"") + f"{digest}  ".encode() + escaped
    lines = sums.splitlines()
    named = [index for index, entry_key, _ in entries(sums) if entry_key == key]
    for index in named:
        lines[index] = entry
    return b"".join(line + b"\n" for line in lines + ([] if named else [entry]))


def digest_of(sums, name):
    """The digest that `sums` gives for `name`, or None when it names no such file."""
    key = escaped_name(name)
    return next((digest for _, entry_key, digest in entries(sums) if entry_key == key), None)
