"""What a double-click shows. Started through the shell, as a double-click starts it, the
launcher shows no window and no console of its own while the runtime it started shows the
application's window. The same sources linked for the console subsystem are the control: that
launcher shows its console window, so the check sees a console where there is one. When the
runtime cannot be started, the launcher shows nothing, or with a failure message (a launch
option) a message box with it until a key closes the box.

Each case runs under Xvfb and keeps a screenshot, taken while the runtime runs, in
KESTROVAN_SCREENSHOTS (TARGET-KIND.png)."""
import dataclasses
import os
import pathlib
import re
import shutil
import subprocess
import time

import pytest

from kestrovan_kit import brand
from launcher_under_wine import (FAILURE, RUN_TIMEOUT_SECONDS, RUNS, TARGETS, installation_maker,
                                 launcher_with, read_record, under_wine, windows_path)

TOOLS = {"Xvfb": "xvfb", "xdotool": "xdotool", "xwininfo": "x11-utils", "xwd": "x11-apps",
         "xwdtopnm": "netpbm", "pnmtopng": "netpbm"}
# How long the stand-in runtime shows its window: time enough to list the windows and take a
# screenshot, also in an emulated machine.
WINDOW_SECONDS = 15
# Limits for what Wine does; generous, since Wine in an emulated machine is slow.
APPEARS_WITHIN_SECONDS = 180
ENDS_WITHIN_SECONDS = WINDOW_SECONDS + 120
POLL_SECONDS = 0.25
LAUNCHERS = {"launcher": "KESTROVAN_LAUNCHER", "console-control": "KESTROVAN_CONSOLE_LAUNCHER"}
ALL_OPTIONS = brand.read_brand(pathlib.Path(__file__).parents[2] / "support" / "brands" /
                               "launch-all-options.toml")
# On each Windows, the runtime of that Windows' own architecture: on 64-bit Windows an x86_64
# one, as users mostly have.
USUAL_TARGETS = [target for target in TARGETS
                 if target.runtime_arch == RUNS[target.windows][0]]
# A line of `xwininfo -root -children`: `0x400001 "title": ("instance" "class")  ...`.
CHILD = re.compile(r'^\s+(0x[0-9a-f]+) (?:"(.*?)"|\(has no name\)): \((.*?)\)', re.MULTILINE)


@dataclasses.dataclass(frozen=True)
class Window:
    title: str
    wm_class: str


@pytest.fixture(scope="module")
def display(tmp_path_factory):
    """An X display of its own (Xvfb picks a free number), for this module's cases."""
    for program, package in TOOLS.items():
        if not shutil.which(program):
            pytest.skip(f"{program} is missing (package {package}; dev/install-deps installs it)")
    log = tmp_path_factory.mktemp("xvfb") / "xvfb.log"
    ready, told = os.pipe()
    with log.open("wb") as errors:
        server = subprocess.Popen(["Xvfb", "-displayfd", str(told), "-screen", "0", "1024x768x24",
                                   "-nolisten", "tcp"], pass_fds=[told], stdout=errors,
                                  stderr=errors)
    os.close(told)
    with os.fdopen(ready) as number:
        display = number.readline().strip()
    try:
        if not display:
            pytest.fail(f"Xvfb gave no display: {log.read_text(errors='replace')}")
        yield f":{display}"
    finally:
        server.terminate()
        server.wait(timeout=30)


def x_client(display, *command):
    return subprocess.run(command, env=dict(os.environ, DISPLAY=display), capture_output=True,
                          timeout=RUN_TIMEOUT_SECONDS)


def viewable_top_level_windows(display):
    listing = x_client(display, "xwininfo", "-root", "-children").stdout.decode(errors="replace")
    windows = []
    for identifier, title, wm_class in CHILD.findall(listing):
        # A window that has gone since the listing makes xwininfo fail: it is not viewable.
        state = x_client(display, "xwininfo", "-id", identifier).stdout
        if b"Map State: IsViewable" in state:
            windows.append(Window(title, wm_class))
    return windows


def within(seconds, condition):
    """Whether `condition` comes to hold within `seconds`."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(POLL_SECONDS)
    return True


def take_screenshot(display, path):
    dump = x_client(display, "xwd", "-root", "-silent").stdout
    pixels = subprocess.run(["xwdtopnm"], input=dump, capture_output=True, check=True).stdout
    image = subprocess.run(["pnmtopng"], input=pixels, capture_output=True, check=True).stdout
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(image)


def double_click(installation, display, title):
    """Starts the installation's launcher as a double-click does; the runtime shows a window
    titled `title` for WINDOW_SECONDS."""
    environment = installation.stand_in_environment(sleep_ms=WINDOW_SECONDS * 1000,
                                                    window_title=title)
    environment["DISPLAY"] = display
    # Into a file, not a pipe: the launcher and its child inherit start's output and hold it.
    output = installation.record.with_name("start-output.txt")
    with output.open("wb") as start_output:
        status = subprocess.run(under_wine(installation.windows, "start", "/unix",
                                           installation.launcher),
                                cwd=installation.root, env=environment, stdout=start_output,
                                stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT_SECONDS).returncode
    assert status == 0, f"start failed ({status}): {output.read_text(errors='replace')}"


def windows_while_the_runtime_runs(display, installation):
    """Every viewable top-level window listed, again and again, from now until the runtime
    records that it finished: a window that comes late (a console's, say) is listed too."""
    seen = set()

    def finished_or_listed():
        if "finished" in read_record(installation.record)[1]:
            return True
        seen.update(viewable_top_level_windows(display))
        return False
    assert within(ENDS_WITHIN_SECONDS, finished_or_listed), (
        f"the runtime did not end within {ENDS_WITHIN_SECONDS} s")
    return seen


@pytest.mark.parametrize("kind", LAUNCHERS)
@pytest.mark.parametrize("usual_target", USUAL_TARGETS, ids=str)
def test_a_double_click_shows_the_application_window_only(tmp_path, display, usual_target, kind):
    installation = installation_maker(tmp_path, usual_target)(launcher=os.environ[LAUNCHERS[kind]])
    title = f"kestrovan stand-in runtime {usual_target} {kind}"
    shown = ["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"]
    double_click(installation, display, title)
    assert within(APPEARS_WITHIN_SECONDS, lambda: x_client(display, *shown).returncode == 0), (
        f"the runtime's window did not appear within {APPEARS_WITHIN_SECONDS} s; the runtime"
        f" recorded {read_record(installation.record)[1]}")
    take_screenshot(display, pathlib.Path(os.environ["KESTROVAN_SCREENSHOTS"]) /
                    f"{usual_target}-{kind}.png")
    windows = windows_while_the_runtime_runs(display, installation)
    assert read_record(installation.record)[0].get("window") == "shown"

    assert title in [window.title for window in windows], (
        f"{title} was not listed while the runtime ran ({WINDOW_SECONDS} s); listed: {windows}")
    others = [window for window in windows if window.title != title]
    if kind == "launcher":
        assert others == [], "the launcher showed windows of its own"
    else:
        console = windows_path(installation.launcher)
        assert console in [window.title for window in others], (
            f"no console window titled {console} among {others}: the check cannot see a console")

    assert within(ENDS_WITHIN_SECONDS, lambda: not viewable_top_level_windows(display)), (
        f"windows stayed after the runtime ended: {viewable_top_level_windows(display)}")


def start_waiting(installation, display):
    """Starts the installation's launcher as a double-click does, through `start /wait`, which
    ends with the launcher's exit status."""
    environment = dict(installation.stand_in_environment(), DISPLAY=display)
    return subprocess.Popen(under_wine(installation.windows, "start", "/wait", "/unix",
                                       installation.launcher),
                            cwd=installation.root, env=environment, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


@pytest.mark.parametrize("usual_target", USUAL_TARGETS, ids=str)
def test_a_failed_start_shows_nothing_without_a_failure_message(tmp_path, display, usual_target):
    launcher = installation_maker(tmp_path, usual_target)(runtime=False)
    started = start_waiting(launcher, display)
    seen = set()

    def ended_or_listed():
        seen.update(viewable_top_level_windows(display))
        return started.poll() is not None
    assert within(ENDS_WITHIN_SECONDS, ended_or_listed), "the launcher did not end"
    assert (started.returncode, seen) == (0, set())


@pytest.mark.parametrize("usual_target", USUAL_TARGETS, ids=str)
def test_a_failed_start_shows_the_failure_message_until_a_key_closes_it(tmp_path, display,
                                                                         usual_target):
    launcher = installation_maker(tmp_path, usual_target)(launcher=launcher_with("all-options"),
                                                          runtime=False)
    started = start_waiting(launcher, display)
    box = ["xdotool", "search", "--onlyvisible", "--name", f"^{ALL_OPTIONS.display_name}$"]
    assert within(APPEARS_WITHIN_SECONDS, lambda: x_client(display, *box).returncode == 0), (
        f"no message box within {APPEARS_WITHIN_SECONDS} s")
    take_screenshot(display, pathlib.Path(os.environ["KESTROVAN_SCREENSHOTS"]) /
                    f"{usual_target}-failure-message.png")
    reader = under_wine(launcher.windows, os.environ["KESTROVAN_WINDOW_TEXT"],
                        ALL_OPTIONS.display_name)
    texts = x_client(display, *reader).stdout.decode("utf-8").splitlines()
    # The reader writes a line break within a text as a backslash and an n.
    message = ALL_OPTIONS.launch.failure_message + "\\n\\n"
    shown = [text[len(message):] for text in texts if text.startswith(message)]
    assert shown, f"the box does not show the message, but {texts}"
    report = FAILURE.fullmatch(shown[0].encode())
    assert report, f"the box does not end with the report, but with {shown[0]!r}"
    assert started.poll() is None, "the launcher ended while its message box was shown"

    window = x_client(display, *box).stdout.split()[0]
    x_client(display, "xdotool", "windowfocus", "--sync", window, "key", "Return")
    assert within(ENDS_WITHIN_SECONDS, lambda: started.poll() is not None), (
        "the launcher did not end when its message box was closed")
    assert started.returncode == int(report.group(1))
