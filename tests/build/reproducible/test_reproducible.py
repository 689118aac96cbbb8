"""The release build and a hand build of the sources, each in another folder and with another
SOURCE_DATE_EPOCH, give the very image that the tests check."""
import os
import pathlib
import shutil
import socket
import subprocess

import pefile
import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[3]
SOURCES = ("CMakeLists.txt", "CMakePresets.json", "cmake", "launcher", "resources")


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
    """The image as tools/release builds it: the release preset."""
    source = copy_of_the_sources(root)
    build([["cmake", "--workflow", "--preset", "release"]], source, source_date_epoch)
    return (source / "build" / "release" / "launcher" / "kestrovan.exe").read_bytes()


def hand_build(root, source_date_epoch):
    """The image as the README's hand build makes it, in a folder outside the sources."""
    source = copy_of_the_sources(root)
    tree = root / "hand build"
    build([["cmake", "-S", ".", "-B", tree, "-G", "Ninja", "-DBUILD_TESTING=OFF",
            "--toolchain", "cmake/toolchains/i686-w64-mingw32.cmake"],
           ["cmake", "--build", tree]], source, source_date_epoch)
    return (tree / "launcher" / "kestrovan.exe").read_bytes()


def test_the_release_build_is_the_tested_image_bit_for_bit(image, tmp_path):
    assert release_preset_build(tmp_path / "release", source_date_epoch=1) == image.read_bytes()


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
