"""Module paths from which a directory cut would lie outside the installation: the launcher
starts no runtime and says why (see launcher_under_wine.py for the Windows it runs on)."""
import os
import pathlib
import subprocess

from launcher_under_wine import FAILURE, under_wine, windows_path

LAUNCHER = r"\kestrovan.exe"
# The longest module path that the platform reports whole is one unit short of its buffer.
REPORTED_WHOLE = 259
SHORTENED_PATH_LENGTH = 280
# A relative module path refused (161); the missing runtime (2, 3) or working directory (267).
UNC_START_FAILURES = (161, 2, 3, 267)


def assert_refused(run, code):
    assert run.record == {}, "a runtime outside the installation was started"
    assert run.stdout == f"CreateProcess failed: {code}".encode()
    assert run.status == 0


def test_a_shortened_module_path_starts_not_the_parent_folders_runtime(make_installation,
                                                                       tmp_path):
    # The installation folder's name crosses the last unit the platform reports, so a directory
    # cut from the shortened path is the parent folder, where a runtime is planted.
    parent = windows_path(tmp_path / "parent")
    name = "n" * (SHORTENED_PATH_LENGTH - len(parent) - 1 - len(LAUNCHER))
    assert len(parent) < REPORTED_WHOLE < len(parent) + 1 + len(name) <= len(parent) + 256
    make_installation("parent")
    installation = make_installation(f"parent/{name}")
    assert_refused(installation.run(), 206)


def unc_folder(windows):
    """Where Wine finds \\\\SERVER\\SHARE: SERVER/SHARE in the prefix's unc folder, beside the
    link that names drive C:."""
    drive_c = subprocess.run(under_wine(windows, "winepath", "-u", "C:\\"), capture_output=True,
                             text=True, check=True).stdout.strip()
    return pathlib.Path(drive_c).parent / "unc"


def test_a_unc_start_never_starts_the_current_directorys_runtime(make_installation, tmp_path):
    # Wine may report a launcher started as \\SERVER\SHARE\App\kestrovan.exe as
    # UNC\SERVER\SHARE\..., from which the runtime's path would be resolved against the current
    # directory: that start is refused (161). Where Wine reports the path whole, the start fails
    # on the installation's own runtime, which is missing. Either way the runtime planted under
    # the current directory, the only one there is, never starts.
    server, share = f"server{os.getpid()}", tmp_path.name
    installation = make_installation("share/App", runtime=False)
    make_installation(f"current/UNC/{server}/{share}/App")
    link = unc_folder(installation.windows) / server / share
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(tmp_path / "share")
    try:
        run = installation.run_program([rf"\\{server}\{share}\App{LAUNCHER}"],
                                       cwd=tmp_path / "current")
    finally:
        link.unlink()
        link.parent.rmdir()
    assert run.record == {}, "a runtime outside the installation was started"
    failure = FAILURE.fullmatch(run.stdout)
    assert failure and int(failure[1]) in UNC_START_FAILURES, run.stdout
    assert run.status == 0
