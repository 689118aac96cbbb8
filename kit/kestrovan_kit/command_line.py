"""What the packager's tools share on their command line: every bad option or input ends in one
line that names it and the fault, never in a traceback, and with a documented exit status."""
import argparse
import errno
import os
import stat
import sys

REFUSED = 1
UNUSABLE = 2


class Refusal(Exception):
    """Why a tool stops, worded as the one line the user gets to read."""
    status = REFUSED


class Unusable(Refusal):
    """An option or an input file that cannot be used at all."""
    status = UNUSABLE


class ArgumentParser(argparse.ArgumentParser):
    """argparse, but a bad option gives one line instead of the usage and then the message."""

    def error(self, message):
        self.exit(UNUSABLE, f"{self.prog}: {message}\n")


def read_file(path, what):
    """The bytes of the regular file at `path`, or Unusable naming `what` and the fault."""
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        # A FIFO or a device is refused unopened: reading one may wait forever.
        if not stat.S_ISREG(mode):
            raise Unusable(f"cannot read {what} {path}: not a regular file")
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise Unusable(f"cannot read {what} {path}: {error.strerror}") from None


def run(prog, main):
    """`main()`'s exit status; a Refusal, or a file-system error nobody expected, becomes one
    line on stderr."""
    try:
        return main()
    except Refusal as refusal:
        print(f"{prog}: {refusal}", file=sys.stderr)
        return refusal.status
    except OSError as error:
        print(f"{prog}: {error.filename}: {error.strerror}", file=sys.stderr)
        return REFUSED
