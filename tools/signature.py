"""The Authenticode signature of a launcher image, as osslsigncode reads it."""
import re
import subprocess

import pefile

from image_checks import Finding

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
CURRENT_DIGEST = re.compile(r"^Current message digest\s*:\s*(\w+)", re.MULTILINE)
CALCULATED_DIGEST = re.compile(r"^Calculated message digest\s*:\s*(\w+)", re.MULTILINE)
CHAIN_VERIFIED = re.compile(r"^Signature verification: ok$", re.MULTILINE)
SIGNER = re.compile(r"Signer #0:\s*\n\s*Subject:\s*(.+)")


def signed_and_actual_digest(report):
    """From an `osslsigncode verify` report: the digest the signature holds and the digest of the
    file as it is, or None when the report has no readable signature."""
    current, calculated = CURRENT_DIGEST.search(report), CALCULATED_DIGEST.search(report)
    return (current.group(1), calculated.group(1)) if current and calculated else None


def certificate_table(path):
    """The image's Authenticode certificate table, empty when it is not signed."""
    with pefile.PE(str(path), fast_load=True) as pe:
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
        # The one directory whose address is a file offset, not a virtual address.
        return bytes(pe.__data__[entry.VirtualAddress:entry.VirtualAddress + entry.Size])


def is_signed(path):
    return len(certificate_table(path)) > 0


def osslsigncode_verify(path, trust):
    command = ["osslsigncode", "verify", "-in", str(path)]
    if trust:
        command += ["-CAfile", str(trust)]
    result = subprocess.run(command, capture_output=True, text=True, errors="replace")
    return result.stdout + result.stderr


def inspect(path, trust=None):
    """A 'signature' finding: intact (the signed digest matches the file) and who signed it; with
    `trust`, also that the signer's certificate chains to a certificate in that PEM file."""
    if not is_signed(path):
        return Finding("signature", True, "not signed")
    try:
        report = osslsigncode_verify(path, trust)
    except FileNotFoundError:
        return Finding("signature", False, "signed, but osslsigncode is not installed to check it")
    digests = signed_and_actual_digest(report)
    if not digests:
        return Finding("signature", False, "unreadable signature")
    signed_digest, actual_digest = digests
    if signed_digest != actual_digest:
        return Finding("signature", False, "broken: the file changed after it was signed")
    signer = SIGNER.search(report)
    who = signer.group(1).strip() if signer else "an unnamed signer"
    if trust and not CHAIN_VERIFIED.search(report):
        return Finding("signature", False, f"intact, but {who} does not chain to {trust}")
    chain = f"chains to {trust}" if trust else "chain not checked (give --trust CAFILE)"
    return Finding("signature", True, f"intact, signed by {who}; {chain}")
