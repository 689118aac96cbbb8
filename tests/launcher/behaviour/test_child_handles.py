"""The child holds none of the launcher's handles. A starter opens a file through an inheritable
handle and starts a program that inherits it; the stand-in runtime records whether the handle
is open in its own process."""
import os

from launcher_under_wine import windows_path


def run_holding_a_handle(installation, program, held_file):
    starter = os.environ["KESTROVAN_HANDLE_STARTER"]
    return installation.run_program([starter, windows_path(held_file), windows_path(program)])


def test_a_handle_inherited_by_the_launcher_does_not_reach_the_child(make_installation, tmp_path):
    installation = make_installation()
    held_file = tmp_path / "held-by-the-launcher.txt"

    direct = run_holding_a_handle(installation, installation.runtime, held_file)
    assert direct.record.get("inherited_handle") == "open", (
        "a directly started stand-in did not see the handle, so this test cannot see one either")

    run = run_holding_a_handle(installation, installation.launcher, held_file)
    assert run.finished, "the launcher did not start the runtime"
    assert run.record["inherited_handle"] == "closed", "the launcher passed its handles on"
    assert run.status == 0
