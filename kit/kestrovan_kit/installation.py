"""Checks of a folder laid out for shipping: the launcher, the runtime it starts, the child's
working directory and the application archive, and how long the folder the installation goes
into may be. The launcher opens no window, so these are what a broken installation can be told
by before anyone double-clicks it. Each finding names the path and what to do."""
import errno
import os
import pathlib
import stat
import zipfile

from . import image_checks
from . import signature_checks
from .command_line import (Refusal, TooLarge, Unusable, byte_count, one_line, read_file,
                           regular_file)
from .brand import default_brand
from .findings import Finding, finding
from .untrusted import Fault, parsing

# The name the headroom is reckoned with when there is no launcher to go by.
DEFAULT_LAUNCHER = "kestrovan.exe"
RUNTIME = "application/default-jre/bin/javaw.exe"
WORKING_DIRECTORY = "application/bin"
ARCHIVE = "application/bin/launcher.jar"
MANIFEST = "META-INF/MANIFEST.MF"
# A manifest is read whole, so no further than this, whatever its entry claims: a signed jar's
# lists a digest of every file, some 100 bytes each, so 8 MiB serve some 80,000 files.
MANIFEST_LIMIT = 8 << 20

MAX_PATH = 260
# The paths the launcher builds from the installation folder, and how long each may be in UTF-16
# units. Its own path comes from GetModuleFileNameW into a MAX_PATH buffer, so a longer one is
# cut short. CreateProcess fails with 206 for a runtime path that does not fit MAX_PATH with its
# terminator, and with 267 for a working directory of more than MAX_PATH - 2: Windows keeps the
# current directory with a trailing backslash and a terminator within MAX_PATH.
PATH_LIMITS = ((RUNTIME, MAX_PATH - 1), (WORKING_DIRECTORY, MAX_PATH - 2))
LAUNCHER_PATH_LIMIT = MAX_PATH - 1

# Windows takes an unmanifested 32-bit program whose file name holds one of these for an
# installer, and asks for elevation before it starts it.
INSTALLER_WORDS = ("install", "setup", "update", "patch")
MACHINES = {0x014C: "i386 (32-bit)", 0x8664: "x86_64 (64-bit: needs 64-bit Windows)"}


def windows_length(text):
    """Length in UTF-16 code units, the unit of Windows' path limits."""
    return len(text.encode("utf-16-le", errors="surrogatepass")) // 2


def part(directory, relative):
    """The path of `relative` in the installation as Windows finds it, each name matched
    without regard to case; as given from the first name that is not there."""
    path = directory
    for name in pathlib.PurePosixPath(relative).parts:
        try:
            matches = sorted(entry for entry in os.listdir(path)
                             if entry.casefold() == name.casefold())
        except OSError:
            matches = []
        if len(matches) > 1:
            raise Fault(f"{path} holds {' and '.join(matches)}, names that Windows takes for one:"
                        " keep one of them")
        path = path / (matches[0] if matches else name)
    return path


def within(directory, path, what):
    """A Fault when `path`, or a link on the way to it, leads out of the installation, or is a
    link that leads nowhere: what is copied or packed from the installation would lack it."""
    if os.path.islink(path) and not os.path.exists(path):
        raise Fault(f"{path} is a symbolic link to {os.readlink(path)}, which does not exist:"
                    f" put the {what} itself there")
    root, real = os.path.realpath(directory), os.path.realpath(path)
    if os.path.commonpath([root, real]) != root:
        raise Fault(f"{path} leads to {real}, outside the installation {directory}: put the"
                    f" {what} itself in the installation")
    return path


def find_launcher(directory, name):
    """The launcher: `name` in `directory`, or else the one .exe file at its top."""
    if name:
        return within(directory, part(directory, name), "launcher")
    try:
        programs = sorted(path for path in directory.iterdir()
                          if path.suffix.lower() == ".exe" and path.is_file())
    except OSError as error:
        raise Unusable(f"cannot read installation {directory}: {error.strerror}") from None
    if len(programs) != 1:
        found = ", ".join(path.name for path in programs) or "none"
        raise Fault(f"{directory} must hold the launcher as its one .exe file at the top"
                    f" (found: {found}): name the launcher with --launcher NAME")
    return within(directory, programs[0], "launcher")


def check_launcher(launcher, expected):
    built = f"the {expected.file_name} that kit/release" + (
        " --brand built" if expected.path else " built")
    try:
        read_file(launcher, "launcher", image_checks.IMAGE_LIMIT)
    except Refusal as fault:
        raise Fault(f"{fault}: copy {built} there") from None
    faults = image_checks.faults(launcher, expected)
    if faults:
        raise Fault(f"{launcher} fails the image checks: {faults}: ship {built}")
    return f"{launcher} passes the image checks{image_checks.against(expected)}"


def launcher_name_finding(launcher, expected):
    words = [word for word in INSTALLER_WORDS if word in launcher.name.lower()]
    if not words:
        return Finding("launcher name", True, f"{launcher.name}: Windows starts it as it is")
    if expected.manifest:
        return Finding("launcher name", True, f"{launcher.name}: its manifest asks to run as the"
                                              " invoker, so Windows starts it as it is")
    return Finding("launcher name", True, warning=True, detail=(
        f"{launcher.name}: with '{words[0]}' in its name Windows takes this unmanifested 32-bit"
        " program for an installer and asks for elevation at every start (started by a program"
        " that is not elevated, it fails with 740): rename it, e.g. to kestrovan.exe"))


def check_runtime(directory):
    runtime = within(directory, part(directory, RUNTIME), "runtime")
    if not os.path.lexists(runtime):
        raise Fault(f"{runtime} is missing: the launcher would fail with 2 (3 when a folder"
                    f" on the way is missing): put the Java runtime in {runtime.parents[1]}")
    try:
        read_file(runtime, "runtime", image_checks.IMAGE_LIMIT)
    except TooLarge as fault:
        raise Fault(f"{fault}: ship the runtime's own javaw.exe") from None
    except Unusable as fault:
        raise Fault(f"{fault}: Windows would refuse it too (5): let every user read it") from None
    try:
        pe = image_checks.open_image(runtime)
    except Fault as fault:
        raise Fault(f"{runtime}: {fault}: Windows would not start it (193):"
                    " ship the runtime's own javaw.exe") from None
    with pe:
        machine = MACHINES.get(pe.FILE_HEADER.Machine)
        if not pe.is_exe() or machine is None:
            kind = "a DLL" if pe.is_dll() else f"for machine {pe.FILE_HEADER.Machine:#06x}"
            raise Fault(f"{runtime} is {kind}: Windows would not start it (193):"
                        " ship a runtime for x86 or x86_64 Windows")
    return f"{runtime}: Windows program for {machine}"


def check_working_directory(directory):
    working_directory = within(directory, part(directory, WORKING_DIRECTORY), "working directory")
    if not working_directory.is_dir():
        raise Fault(f"{working_directory} is missing or no folder: the launcher would fail with"
                    " 267: create it, and put launcher.jar in it")
    return f"{working_directory} is a folder"


def main_attributes(manifest):
    """The main section of a JAR manifest, up to its first empty line, with continuation lines
    (those that start with a space) joined; attribute names lower-cased, as they are
    case-insensitive."""
    text = manifest.decode("utf-8", errors="replace").replace("\r\n", "\n").replace("\r", "\n")
    main = text.split("\n\n", 1)[0].replace("\n ", "")
    return {name.strip().lower(): value.strip()
            for name, _, value in (line.partition(":") for line in main.split("\n"))}


def read_manifest(jar, archive):
    """The jar's manifest, None when it has none; a Fault, before it is inflated whole, when it
    is longer than MANIFEST_LIMIT."""
    if MANIFEST not in jar.namelist():
        return None
    too_long = Fault(f"{archive}: its {MANIFEST} inflates to more than"
                     f" {byte_count(MANIFEST_LIMIT)}, which no runtime needs: not read")
    entry = jar.getinfo(MANIFEST)
    if entry.file_size > MANIFEST_LIMIT:
        raise too_long
    with jar.open(entry) as manifest:
        # The entry's size is the jar's word only: what inflates is bounded all the same.
        text = manifest.read(MANIFEST_LIMIT + 1)
    if len(text) > MANIFEST_LIMIT:
        raise too_long
    return text


def check_archive(directory):
    archive = within(directory, part(directory, ARCHIVE), "application archive")
    try:
        regular_file(archive, "application archive")
    except Unusable as fault:
        raise Fault(f"{fault}: put the application's launcher.jar there") from None
    try:
        with parsing(f"{archive} as a zip archive"), zipfile.ZipFile(archive) as jar:
            manifest = read_manifest(jar, archive)
    except Fault as fault:
        raise Fault(f"{fault}: ship the application's jar") from None
    if manifest is None:
        raise Fault(f"{archive} has no {MANIFEST}: the runtime would not know what to run;"
                    " build the jar with a manifest that names its Main-Class")
    main_class = main_attributes(manifest).get("main-class")
    if not main_class:
        raise Fault(f"{archive}: its {MANIFEST} names no Main-Class, so the runtime would stop"
                    " at once: add a Main-Class line naming the application's main class")
    return f"{archive}: jar with Main-Class {one_line(main_class)}"


def folder_limit(launcher_name):
    """How long the installation folder's path may be for every path built from it to fit."""
    limits = PATH_LIMITS + ((launcher_name, LAUNCHER_PATH_LIMIT),)
    return min(limit - windows_length("\\" + path) for path, limit in limits)


def check_headroom(launcher_name, target):
    """How long the installation folder's path may be, and with `target`, the Windows folder the
    installation goes into, whether that one is short enough. The folder it is checked in says
    nothing about that, so it is not judged."""
    most = folder_limit(launcher_name)
    limit = f"the installation folder may be at most {most} characters long"
    if target is None:
        return f"{limit} (give --target FOLDER to check the Windows folder it goes into)"
    # The launcher finds the folder as the part of its own path before its name: no backslash
    # at the end, not even for the root of a drive.
    folder = target.rstrip("\\")
    length = windows_length(folder)
    if length > most:
        raise Fault(f"{limit}, and {target} has {length}: the launcher would fail to start the"
                    " runtime (206 or 267): install it in a folder with a shorter path")
    return f"{limit} ({target} has {length})"


def inspect(directory, launcher_name=None, trust=None, target=None, expected=None):
    """Every finding for the installation in `directory`, which is to be installed into the
    Windows folder `target` (when known), its launcher the `expected` image (a brand.Brand; the
    default image when None); Unusable when it cannot be read."""
    expected = expected or default_brand()
    try:
        if not stat.S_ISDIR(os.stat(directory).st_mode):
            raise NotADirectoryError(errno.ENOTDIR, "not a folder")
    except FileNotFoundError:
        raise Unusable(f"cannot check installation {directory}: no such folder") from None
    except OSError as error:
        raise Unusable(f"cannot check installation {directory}: {error.strerror}") from None
    try:
        launcher = find_launcher(directory, launcher_name)
    except Fault as fault:
        findings = [Finding("launcher", False, str(fault))]
        launcher_name = DEFAULT_LAUNCHER
    else:
        findings = [finding("launcher", check_launcher, launcher, expected),
                    launcher_name_finding(launcher, expected)]
        if findings[0].ok:
            findings.append(signature_checks.inspect(launcher, trust))
        launcher_name = launcher.name
    return findings + [
        finding("runtime", check_runtime, directory),
        finding("working directory", check_working_directory, directory),
        finding("application archive", check_archive, directory),
        finding("path headroom", check_headroom, launcher_name, target),
    ]
