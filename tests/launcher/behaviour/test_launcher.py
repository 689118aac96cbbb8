"""What a user of an installation sees when the launcher starts the bundled runtime, on 32- and
64-bit Windows (see conftest.py)."""
import pytest

from launcher_under_wine import COMMAND_LINE, FAILURE


def assert_started_as_planned(run, installation):
    assert run.record["command_line"] == COMMAND_LINE
    assert run.record["working_directory"] == installation.working_directory
    assert run.stdout == b""
    assert run.status == 0


@pytest.mark.parametrize("child_exit_code", [0, 7, 255])
def test_waits_for_the_child_then_exits_0_whatever_its_code(make_installation, child_exit_code):
    installation = make_installation()
    run = installation.run(sleep_ms=2000, exit_code=child_exit_code)
    assert run.finished, "the launcher ended before its child did"
    assert run.seconds >= 2.0
    assert_started_as_planned(run, installation)


@pytest.mark.parametrize("arguments", [
    pytest.param([], id="no-arguments"),
    pytest.param(["-Xmx64m", "--verbose"], id="options"),
    pytest.param(["two words", r"C:\other\app.jar"], id="quoted-and-paths"),
])
def test_ignores_its_own_arguments(make_installation, arguments):
    installation = make_installation()
    assert_started_as_planned(installation.run(*arguments), installation)


@pytest.mark.parametrize("current_directory", ["launcher", "elsewhere", "filesystem-root"])
def test_gives_the_child_the_same_working_directory_from_any_current_directory(
        make_installation, tmp_path, current_directory):
    installation = make_installation()
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    cwd = {"launcher": installation.root, "elsewhere": elsewhere, "filesystem-root": "/"}
    assert_started_as_planned(installation.run(cwd=cwd[current_directory]), installation)


@pytest.mark.parametrize("location", [
    "Program Files/kestrovan",
    "Ünïcødé/日本",
    "deep/" + "/".join(["folder with spaces"] * 6),
])
def test_runs_from_paths_with_spaces_and_non_ascii_names(make_installation, location):
    installation = make_installation(location)
    assert_started_as_planned(installation.run(), installation)


@pytest.mark.parametrize("missing, codes", [
    pytest.param({"runtime": False}, {2, 3}, id="runtime"),
    pytest.param({"working_directory": False}, {267}, id="working-directory"),
])
def test_reports_a_failed_start_on_standard_output_and_exits_0(make_installation, missing, codes):
    installation = make_installation(**missing)
    run = installation.run()
    failure = FAILURE.fullmatch(run.stdout)
    assert failure, f"unexpected output {run.stdout!r}"
    assert int(failure.group(1)) in codes
    assert run.status == 0
    assert run.record == {}


def test_never_starts_a_runtime_planted_in_the_current_directory(make_installation):
    installation = make_installation(runtime=False)
    # A whole installation in the current directory, whose runtime records where this one's would.
    planted = make_installation(relative="planted")
    run = installation.run(cwd=planted.root)
    assert run.record == {}, "a runtime outside the installation was started"
    assert FAILURE.fullmatch(run.stdout)


def test_reports_a_runtime_that_this_windows_cannot_run_and_exits_0(make_foreign_installation):
    installation = make_foreign_installation()
    run = installation.run()
    assert run.stdout == b"CreateProcess failed: 193"
    assert run.status == 0
    assert run.record == {}
