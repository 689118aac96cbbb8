"""Build the release image and publish it into dist/ with its checksums and what made it.

The default image is built in build/release (the release preset); with --brand FILE, the brand
file's image is built in a tree of that brand file's own, build/release-brand/<key>/tree, from
the variant folder written beside it from the one reading of the brand file. The build is always
told its variant folder (resources/ for the default) and whether to build a console twin, so
that no tree's cache carries another's. A brand file with `console = true` has its image's
console twin, <name>-console.exe, built and released beside the image. The images,
SHA256SUMS.unsigned (their SHA-256 as built) and BUILDINFO (kit/buildinfo's lines for the tree,
and the brand file's) are staged in build/release-staging/ and checked there: the launcher's
image checks (a brand's against its brand file, the twin's for the console subsystem) and the
size report. A failure stops
the release before dist/ is touched.

They are published into dist/ (made when missing; a symbolic link is followed to its folder)
under the lock kit/sign takes, with one atomic rename each: the image, SHA256SUMS.unsigned,
BUILDINFO, and SHA256SUMS, in which only those three files' entries change (kit/sign keeps them
true). Nothing else in dist/ is touched. An interruption (HUP, INT, QUIT, TERM, PIPE) waits until
every file is in place. Before the renames, dist/.release-unfinished records each file's SHA-256;
it is removed after them, so a release killed or failed in between leaves it, and the next one
says so in one line and mends dist/: the files it names are taken for the release's own, and
their entries in SHA256SUMS made true.

The image of the same name in dist/ is replaced only when kit/release left it there: its
SHA-256 is the one SHA256SUMS.unsigned or an unfinished release gives, or it is unsigned and the
one SHA256SUMS gives, or it is no whole image where an unfinished release was putting one. Any
other (signed since, most likely) is replaced only with --force.

Exit status: 0 released; 1 not released: the image in dist/ has changed since kit/release wrote
it, another kit/sign or kit/release is at work in dist/, the build failed, the image fails its
checks or its size report, or dist/ cannot be written; 2 not released: an option, the brand file
or dist/ (no folder) is unusable; 3 released, but the report could not be written to standard
output. Each fault is one line on stderr naming the path.
"""
import argparse
import dataclasses
import hashlib
import os
import pathlib
import shlex
import shutil
import subprocess
import tempfile

from kestrovan_kit import brand as brands
from kestrovan_kit import buildinfo, checksums, image_checks, interruptions
from kestrovan_kit import signature, signing_folder, size_report
from kestrovan_kit.command_line import (
    ArgumentParser, Refusal, Unreported, Unusable, file_argument, one_line, read_file,
    regular_file, run, write_out)
from kestrovan_kit.interruptions import uninterrupted
from kestrovan_kit.product import CHECKOUT, RESOURCES
from kestrovan_kit.untrusted import Fault, parsing

DIST = pathlib.Path("dist")
STAGING = pathlib.Path("build/release-staging")
DEFAULT_NAME = "kestrovan.exe"
SUMS = checksums.SUMS
UNSIGNED_SUMS = "SHA256SUMS.unsigned"
BUILDINFO = "BUILDINFO"
UNFINISHED = ".release-unfinished"
TWIN_IMAGE = "launcher/kestrovan-console.exe"


@dataclasses.dataclass(frozen=True)
class Variant:
    name: str  # the image's file name in dist/
    tree: pathlib.Path
    folder: pathlib.Path  # the build's KESTROVAN_VARIANT_DIR
    brand: brands.Brand = None  # None: the default image

    @property
    def twin(self):
        """The console twin's file name in dist/; None without one."""
        return self.brand.console_file_name if self.brand and self.brand.launch.console else None

    @property
    def images(self):
        """(file name in dist/, its path in the tree, the image we expect) of each image."""
        expected = self.brand or brands.default_brand()
        built = [(self.name, self.tree / buildinfo.IMAGE, expected)]
        if self.twin:
            built.append((self.twin, self.tree / TWIN_IMAGE, expected.console_twin()))
        return built


def variant_of(brand_file):
    if brand_file is None:
        return Variant(DEFAULT_NAME, pathlib.Path("build/release"), RESOURCES)
    brand = brands.read_brand(brand_file)
    home = pathlib.Path("build/release-brand", hashlib.sha256(
        os.fsencode(brand_file)).hexdigest()[:16])
    return Variant(brand.file_name, home / "tree", home / "variant", brand)


def cmake(*arguments):
    command = ["cmake", *map(str, arguments)]
    try:
        status = subprocess.run(command, stdout=subprocess.DEVNULL).returncode
    except OSError as error:
        raise Refusal(f"cannot run cmake: {error.strerror}") from None
    if status != 0:
        raise Refusal(f"{shlex.join(command)} failed with status {status} (its messages are"
                      " above)")


def build(variant):
    """The images of `variant`, built in its tree."""
    if variant.brand:
        brands.write_variant(variant.brand, variant.folder)
    cmake("--preset", "release", "-B", variant.tree,
          f"-DKESTROVAN_VARIANT_DIR={variant.folder.absolute()}",
          f"-DKESTROVAN_CONSOLE_TWIN={'ON' if variant.twin else 'OFF'}")
    cmake("--build", variant.tree)


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def check(image, expected):
    """Refuses an image that fails its checks against `expected` or its size report."""
    faults = image_checks.faults(image, expected)
    if faults:
        raise Refusal(f"{image} fails the launcher's image checks"
                      f"{image_checks.against(expected)}: {faults}")
    size_report.report(image)


def stage(variant):
    """The release's files in STAGING, checked."""
    shutil.rmtree(STAGING, ignore_errors=True)
    STAGING.mkdir(parents=True)
    sums = b""
    for name, built, expected in variant.images:
        image = STAGING / name
        shutil.copyfile(built, image)
        check(image, expected)
        sums = checksums.with_entry(sums, name, sha256(image))
    (STAGING / UNSIGNED_SUMS).write_bytes(sums)
    lines = buildinfo.buildinfo(variant.tree)
    lines += brands.buildinfo_lines(variant.brand) if variant.brand else []
    (STAGING / BUILDINFO).write_bytes("".join(f"{line}\n" for line in lines).encode(
        "utf-8", "surrogateescape"))


def check_dist():
    """Refuses a dist that is no folder (nor a link to one)."""
    if os.path.lexists(DIST) and not DIST.is_dir():
        link = f" (a symbolic link to {os.readlink(DIST)})" if DIST.is_symlink() else ""
        raise Unusable(f"{DIST}{link} is no folder: kit/release publishes into a folder there")


def sums_file(path):
    """The checksum file at `path`, empty when there is none."""
    return read_file(path, "checksum file", checksums.SUMS_LIMIT) if os.path.lexists(path) else b""


def certificate_table(image):
    """The image's certificate table (empty when unsigned), or None when it is no whole image."""
    if os.stat(image).st_size > image_checks.IMAGE_LIMIT:
        return None
    try:
        with parsing(image):
            return signature.certificate_table(image)
    except Fault:
        return None


def not_ours(image):
    """Why the file at `image` is not one kit/release left there; None when it is, or there is
    none."""
    if not os.path.lexists(image):
        return None
    regular_file(image, "image")
    digest, name = sha256(image), image.name
    unfinished = sums_file(DIST / UNFINISHED)
    if digest in checksums.digests_of(sums_file(DIST / UNSIGNED_SUMS) + unfinished, name):
        return None
    table = certificate_table(image)
    if table == b"" and digest in checksums.digests_of(sums_file(DIST / SUMS), name):
        return None
    if table is None and checksums.digests_of(unfinished, name):
        return None
    return "it is signed" if table else "it changed since kit/release wrote it"


def guard(image, force):
    """A Refusal for an image in dist/ that kit/release did not leave there, unless `force`;
    then the note that says it is replaced."""
    why = not_ours(image)
    if why and not force:
        raise Refusal(f"{image} is not the image kit/release left there ({why}): move it away,"
                      " or run kit/release --force to replace it")
    return [f"Replacing {image} ({why}), as --force says."] if why else []


def written(path, data, mode=0o666):
    """A new file at `path` holding `data`, safely on disk."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    with open(descriptor, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(descriptor)


def synced(folder):
    """`folder`'s entries safely on disk."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
    except OSError as error:
        raise Refusal(f"cannot write {folder} to disk: {error.strerror}") from None


def put_there_unfinished():
    """(name, digest) of each file in dist/ that an unfinished release put there, as it did."""
    unfinished = sums_file(DIST / UNFINISHED)
    for entry in os.scandir(DIST) if unfinished else ():
        named = checksums.digests_of(unfinished, entry.name)
        if named and entry.is_file(follow_symlinks=False):
            digest = sha256(entry.path)
            if digest in named:
                yield entry.name, digest


def prepare(staging, names):
    """The release's files, SHA256SUMS and the record of an unfinished release in `staging`."""
    entries = list(put_there_unfinished())
    record = b""
    for name in names:
        data = (STAGING / name).read_bytes()
        written(staging / name, data, 0o777 if name.lower().endswith(".exe") else 0o666)
        digest = hashlib.sha256(data).hexdigest()
        record = checksums.with_entry(record, name, digest)
        entries.append((name, digest))
    sums = sums_file(DIST / SUMS)
    for name, digest in entries:
        sums = checksums.with_entry(sums, name, digest)
    written(staging / SUMS, sums)
    written(staging / UNFINISHED, record)


def put(source, destination):
    try:
        os.replace(source, destination)
    except OSError as error:
        raise Refusal(f"cannot replace {destination}: {error.strerror}; the next kit/release"
                      f" mends {DIST}") from None


def commit(staging, names):
    """The record of an unfinished release, then each file, then SHA256SUMS in place, and the
    record removed. Called with interruptions held."""
    put(staging / UNFINISHED, DIST / UNFINISHED)
    synced(DIST)
    for name in [*names, SUMS]:
        put(staging / name, DIST / name)
    synced(DIST)
    os.unlink(DIST / UNFINISHED)


def publish(variant, force):
    """Puts the staged release in dist/; the notes for the report."""
    DIST.mkdir(exist_ok=True)
    with signing_folder.locked(DIST):
        signing_folder.remove_leftovers(DIST)
        notes = []
        if os.path.lexists(DIST / UNFINISHED):
            notes.append(f"{DIST / UNFINISHED}: a kit/release did not finish here (killed, or it"
                         f" failed); this one mends {DIST}")
        images = [name for name, _, _ in variant.images]
        for name in images:
            notes += guard(DIST / name, force)
        names = [*images, UNSIGNED_SUMS, BUILDINFO]
        with uninterrupted():
            try:
                staging = pathlib.Path(tempfile.mkdtemp(
                    prefix=signing_folder.staging_prefix(DIST / variant.name), dir=DIST))
            except OSError as error:
                raise Refusal(f"cannot write in {DIST}: {error.strerror}") from None
        try:
            try:
                prepare(staging, names)
            except OSError as error:
                raise Refusal(f"cannot write in {DIST}: {error.strerror}; it is as it was") \
                    from None
            with uninterrupted():
                commit(staging, names)
                # Released: an interruption from now on (one held until now among them) is
                # too late.
                interruptions.ignore()
        finally:
            with uninterrupted():
                shutil.rmtree(staging, ignore_errors=True)
    return notes


def image_lines(image, title):
    return [f"{title}: {image.absolute()}",
            f"  size:    {image.stat().st_size} bytes",
            *(f"    {line}" for line in size_report.report(image)),
            f"  sha256:  {sha256(image)}"]


def report(images, notes):
    """What a packager needs to know of the release of `images`, the image and any twin."""
    lines = [*notes, *image_lines(images[0], "Release image"),
             *(line for twin in images[1:] for line in image_lines(twin, "Its console twin")),
             f"  sums:    {(DIST / SUMS).absolute()} (of the files in dist; kit/sign keeps it"
             " true)",
             f"           {(DIST / UNSIGNED_SUMS).absolute()} (of the images as built; signing"
             " leaves it alone)",
             f"  made by: {(DIST / BUILDINFO).absolute()} (this commit built with these"
             " packages gives these bytes)",
             *(f"    {line}" for line in (DIST / BUILDINFO).read_text(
                 errors="surrogateescape").splitlines())]
    return "\n".join(map(one_line, lines))


def parse_arguments():
    parser = ArgumentParser(
        prog="release", description=__doc__.split("\n\n")[0],
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--force", action="store_true",
                        help="replace an image in dist/ that kit/release did not leave there")
    parser.add_argument("--brand", metavar="FILE", type=file_argument,
                        help="build the image that this brand file describes")
    return parser.parse_args()


def release(arguments):
    interruptions.take_over()
    brand_file = arguments.brand and arguments.brand.absolute()
    os.chdir(CHECKOUT)
    variant = variant_of(brand_file)
    check_dist()
    for name, _, _ in variant.images:
        guard(DIST / name, arguments.force)
    build(variant)
    stage(variant)
    notes = publish(variant, arguments.force)
    text = report([DIST / name for name, _, _ in variant.images], notes)
    try:
        write_out(text)
    except Unreported as failure:
        raise Unreported(f"released {DIST / variant.name}, but {failure}") from None
    return 0


def main():
    arguments = parse_arguments()
    return run("release", lambda: release(arguments))
