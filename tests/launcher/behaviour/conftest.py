"""The behaviour suite's targets and installations; tests/support/launcher_under_wine.py says
what the environment names and how each target runs."""
import pytest

from launcher_under_wine import (FOREIGN_TARGETS, LAUNCHER_ARCH, SKIPPED, TARGETS, UNRUNNABLE,
                                 installation_maker, why_not_runnable, why_unrunnable)


def pytest_sessionstart(session):
    needed = {(target.windows, arch) for target in TARGETS + FOREIGN_TARGETS
              for arch in target.arches}
    for windows, arch in sorted(needed):
        UNRUNNABLE[windows, arch] = why_unrunnable(windows, arch)
    reasons = [why_not_runnable(target) for target in TARGETS + FOREIGN_TARGETS]
    if all(reasons):
        pytest.exit(f"SKIPPED: {reasons[0]}", returncode=SKIPPED)


def pytest_generate_tests(metafunc):
    if "target" in metafunc.fixturenames:
        metafunc.parametrize("target", TARGETS, ids=str)
    if "foreign_target" in metafunc.fixturenames:
        targets = FOREIGN_TARGETS or [pytest.param(None, id="none", marks=pytest.mark.skip(
            reason=f"the {LAUNCHER_ARCH} launcher runs on no Windows that cannot run a runtime"
                   " built here"))]
        metafunc.parametrize("foreign_target", targets, ids=str)


@pytest.fixture
def make_installation(tmp_path, target):
    """Makes installations for the test's target; see `installation_maker`."""
    return installation_maker(tmp_path, target)


@pytest.fixture
def make_foreign_installation(tmp_path, foreign_target):
    """Makes installations whose runtime the target's Windows cannot run."""
    return installation_maker(tmp_path, foreign_target)
