"""Say what made the launcher image of a build tree, as kit/release writes it to dist/BUILDINFO.

    kit/buildinfo TREE

Prints `key=value` lines: the commit of the sources the tree was configured from (and whether
they had uncommitted changes), the variant it builds (`default`, from resources/, or `brand`, from
a brand file's variant folder), the Debian release and architecture of this system, and the exact
version of each Debian package whose files reach the image: the compiler with its runtime
libraries, the headers the build included (ninja's record of them), binutils (assembler, linker,
resource compiler), CMake with its modules, and Ninja. Two builds of one commit whose lines other
than `commit` and `sources` are equal used the same toolchain, and give the same bytes.

Exit status: 0 printed; 1 a file of the toolchain belongs to no Debian package, or a command
failed; 2 TREE is no configured build tree. Each fault is one line on stderr.
"""
import os
import pathlib
import re
import shutil
import subprocess

from .command_line import ArgumentParser, Refusal, Unusable, run

IMAGE = "launcher/kestrovan.exe"
# What the compiler driver links into a static program of the win32 thread model.
RUNTIME_FILES = ("crt2.o", "crtbegin.o", "crtend.o", "libstdc++.a", "libgcc.a", "libgcc_eh.a",
                 "libmingw32.a", "libmingwex.a", "libmoldname.a", "libmsvcrt.a", "libkernel32.a")
COMPILER_PROGRAMS = ("cc1plus", "as", "ld")
CMAKE_PLATFORM_MODULE = "Modules/Platform/Windows-GNU.cmake"
CACHE_ENTRIES = ("CMAKE_HOME_DIRECTORY", "CMAKE_COMMAND", "CMAKE_MAKE_PROGRAM", "CMAKE_ROOT")
# Paths are bytes to the file system: a checkout's path need not be UTF-8, and comes back whole.
PATH_TEXT = {"encoding": "utf-8", "errors": "surrogateescape"}


def output(*command):
    """What `command` prints, or a Refusal naming it and what it said."""
    try:
        result = subprocess.run(command, capture_output=True, **PATH_TEXT)
    except OSError as error:
        raise Refusal(f"cannot run {command[0]}: {error.strerror}") from None
    if result.returncode != 0:
        said = (result.stderr.strip().splitlines() or ["no message"])[-1]
        raise Refusal(f"{' '.join(command)} failed: {said}")
    return result.stdout


def cache_entries(tree):
    """The CMake cache of `tree` as {name: value}."""
    try:
        text = (tree / "CMakeCache.txt").read_text(**PATH_TEXT)
    except OSError as error:
        raise Unusable(f"{tree} is no configured build tree: CMakeCache.txt: {error.strerror}") \
            from None
    entries = dict(re.findall(r"^([A-Za-z_][\w-]*):[A-Z]+=(.*)$", text, re.MULTILINE))
    lacking = [name for name in CACHE_ENTRIES if name not in entries]
    if lacking:
        raise Unusable(f"{tree} is no configured build tree: CMakeCache.txt lacks {lacking[0]}")
    return entries


def compiler(tree, language):
    """The compiler CMake chose for `language` in `tree` (CMake keeps a bare name for some)."""
    for settings in sorted(tree.glob(f"CMakeFiles/*/CMake{language}Compiler.cmake")):
        found = re.search(rf'^set\(CMAKE_{language}_COMPILER "([^"]+)"\)',
                          settings.read_text(**PATH_TEXT), re.MULTILINE)
        if found:
            path = found[1] if "/" in found[1] else shutil.which(found[1])
            if not path:
                raise Refusal(f"the {language} compiler {found[1]} of {tree} is not on PATH")
            return path
    raise Unusable(f"{tree} is no configured build tree: no {language} compiler recorded")


def included_headers(tree, ninja, source):
    """Every file outside the sources that ninja recorded as read for an object of the image."""
    if not (tree / IMAGE).is_file():
        raise Unusable(f"{tree} has not built {IMAGE}")
    objects = [line for line in output(ninja, "-C", str(tree), "-t", "inputs", IMAGE).split()
               if line.endswith((".obj", ".res"))]
    lines = output(ninja, "-C", str(tree), "-t", "deps", *objects).splitlines()
    headers = {os.path.realpath(line.strip()) for line in lines if line.startswith(" ")}
    outside = [path for path in headers if not path.startswith(f"{source}/")]
    if not outside:
        raise Refusal(f"{tree}: ninja recorded no header read for {IMAGE}")
    return outside


def toolchain_files(tree, cache, source):
    """The files of the toolchain that reach the image built in `tree` from `source`."""
    driver = compiler(tree, "CXX")
    asked = [output(driver, f"-print-prog-name={name}").strip() for name in COMPILER_PROGRAMS]
    asked += [output(driver, f"-print-file-name={name}").strip() for name in RUNTIME_FILES]
    return [driver, compiler(tree, "RC"), cache["CMAKE_COMMAND"], cache["CMAKE_MAKE_PROGRAM"],
            f"{cache['CMAKE_ROOT']}/{CMAKE_PLATFORM_MODULE}", *asked,
            *included_headers(tree, cache["CMAKE_MAKE_PROGRAM"], source)]


def owning_packages(files):
    """The Debian packages that hold `files`."""
    real = sorted({os.path.realpath(file) for file in files})
    missing = [path for path in real if not os.path.isfile(path)]
    if missing:
        raise Refusal(f"{missing[0]}: the toolchain names it, but there is no such file")
    owners, found = set(), set()
    for line in output("dpkg-query", "--search", *real).splitlines():
        packages, _, path = line.partition(": ")
        if path in real:
            owners.update(package.split(":")[0] for package in packages.split(", "))
            found.add(path)
    stray = [path for path in real if path not in found]
    if stray:
        raise Refusal(f"{stray[0]} belongs to no Debian package: the build's toolchain is not"
                      " Debian's")
    return sorted(owners)


def commit_lines(source):
    """The commit the sources are at and whether they differ from it."""
    try:
        commit = output("git", "-C", source, "rev-parse", "HEAD").strip()
    except Refusal:
        return ["commit=none (the sources are no git checkout)", "sources=unknown"]
    changes = output("git", "-C", source, "status", "--porcelain", "--untracked-files=no")
    return [f"commit={commit}", f"sources={'modified' if changes else 'as committed'}"]


def variant_line(cache, source):
    """Which resources the tree builds the image from: the sources' own, or a variant folder."""
    folder = cache.get("KESTROVAN_VARIANT_DIR", f"{source}/resources")
    default = os.path.realpath(folder) == os.path.realpath(f"{source}/resources")
    return f"variant={'default' if default else 'brand'}"


def release_lines():
    """The Debian release and architecture of this system."""
    fields = dict(re.findall(r'^(\w+)="?([^"\n]*)"?$', pathlib.Path("/etc/os-release").read_text(),
                             re.MULTILINE))
    return [f"debian={fields.get('VERSION_ID', 'unknown')}",
            f"debian_codename={fields.get('VERSION_CODENAME', 'unknown')}",
            f"architecture={output('dpkg', '--print-architecture').strip()}"]


def buildinfo(tree):
    cache = cache_entries(tree)
    source = os.path.realpath(cache["CMAKE_HOME_DIRECTORY"])
    packages = owning_packages(toolchain_files(tree, cache, source))
    versions = output("dpkg-query", "--show", "--showformat=package.${Package}=${Version}\\n",
                      *packages)
    return [*commit_lines(source), variant_line(cache, source), *release_lines(),
            *sorted(set(versions.splitlines()))]


def print_buildinfo():
    parser = ArgumentParser(prog="buildinfo", description=__doc__.splitlines()[0])
    parser.add_argument("tree", metavar="TREE", type=pathlib.Path,
                        help="a build tree that has built the image")
    arguments = parser.parse_args()
    print("\n".join(buildinfo(arguments.tree)))
    return 0


def main():
    return run("buildinfo", print_buildinfo)
