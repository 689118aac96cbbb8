"""The launch options of a brand file, each compiled into a launcher of its own: the start
information that the runtime gets when a shortcut starts the launcher, the launcher's exit
status, and the image's imports. Wine records start information but applies no show state
and has no taskbar; the failure message is seen in test_double_click.py."""
import os

import pytest

from launcher_under_wine import FAILURE, launcher_with, windows_path
from kestrovan_kit import findings, image_checks

SHORTCUT = r"C:\Users\u\Desktop\App.lnk"
MAXIMIZED = 3
APP_ID = "Acme.Viewer"
# What the shortcut starter passes, as the stand-in records it; Wine carries no hot key.
PLACED = {"position": "120,80", "size": "640x480"}
UNPLACED = {"position": "0,0", "size": "0x0"}


def started_from_a_shortcut(installation):
    starter = os.environ["KESTROVAN_SHORTCUT_STARTER"]
    return installation.run_program([starter, str(MAXIMIZED), SHORTCUT,
                                     windows_path(installation.launcher)])


@pytest.mark.parametrize("options, expected", [
    # Without options the runtime gets nothing, and the platform's default title, its own path.
    pytest.param(None, {"startup_flags": "0x0", "show_window": "0", **UNPLACED}, id="none"),
    pytest.param("forward", {"startup_flags": "0xa07", "show_window": str(MAXIMIZED),
                             "title": SHORTCUT, **PLACED}, id="forward"),
    pytest.param("app-id", {"startup_flags": "0x1000", "show_window": "0", "title": APP_ID,
                            **UNPLACED}, id="app-id"),
    pytest.param("all-options", {"startup_flags": "0x1207", "show_window": str(MAXIMIZED),
                                 "title": APP_ID, **PLACED}, id="forward-and-app-id"),
])
def test_the_runtime_gets_the_start_information_that_the_options_hand_on(
        make_installation, options, expected):
    installation = make_installation(
        launcher=launcher_with(options) if options else os.environ["KESTROVAN_LAUNCHER"])
    run = started_from_a_shortcut(installation)
    assert run.finished, f"the runtime did not run: status {run.status}, {run.stdout!r}"
    expected = {"title": windows_path(installation.runtime), **expected}
    assert {key: run.record[key] for key in expected} == expected


@pytest.mark.parametrize("child_exit_code", [7, 255])
def test_exits_with_the_childs_exit_code(make_installation, child_exit_code):
    installation = make_installation(launcher=launcher_with("exit-code"))
    run = installation.run(exit_code=child_exit_code)
    assert run.finished
    assert (run.status, run.stdout) == (child_exit_code, b"")


def test_exits_with_the_windows_code_of_a_failed_start(make_installation):
    installation = make_installation(launcher=launcher_with("exit-code"), runtime=False)
    run = installation.run()
    failure = FAILURE.fullmatch(run.stdout)
    assert failure, f"unexpected output {run.stdout!r}"
    assert run.status == int(failure.group(1))


def imported_functions(image):
    with image_checks.open_image(image) as pe:
        assert findings.finding("imports", image_checks.check_imports, pe).ok
        return {f"{entry.dll.decode()}!{function.name.decode()}"
                for entry in pe.DIRECTORY_ENTRY_IMPORT for function in entry.imports}


# An option that is off leaves no code: each image calls what the default image calls and what
# its options need, and no more (the i686 runtime's start-up imports GetProcAddress already).
@pytest.mark.parametrize("options, added", [
    ("forward", {"GetStartupInfoW"}),
    ("app-id", set()),
    ("exit-code", {"GetExitCodeProcess"}),
    ("all-options", {"GetStartupInfoW", "GetExitCodeProcess", "LoadLibraryW", "GetProcAddress",
                     "msvcrt.dll!fflush"}),
    ("forward-arguments", {"GetCommandLineW", "GetExitCodeProcess"}),
    ("java-options", set()),
    ("clean-environment", {"GetEnvironmentStringsW", "FreeEnvironmentStringsW"}),
    ("console-twin", {"GetCommandLineW", "GetExitCodeProcess", "GetStdHandle",
                      "SetConsoleCtrlHandler", "SetHandleInformation"}),
])
def test_imports_only_kernel32_and_msvcrt_and_what_its_options_call(options, added):
    default = imported_functions(os.environ["KESTROVAN_LAUNCHER"])
    needed = {function if "!" in function else f"KERNEL32.dll!{function}" for function in added}
    assert imported_functions(launcher_with(options)) - default == needed - default
