"""One summary of the test runs of several build trees: how many tests passed, failed and were
skipped, with the reason of each skip, read from the JUnit files that ctest wrote in the trees
(a tree may have more than one: its tests run here and those run in the emulated guest). Each
test is named by its tree, the folder that holds the file. A test that passed although some of
its cases were skipped (pytest's "SKIPPED [N] where: why" lines) says so too.

    python3 dev/summarise_tests.py RESULTS...

Exits 0 when no test failed and every results file is there, 1 otherwise.
"""
import pathlib
import re
import sys
import xml.etree.ElementTree

SKIP_MARK = "SKIPPED: "
SKIPPED_CASES = re.compile(r"^SKIPPED \[(\d+)\] \S+?:\d+: (.+)$", re.MULTILINE)


def skip_reason(case):
    output = case.findtext("system-out") or ""
    marked = [line.split(SKIP_MARK, 1)[1] for line in output.splitlines() if SKIP_MARK in line]
    return marked[-1].rstrip(" !") if marked else "no reason given"


def outcome(case):
    """(outcome, detail) of one ctest test case. ctest also marks as not run a test that could
    not start (its program missing, a fixture failed): that is a failure, not a skip."""
    seconds = f"{float(case.get('time', 0)):.1f} s"
    not_run = case.find("skipped")
    if not_run is not None and not_run.get("message", "").startswith("SKIP_"):
        return "skipped", skip_reason(case)
    if case.get("status") == "run":
        return "passed", seconds + "".join(
            f"; {count} {'case' if count == '1' else 'cases'} skipped: {reason}"
            for count, reason in SKIPPED_CASES.findall(case.findtext("system-out") or ""))
    if not_run is not None:
        return "failed", f"not run: {not_run.get('message') or 'no reason given'}"
    return "failed", seconds


def outcomes(results):
    """(outcome, test, detail) of each test in the JUnit file `results`; one failure when it is
    missing or unreadable."""
    tree = results.parent
    try:
        suite = xml.etree.ElementTree.parse(results).getroot()
    except OSError as error:
        return [("failed", tree.name, f"no test results: {results}: {error.strerror}; the tree"
                 " did not configure or build, or its tests did not run, see above")]
    except xml.etree.ElementTree.ParseError as error:
        return [("failed", tree.name, f"{results}: not a JUnit file ({error})")]
    return [(kind, f"{tree.name}: {case.get('name')}", detail)
            for case in suite.iter("testcase") for kind, detail in [outcome(case)]]


def main(results):
    found = [outcome for path in results for outcome in outcomes(pathlib.Path(path))]
    counts = {kind: sum(1 for outcome in found if outcome[0] == kind)
              for kind in ("passed", "failed", "skipped")}
    print("Test summary: " + ", ".join(f"{count} {kind}" for kind, count in counts.items()))
    for kind, name, detail in found:
        print(f"  {kind:8} {name} ({detail})")
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
