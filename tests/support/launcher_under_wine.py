"""Runs a launcher build under Wine, as on 32- and 64-bit Windows, in throwaway installations
that hold a stand-in runtime.

The environment names the build: KESTROVAN_LAUNCHER and KESTROVAN_ARCH (the launcher and its
architecture), KESTROVAN_STAND_IN_<ARCH> (a stand-in javaw.exe for each architecture the tree
built one for: i686, x86_64), KESTROVAN_CONSOLE_LAUNCHER (the launcher linked for the console
subsystem), KESTROVAN_HANDLE_STARTER (a program that starts another holding an inheritable
handle), KESTROVAN_SHORTCUT_STARTER (one that starts another as a shortcut does),
KESTROVAN_WINDOW_TEXT (one that reads a window's texts), KESTROVAN_LAUNCHER_<OPTIONS> (the
launcher built from tests/support/brands/launch-<OPTIONS>.toml), KESTROVAN_SCREENSHOTS (where
the double-click test keeps its screenshots) and KESTROVAN_WINE (dev/wine, which runs them).

A test that takes a `target` runs on each Windows that runs the launcher, with each runtime
that Windows runs: 32-bit Windows (win32) with an i686 runtime, 64-bit Windows (win64) with an
x86_64 runtime, the usual case, and with an i686 one. One that takes a `foreign_target` runs
where the runtime cannot: an x86_64 runtime on 32-bit Windows. A target that this host cannot
run is skipped with the reason; when it can run none, the session ends with status 77, which
the test driver reports as skipped, with the reason.
"""
import dataclasses
import os
import pathlib
import re
import subprocess
import time

import pytest

import sample_installation
from kestrovan_kit.installation import DEFAULT_LAUNCHER, RUNTIME, WORKING_DIRECTORY

SKIPPED = 77
RUN_TIMEOUT_SECONDS = 120
# Making a 64-bit prefix in an emulated machine takes minutes (docs/measurements.md); this leaves
# room for a slower one.
PREFIX_TIMEOUT_SECONDS = 600
COMMAND_LINE = r"application\default-jre\bin\javaw.exe -jar launcher.jar"
FAILURE = re.compile(rb"CreateProcess failed: (\d+)")
# The architectures of the programs each Windows runs, its own first.
RUNS = {"win32": ("i686",), "win64": ("x86_64", "i686")}
LAUNCHER_ARCH = os.environ.get("KESTROVAN_ARCH", "")


def launcher_with(options):
    """The launcher built with the launch options of tests/support/brands/launch-OPTIONS.toml."""
    return os.environ[f"KESTROVAN_LAUNCHER_{options}"]


def stand_in(arch):
    return os.environ.get(f"KESTROVAN_STAND_IN_{arch}")


@dataclasses.dataclass(frozen=True)
class Target:
    """A Windows, and the architecture of the runtime installed for the launcher there."""
    windows: str
    runtime_arch: str

    def __str__(self):
        return f"{self.windows}-{self.runtime_arch}-runtime"

    @property
    def arches(self):
        """The architectures of the programs that run: the launcher's, and the runtime's
        where this Windows runs it."""
        runs = self.runtime_arch in RUNS[self.windows]
        return {LAUNCHER_ARCH, self.runtime_arch} if runs else {LAUNCHER_ARCH}


LAUNCHER_WINDOWS = [windows for windows, arches in RUNS.items() if LAUNCHER_ARCH in arches]
TARGETS = [Target(windows, arch) for windows in LAUNCHER_WINDOWS for arch in RUNS[windows]
           if stand_in(arch)]
FOREIGN_TARGETS = [Target(windows, arch) for windows in LAUNCHER_WINDOWS for arch in RUNS["win64"]
                   if arch not in RUNS[windows] and stand_in(arch)]
# Why this host cannot run an architecture's programs on a Windows; None where it can.
UNRUNNABLE = {}


def windows_path(path):
    """The path as a Windows program under Wine sees it (Wine maps / to drive Z:)."""
    return "Z:" + str(path).replace("/", "\\")


def under_wine(windows, *command):
    return [os.environ["KESTROVAN_WINE"], windows, *map(str, command)]


def why_unrunnable(windows, arch):
    """Runs the stand-in of `arch` on `windows`, with nothing to record: None when it ran,
    otherwise why this host cannot run it. The first run on a Windows makes its prefix."""
    check = subprocess.run(under_wine(windows, stand_in(arch)), capture_output=True, text=True,
                           timeout=PREFIX_TIMEOUT_SECONDS)
    if check.returncode == SKIPPED:
        return check.stdout.strip().removeprefix("SKIPPED: ")
    if check.returncode != 0:
        pytest.exit(f"dev/wine failed (status {check.returncode}): {check.stdout}{check.stderr}",
                    returncode=1)
    return None


def why_not_runnable(target):
    """Why this host cannot run what `target` runs; None when it can."""
    return next(filter(None, (UNRUNNABLE[target.windows, arch] for arch in sorted(target.arches))),
                None)


def skip_unless_runnable(target):
    reason = why_not_runnable(target)
    if reason:
        pytest.skip(reason)


@dataclasses.dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    seconds: float
    record: dict
    finished: bool


def read_record(path):
    """The lines a stand-in recorded, as (fields before `=`, every line)."""
    lines = path.read_text(encoding="utf-8").splitlines() if path.exists() else []
    return dict(line.split("=", 1) for line in lines if "=" in line), lines


@dataclasses.dataclass
class Installation:
    root: pathlib.Path
    record: pathlib.Path
    windows: str

    @property
    def launcher(self):
        return self.root / DEFAULT_LAUNCHER

    @property
    def runtime(self):
        return self.root / RUNTIME

    @property
    def working_directory(self):
        return windows_path(self.root / WORKING_DIRECTORY)

    def stand_in_environment(self, sleep_ms=0, exit_code=0, window_title=None):
        """The environment in which a stand-in that this installation starts records to
        `record`, sleeps `sleep_ms`, showing a window titled `window_title` if one is given, and
        ends with `exit_code`."""
        self.record.unlink(missing_ok=True)
        environment = dict(os.environ,
                           STAND_IN_RECORD=windows_path(self.record),
                           STAND_IN_SLEEP_MS=str(sleep_ms),
                           STAND_IN_EXIT_CODE=str(exit_code))
        if window_title:
            environment["STAND_IN_WINDOW_TITLE"] = window_title
        return environment

    def run(self, *args, **options):
        """Runs the launcher with `args`; see `run_program` for the options."""
        return self.run_program([str(self.launcher), *args], **options)

    def run_program(self, command, cwd=None, sleep_ms=0, exit_code=0):
        """Runs `command` under Wine with a fresh record; a stand-in it starts sleeps `sleep_ms`
        and ends with `exit_code`."""
        environment = self.stand_in_environment(sleep_ms, exit_code)
        # Both streams go to files, not pipes: the child may hold an inherited pipe open, and
        # waiting for its end would hide a launcher that did not wait.
        output, errors = self.record.with_name("stdout.bin"), self.record.with_name("stderr.bin")
        with output.open("wb") as stdout, errors.open("wb") as stderr:
            started = time.monotonic()
            status = subprocess.run(under_wine(self.windows, *command),
                                    cwd=cwd or self.root, env=environment, stdout=stdout,
                                    stderr=stderr, timeout=RUN_TIMEOUT_SECONDS).returncode
            seconds = time.monotonic() - started
        record, lines = read_record(self.record)
        return Run(status, output.read_bytes(), errors.read_bytes(), seconds, record,
                   "finished" in lines)


def installation_maker(tmp_path, target):
    """Makes an installation for `target` under `relative` in a fresh folder; parts can be left
    out, and `launcher` names another build of the launcher to install."""
    skip_unless_runnable(target)

    def make(relative="kestrovan", runtime=True, working_directory=True,
             launcher=os.environ["KESTROVAN_LAUNCHER"]):
        root = sample_installation.lay_out(
            tmp_path / relative, launcher, working_directory=working_directory,
            runtime=stand_in(target.runtime_arch) if runtime else None)
        return Installation(root, tmp_path / "record.txt", target.windows)
    return make
