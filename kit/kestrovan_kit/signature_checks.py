"""The signature's finding for kit/verify and the installation check: intact, nothing hidden
beside it, who made it and each nested signature and time-stamp; with a trust file, whether its
signers may sign code and chain to that file, and why not."""
import datetime

from .findings import Finding
from .osslsigncode import summary, verify
from .signature import UnreadableSignature, read_signature, unfit_to_sign

# Digests that collisions have broken: a signature made with one still verifies, but proves
# little.
WEAK_DIGESTS = {"SHA1", "MD5"}


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
    """Whether the intact `signature`'s signers and time-stamp servers chain to `trust`, the
    signers may sign code (purpose, key usage and validity, at their time-stamp's time or now), and
    the signer is not revoked where this osslsigncode checks CRLs, from `report`, made against
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
        fault = unfit_to_sign(one.signer_certificate, signing_time(one))
        if not verdict.chains:
            reason = fault or verdict.signer_fault
            return Finding("signature", False, f"intact, but {one.signer_name} does not chain to"
                           f" {trust}{f' ({reason})' if reason else ''}")
        if fault:
            return Finding("signature", False, f"intact and chains to {trust}, but"
                           f" {one.signer_name} may not sign code: {fault}")
    detail = f"intact, signed by {described(signature)}; chains to {trust}"
    if unchecked:
        return Finding("signature", True, warning=True, detail=f"{detail}; revocation not checked:"
                       f" cannot fetch its CRL from {', '.join(unchecked)}")
    not_revoked = "; not revoked, by its CRL" if report.crl_verdict == "ok" else ""
    return Finding("signature", True, detail + not_revoked)


def signing_time(signature):
    """When `signature` counts as made: its time-stamp's time, or else now."""
    stamp = signature.timestamp
    return stamp.time if stamp else datetime.datetime.now(datetime.timezone.utc)


def weak_digest_warned(finding, signature):
    """`finding` with a warning added for each signature made with a broken digest."""
    weak = [one for one in signature.all() if one.digest_algorithm in WEAK_DIGESTS]
    if not finding.ok or not weak:
        return finding
    named = ", ".join(f"{one.signer_name} ({one.digest_algorithm})" for one in weak)
    return Finding("signature", True, warning=True, detail=f"{finding.detail}; a broken digest"
                   f" in the signature of {named}: sign again with kit/sign (SHA-256)")


def inspect(path, trust=None):
    """A 'signature' finding: intact (the signed digest matches the file), nothing hidden beside
    it, and who signed it and each nested signature, and who time-stamped them when; with
    `trust`, also that there is a signature and that its signers and time-stamp servers chain to
    a certificate in that PEM file (see trust_finding). A signature made with a broken digest
    (SHA-1) is a warning."""
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
        return weak_digest_warned(trust_finding(path, trust, signature, report), signature)
    return weak_digest_warned(Finding("signature", True, f"intact, signed by"
                                      f" {described(signature)}; chain not checked"
                                      " (give --trust CAFILE)"), signature)
