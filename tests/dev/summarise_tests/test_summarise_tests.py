"""dev/summarise_tests.py: one verdict over the ctest results of several trees."""
import subprocess
import sys

import pytest

from checkout import DEV

SUMMARY = DEV / "summarise_tests.py"

PASSED = '<testcase name="unit" time="1.25" status="run"><system-out>ok</system-out></testcase>'
FAILED = ('<testcase name="image" time="0.5" status="fail"><failure message=""/>'
          '<system-out>1 failed</system-out></testcase>')
SKIPPED = ('<testcase name="behaviour" time="0.1" status="notrun">'
           '<skipped message="SKIP_RETURN_CODE=77"/><system-out>collecting\n'
           '!!! Exit: SKIPPED: this host cannot run i686 Windows programs: no loader !!!'
           '</system-out></testcase>')
PASSED_WITH_SKIPPED_CASES = (
    '<testcase name="release" time="30.5" status="run"><system-out>collecting\n'
    '=== short test summary info ===\n'
    'SKIPPED [3] test_verify.py:178: this osslsigncode fetches no CRLs\n'
    'SKIPPED [1] test_sign.py:60: running as root, and setpriv is missing\n'
    '=== 40 passed, 4 skipped in 30.1s ===</system-out></testcase>')
MISSING_PROGRAM = ('<testcase name="unit" time="0" status="notrun">'
                   '<skipped message="Unable to find executable"/></testcase>')


def results(*cases):
    return f'<?xml version="1.0"?><testsuite tests="{len(cases)}">{"".join(cases)}</testsuite>'


CASES = [
    pytest.param({"host": results(PASSED)}, 0,
                 ["Test summary: 1 passed, 0 failed, 0 skipped",
                  "  passed   host: unit (1.2 s)"], id="all-passed"),
    pytest.param({"windows-i686": results(PASSED, SKIPPED)}, 0,
                 ["Test summary: 1 passed, 0 failed, 1 skipped",
                  "  passed   windows-i686: unit (1.2 s)",
                  "  skipped  windows-i686: behaviour (this host cannot run i686 Windows"
                  " programs: no loader)"], id="skip-with-its-reason"),
    pytest.param({"windows-i686": results(PASSED_WITH_SKIPPED_CASES)}, 0,
                 ["Test summary: 1 passed, 0 failed, 0 skipped",
                  "  passed   windows-i686: release (30.5 s; 3 cases skipped: this osslsigncode"
                  " fetches no CRLs; 1 case skipped: running as root, and setpriv is missing)"],
                 id="cases-skipped-inside-a-passed-test"),
    pytest.param({"host": results(PASSED), "windows-i686": results(FAILED)}, 1,
                 ["Test summary: 1 passed, 1 failed, 0 skipped",
                  "  passed   host: unit (1.2 s)",
                  "  failed   windows-i686: image (0.5 s)"], id="one-failure-fails-all"),
    pytest.param({"host": results(MISSING_PROGRAM)}, 1,
                 ["Test summary: 0 passed, 1 failed, 0 skipped",
                  "  failed   host: unit (not run: Unable to find executable)"],
                 id="a-test-that-could-not-start-failed"),
    pytest.param({"host": "<testsuite"}, 1,
                 ["Test summary: 0 passed, 1 failed, 0 skipped",
                  "  failed   host ({tree}/host/results.xml: not a JUnit file"],
                 id="unreadable-results"),
    pytest.param({"host": None}, 1,
                 ["Test summary: 0 passed, 1 failed, 0 skipped",
                  "  failed   host (no test results: {tree}/host/results.xml: No such file or"
                  " directory; the tree did not configure or build, or its tests did not run, see above)"],
                 id="tree-without-results"),
]


@pytest.mark.parametrize("trees, status, lines", CASES)
def test_summarises_every_tree(tmp_path, trees, status, lines):
    for name, xml in trees.items():
        (tmp_path / name).mkdir()
        if xml is not None:
            (tmp_path / name / "results.xml").write_text(xml)

    result = subprocess.run([sys.executable, SUMMARY,
                             *(tmp_path / name / "results.xml" for name in trees)],
                            capture_output=True, text=True)

    assert result.returncode == status
    printed = result.stdout.splitlines()
    assert len(printed) == len(lines), result.stdout
    for line, expected in zip(printed, lines):
        assert line.startswith(expected.format(tree=tmp_path)), result.stdout
