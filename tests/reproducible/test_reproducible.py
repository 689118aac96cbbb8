"""Two builds of one commit, in other folders and at other times, give the same image."""
import os
import pathlib
import shutil
import socket
import subprocess
import time

import pefile
import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
SOURCES = ("CMakeLists.txt", "cmake", "launcher", "resources")


@pytest.fixture(scope="module")
def image():
    return pathlib.Path(os.environ["KESTROVAN_IMAGE"])


def build_from_a_copy(root, source_date_epoch):
    """Builds the release image from a copy of the sources under `root`, as a user would."""
    source = root / "source"
    source.mkdir(parents=True)
    for name in SOURCES:
        copy = shutil.copytree if (REPOSITORY / name).is_dir() else shutil.copy
        copy(REPOSITORY / name, source / name)
    build = root / "build"
    environment = dict(os.environ, SOURCE_DATE_EPOCH=str(source_date_epoch))
    for command in (["cmake", "-S", source, "-B", build, "-DBUILD_TESTING=OFF",
                     "--toolchain", source / "cmake/toolchains/i686-w64-mingw32.cmake"],
                    ["cmake", "--build", build]):
        subprocess.run(command, env=environment, check=True, stdout=subprocess.DEVNULL)
    return (build / "launcher" / "kestrovan.exe").read_bytes()


def test_builds_in_other_folders_at_other_times_are_bit_identical(image, tmp_path):
    first = build_from_a_copy(tmp_path / "first", source_date_epoch=1)
    time.sleep(2)
    second = build_from_a_copy(tmp_path / "a second, longer folder", source_date_epoch=1700000000)
    assert first == second
    assert first == image.read_bytes(), "the tested image differs from a plain release build"


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
