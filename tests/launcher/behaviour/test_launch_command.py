"""The launch options that change what the runtime is started with: the launcher's arguments
handed on, the runtime's options, the environment without the runtime's option variables, and
the console twin, each compiled into a launcher of its own."""
import os
import shutil
import subprocess

import pytest

from launcher_under_wine import (COMMAND_LINE, RUN_TIMEOUT_SECONDS, launcher_with, under_wine,
                                 windows_path)

DOCUMENT = r"C:\Users\Ünï cødé\日本 doc.txt"
# The launcher's own command line as a starter gives it, and the arguments its child gets after
# "-jar launcher.jar"; {launcher} is the launcher's path.
ARGUMENT_ROWS = [
    pytest.param('"{launcher}" "%s"' % DOCUMENT, ' "%s"' % DOCUMENT, id="file-association"),
    pytest.param('{launcher}\t  a\\\\\\"b "c d\\\\" ""  ', ' a\\\\\\"b "c d\\\\" ""  ',
                 id="tabs-backslashes-quotes-and-empty"),
    pytest.param('"{launcher}"   ', "", id="no-arguments"),
]
LIMIT = 32767


def started_with_command_line(installation, command_line, flags="0", title=""):
    """The installation's launcher started with `command_line` (given through the environment,
    which holds up to the platform's limit), the start `flags` and `title`."""
    os.environ["SHORTCUT_STARTER_COMMAND_LINE"] = command_line
    try:
        return installation.run_program([os.environ["KESTROVAN_SHORTCUT_STARTER"], "1", title,
                                         windows_path(installation.launcher), "=", flags])
    finally:
        del os.environ["SHORTCUT_STARTER_COMMAND_LINE"]


@pytest.mark.parametrize("options", [None, "forward-arguments"])
@pytest.mark.parametrize("command_line, forwarded", ARGUMENT_ROWS)
def test_the_runtime_gets_the_launchers_arguments_exactly_as_given(
        make_installation, options, command_line, forwarded):
    installation = make_installation(
        launcher=launcher_with(options) if options else os.environ["KESTROVAN_LAUNCHER"])
    run = started_with_command_line(
        installation, command_line.format(launcher=windows_path(installation.launcher)))
    assert run.finished, f"the runtime did not run: status {run.status}, {run.stdout!r}"
    assert run.record["command_line"] == COMMAND_LINE + (forwarded if options else "")


@pytest.mark.parametrize("argument_units, started", [(LIMIT - len(COMMAND_LINE) - 2, True),
                                                     (LIMIT - len(COMMAND_LINE) - 1, False)])
def test_a_command_line_over_the_platforms_limit_starts_nothing(
        make_installation, argument_units, started):
    installation = make_installation(launcher=launcher_with("forward-arguments"))
    run = started_with_command_line(installation, "k " + "a" * argument_units)
    assert run.finished == started
    # Wine 10 hands a program started without inherited handles no standard output: the exit
    # status carries the Windows code instead.
    assert run.status == (0 if started else 206)
    assert run.stdout in ((b"",) if started else (b"", b"CreateProcess failed: 206"))


def test_the_runtime_gets_its_options_before_the_archive(make_installation):
    installation = make_installation(launcher=launcher_with("java-options"))
    run = installation.run()
    assert run.finished, f"the runtime did not run: status {run.status}, {run.stdout!r}"
    assert run.record["command_line"] == (
        r'application\default-jre\bin\javaw.exe -Xmx64m "-Dapp.home=C:\Program Files\Acme\\"'
        r' "-Dquote=say \"hi\"" -Dname=Ünïcødé -jar launcher.jar')
    # The platform's parser gives back each option as the brand file writes it.
    assert [line for line in installation.record.read_text("utf-8").splitlines()
            if line.startswith("argument=")] == [
        "argument=-Xmx64m", "argument=-Dapp.home=C:\\Program Files\\Acme\\",
        'argument=-Dquote=say "hi"', "argument=-Dname=Ünïcødé", "argument=-jar",
        "argument=launcher.jar"]


JAVA_VARIABLES = {"_JAVA_OPTIONS": "-Xmx1m", "java_tool_options": "-Da=1", "JDK_JAVA_OPTIONS": ""}


@pytest.mark.parametrize("options, kept", [(None, True), ("clean-environment", False)])
def test_the_runtimes_option_variables_reach_it_only_without_the_option(
        make_installation, monkeypatch, options, kept):
    installation = make_installation(
        launcher=launcher_with(options) if options else os.environ["KESTROVAN_LAUNCHER"])
    for name, value in {**JAVA_VARIABLES, "KEEP_ME": "a=b"}.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setenv("STAND_IN_VARIABLES", ",".join([*JAVA_VARIABLES, "KEEP_ME"]))
    run = installation.run()
    assert run.finished
    expected = {**(JAVA_VARIABLES if kept else {}), "KEEP_ME": "a=b"}
    assert {key.removeprefix("variable."): value for key, value in run.record.items()
            if key.startswith("variable.")} == expected


@pytest.mark.parametrize("options, flags, title, expected_flags, expected_title", [
    # Both title flags: the application ID wins; a link name flag with the launcher's own path,
    # the platform's default title, names no shortcut; a hot key beside standard handles is none.
    ("forward", "1807", "Acme.Viewer", "0x1007", "Acme.Viewer"),
    ("forward", "800", "", "0x0", None),
    ("forward", "300", "", "0x0", None),
    ("all-options", "2807", r"C:\Users\u\Desktop\App.lnk", "0x3007", "Acme.Viewer"),
])
def test_the_runtime_gets_only_start_information_that_windows_allows(
        make_installation, options, flags, title, expected_flags, expected_title):
    installation = make_installation(launcher=launcher_with(options))
    run = started_with_command_line(installation, f'"{windows_path(installation.launcher)}"',
                                    flags, title)
    assert run.finished, f"the runtime did not run: status {run.status}, {run.stdout!r}"
    assert run.record["startup_flags"] == expected_flags
    assert run.record["title"] == (expected_title or windows_path(installation.runtime))


def test_the_console_twin_shares_its_output_and_exits_as_the_runtime(make_installation, target):
    if target.runtime_arch != os.environ["KESTROVAN_ARCH"]:
        pytest.skip("the console stand-in is built for the launcher's architecture only")
    installation = make_installation(launcher=launcher_with("console-twin"))
    shutil.copyfile(os.environ["KESTROVAN_JAVA_STAND_IN"], installation.runtime.with_name("java.exe"))
    environment = dict(installation.stand_in_environment(exit_code=3), STAND_IN_STDOUT="ünï\n")
    run = subprocess.run(under_wine(installation.windows, installation.launcher, "a b", "c"),
                         cwd=installation.root, env=environment, capture_output=True,
                         timeout=RUN_TIMEOUT_SECONDS)
    assert (run.returncode, run.stdout) == (3, "ünï\n".encode())
    assert installation.record.read_text("utf-8").splitlines()[0] == \
        r'command_line=application\default-jre\bin\java.exe -jar launcher.jar "a b" c'


