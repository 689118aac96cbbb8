"""Findings, what every check of the kit returns, and the report that kit/verify prints of them.

A check holds (`ok`), holds but deserves a look (a warning: the tools show it and still exit 0),
or fails; its `detail` says what was found, in words for the report."""
import dataclasses

from .command_line import one_line, write_out
from .untrusted import Fault, parsing


@dataclasses.dataclass(frozen=True)
class Finding:
    check: str
    ok: bool
    detail: str
    warning: bool = False


def finding(check, function, *arguments):
    """`function`'s verdict as a Finding: what it returns when the check holds, else its Fault
    (a part of the file that it cannot parse among them)."""
    try:
        with parsing(check):
            return Finding(check, True, function(*arguments))
    except Fault as fault:
        return Finding(check, False, str(fault))


def mark(finding):
    return "WARN" if finding.warning else "ok  " if finding.ok else "FAIL"


def report(subject, findings):
    """Writes one line per finding and a verdict on `subject`; the exit status: 1 when a check
    failed, else 0."""
    lines = [f"{mark(finding)}  {finding.check}: {one_line(finding.detail)}"
             for finding in findings]
    failed = [finding.check for finding in findings if not finding.ok]
    warned = [finding.check for finding in findings if finding.warning]
    if failed:
        lines.append(f"{subject}: FAILED ({', '.join(failed)})")
    else:
        look_at = f" (look at: {', '.join(warned)})" if warned else ""
        lines.append(f"{subject}: all checks hold{look_at}")
    write_out("\n".join(lines))
    return 1 if failed else 0
