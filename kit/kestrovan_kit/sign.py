"""Sign a launcher image in place with an Authenticode signature (SHA-256), using osslsigncode.

Only an image that passes the launcher's image checks (those of kit/verify; with --brand FILE,
those against the brand file) is signed, with the image's ProductName as the signature's
description (that of the brand, or "kestrovan"). The
password of the PKCS#12 file comes from the first line of --password-file, or else from the
environment variable KESTROVAN_SIGN_PASSWORD (an empty value counts as unset); it is never taken
from the command line, never printed, never written to disk, and reaches osslsigncode only through
a pipe it inherits, so that it shows up in no process listing. osslsigncode ends with kit/sign.

The image is replaced only by a signed copy that verified: the copy is made next to the image, then
the signer must be the certificate of the PKCS#12 file, the PE checksum right, and `osslsigncode
verify` must find that the signed digest matches the copy and that the chain ends at a certificate
from the PKCS#12 file or from the system store (/etc/ssl/certs). A time-stamp, when asked for, is
got by osslsigncode itself (-ts, RFC 3161) and must be for this signature and its signature must
check against the certificates the time-stamp server sent along (whether to trust that server is
the business of whoever checks the image). The SHA-256 of the signed file then goes into SHA256SUMS
beside the image (its entry is replaced, or added), together with the image: SIGINT and SIGTERM
wait until both are in place, and when SHA256SUMS cannot be replaced the image as it was goes back.
On any failure, an interruption included, the image and SHA256SUMS are left as they were, nothing
is left next to them, and one line on stderr says what was wrong. One kit/sign at a time signs in
a folder (a second one says so and stops); what a killed one left there, the next one removes.
Neither the image nor SHA256SUMS may be a symbolic link: kit/sign follows no link.

An image that is already signed gets the new signature instead of the old one (any nested
signatures go too): signing twice gives one signature, not two.

Exit status: 0 signed; 1 not signed: the image fails the launcher's image checks, the time-stamp
server fails, the signed copy does not verify, another kit/sign is signing in the folder, or the
image cannot be replaced; 2 not signed: an option or an input file is unusable (missing,
unreadable, a symbolic link, no PKCS#12 file, wrong password); 3 signed, and SHA256SUMS says so,
but the line saying so could not be written to standard output.
"""
import argparse
import contextlib
import hashlib
import math
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import urllib.parse

import pefile
from asn1crypto import pem, pkcs12 as pkcs12_structure
from cryptography.hazmat.primitives.serialization import Encoding, pkcs12

from kestrovan_kit import brand
from kestrovan_kit import checksums
from kestrovan_kit import image_checks
from kestrovan_kit import signature
from kestrovan_kit import signing_folder
from kestrovan_kit.command_line import (
    ArgumentParser, Refusal, Unreported, Unusable, file_argument, read_file, run, write_out)
from kestrovan_kit.untrusted import Fault, parsing

PASSWORD_VARIABLE = "KESTROVAN_SIGN_PASSWORD"
SYSTEM_ROOTS = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")
SUMS = checksums.SUMS
# osslsigncode reads at most this much of its password file.
PASSWORD_LIMIT = 4095
DEFAULT_TIMESTAMP_TIMEOUT = 60
# What osslsigncode says, in every release, when it signed but could not get the time-stamp.
TIMESTAMP_FAILED = "RFC 3161 timestamping failed"


def http_url(text):
    parts = urllib.parse.urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise argparse.ArgumentTypeError(f"{text} is not an http or https URL")
    return text


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"{text} is not a number of seconds above 0")
    return value


def parse_arguments():
    parser = ArgumentParser(
        prog="sign", description=__doc__.split("\n\n")[0],
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pkcs12", metavar="CERT.p12", required=True, type=pathlib.Path,
                        help="the code-signing key and certificate, with its CA certificates")
    parser.add_argument("--password-file", metavar="FILE", type=pathlib.Path,
                        help="file whose first line is the PKCS#12 password "
                             f"(default: ${PASSWORD_VARIABLE})")
    parser.add_argument("--timestamp-url", metavar="URL", type=http_url,
                        help="RFC 3161 time-stamp server to countersign with")
    parser.add_argument("--timestamp-timeout", metavar="SECONDS", type=seconds,
                        default=DEFAULT_TIMESTAMP_TIMEOUT,
                        help="give up on a time-stamp server that has not answered by then "
                             f"(default: {DEFAULT_TIMESTAMP_TIMEOUT})")
    parser.add_argument("--brand", metavar="FILE", type=file_argument,
                        help="the brand file the image was built from (kit/release --brand)")
    parser.add_argument("image", metavar="IMAGE", type=pathlib.Path, help="the image to sign")
    return parser.parse_args()


def read_password(password_file):
    if password_file is not None:
        first_line = read_file(password_file, "password file").split(b"\n", 1)[0]
        password = first_line.removesuffix(b"\r")
    else:
        password = os.fsencode(os.environ.get(PASSWORD_VARIABLE) or "")
        if not password:
            raise Unusable(f"no password: give --password-file or set {PASSWORD_VARIABLE}")
        if b"\n" in password or b"\r" in password:
            raise Unusable(f"{PASSWORD_VARIABLE} holds a line break")
    if len(password) > PASSWORD_LIMIT:
        raise Unusable(f"the password is longer than the {PASSWORD_LIMIT} bytes osslsigncode reads")
    return password


def check_image(image, expected):
    read_file(image, "image", image_checks.IMAGE_LIMIT)
    faults = image_checks.faults(image, expected)
    if faults:
        raise Refusal(f"{image} fails the launcher's image checks"
                      f"{image_checks.against(expected)}: {faults}")


def load_pkcs12(path, password):
    """The signer's certificate and every certificate in the PKCS#12 file, as DER. Also how the
    file gets checked before signing: readable, PKCS#12, and the password opens it."""
    data = read_file(path, "certificate")
    try:
        with parsing(path):
            # asn1crypto parses lazily: only reading every value finds out about all of the file.
            pkcs12_structure.Pfx.load(data, strict=True).native
    except Fault:
        raise Unusable(f"{path} is not a PKCS#12 file") from None
    try:
        with parsing(path):
            try:
                key, certificate, others = pkcs12.load_key_and_certificates(data, password)
            except ValueError:
                raise Unusable(f"wrong password for {path}") from None
    except Fault as fault:
        raise Unusable(str(fault)) from None
    if key is None or certificate is None:
        raise Unusable(f"{path} holds no certificate for its key")
    signer = certificate.public_bytes(Encoding.DER)
    return signer, [signer] + [other.public_bytes(Encoding.DER) for other in others]


def read_sums(image):
    """SHA256SUMS beside the image as it is now, empty when there is none."""
    sums = image.with_name(SUMS)
    if not os.path.lexists(sums):
        return b""
    return read_file(sums, "checksum file", checksums.SUMS_LIMIT)


def trust_file(path, certificates):
    """A CAfile for osslsigncode: the given DER certificates and the system's roots."""
    roots = SYSTEM_ROOTS.read_bytes() if SYSTEM_ROOTS.is_file() else b""
    path.write_bytes(b"".join(pem.armor("CERTIFICATE", der) for der in certificates) + roots)
    return path


def sign_copy(image, signed, arguments, password, description):
    """Signs `image` into `signed`, time-stamped by osslsigncode itself (RFC 3161) when asked."""
    url = arguments.timestamp_url
    timestamp = ["-ts", url] if url else []
    try:
        status, output = signature.osslsigncode(
            "sign", "-pkcs12", arguments.pkcs12, "-h", "sha256",
            "-n", description, *timestamp, "-in", image, "-out", signed, password=password,
            timeout=arguments.timestamp_timeout if url else None)
    except subprocess.TimeoutExpired:
        raise Refusal(f"time-stamp server {url} did not answer within"
                      f" {arguments.timestamp_timeout:g} s") from None
    if status != 0 and url and TIMESTAMP_FAILED in output:
        raise Refusal(f"time-stamp server {url} failed: {signature.summary(output)}")
    if status != 0 or not signed.is_file():
        raise Refusal(f"osslsigncode could not sign {arguments.image}: {signature.summary(output)}")


def check_signed_copy(signed, arguments, signer, certificates, scratch):
    made = signature.read_signature(signed)
    if made.signer_certificate != signer:
        raise Refusal(f"the new signature was not made with the certificate in {arguments.pkcs12}")
    with parsing(f"the signed copy of {arguments.image}"), pefile.PE(str(signed)) as pe:
        if not pe.verify_checksum():
            raise Refusal(f"the signed copy of {arguments.image} has a wrong PE checksum")
    tsa_trust = None
    if arguments.timestamp_url:
        if made.timestamp_token is None:
            raise Refusal("the signed image carries no time-stamp")
        tsa_trust = trust_file(scratch / "tsa-trust.pem", made.timestamp_certificates())
    # Revocation is for whoever checks the image later; here it would only mean fetching CRLs.
    report = signature.verify(signed, trust_file(scratch / "trust.pem", certificates), tsa_trust,
                              check_revocation=False)
    if report.digests is None:
        raise Refusal("osslsigncode cannot read the signature it made:"
                      f" {signature.summary(report.text)}")
    if not report.intact:
        raise Refusal(f"the new signature does not match the contents of {arguments.image}")
    if arguments.timestamp_url and not report.timestamp_verified:
        raise Refusal(f"the time-stamp from {arguments.timestamp_url} does not verify"
                      f" ({report.timestamp_fault or 'its signature is broken'})")
    if not report.chains:
        raise Refusal(signature.signer_advice(arguments.pkcs12, SYSTEM_ROOTS.parent, report))


INTERRUPTIONS = (signal.SIGINT, signal.SIGTERM)


class Interrupted(Refusal):
    """SIGINT or SIGTERM, said as such wherever it lands: a codec that it interrupts raises it
    again with the codec's own words added."""

    def __str__(self):
        return "interrupted"


def interrupted(signal_number, frame):
    raise Interrupted()


@contextlib.contextmanager
def uninterrupted():
    """SIGINT and SIGTERM wait until the block has ended; then they stop the signing."""
    signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTIONS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, INTERRUPTIONS)


def on_disk(staged, destination):
    """`staged` with the mode of `destination`, safely on disk."""
    if destination.exists():
        shutil.copymode(destination, staged)
    descriptor = os.open(staged, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def commit(signed, image, staged_sums, sums, staging):
    """Puts the signed image and its checksums in place, both or neither: when the checksums
    cannot replace theirs, the image as it was goes back. Called with interruptions held."""
    on_disk(signed, image)
    on_disk(staged_sums, sums)
    previous = staging / "previous"
    shutil.copy2(image, previous)
    os.replace(signed, image)
    try:
        os.replace(staged_sums, sums)
    except OSError:
        os.replace(previous, image)
        raise


def sign(arguments):
    image = arguments.image
    signing_folder.refuse_link(image, "image", "sign the file it leads to")
    sums = image.with_name(SUMS)
    signing_folder.refuse_link(sums, "checksum file",
                               "put the file itself beside the image, or remove the link")
    expected = brand.expected(arguments.brand)
    check_image(image, expected)
    password = read_password(arguments.password_file)
    signer, certificates = load_pkcs12(arguments.pkcs12, password)
    with signing_folder.locked(image.parent):
        signing_folder.remove_leftovers(image.parent)
        return sign_locked(arguments, image, sums, password, signer, certificates,
                           expected.display_name)


def sign_locked(arguments, image, sums, password, signer, certificates, description):
    sums_before = read_sums(image)
    with uninterrupted():
        try:
            # Next to the image, so that the final renames stay within one file system.
            staging = pathlib.Path(tempfile.mkdtemp(
                prefix=signing_folder.staging_prefix(image), dir=image.parent))
        except OSError as error:
            raise Refusal(f"cannot write next to {arguments.image}: {error.strerror}") from None
    try:
        signed = staging / image.name
        sign_copy(image, signed, arguments, password, description)
        check_signed_copy(signed, arguments, signer, certificates, staging)
        digest = hashlib.sha256(signed.read_bytes()).hexdigest()
        staged_sums = staging / SUMS
        staged_sums.write_bytes(checksums.with_entry(sums_before, image.name, digest))
        with uninterrupted():
            try:
                commit(signed, image, staged_sums, sums, staging)
            except OSError as error:
                raise Refusal(f"cannot replace {error.filename}: {error.strerror}") from None
            # Signed: an interruption from now on (one held until now among them) is too late.
            for signal_number in INTERRUPTIONS:
                signal.signal(signal_number, signal.SIG_IGN)
    finally:
        with uninterrupted():
            shutil.rmtree(staging, ignore_errors=True)
    return digest, sums


def main():
    arguments = parse_arguments()
    for signal_number in INTERRUPTIONS:
        signal.signal(signal_number, interrupted)

    def signed():
        digest, sums = sign(arguments)
        done = f"signed {arguments.image} (sha256 {digest}, recorded in {sums})"
        try:
            write_out(done)
        except Unreported as failure:
            raise Unreported(f"{done}, but {failure}") from None
        return 0
    return run("sign", signed)

