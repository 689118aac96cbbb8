"""What the packager's tools share on their command line: every bad option or input ends in one
line that names it and the fault, never in a traceback, and with a documented exit status."""
import argparse
import errno
import os
import pathlib
import stat
import sys

REFUSED = 1
UNUSABLE = 2
# The work is done, but its report could not be written: for kit/sign, signed all the same.
UNREPORTED = 3


class Refusal(Exception):
    """Why a tool stops, worded as the one line the user gets to read."""
    status = REFUSED


class Unusable(Refusal):
    """An option or an input file that cannot be used at all."""
    status = UNUSABLE


class Once(argparse.Action):
    """An option's value, given once: a second one is refused, rather than the last winning."""

    def __call__(self, parser, namespace, values, option_string=None):
        if self.dest in parser.given:
            raise argparse.ArgumentError(self, "given more than once")
        parser.given.add(self.dest)
        setattr(namespace, self.dest, values)


class ArgumentParser(argparse.ArgumentParser):
    """argparse, but a bad option gives one line instead of the usage and then the message; an
    option is spelt in full (never taken for another one it abbreviates) and given once; and the
    line naming what it does not know never quotes the value of an unknown option, which may be
    a password."""

    def __init__(self, *arguments, **options):
        super().__init__(*arguments, allow_abbrev=False, **options)
        self.register("action", None, Once)
        self.register("action", "store", Once)
        self.given = set()

    def parse_known_args(self, args=None, namespace=None):
        self.given = set()
        return super().parse_known_args(args, namespace)

    def parse_args(self, args=None, namespace=None):
        arguments, unknown = self.parse_known_args(args, namespace)
        if unknown:
            options = [word.split("=", 1)[0] for word in unknown if word.startswith("-")]
            self.error(f"unrecognized arguments: {' '.join(options or unknown)}")
        return arguments

    def error(self, message):
        self.exit(UNUSABLE, f"{self.prog}: {one_line(message)}\n")


def file_argument(text):
    """A path on the command line, refused when empty: an empty path names no file (and the
    current folder to some)."""
    if not text:
        raise argparse.ArgumentTypeError("an empty path names no file")
    return pathlib.Path(text)


class TooLarge(Refusal):
    """A file past the size the kit reads of its kind: refused before it is read."""


def one_line(text):
    """`text`, which may quote a file, with every character that is not printable (a line break,
    any other control character) escaped as a Python string literal escapes it, so that a
    message quoting it stays one line."""
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in str(text))


def byte_count(size):
    return f"{size:,} bytes" if size < 1 << 20 else f"{size:,} bytes ({size / (1 << 20):,.0f} MiB)"


def regular_file(path, what, limit=None, streams=False):
    """The size of the regular file at `path`; Unusable naming `what` and the fault, TooLarge
    past `limit` bytes. With `streams`, a pipe, a socket or a character device (standard input,
    a process substitution) passes too, for the caller to read no more than it needs of."""
    try:
        status = os.stat(path)
    except OSError as error:
        raise Unusable(f"cannot read {what} {path}: {error.strerror}") from None
    if stat.S_ISDIR(status.st_mode):
        raise Unusable(f"cannot read {what} {path}: {os.strerror(errno.EISDIR)}")
    if streams and stat.S_IFMT(status.st_mode) in (stat.S_IFIFO, stat.S_IFSOCK, stat.S_IFCHR):
        return None
    # A FIFO or a device is refused unopened: reading one whole may wait forever.
    if not stat.S_ISREG(status.st_mode):
        raise Unusable(f"cannot read {what} {path}: not a regular file")
    if limit is not None and status.st_size > limit:
        raise TooLarge(f"{what} {path} is {byte_count(status.st_size)}, more than the"
                       f" {byte_count(limit)} the kit reads of one: not read")
    return status.st_size


def read_file(path, what, limit=None):
    """The bytes of the regular file at `path`, or Unusable naming `what` and the fault; TooLarge
    when it has more than `limit` bytes, which are then never read."""
    regular_file(path, what, limit)
    try:
        with open(path, "rb") as file:
            data = file.read() if limit is None else file.read(limit + 1)
    except OSError as error:
        raise Unusable(f"cannot read {what} {path}: {error.strerror}") from None
    if limit is not None and len(data) > limit:
        raise TooLarge(f"{what} {path} grew past {byte_count(limit)} while it was read: not read")
    return data


class Unreported(Refusal):
    """The report could not be written to standard output."""
    status = UNREPORTED


def write_out(text):
    """Prints `text` to standard output at once, each line as one_line shows it (a file name
    that is not UTF-8 included); Unreported when it cannot be written. Standard
    output then goes nowhere, so that nothing tries to write the rest again at exit."""
    try:
        print("\n".join(map(one_line, text.split("\n"))), flush=True)
    except OSError as error:
        nowhere = os.open(os.devnull, os.O_WRONLY)
        os.dup2(nowhere, sys.stdout.fileno())
        os.close(nowhere)
        raise Unreported(f"cannot write to standard output: {error.strerror}") from None


def run(prog, main):
    """`main()`'s exit status; a Refusal, or a file-system error nobody expected, becomes one
    line on stderr."""
    try:
        return main()
    except Refusal as refusal:
        print(f"{prog}: {one_line(refusal)}", file=sys.stderr)
        return refusal.status
    except OSError as error:
        where = f"{one_line(error.filename)}: " if error.filename else ""
        print(f"{prog}: {where}{error.strerror}", file=sys.stderr)
        return REFUSED
