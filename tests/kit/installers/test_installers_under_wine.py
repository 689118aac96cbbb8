"""Each installer kit/installer builds, as a user meets it under Wine: installed silently into a
fresh prefix, its Start-menu shortcut started, a document whose path holds a blank and letters
beyond ASCII opened through its association as the shell opens it, and uninstalled silently
without a trace."""
import glob
import os
import pathlib
import subprocess
import time

import pytest

import sample_installation
from kit_commands import build_installer
from launcher_under_wine import SKIPPED, read_record, windows_path

BRAND = pathlib.Path(os.environ["KESTROVAN_INSTALLER_BRAND"])
LAUNCHER = os.environ["KESTROVAN_INSTALLER_LAUNCHER"]
PRODUCT = "Acme Viewer"
PROG_ID = "AcmeViewer.Document"
ARGUMENTS = ["-jar", "launcher.jar"]
DOCUMENT = "Zoë Brief/Ünïcode Brief.acme"
# Making a prefix takes the longest, minutes in an emulated machine (docs/measurements.md).
COMMAND_TIMEOUT_SECONDS = 600
# What the shell starts, it does not wait for; nor does an NSIS uninstaller, which runs on from
# a copy of itself.
SETTLE_SECONDS = 120

INSTALL = {"msi": lambda installer: ["msiexec", "/i", windows_path(installer), "/qn"],
           "nsis": lambda installer: [installer, "/S"]}
UNINSTALL = {"msi": lambda installer, folder: ["msiexec", "/x", windows_path(installer), "/qn"],
             "nsis": lambda installer, folder: [folder / "Uninstall.exe", "/S"]}


class Prefix:
    """A Wine prefix of the test's own, as a user's Windows that has never seen the product."""

    def __init__(self, folder):
        self.folder = folder / "prefixes"
        self.record = folder / "record.txt"
        self.environment = dict(os.environ, KESTROVAN_WINEPREFIXES=str(self.folder),
                                STAND_IN_RECORD=windows_path(self.record))

    def run(self, *command):
        result = subprocess.run([os.environ["KESTROVAN_WINE"], os.environ["KESTROVAN_WINDOWS"],
                                 *map(str, command)], env=self.environment, capture_output=True,
                                text=True, errors="replace", timeout=COMMAND_TIMEOUT_SECONDS)
        if result.returncode == SKIPPED:
            pytest.skip(result.stdout.strip().removeprefix("SKIPPED: "))
        return result

    def user_folder(self, relative):
        """`relative` in the user's profile (the prefix's folder name depends on the loaders)."""
        found = glob.glob(str(self.folder / "wineprefix-*" / "drive_c" / "users" / "*" / relative))
        return pathlib.Path(found[0]) if found else None

    def registry_has(self, key):
        return self.run("reg", "query", key).returncode == 0

    def started(self, path):
        """The arguments the stand-in got when the shell opened `path`, as a double-click does."""
        self.record.unlink(missing_ok=True)
        self.run("start", "/unix", path)
        settled(lambda: "finished" in read_record(self.record)[1])
        return [line.removeprefix("argument=") for line in read_record(self.record)[1]
                if line.startswith("argument=")]


def settled(condition):
    deadline = time.monotonic() + SETTLE_SECONDS
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.5)


def show_classes_as_windows_does(prefix):
    """Windows merges HKCU\\Software\\Classes into HKEY_CLASSES_ROOT, where the shell looks
    for an association; Wine 8 shows only HKLM's classes there, so the user's are copied."""
    for key in (PROG_ID, ".acme"):
        if not prefix.registry_has(f"HKCR\\{key}"):
            prefix.run("reg", "copy", f"HKCU\\Software\\Classes\\{key}", f"HKCR\\{key}", "/s",
                       "/f")


@pytest.mark.parametrize("kind", ["msi", "nsis"])
def test_installed_started_opened_and_uninstalled(tmp_path, kind):
    application = sample_installation.lay_out(tmp_path / "app", LAUNCHER,
                                              runtime=os.environ["KESTROVAN_STAND_IN"])
    installer = build_installer(kind, BRAND, LAUNCHER, application / "application", tmp_path)
    prefix = Prefix(tmp_path)
    installed = prefix.run(*INSTALL[kind](installer))
    assert installed.returncode == 0, installed.stdout + installed.stderr
    folder = prefix.user_folder(f"AppData/Local/Programs/{PRODUCT}")
    shortcut = prefix.user_folder(f"AppData/Roaming/Microsoft/Windows/Start Menu/Programs/"
                                  f"{PRODUCT}.lnk")
    assert folder and shortcut and (folder / f"{PRODUCT}.exe").is_file()

    assert prefix.started(shortcut) == ARGUMENTS
    document = tmp_path / DOCUMENT
    document.parent.mkdir()
    document.write_text("a document")
    show_classes_as_windows_does(prefix)
    assert prefix.started(document) == [*ARGUMENTS, windows_path(document)]

    uninstalled = prefix.run(*UNINSTALL[kind](installer, folder))
    settled(lambda: not folder.exists())
    left = [key for key in (f"HKCU\\Software\\Classes\\{PROG_ID}", "HKCU\\Software\\Classes\\.acme",
                            "HKCU\\Software\\Classes\\.acmx") if prefix.registry_has(key)]
    assert (uninstalled.returncode, folder.exists(), shortcut.exists(), left) == (0, False, False,
                                                                                   [])
