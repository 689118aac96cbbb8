"""The release build and a hand build of the sources, each in another folder and with another
SOURCE_DATE_EPOCH, give the very image that the tests check; the build information that
kit/release keeps beside the image names the toolchain that made it, and nothing of the folder."""
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys

import pefile
import pytest

from checkout import REPOSITORY
from kit_commands import BUILDINFO

SOURCES = ("CMakeLists.txt", "CMakePresets.json", "cmake", "launcher", "resources")
# The compiler driver that cmake/toolchains/i686-w64-mingw32.cmake names.
COMPILER = "i686-w64-mingw32-g++-win32"


def copy_of_the_sources(root):
    source = root / "source"
    source.mkdir(parents=True)
    for name in SOURCES:
        copy = shutil.copytree if (REPOSITORY / name).is_dir() else shutil.copy
        copy(REPOSITORY / name, source / name)
    return source


def build(commands, source, source_date_epoch):
    environment = dict(os.environ, SOURCE_DATE_EPOCH=str(source_date_epoch))
    for command in commands:
        subprocess.run(command, cwd=source, env=environment, check=True,
                       stdout=subprocess.DEVNULL)


def release_preset_build(root, source_date_epoch):
    """The tree as kit/release builds it: the release preset."""
    source = copy_of_the_sources(root)
    build([["cmake", "--workflow", "--preset", "release"]], source, source_date_epoch)
    return source / "build" / "release"


def hand_build(root, source_date_epoch):
    """The image as the README's hand build makes it, in a folder outside the sources."""
    source = copy_of_the_sources(root)
    tree = root / "hand build"
    build([["cmake", "-S", ".", "-B", tree, "-G", "Ninja", "-DBUILD_TESTING=OFF",
            "--toolchain", "cmake/toolchains/i686-w64-mingw32.cmake"],
           ["cmake", "--build", tree]], source, source_date_epoch)
    return (tree / "launcher" / "kestrovan.exe").read_bytes()


def buildinfo(tree):
    """kit/buildinfo's lines for `tree` as {key: value}."""
    result = subprocess.run([BUILDINFO, tree], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert all(re.fullmatch(r"[\w.+-]+=\S.*", line) for line in lines), result.stdout
    return dict(line.split("=", 1) for line in lines)


def toolchain(info):
    """What of the build information must match for two builds to give the same bytes."""
    return {key: value for key, value in info.items() if key not in ("commit", "sources")}


def test_the_release_build_with_the_same_toolchain_is_the_tested_image_bit_for_bit(
        image, build_tree, tmp_path):
    release_tree = release_preset_build(tmp_path / "release", source_date_epoch=1)
    assert toolchain(buildinfo(release_tree)) == toolchain(buildinfo(build_tree))
    assert (release_tree / "launcher" / "kestrovan.exe").read_bytes() == image.read_bytes()


def test_a_branded_release_build_elsewhere_is_the_tested_branded_image(branded_image, tmp_path):
    """As kit/release --brand builds it, with the variant folder outside the sources."""
    source = copy_of_the_sources(tmp_path / "branded")
    variant, tree = tmp_path / "variant", tmp_path / "branded" / "tree"
    subprocess.run([sys.executable, "-m", "kestrovan_kit.brand", "variant",
                    REPOSITORY / "tests" / "support" / "brands" / "acme.toml", variant], check=True)
    build([["cmake", "--preset", "release", "-B", tree, f"-DKESTROVAN_VARIANT_DIR={variant}"],
           ["cmake", "--build", tree]], source, source_date_epoch=1700000000)
    assert (tree / "launcher" / "kestrovan.exe").read_bytes() == branded_image.read_bytes()


def test_a_hand_build_elsewhere_and_later_is_the_same_image(image, tmp_path):
    assert hand_build(tmp_path / "a second, longer folder", source_date_epoch=1700000000) \
        == image.read_bytes()


def test_image_carries_no_time_stamp(image):
    with pefile.PE(str(image)) as pe:
        assert pe.FILE_HEADER.TimeDateStamp == 0
        assert pe.DIRECTORY_ENTRY_RESOURCE.struct.TimeDateStamp == 0
        assert not hasattr(pe, "DIRECTORY_ENTRY_DEBUG")


@pytest.mark.parametrize("text", [str(REPOSITORY), socket.gethostname(), "/usr/", "/tmp/"])
def test_image_names_no_build_path_or_host(image, text):
    data = image.read_bytes()
    for encoding in ("utf-8", "utf-16-le"):
        assert text.encode(encoding) not in data


def owner(path):
    """The Debian package that holds `path`."""
    real = os.path.realpath(path)
    found = subprocess.run(["dpkg-query", "--search", real], capture_output=True, text=True,
                           check=True).stdout
    [package] = [line.split(":")[0] for line in found.splitlines() if line.endswith(f": {real}")]
    return package


def compiler_finds(*option):
    return subprocess.run([COMPILER, *option], capture_output=True, text=True,
                          check=True).stdout.strip()


def header(name):
    """The file the compiler includes for `#include <name>`."""
    rule = subprocess.run([COMPILER, "-x", "c++", "-M", "-"], input=f"#include <{name}>\n",
                          capture_output=True, text=True, check=True).stdout
    return rule.replace("\\\n", " ").split()[1]


def test_the_build_information_names_each_package_that_reaches_the_image(build_tree):
    info = buildinfo(build_tree)
    os_release = pathlib.Path("/etc/os-release").read_text()
    assert f'VERSION_ID="{info["debian"]}"' in os_release
    assert f"VERSION_CODENAME={info['debian_codename']}" in os_release
    assert re.fullmatch(r"[0-9a-f]{40}", info["commit"])
    packages = {key.removeprefix("package."): version for key, version in info.items()
                if key.startswith("package.")}
    reaching = {
        "compiler": shutil.which(COMPILER),
        "its C++ compiler proper": compiler_finds("-print-prog-name=cc1plus"),
        "assembler": compiler_finds("-print-prog-name=as"),
        "linker": compiler_finds("-print-prog-name=ld"),
        "resource compiler": shutil.which("i686-w64-mingw32-windres"),
        "C runtime start-up": compiler_finds("-print-file-name=crt2.o"),
        "C++ library": compiler_finds("-print-file-name=libstdc++.a"),
        "compiler's own library": compiler_finds("-print-file-name=libgcc.a"),
        "Windows import library": compiler_finds("-print-file-name=libkernel32.a"),
        "Windows headers": header("windows.h"),
        "C++ headers": header("string"),
        "CMake": shutil.which("cmake"),
        "Ninja": shutil.which("ninja"),
    }
    for what, path in reaching.items():
        assert owner(path) in packages, f"{what}: {path}"
    shown = subprocess.run(["dpkg-query", "--show", *packages], capture_output=True, text=True,
                           check=True).stdout
    assert dict(line.split("\t") for line in shown.splitlines()) == packages


def test_the_build_information_of_a_folder_that_is_no_build_tree_is_one_line(tmp_path):
    result = subprocess.run([BUILDINFO, tmp_path], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (f"buildinfo: {tmp_path} is no configured build tree: CMakeCache.txt:"
                             " No such file or directory\n")
