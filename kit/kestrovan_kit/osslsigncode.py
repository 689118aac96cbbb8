"""osslsigncode, run here and nowhere else: signing, removing a signature, and verifying, with
its `verify` report read in a form that Debian 12's osslsigncode 2.5 and later releases share.
A password reaches it only through a pipe it inherits, and it ends when the kit does."""
import ctypes
import dataclasses
import functools
import os
import re
import signal
import subprocess

from .command_line import Unusable, one_line
from .signature import read_signature
from .untrusted import Fault

CURRENT_DIGEST = re.compile(r"^Current message digest\s*:\s*(\w+)", re.MULTILINE)
CALCULATED_DIGEST = re.compile(r"^Calculated message digest\s*:\s*(\w+)", re.MULTILINE)
SIGNATURE_VERDICT = re.compile(r"^Signature verification: (\w+)", re.MULTILINE)
# The time-stamp's part of the report ends here; the signer's chain comes after it.
TIMESTAMP_VERDICT = re.compile(
    r"^(?:Timestamp Server Signature verification: (\w+)|Timestamp is not available)$",
    re.MULTILINE)
# 2.5 ends OpenSSL's error line with "Verify error: <reason>", later releases print
# "Error: <reason>" on a line of its own.
CHAIN_FAULT = re.compile(r"(?:^\s*Error|Verify error): (.+)$", re.MULTILINE)
# Where osslsigncode fetches CRLs itself, it names each distribution point, and gives a CRL
# verdict only for those it could fetch.
CRL_POINT = re.compile(r"^CRL distribution point: (\S+)", re.MULTILINE)
SIGNATURE_INDEX = re.compile(r"^Signature Index: \d+", re.MULTILINE)
CRL_VERDICT = re.compile(r"^Signature CRL verification: (\w+)", re.MULTILINE)

# A line of osslsigncode's that states a fault, and the lines around it that only say where it
# was or that it failed, which state nothing.
FAULT_LINE = re.compile(r"error|fail|unsupported|unable|cannot|invalid|expired|not yet valid",
                        re.IGNORECASE)
NOT_A_REASON = re.compile(r"^(?:Failed|Succeeded|Connecting to .*|HTTPS-CAfile: .*|PE checksum.*"
                          r"|Signature verification: failed|Use the .*|\S+:error:.*)$")
# OpenSSL's error line: thread:error:code:library:function:reason:file:line:what it was doing.
OPENSSL_ERROR = re.compile(r"^\S+:error:[0-9A-F]+:[^:]*:[^:]*:([^:]+):[^:]*:\d+:(.*)$",
                           re.MULTILINE)


def summary(output):
    """The line of osslsigncode's output that states the fault, with the reason OpenSSL gave
    for it when there is one."""
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    stated = [line for line in lines if FAULT_LINE.search(line) and not NOT_A_REASON.match(line)]
    reason = OPENSSL_ERROR.search(output)
    if stated:
        given = f" ({reason[1]})" if reason and reason[1] not in stated[0] else ""
        return one_line(stated[0] + given)
    if reason:
        return one_line(reason[1])
    worth_showing = [line for line in lines if not NOT_A_REASON.match(line)]
    return one_line(worth_showing[0]) if worth_showing else "no reason given"


LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def ends_with(parent):
    """Run in the child before osslsigncode starts: it is killed when `parent` ends, however
    that ends, so that no osslsigncode waits on for a time-stamp server nobody waits for."""
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(1)


def password_pipe(password):
    """The reading end of a pipe that holds `password` and nothing more. osslsigncode reads its
    password file with one read(), which a pipe answers with all that was written before."""
    reading, writing = os.pipe()
    try:
        os.write(writing, password)
    finally:
        os.close(writing)
    return reading


def run(command, *arguments, timeout=None, password=None):
    """osslsigncode's exit status and all it said; subprocess.TimeoutExpired once it has run for
    `timeout` seconds (it is ended then). `password` reaches it through a pipe it inherits, never
    through a file or its command line."""
    inherited = [password_pipe(password)] if password is not None else []
    readpass = ["-readpass", f"/dev/fd/{inherited[0]}"] if inherited else []
    try:
        result = subprocess.run(["osslsigncode", command, *readpass, *map(str, arguments)],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                errors="replace", timeout=timeout, pass_fds=inherited,
                                preexec_fn=functools.partial(ends_with, os.getpid()))
    except FileNotFoundError:
        raise Unusable("osslsigncode not found: install the osslsigncode package") from None
    finally:
        for descriptor in inherited:
            os.close(descriptor)
    return result.returncode, result.stdout + result.stderr


@functools.cache
def fetches_crls():
    """Whether this osslsigncode fetches CRLs from the network while verifying (2.5 does not,
    and does not know -ignore-crl either)."""
    return "-ignore-crl" in run("verify", "--help")[1]


@dataclasses.dataclass(frozen=True)
class Report:
    """What `osslsigncode verify` found."""
    text: str
    digests: tuple[str, str] | None  # the signed digest and that of the file as it is
    chains: bool  # the signature checks and its signer chains to the CA file
    signer_fault: str | None
    timestamp_verified: bool
    timestamp_fault: str | None
    crl_points: tuple[str, ...]
    crl_verdict: str | None  # "ok" or "failed" for a CRL that was fetched
    nested: tuple = ()  # the Reports on the signatures nested in this one

    @property
    def intact(self):
        return self.digests is not None and self.digests[0] == self.digests[1]

    def all(self):
        return [self, *self.nested]


def read_report(text, status):
    current, calculated = CURRENT_DIGEST.search(text), CALCULATED_DIGEST.search(text)
    timestamp = TIMESTAMP_VERDICT.search(text)
    split = timestamp.end() if timestamp else 0
    timestamp_fault = CHAIN_FAULT.search(text, 0, split)
    signer_fault = CHAIN_FAULT.search(text, split)
    verdict = SIGNATURE_VERDICT.search(text)
    crl_verdict = CRL_VERDICT.search(text)
    return Report(
        text=text,
        digests=(current.group(1), calculated.group(1)) if current and calculated else None,
        chains=status == 0 and verdict is not None and verdict.group(1) == "ok",
        signer_fault=one_line(signer_fault.group(1).strip()) if signer_fault else None,
        timestamp_verified=bool(timestamp and timestamp.group(1) == "ok"),
        timestamp_fault=one_line(timestamp_fault.group(1).strip()) if timestamp_fault else None,
        crl_points=tuple(CRL_POINT.findall(text)),
        crl_verdict=crl_verdict.group(1) if crl_verdict else None)


def verify(path, ca_file=None, tsa_ca_file=None, check_revocation=False):
    """osslsigncode's verdict on the image's signature, against `ca_file` (default: the system's
    roots) and, for the time-stamp, `tsa_ca_file`."""
    arguments = ["verify", "-in", path]
    if ca_file:
        arguments += ["-CAfile", ca_file]
    if tsa_ca_file:
        arguments += ["-TSA-CAfile", tsa_ca_file]
    if not check_revocation and fetches_crls():
        arguments += ["-ignore-crl"]
    status, text = run(*arguments)
    # With nested signatures, osslsigncode reports on each in turn, each under its index.
    starts = [0] + [match.start() for match in SIGNATURE_INDEX.finditer(text)][1:]
    reports = [read_report(text[start:end], status)
               for start, end in zip(starts, starts[1:] + [len(text)])]
    return dataclasses.replace(reports[0], nested=tuple(reports[1:]))


def without_signature(path, scratch_file):
    """The bytes of the image at `path` without its signature, as osslsigncode removes it (into
    `scratch_file`); the image's own bytes when it has none."""
    if read_signature(path) is None:
        return path.read_bytes()
    status, output = run("remove-signature", "-in", path, "-out", scratch_file)
    if status != 0:
        raise Fault(f"osslsigncode cannot remove the signature from {path}: {summary(output)}")
    return scratch_file.read_bytes()
