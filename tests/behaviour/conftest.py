"""Runs a launcher build under Wine in throwaway installations that hold a stand-in runtime.

The environment names the build: KESTROVAN_LAUNCHER and KESTROVAN_STAND_IN (the launcher and
the stand-in javaw.exe of one architecture), KESTROVAN_HANDLE_STARTER (a program that starts
another holding an inheritable handle), KESTROVAN_ARCH, and KESTROVAN_WINE (tools/wine, which
runs them). When this host cannot run that architecture the session ends with status 77,
which the test driver reports as skipped, with the reason.
"""
import dataclasses
import os
import pathlib
import shutil
import subprocess
import time

import pytest

SKIPPED = 77
RUN_TIMEOUT_SECONDS = 120
COMMAND_LINE = r"application\default-jre\bin\javaw.exe -jar launcher.jar"


def windows_path(path):
    """The path as a Windows program under Wine sees it (Wine maps / to drive Z:)."""
    return "Z:" + str(path).replace("/", "\\")


def under_wine(*command):
    return [os.environ["KESTROVAN_WINE"], os.environ["KESTROVAN_ARCH"], *map(str, command)]


def pytest_sessionstart(session):
    check = subprocess.run(under_wine("--check"), capture_output=True, text=True,
                           timeout=RUN_TIMEOUT_SECONDS)
    if check.returncode == SKIPPED:
        pytest.exit(check.stdout.strip(), returncode=SKIPPED)
    if check.returncode != 0:
        pytest.exit(f"tools/wine failed: {check.stdout}{check.stderr}", returncode=1)


@dataclasses.dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    seconds: float
    record: dict
    finished: bool


@dataclasses.dataclass
class Installation:
    root: pathlib.Path
    record: pathlib.Path

    @property
    def launcher(self):
        return self.root / "kestrovan.exe"

    @property
    def runtime(self):
        return self.root / "application" / "default-jre" / "bin" / "javaw.exe"

    @property
    def working_directory(self):
        return windows_path(self.root / "application" / "bin")

    def run(self, *args, **options):
        """Runs the launcher with `args`; see `run_program` for the options."""
        return self.run_program([str(self.launcher), *args], **options)

    def run_program(self, command, cwd=None, sleep_ms=0, exit_code=0):
        """Runs `command` under Wine with a fresh record; a stand-in it starts sleeps `sleep_ms`
        and ends with `exit_code`."""
        self.record.unlink(missing_ok=True)
        environment = dict(os.environ,
                           STAND_IN_RECORD=windows_path(self.record),
                           STAND_IN_SLEEP_MS=str(sleep_ms),
                           STAND_IN_EXIT_CODE=str(exit_code))
        # Both streams go to files, not pipes: the child may hold an inherited pipe open, and
        # waiting for its end would hide a launcher that did not wait.
        output, errors = self.record.with_name("stdout.bin"), self.record.with_name("stderr.bin")
        with output.open("wb") as stdout, errors.open("wb") as stderr:
            started = time.monotonic()
            status = subprocess.run(under_wine(*command),
                                    cwd=cwd or self.root, env=environment, stdout=stdout,
                                    stderr=stderr, timeout=RUN_TIMEOUT_SECONDS).returncode
            seconds = time.monotonic() - started
        lines = self.record.read_text(encoding="utf-8").splitlines() if self.record.exists() else []
        record = dict(line.split("=", 1) for line in lines if "=" in line)
        return Run(status, output.read_bytes(), errors.read_bytes(), seconds, record,
                   "finished" in lines)


def install_runtime(bin_directory):
    bin_directory.mkdir(parents=True, exist_ok=True)
    shutil.copy(os.environ["KESTROVAN_STAND_IN"], bin_directory / "javaw.exe")


@pytest.fixture
def make_installation(tmp_path):
    """Makes an installation under `relative` in a fresh folder; parts can be left out, and
    `launcher` names another build of the launcher to install."""
    def make(relative="kestrovan", runtime=True, working_directory=True,
             launcher=os.environ["KESTROVAN_LAUNCHER"]):
        root = tmp_path / relative
        root.mkdir(parents=True)
        shutil.copy(launcher, root / "kestrovan.exe")
        if runtime:
            install_runtime(root / "application" / "default-jre" / "bin")
        if working_directory:
            (root / "application" / "bin").mkdir(parents=True, exist_ok=True)
            (root / "application" / "bin" / "launcher.jar").write_bytes(b"")
        return Installation(root, tmp_path / "record.txt")
    return make
