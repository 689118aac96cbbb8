"""The Authenticode signature of a launcher image: its structure, read with asn1crypto, and what
osslsigncode makes of it. Its `verify` report is read here and nowhere else, in a form that
Debian 12's osslsigncode 2.5 and later releases share."""
import ctypes
import dataclasses
import datetime
import functools
import os
import re
import signal
import struct
import subprocess

import pefile
from asn1crypto import cms, tsp
from asn1crypto import parser as asn1_parser
from cryptography import x509
from cryptography.hazmat.primitives.serialization import pkcs7

from .command_line import Refusal, Unusable, one_line
from .findings import Finding
from .untrusted import Fault, parsing

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
# A WIN_CERTIFICATE: its length (padding included), revision 2.0 and type PKCS#7 signed data,
# then the signature, padded to a multiple of 8 bytes.
WIN_CERTIFICATE = struct.Struct("<IHH")
WIN_CERTIFICATE_HEADER = (0x0200, 0x0002)
# The unsigned attribute (1.3.6.1.4.1.311.3.3.1) that holds an RFC 3161 time-stamp token.
TIMESTAMP_ATTRIBUTE = "microsoft_time_stamp_token"
# The unsigned attribute (1.3.6.1.4.1.311.2.4.1) that holds a further, nested signature.
NESTED_ATTRIBUTE = "microsoft_nested_signature"

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


class UnreadableSignature(Refusal):
    """The certificate table holds no signature that can be read."""


@dataclasses.dataclass(frozen=True)
class Timestamp:
    signer_name: str
    time: datetime.datetime


@dataclasses.dataclass(frozen=True)
class Signature:
    signed_data: cms.ContentInfo
    signer_certificate: bytes  # DER
    signer_name: str
    digest_algorithm: str
    timestamp_token: cms.ContentInfo | None
    timestamp: Timestamp | None
    nested: tuple  # the Signatures nested in this one, in their order
    hidden_bytes: int = 0  # in the certificate table past the signature and its padding

    def timestamp_certificates(self):
        """The DER certificates that the time-stamp server sent along with its token (read with
        the rest of the signature)."""
        return [certificate.chosen.dump()
                for certificate in self.timestamp_token["content"]["certificates"] or []]

    def all(self):
        """This signature and every one nested in it, in the order osslsigncode reports them."""
        return [self] + [inner for nested in self.nested for inner in nested.all()]


def certificate_table(path):
    """The image's Authenticode certificate table, empty when it is not signed. A security
    directory that reaches past the end of the file is a signature cut short, not none."""
    with pefile.PE(str(path), fast_load=True) as pe:
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
        # The one directory whose address is a file offset, not a virtual address.
        start, end = entry.VirtualAddress, entry.VirtualAddress + entry.Size
        file_size = len(pe.__data__)
        if (start, end) == (0, 0):
            return b""
        if end > file_size or entry.Size < WIN_CERTIFICATE.size:
            raise Fault(f"the signature in {path} is cut short: its certificate table takes bytes"
                        f" {start} to {end}, and the file has {file_size}")
        return bytes(pe.__data__[start:end])


def read_signature(path):
    """The image's signature, or None when it has none; UnreadableSignature when its certificate
    table, or anything in it, does not parse."""
    try:
        with parsing(f"the signature in {path}"):
            table = certificate_table(path)
            return signature_in(table) if table else None
    except Fault as fault:
        raise UnreadableSignature(str(fault)) from None


def padded(length):
    return (length + 7) // 8 * 8


def signature_in(table):
    length, *header = WIN_CERTIFICATE.unpack_from(table)
    if tuple(header) != WIN_CERTIFICATE_HEADER or not WIN_CERTIFICATE.size < length <= len(table):
        raise ValueError(f"no PKCS#7 certificate of {length} bytes at its start")
    # The PKCS#7 structure's own length says where it ends, whatever the lengths around it claim.
    _, _, _, der_header, der_content, _ = asn1_parser.parse(table[WIN_CERTIFICATE.size:length])
    end = WIN_CERTIFICATE.size + len(der_header) + len(der_content)
    der = table[WIN_CERTIFICATE.size:end]
    # OpenSSL reads the whole PKCS#7 structure and every certificate in it; asn1crypto, which
    # parses lazily, then reads the parts we use, and the time-stamp token in full.
    pkcs7.load_der_pkcs7_certificates(der)
    padding = table[end:padded(end)]
    hidden = max(0, len(table) - padded(end)) + (len(padding) if any(padding) else 0)
    return dataclasses.replace(signature_of(cms.ContentInfo.load(der)), hidden_bytes=hidden)


def name_of(certificate):
    return one_line(x509.load_der_x509_certificate(certificate.dump()).subject.rfc4514_string())


def signer_of(signed_data):
    """The certificate of `signed_data`'s one signer."""
    certificates = [certificate.chosen for certificate in signed_data["certificates"] or []]
    sid = signed_data["signer_infos"][0]["sid"].chosen
    signers = [certificate for certificate in certificates
               if certificate.serial_number == sid["serial_number"].native
               and certificate.issuer == sid["issuer"]]
    # A certificate may come twice: a time-stamp server sends its own along with those asked for.
    distinct = {signer.dump(): signer for signer in signers}
    if len(distinct) != 1:
        raise ValueError(f"{len(distinct)} of its certificates match its signer, not 1")
    return signers[0]


def unsigned_attributes(signer_info, kind):
    """The values of the signer's unsigned attributes of `kind`."""
    return [value for attribute in signer_info["unsigned_attrs"] or []
            if attribute["type"].native == kind for value in attribute["values"]]


def timestamp_of(token):
    content = token["content"]
    info = tsp.TSTInfo.load(content["encap_content_info"]["content"].contents)
    return Timestamp(name_of(signer_of(content)), info["gen_time"].native)


def signature_of(signed_data):
    content = signed_data["content"]
    signer = signer_of(content)
    signer_info = content["signer_infos"][0]
    tokens = unsigned_attributes(signer_info, TIMESTAMP_ATTRIBUTE)
    for token in tokens:
        token.native
    nested = unsigned_attributes(signer_info, NESTED_ATTRIBUTE)
    for inner in nested:
        pkcs7.load_der_pkcs7_certificates(inner.dump())
    return Signature(signed_data, signer.dump(), name_of(signer),
                     signer_info["digest_algorithm"]["algorithm"].native.upper(),
                     tokens[0] if tokens else None,
                     timestamp_of(tokens[0]) if tokens else None,
                     tuple(signature_of(inner) for inner in nested))


def without_signature(path, scratch_file):
    """The bytes of the image at `path` without its signature, as osslsigncode removes it (into
    `scratch_file`); the image's own bytes when it has none."""
    if read_signature(path) is None:
        return path.read_bytes()
    status, output = osslsigncode("remove-signature", "-in", path, "-out", scratch_file)
    if status != 0:
        raise Fault(f"osslsigncode cannot remove the signature from {path}: {summary(output)}")
    return scratch_file.read_bytes()


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


def osslsigncode(command, *arguments, timeout=None, password=None):
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
    return "-ignore-crl" in osslsigncode("verify", "--help")[1]


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
    status, text = osslsigncode(*arguments)
    # With nested signatures, osslsigncode reports on each in turn, each under its index.
    starts = [0] + [match.start() for match in SIGNATURE_INDEX.finditer(text)][1:]
    reports = [read_report(text[start:end], status)
               for start, end in zip(starts, starts[1:] + [len(text)])]
    return dataclasses.replace(reports[0], nested=tuple(reports[1:]))


def signer_advice(pkcs12, roots, report):
    """Why a signature just made with the certificate in `pkcs12` does not verify, from
    osslsigncode's `report`, and what to do about it."""
    fault = report.signer_fault or summary(report.text)
    if re.search(r"expired|not yet valid", fault):
        return (f"the certificate in {pkcs12} cannot sign now ({fault}): use one whose validity"
                " dates include today, and check this machine's clock")
    if re.search(r"purpose", fault, re.IGNORECASE):
        return (f"the certificate in {pkcs12} is not for code signing ({fault}): use a"
                " certificate whose extended key usage includes code signing")
    if report.signer_fault:
        return (f"the certificate in {pkcs12} does not chain to a root in it or in {roots}"
                f" ({fault}): add its CA certificates to the PKCS#12 file")
    return f"the new signature does not verify: {fault}"


def described(signature):
    """Who made `signature` and its nested ones, with what digest, and who time-stamped each
    and when."""
    parts = []
    for index, one in enumerate(signature.all()):
        part = f"{'nested: ' if index else ''}{one.signer_name} ({one.digest_algorithm})"
        stamp = one.timestamp
        if stamp:
            part += f", time-stamped by {stamp.signer_name} at {stamp.time:%Y-%m-%d %H:%M:%S %Z}"
        parts.append(part)
    return "; ".join(parts)


def trust_finding(path, trust, signature, report):
    """Whether the intact `signature`'s signers and time-stamp servers chain to `trust`, and the
    signer is not revoked where this osslsigncode checks CRLs, from `report`, made against
    `trust` with revocation. A CRL that cannot be fetched leaves revocation unchecked, a warning,
    rather than failing a chain that holds."""
    if report.crl_verdict == "failed":
        return Finding("signature", False, f"intact, but {signature.signer_name} fails its CRL"
                       f" check ({report.signer_fault or 'no reason given'})")
    unchecked = () if report.crl_verdict else report.crl_points
    if unchecked:
        report = verify(path, trust, trust, check_revocation=False)
    for one, verdict in zip(signature.all(), report.all()):
        if one.timestamp and not verdict.timestamp_verified:
            return Finding("signature", False, f"intact, but the time-stamp by"
                           f" {one.timestamp.signer_name} does not chain to {trust}"
                           f" ({verdict.timestamp_fault or 'its signature does not verify'})")
        if not verdict.chains:
            reason = f" ({verdict.signer_fault})" if verdict.signer_fault else ""
            return Finding("signature", False,
                           f"intact, but {one.signer_name} does not chain to {trust}{reason}")
    detail = f"intact, signed by {described(signature)}; chains to {trust}"
    if unchecked:
        return Finding("signature", True, warning=True, detail=f"{detail}; revocation not checked:"
                       f" cannot fetch its CRL from {', '.join(unchecked)}")
    not_revoked = "; not revoked, by its CRL" if report.crl_verdict == "ok" else ""
    return Finding("signature", True, detail + not_revoked)


def inspect(path, trust=None):
    """A 'signature' finding: intact (the signed digest matches the file), nothing hidden beside
    it, and who signed it and each nested signature, and who time-stamped them when; with
    `trust`, also that there is a signature and that its signers and time-stamp servers chain to
    a certificate in that PEM file (see trust_finding)."""
    try:
        signature = read_signature(path)
    except UnreadableSignature as error:
        return Finding("signature", False, str(error))
    if signature is None:
        if trust:
            return Finding("signature", False, f"not signed, but --trust asks for a signature"
                                               f" that chains to {trust}: sign it with kit/sign")
        return Finding("signature", True, "not signed")
    if signature.hidden_bytes:
        return Finding("signature", False, f"{signature.hidden_bytes:,} bytes in its certificate"
                       " table beyond the signature and its padding, which no signature covers:"
                       " sign the image as built again with kit/sign")
    report = verify(path, trust, trust, check_revocation=trust is not None)
    signatures = signature.all()
    if len(report.all()) != len(signatures):
        return Finding("signature", False, f"osslsigncode reads {len(report.all())} signatures"
                       f" in it, not the {len(signatures)} it holds: {summary(report.text)}")
    for one in report.all():
        if one.digests is None:
            return Finding("signature", False, f"osslsigncode cannot read it: {summary(one.text)}")
        if not one.intact:
            return Finding("signature", False, "broken: the file changed after it was signed")
    if trust:
        return trust_finding(path, trust, signature, report)
    return Finding("signature", True, f"intact, signed by {described(signature)}; chain not checked"
                                      " (give --trust CAFILE)")
