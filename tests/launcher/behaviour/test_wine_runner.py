"""dev/wine, which runs every Windows program of the tests, keeps a wineserver for a while
after each program; a caller that reads a program's output must still see it end with the
program."""
import subprocess

import pytest

from launcher_under_wine import LAUNCHER_WINDOWS, RUNS, UNRUNNABLE, under_wine

# Well below the minute that the server stays after a program, so that a run kept waiting for
# the server fails here instead of passing slowly.
SECONDS_A_RUN_MAY_TAKE = 30


@pytest.mark.parametrize("windows", LAUNCHER_WINDOWS)
def test_output_read_through_pipes_ends_with_each_program(windows):
    reason = UNRUNNABLE.get((windows, RUNS[windows][0]))
    if reason:
        pytest.skip(reason)
    for exit_code in (3, 4):
        command = under_wine(windows, "cmd", "/c", f"echo ran {exit_code}& exit {exit_code}")
        run = subprocess.run(command, capture_output=True, timeout=SECONDS_A_RUN_MAY_TAKE)
        assert (run.returncode, run.stdout.strip()) == (exit_code, f"ran {exit_code}".encode())
