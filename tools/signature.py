"""The Authenticode signature of a launcher image, as osslsigncode reads it."""
import re
import subprocess

import pefile

from image_checks import Finding

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
CURRENT_DIGEST = re.compile(r"Current message digest\s*:\s*(\w+)")
CALCULATED_DIGEST = re.compile(r"Calculated message digest\s*:\s*(\w+)")
SIGNER = re.compile(r"Signer #0:\s*\n\s*Subject:\s*(.+)")


def is_signed(path):
    with pefile.PE(str(path), fast_load=True) as pe:
        return pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY].Size > 0


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
    report = osslsigncode_verify(path, trust)
    current, calculated, signer = (pattern.search(report)
                                   for pattern in (CURRENT_DIGEST, CALCULATED_DIGEST, SIGNER))
    if not current or not calculated or not signer:
        return Finding("signature", False, "unreadable signature")
    who = signer.group(1).strip()
    if current.group(1) != calculated.group(1):
        return Finding("signature", False, f"broken: the file changed after {who} signed it")
    if trust and "Signature verification: ok" not in report:
        return Finding("signature", False, f"intact, but {who} does not chain to {trust}")
    chain = f"chains to {trust}" if trust else "chain not checked (give --trust CAFILE)"
    return Finding("signature", True, f"intact, signed by {who}; {chain}")
