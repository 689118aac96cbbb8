"""kit/verify --installer on the installers kit/installer builds, and on MSIs with one fault
each: one failed finding per fault."""
import os
import pathlib
import subprocess

import pytest

import sample_installation
from kit_commands import build_installer, verify

BRAND = pathlib.Path(os.environ["KESTROVAN_INSTALLER_BRAND"])
LAUNCHER = os.environ["KESTROVAN_INSTALLER_LAUNCHER"]
COMMAND = '"[INSTALLFOLDER]Acme Viewer.exe" "%1"'
UNQUOTED = '"[INSTALLFOLDER]Acme Viewer.exe" %1'


def changing_table(query):
    return lambda installer: subprocess.run(["msibuild", str(installer), "-q", query], check=True)


def listing_another_launcher(installer):
    """The release's checksums name another image, such as the one signed after the build."""
    (installer.parent / "SHA256SUMS").write_text(f"{'0' * 64}  Acme Viewer.exe\n")


CASES = {
    "msi as built": ("msi", None, set()),
    "nsis as built": ("nsis", None, set()),
    "swapped launcher": ("msi", listing_another_launcher, {"launcher in SHA256SUMS"}),
    "shortcut without the ID": ("msi", changing_table("DELETE FROM MsiShortcutProperty"),
                                {"shortcut Acme Viewer"}),
    "association with unquoted %1": (
        "msi", changing_table(f"UPDATE Registry SET Value = '{UNQUOTED}'"
                              f" WHERE Value = '{COMMAND}'"),
        {"association AcmeViewer.Document"}),
}


@pytest.mark.parametrize("kind, change, failed", CASES.values(), ids=CASES.keys())
def test_verify_finds_each_fault_of_an_installer(tmp_path, kind, change, failed):
    application = sample_installation.lay_out(tmp_path / "app", LAUNCHER) / "application"
    installer = build_installer(kind, BRAND, LAUNCHER, application, tmp_path)
    if change:
        change(installer)
    status, report, errors = verify("--installer", installer, "--brand", BRAND)
    failures = {line[6:].split(":")[0] for line in report.splitlines() if line.startswith("FAIL")}
    assert (status, failures, errors) == (1 if failed else 0, failed, ""), report


@pytest.mark.parametrize("kind", ["msi", "nsis"])
def test_a_cut_installer_gets_one_line(tmp_path, kind):
    application = sample_installation.lay_out(tmp_path / "app", LAUNCHER) / "application"
    installer = build_installer(kind, BRAND, LAUNCHER, application, tmp_path)
    installer.write_bytes(installer.read_bytes()[:installer.stat().st_size // 2])
    status, report, errors = verify("--installer", installer, "--brand", BRAND)
    assert (status, report, errors.count("\n")) == (1, "", 1)
    assert errors.startswith(f"verify: {installer}: ")
