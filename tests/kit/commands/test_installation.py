"""kit/verify --installation: passes a folder laid out for shipping, and names each part that is
missing or wrong, with the path and what to do."""
import shutil
import struct

import pytest

import bad_files
import sample_installation
from kit_commands import verify
from sample_installation import write_jar as jar

RUNTIME = "application/default-jre/bin/javaw.exe"
ARCHIVE = "application/bin/launcher.jar"
# The runtime's path binds first: 259 units with the terminator, less
# "\application\default-jre\bin\javaw.exe".
FOLDER_LIMIT = 259 - 38


def lay_out(root, image):
    # The launcher image is an i386 Windows program too, which is all the check asks of javaw.
    return sample_installation.lay_out(root, image, runtime=image)


@pytest.fixture
def installation(tmp_path, image):
    return lay_out(tmp_path / "kestrovan", image)


def findings(report):
    """check -> (mark, detail) for each finding line of a report."""
    return {line[6:].split(": ", 1)[0]: (line[:4].strip(), line[6:].split(": ", 1)[1])
            for line in report.splitlines()[:-1]}


def test_passes_a_complete_installation(installation):
    status, report, errors = verify("--installation", installation)

    assert (status, errors) == (0, ""), report
    found = findings(report)
    assert {check: mark for check, (mark, _) in found.items()} == {
        "launcher": "ok", "launcher name": "ok", "signature": "ok", "runtime": "ok",
        "working directory": "ok", "application archive": "ok", "path headroom": "ok"}
    assert found["runtime"][1].endswith("Windows program for i386 (32-bit)")
    assert found["application archive"][1].endswith("jar with Main-Class com.example.Main")
    assert report.splitlines()[-1] == f"{installation}: all checks hold"


def removed(relative):
    def remove(root, image):
        path = root / relative
        shutil.rmtree(path) if path.is_dir() else path.unlink()
    return remove


def replaced(relative, make):
    """`relative` removed, and `make(path, image)` done in its place."""
    def replace(root, image):
        removed(relative)(root, image)
        make(root / relative, image)
    return replace


def runtime_field(offset, value):
    return lambda root, image: bad_files.pe_field(root / RUNTIME, offset, value)


def made_a_dll(root, image):
    bad_files.pe_field(root / RUNTIME, bad_files.CHARACTERISTICS, 0x0102 | bad_files.IMAGE_FILE_DLL)


def second_program(root, image):
    shutil.copyfile(root / "kestrovan.exe", root / "uninstall.exe")


def jar_with(manifest):
    return lambda root, image: jar(root / ARCHIVE, manifest)


def directory_offset_overstated(root, image):
    """The jar, its end record saying its central directory starts further on than it does: zipfile
    then seeks to before the start of the file, which the system refuses."""
    path = root / ARCHIVE
    data = bytearray(path.read_bytes())
    end_record = data.rindex(b"PK\x05\x06")
    offset = struct.unpack_from("<I", data, end_record + 16)[0]
    struct.pack_into("<I", data, end_record + 16, offset + 1_000_000)
    path.write_bytes(data)


# Each case: what it does to the complete installation ({root}), the checks that must fail then,
# and the words that must be in the first of them.
BROKEN = [
    pytest.param(removed("kestrovan.exe"), {"launcher"},
                 "{root} must hold the launcher as its one .exe file at the top (found: none)",
                 id="launcher-missing"),
    pytest.param(replaced("kestrovan.exe", bad_files.truncated), {"launcher"},
                 "{root}/kestrovan.exe fails the image checks: PE image: truncated",
                 id="launcher-truncated"),
    pytest.param(second_program, {"launcher"},
                 "(found: kestrovan.exe, uninstall.exe): name the launcher with --launcher NAME",
                 id="two-programs-at-the-top"),
    pytest.param(removed(RUNTIME), {"runtime"},
                 "{root}/" + RUNTIME + " is missing: the launcher would fail with 2",
                 id="runtime-missing"),
    pytest.param(removed("application/default-jre"), {"runtime"},
                 "is missing: the launcher would fail with 2 (3 when a folder on the way is"
                 " missing): put the Java runtime in {root}/application/default-jre",
                 id="runtime-folder-missing"),
    pytest.param(replaced(RUNTIME, bad_files.text), {"runtime"},
                 "{root}/" + RUNTIME + ": not a PE image (DOS Header magic not found.):"
                 " Windows would not start it (193)", id="runtime-not-a-program"),
    pytest.param(runtime_field(bad_files.MACHINE, 0xAA64), {"runtime"},
                 "is for machine 0xaa64: Windows would not start it (193)", id="runtime-for-arm64"),
    pytest.param(made_a_dll, {"runtime"}, "is a DLL", id="runtime-a-dll"),
    pytest.param(removed("application/bin"), {"working directory", "application archive"},
                 "{root}/application/bin is missing or no folder: the launcher would fail with 267",
                 id="working-directory-missing"),
    pytest.param(replaced("application/bin", bad_files.text),
                 {"working directory", "application archive"}, "would fail with 267",
                 id="working-directory-a-file"),
    pytest.param(removed(ARCHIVE), {"application archive"},
                 "cannot read application archive {root}/" + ARCHIVE
                 + ": No such file or directory",
                 id="archive-missing"),
    pytest.param(replaced(ARCHIVE, bad_files.text), {"application archive"},
                 "{root}/" + ARCHIVE + " as a zip archive cannot be read",
                 id="archive-not-a-zip"),
    pytest.param(directory_offset_overstated, {"application archive"},
                 "{root}/" + ARCHIVE + " as a zip archive cannot be read ([Errno 22] Invalid argument)",
                 id="archive-directory-damaged"),
    pytest.param(jar_with(None), {"application archive"}, "has no META-INF/MANIFEST.MF",
                 id="archive-without-manifest"),
    pytest.param(jar_with("Manifest-Version: 1.0\r\nCreated-By: test\r\n\r\n"),
                 {"application archive"}, "its META-INF/MANIFEST.MF names no Main-Class",
                 id="manifest-without-main-class"),
    pytest.param(jar_with("Manifest-Version: 1.0\r\n\r\nName: com/example/\r\nMain-Class: x.Y\r\n"),
                 {"application archive"}, "names no Main-Class",
                 id="main-class-only-in-an-entry-section"),
]


@pytest.mark.parametrize("damage, failing, words", BROKEN)
def test_fails_naming_the_part_and_what_to_do(installation, image, damage, failing, words):
    damage(installation, image)

    status, report, errors = verify("--installation", installation)

    assert (status, errors) == (1, ""), report
    found = findings(report)
    failed = [check for check, (mark, _) in found.items() if mark == "FAIL"]
    assert set(failed) == failing, report
    assert words.format(root=installation) in found[failed[0]][1], report
    assert report.splitlines()[-1] == f"{installation}: FAILED ({', '.join(failed)})"


def test_takes_the_launcher_named_with_an_option(installation, image):
    second_program(installation, image)
    status, report, _ = verify("--installation", installation, "--launcher", "kestrovan.exe")
    assert status == 0, report
    assert findings(report)["launcher"] == (
        "ok", f"{installation}/kestrovan.exe passes the image checks")


def test_accepts_an_x86_64_runtime_and_says_it_needs_64_bit_windows(installation, image):
    runtime_field(bad_files.MACHINE, 0x8664)(installation, image)
    status, report, _ = verify("--installation", installation)
    assert status == 0, report
    assert findings(report)["runtime"][1].endswith("x86_64 (64-bit: needs 64-bit Windows)")


def test_joins_a_main_class_continued_on_the_next_line(installation):
    jar(installation / ARCHIVE,
        "Manifest-Version: 1.0\r\nMain-Class: com.example.Lo\r\n ngMain\r\n\r\n")
    status, report, _ = verify("--installation", installation)
    assert status == 0, report
    assert findings(report)["application archive"][1].endswith("Main-Class com.example.LongMain")


@pytest.mark.parametrize("name, word", [
    pytest.param("setup.exe", "setup", id="setup"),
    pytest.param("KestrovanInstaller.exe", "install", id="install-in-mixed-case"),
    pytest.param("UPDATE.EXE", "update", id="update-in-capitals"),
    pytest.param("patch-2.exe", "patch", id="patch"),
])
def test_warns_of_a_name_that_makes_windows_ask_for_elevation(installation, name, word):
    (installation / "kestrovan.exe").rename(installation / name)

    status, report, _ = verify("--installation", installation)

    assert status == 0, report
    mark, detail = findings(report)["launcher name"]
    assert mark == "WARN"
    assert detail.startswith(f"{name}: with '{word}' in its name Windows takes this unmanifested"
                             " 32-bit program for an installer and asks for elevation")
    assert detail.endswith("rename it, e.g. to kestrovan.exe")
    assert report.splitlines()[-1] == f"{installation}: all checks hold (look at: launcher name)"


def windows_folder(length):
    """A Windows folder path of `length` characters."""
    return "C:\\Program Files\\" + "f" * (length - len("C:\\Program Files\\"))


@pytest.mark.parametrize("target, status", [
    pytest.param(windows_folder(FOLDER_LIMIT), 0, id="at-the-limit"),
    pytest.param(windows_folder(FOLDER_LIMIT) + "\\", 0, id="at-the-limit-with-a-backslash"),
    pytest.param(windows_folder(FOLDER_LIMIT + 1), 1, id="one-over-the-limit"),
    pytest.param("C:\\Programme\\" + "ä" * (FOLDER_LIMIT - 12), 1,
                 id="non-ascii-one-over-the-limit"),
])
def test_judges_the_length_of_the_windows_folder_it_goes_into(installation, target, status):
    result, report, _ = verify("--installation", installation, "--target", target)

    assert result == status, report
    limit = f"the installation folder may be at most {FOLDER_LIMIT} characters long"
    length = len(target.rstrip("\\"))
    assert findings(report)["path headroom"] == (
        ("ok", f"{limit} ({target} has {length})") if status == 0 else
        ("FAIL", f"{limit}, and {target} has {length}: the launcher would fail to start the"
                 " runtime (206 or 267): install it in a folder with a shorter path"))


def test_without_a_target_states_the_limit_and_judges_no_local_path(tmp_path, image):
    root = lay_out(tmp_path / ("f" * 200) / ("g" * 100), image)

    status, report, _ = verify("--installation", root)

    assert status == 0, report
    assert findings(report)["path headroom"] == (
        "ok", f"the installation folder may be at most {FOLDER_LIMIT} characters long"
              " (give --target FOLDER to check the Windows folder it goes into)")


@pytest.mark.parametrize("arguments, line", [
    pytest.param(["--target", "/opt/vendor/app"],
                 "argument --target: /opt/vendor/app is no absolute Windows folder path, such as"
                 " C:\\Program Files\\Vendor\\App", id="a-linux-path"),
    pytest.param(["--target", "Vendor\\App"], "is no absolute Windows folder path",
                 id="a-relative-path"),
])
def test_a_target_that_is_no_windows_folder_gets_one_line(installation, arguments, line):
    status, report, errors = verify("--installation", installation, *arguments)
    assert (status, report) == (2, "")
    assert errors.startswith("verify: ") and line in errors and errors.count("\n") == 1, errors


def test_a_long_launcher_name_leaves_less_headroom(installation):
    name = "k" * 60 + ".exe"
    (installation / "kestrovan.exe").rename(installation / name)
    status, report, _ = verify("--installation", installation)
    assert status == 0, report
    # "<folder>\<name>" must fit a MAX_PATH buffer with its terminator.
    assert findings(report)["path headroom"][1].startswith(
        f"the installation folder may be at most {259 - 1 - len(name)} characters long")


def test_with_trust_the_launcher_must_be_signed(installation, keys):
    status, report, _ = verify("--installation", installation, "--trust", keys.signer.certificate)
    assert status == 1, report
    assert findings(report)["signature"][0] == "FAIL"


def test_an_unreadable_runtime_is_named(image, unprivileged):
    root = lay_out(unprivileged.directory / "kestrovan", image)
    (root / RUNTIME).chmod(0)

    status, report, _ = verify("--installation", root, prefix=unprivileged.prefix)

    assert status == 1, report
    assert findings(report)["runtime"] == ("FAIL", f"cannot read runtime {root / RUNTIME}:"
                                           " Permission denied: Windows would refuse it too (5):"
                                           " let every user read it")


@pytest.mark.parametrize("make, fault", [
    pytest.param(bad_files.missing, "no such folder", id="missing"),
    pytest.param(bad_files.text, "not a folder", id="a-file"),
])
def test_an_unusable_folder_gets_one_line(tmp_path, image, make, fault):
    folder = make(tmp_path / "installation", image)
    status, report, errors = verify("--installation", folder)
    assert (status, report) == (2, "")
    assert errors == f"verify: cannot check installation {folder}: {fault}\n"
