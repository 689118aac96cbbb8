"""One summary of the test runs of several build trees: how many tests passed, failed and were
skipped, with the reason of each skip, read from the JUnit file that ctest wrote in each tree.

    python3 tools/test_summary.py TREE...

Exits 0 when no test failed and every tree has results, 1 otherwise.
"""
import pathlib
import sys
import xml.etree.ElementTree

RESULTS = "results.xml"
SKIP_MARK = "SKIPPED: "


def skip_reason(case):
    output = case.findtext("system-out") or ""
    marked = [line.split(SKIP_MARK, 1)[1] for line in output.splitlines() if SKIP_MARK in line]
    return marked[-1].rstrip(" !") if marked else "no reason given"


def outcomes(tree):
    """(outcome, test, detail) of each test of `tree`; one failure when it has no results."""
    results = tree / RESULTS
    try:
        suite = xml.etree.ElementTree.parse(results).getroot()
    except (OSError, xml.etree.ElementTree.ParseError) as error:
        return [("failed", tree.name, f"no test results in {results} ({error}): it did not "
                 "configure or build, see above")]
    found = []
    for case in suite.iter("testcase"):
        name = f"{tree.name}: {case.get('name')}"
        seconds = f"{float(case.get('time', 0)):.1f} s"
        if case.find("skipped") is not None or case.get("status") == "notrun":
            found.append(("skipped", name, skip_reason(case)))
        elif case.find("failure") is not None or case.get("status") == "fail":
            found.append(("failed", name, seconds))
        else:
            found.append(("passed", name, seconds))
    return found


def main(trees):
    found = [outcome for tree in trees for outcome in outcomes(pathlib.Path(tree))]
    counts = {kind: sum(1 for outcome in found if outcome[0] == kind)
              for kind in ("passed", "failed", "skipped")}
    print("Test summary: " + ", ".join(f"{count} {kind}" for kind, count in counts.items()))
    for kind, name, detail in found:
        print(f"  {kind:8} {name} ({detail})")
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
