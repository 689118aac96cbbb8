"""The folder an image is signed or released in: one kit/sign or kit/release at a time in it,
what an interrupted one left there cleared away, and no symbolic link where kit/sign puts the
image or its checksums. A link is refused rather than followed: the checksum file beside a link
is not the one beside the file it leads to, and replacing a link by a file would leave the file
it led to stale."""
import contextlib
import fcntl
import os
import shutil

from .command_line import Refusal, Unusable

# What an interrupted kit/sign may have left beside the image, named `.<image>.signing-<random>`.
STAGING_INFIX = ".signing-"


def staging_prefix(image):
    return f".{image.name}{STAGING_INFIX}"


@contextlib.contextmanager
def locked(folder):
    """Holds `folder` for this kit/sign or kit/release alone; a Refusal when another holds it.
    The lock is the kernel's, on the folder itself: it ends with the process, however that ends,
    and leaves no file behind."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as error:
        raise Unusable(f"cannot open folder {folder}: {error.strerror}") from None
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise Refusal(f"another kit/sign or kit/release is at work in {folder}: run this"
                          " one again once it has ended") from None
        yield
    finally:
        os.close(descriptor)


def remove_leftovers(folder):
    """Removes what interrupted runs left in `folder`; only safe while it is locked."""
    for entry in os.scandir(folder):
        if (entry.name.startswith(".") and STAGING_INFIX in entry.name
                and entry.is_dir(follow_symlinks=False)):
            shutil.rmtree(entry.path, ignore_errors=True)


def refuse_link(path, what, advice):
    if os.path.islink(path):
        raise Unusable(f"{what} {path} is a symbolic link (to {os.readlink(path)}): kit/sign"
                       f" follows no link: {advice}")
