"""The Authenticode signature of a launcher image: its structure, read with asn1crypto, and what
osslsigncode makes of it. Its `verify` report is read here and nowhere else, in a form that
Debian 12's osslsigncode 2.5 and later releases share."""
import dataclasses
import functools
import re
import struct
import subprocess

import pefile
from asn1crypto import cms
from cryptography import x509
from cryptography.hazmat.primitives.serialization import pkcs7

from .command_line import Refusal, Unusable
from .image_checks import Finding
from .untrusted import Fault, parsing, shown

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
# A WIN_CERTIFICATE: its length (padding included), revision 2.0 and type PKCS#7 signed data,
# then the signature, padded to a multiple of 8 bytes.
WIN_CERTIFICATE = struct.Struct("<IHH")
WIN_CERTIFICATE_HEADER = (0x0200, 0x0002)
# The unsigned attribute (1.3.6.1.4.1.311.3.3.1) that holds an RFC 3161 time-stamp token.
TIMESTAMP_ATTRIBUTE = "microsoft_time_stamp_token"

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
CRL_VERDICT = re.compile(r"^Signature CRL verification: (\w+)", re.MULTILINE)


class UnreadableSignature(Refusal):
    """The certificate table holds no signature that can be read."""


@dataclasses.dataclass(frozen=True)
class Signature:
    signed_data: cms.ContentInfo
    signer_certificate: bytes  # DER
    signer_name: str
    timestamp_token: cms.ContentInfo | None

    def timestamp_certificates(self):
        """The DER certificates that the time-stamp server sent along with its token (read with
        the rest of the signature)."""
        return [certificate.chosen.dump()
                for certificate in self.timestamp_token["content"]["certificates"] or []]


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


def signature_in(table):
    length, *header = WIN_CERTIFICATE.unpack_from(table)
    if tuple(header) != WIN_CERTIFICATE_HEADER or not WIN_CERTIFICATE.size < length <= len(table):
        raise ValueError(f"no PKCS#7 certificate of {length} bytes at its start")
    der = table[WIN_CERTIFICATE.size:length]
    # OpenSSL reads the whole PKCS#7 structure and every certificate in it; asn1crypto, which
    # parses lazily, then reads the parts we use, and the time-stamp token in full.
    pkcs7.load_der_pkcs7_certificates(der)
    signed_data = cms.ContentInfo.load(der)
    certificates = [certificate.chosen for certificate in signed_data["content"]["certificates"]]
    signer_info = signed_data["content"]["signer_infos"][0]
    signer_info["unsigned_attrs"].native
    serial = signer_info["sid"].chosen["serial_number"].native
    signers = [certificate for certificate in certificates
               if certificate.serial_number == serial
               and certificate.issuer == signer_info["sid"].chosen["issuer"]]
    if len(signers) != 1:
        raise ValueError(f"{len(signers)} of its certificates match its signer, not 1")
    [signer] = signers
    tokens = [attribute["values"][0] for attribute in signer_info["unsigned_attrs"] or []
              if attribute["type"].native == TIMESTAMP_ATTRIBUTE]
    name = shown(x509.load_der_x509_certificate(signer.dump()).subject.rfc4514_string())
    return Signature(signed_data, signer.dump(), name, tokens[0] if tokens else None)


def without_signature(path, scratch_file):
    """The bytes of the image at `path` without its signature, as osslsigncode removes it (into
    `scratch_file`); the image's own bytes when it has none."""
    if read_signature(path) is None:
        return path.read_bytes()
    status, output = osslsigncode("remove-signature", "-in", path, "-out", scratch_file)
    if status != 0:
        raise Fault(f"osslsigncode cannot remove the signature from {path}: {summary(output)}")
    return scratch_file.read_bytes()


def summary(output):
    """The first line of osslsigncode's output worth showing."""
    for line in output.splitlines():
        line = line.strip()
        if line and line not in ("Failed", "Succeeded") and not line.startswith("Connecting to "):
            return shown(line)
    return "no reason given"


def osslsigncode(*arguments, timeout=None):
    """osslsigncode's exit status and all it said; subprocess.TimeoutExpired once it has run for
    `timeout` seconds (it is ended then)."""
    try:
        result = subprocess.run(["osslsigncode", *map(str, arguments)], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, errors="replace", timeout=timeout)
    except FileNotFoundError:
        raise Unusable("osslsigncode not found: install the osslsigncode package") from None
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

    @property
    def intact(self):
        return self.digests is not None and self.digests[0] == self.digests[1]


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
        signer_fault=shown(signer_fault.group(1).strip()) if signer_fault else None,
        timestamp_verified=bool(timestamp and timestamp.group(1) == "ok"),
        timestamp_fault=shown(timestamp_fault.group(1).strip()) if timestamp_fault else None,
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
    return read_report(text, status)


def trust_finding(path, trust, who, report):
    """Whether the intact signature's signer, `who`, chains to `trust`, and is not revoked where
    this osslsigncode checks CRLs, from `report`, made against `trust` with revocation. A CRL
    that cannot be fetched leaves revocation unchecked, a warning, rather than failing a chain
    that holds."""
    if report.crl_verdict == "failed":
        return Finding("signature", False, f"intact, but {who} fails its CRL check"
                                           f" ({report.signer_fault or 'no reason given'})")
    unchecked = () if report.crl_verdict else report.crl_points
    if unchecked:
        report = verify(path, trust, check_revocation=False)
    if not report.chains:
        reason = f" ({report.signer_fault})" if report.signer_fault else ""
        return Finding("signature", False, f"intact, but {who} does not chain to {trust}{reason}")
    detail = f"intact, signed by {who}; chains to {trust}"
    if unchecked:
        return Finding("signature", True, warning=True, detail=f"{detail}; revocation not checked:"
                       f" cannot fetch its CRL from {', '.join(unchecked)}")
    not_revoked = "; not revoked, by its CRL" if report.crl_verdict == "ok" else ""
    return Finding("signature", True, detail + not_revoked)


def inspect(path, trust=None):
    """A 'signature' finding: intact (the signed digest matches the file) and who signed it; with
    `trust`, also that there is a signature and that its signer chains to a certificate in that
    PEM file (see trust_finding)."""
    try:
        signature = read_signature(path)
    except UnreadableSignature as error:
        return Finding("signature", False, str(error))
    if signature is None:
        if trust:
            return Finding("signature", False, f"not signed, but --trust asks for a signature"
                                               f" that chains to {trust}: sign it with kit/sign")
        return Finding("signature", True, "not signed")
    report = verify(path, trust, check_revocation=trust is not None)
    if report.digests is None:
        return Finding("signature", False, f"osslsigncode cannot read it: {summary(report.text)}")
    if not report.intact:
        return Finding("signature", False, "broken: the file changed after it was signed")
    if trust:
        return trust_finding(path, trust, signature.signer_name, report)
    return Finding("signature", True,
                   f"intact, signed by {signature.signer_name}; chain not checked"
                   " (give --trust CAFILE)")
