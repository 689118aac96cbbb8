"""Sign a launcher image in place with an Authenticode signature (SHA-256), using osslsigncode.

Only an image that passes the launcher's image checks (those of kit/verify; with --brand FILE,
those against the brand file) is signed, with the image's ProductName as the signature's
description (that of the brand, or "kestrovan"), and only
with a certificate that may sign code now (its extended key usage, its key usage and its
validity). The password of the PKCS#12 file comes from the first line of --password-file (a
file, or a pipe such as /dev/stdin or a process substitution), or else from the environment
variable KESTROVAN_SIGN_PASSWORD (an empty value counts as unset; an empty first line is no
password either); it is never taken from the command line, never printed, never written to disk,
and reaches osslsigncode only through a pipe it inherits, so that it shows up in no process
listing. osslsigncode ends with kit/sign. Every option is spelt in full and given once.

With --pkcs11-module LIBRARY --key PKCS11-URI --certs CHAIN.pem instead of --pkcs12, the key is
the one in a PKCS#11 token or HSM that the URI names (a URI holding a PIN is refused), the
signer's certificate is the first in CHAIN.pem (the token's own certificates are not read), and
the PIN comes from --pin-file or KESTROVAN_SIGN_PIN as the password does. A wrong PIN, a locked
token, a URI that names no key or token, a module that cannot be loaded, and a certificate that
is not the key's are each one line naming the module or the URI, status 2.

The image is replaced only by a signed copy that verified: the copy is made next to the image, then
the signer must be the certificate of the PKCS#12 file, the PE checksum right, and `osslsigncode
verify` must find that the signed digest matches the copy and that the chain ends at a certificate
from the PKCS#12 file or from the system store (/etc/ssl/certs; the two are gathered into a file in
the temporary folder, $TMPDIR or /tmp). A time-stamp, when asked for, is got by osslsigncode itself
(-ts, RFC 3161) and must be for this signature and its signature must check against the certificates
the time-stamp server sent along (whether to trust that server is the business of whoever checks the
image). The SHA-256 of the signed file then goes into SHA256SUMS beside the image (its entry is
replaced, or added), together with the image: an interruption (HUP, INT, QUIT, TERM, PIPE) waits
until both are in place, and when SHA256SUMS cannot be replaced the image as it was goes back. On
any failure, an interruption included, the image and SHA256SUMS are left as they were, nothing is
left next to them, and one line on stderr says what was wrong, naming the file or the folder at
fault (an interruption: "sign: interrupted"). One kit/sign at a time signs in a folder (a second one
says so and stops); what a killed one left there, the next one removes. Neither the image nor
SHA256SUMS may be a symbolic link: kit/sign follows no link.

An image that is already signed gets the new signature instead of the old one (any nested
signatures go too): signing twice gives one signature, not two.

Exit status: 0 signed; 1 not signed: the image fails the launcher's image checks, the certificate
may not sign code now, the time-stamp server fails, the signed copy does not verify, another
kit/sign is signing in the folder, the image cannot be replaced, or a signal stopped it; 2 not
signed: an option or an input file is unusable (missing, unreadable, a symbolic link, no PKCS#12
file, no or a wrong password or PIN, a token that cannot sign with the key, an option abbreviated
or given twice); 3 signed, and SHA256SUMS says so, but the line saying so could not be written to
standard output.
"""
import argparse
import contextlib
import dataclasses
import datetime
import functools
import hashlib
import math
import os
import pathlib
import shutil
import subprocess
import tempfile
import typing
import urllib.parse

import pefile
from asn1crypto import pem, pkcs12 as pkcs12_structure
from cryptography.hazmat.primitives.serialization import Encoding, pkcs12

from kestrovan_kit import brand
from kestrovan_kit import checksums
from kestrovan_kit import image_checks
from kestrovan_kit import interruptions
from kestrovan_kit import osslsigncode
from kestrovan_kit import pkcs11
from kestrovan_kit import signature
from kestrovan_kit import signing_folder
from kestrovan_kit.command_line import (
    ArgumentParser, Refusal, Unreported, Unusable, file_argument, read_file, regular_file, run,
    write_out)
from kestrovan_kit.interruptions import uninterrupted
from kestrovan_kit.untrusted import Fault, parsing

PASSWORD_VARIABLE = "KESTROVAN_SIGN_PASSWORD"
PIN_VARIABLE = pkcs11.PIN_VARIABLE
SYSTEM_ROOTS = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")
SUMS = checksums.SUMS
# osslsigncode reads at most this much of its password file.
PASSWORD_LIMIT = 4095
DEFAULT_TIMESTAMP_TIMEOUT = 60
# More than a signature with its certificates and a time-stamp takes.
SIGNATURE_ROOM = 64 << 10
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
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--pkcs12", metavar="CERT.p12", type=pathlib.Path,
                        help="the code-signing key and certificate, with its CA certificates")
    source.add_argument("--pkcs11-module", metavar="LIBRARY", type=pathlib.Path,
                        help="the PKCS#11 module of the token or HSM that holds the key")
    parser.add_argument("--password-file", metavar="FILE", type=pathlib.Path,
                        help="file whose first line is the PKCS#12 password "
                             f"(default: ${PASSWORD_VARIABLE})")
    parser.add_argument("--key", metavar="PKCS11-URI", type=pkcs11.key_uri,
                        help="the key in the token (pkcs11:token=...;object=...), without a PIN")
    parser.add_argument("--certs", metavar="CHAIN.pem", type=pathlib.Path,
                        help="the key's certificate first, then its CA certificates")
    parser.add_argument("--pin-file", metavar="FILE", type=pathlib.Path,
                        help=f"file whose first line is the token's PIN (default: ${PIN_VARIABLE})")
    parser.add_argument("--timestamp-url", metavar="URL", type=http_url,
                        help="RFC 3161 time-stamp server to countersign with")
    parser.add_argument("--timestamp-timeout", metavar="SECONDS", type=seconds,
                        default=DEFAULT_TIMESTAMP_TIMEOUT,
                        help="give up on a time-stamp server that has not answered by then "
                             f"(default: {DEFAULT_TIMESTAMP_TIMEOUT})")
    parser.add_argument("--brand", metavar="FILE", type=file_argument,
                        help="the brand file the image was built from (kit/release --brand)")
    parser.add_argument("image", metavar="IMAGE", type=pathlib.Path, help="the image to sign")
    arguments = parser.parse_args()
    if arguments.pkcs11_module is None:
        for option in ("--key", "--certs", "--pin-file"):
            if getattr(arguments, option[2:].replace("-", "_")) is not None:
                parser.error(f"{option} goes with --pkcs11-module")
        return arguments
    for option in ("--key", "--certs"):
        if getattr(arguments, option[2:]) is None:
            parser.error(f"--pkcs11-module needs {option}")
    if arguments.password_file is not None:
        parser.error("--password-file goes with --pkcs12: give the token's PIN with --pin-file")
    return arguments


def first_line(path, what):
    """The first line of the file or pipe at `path`, without its line break; no more of it than
    a password osslsigncode could read is read."""
    regular_file(path, f"{what} file", streams=True)
    try:
        with open(path, "rb") as file:
            line = file.readline(PASSWORD_LIMIT + 3)
    except OSError as error:
        raise Unusable(f"cannot read {what} file {path}: {error.strerror}") from None
    secret = line.removesuffix(b"\n").removesuffix(b"\r")
    if not secret:
        raise Unusable(f"no {what}: the first line of {what} file {path} is empty")
    return secret


def read_secret(path, variable, what):
    """The password or PIN (`what`) from the first line of the file at `path`, or else from the
    environment `variable`."""
    if path is not None:
        secret = first_line(path, what)
    else:
        secret = os.fsencode(os.environ.get(variable) or "")
        if not secret:
            raise Unusable(f"no {what}: give --{what.lower()}-file or set {variable}")
        if b"\n" in secret or b"\r" in secret:
            raise Unusable(f"{variable} holds a line break")
    if len(secret) > PASSWORD_LIMIT:
        raise Unusable(f"the {what} is longer than the {PASSWORD_LIMIT} bytes osslsigncode reads")
    return secret


@dataclasses.dataclass(frozen=True)
class SigningKey:
    """The key to sign with, as osslsigncode is told of it, and what it signs as."""
    options: list  # osslsigncode's options that name the key and its certificates
    secret: bytes  # the password or PIN that opens it
    certificate_file: pathlib.Path  # where the signer's certificate comes from
    signer: bytes  # DER
    certificates: list  # DER, the signer's first: those it may chain through
    failure: typing.Callable = lambda output: None  # osslsigncode's output -> a Refusal or None


def pkcs12_key(arguments):
    password = read_secret(arguments.password_file, PASSWORD_VARIABLE, "password")
    signer, certificates = load_pkcs12(arguments.pkcs12, password)
    return SigningKey(["-pkcs12", arguments.pkcs12], password, arguments.pkcs12, signer,
                      certificates)


def token_key(arguments):
    module, uri, chain = arguments.pkcs11_module, arguments.key, arguments.certs
    regular_file(module, "PKCS#11 module")
    pin = read_secret(arguments.pin_file, PIN_VARIABLE, "PIN")
    signer, certificates = pkcs11.load_chain(chain)
    return SigningKey(pkcs11.options(module, uri, chain), pin, chain, signer, certificates,
                      functools.partial(pkcs11.failure, module=module, uri=uri, chain=chain))


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


def check_signer(path, signer):
    """Refuses a signer's certificate (DER, from `path`) that may not sign code now."""
    fault = signature.unfit_to_sign(signer, datetime.datetime.now(datetime.timezone.utc))
    if fault and fault.endswith("(validity)"):
        raise Refusal(f"the certificate in {path} cannot sign now ({fault}): use one whose"
                      " validity dates include today, and check this machine's clock")
    if fault:
        raise Refusal(f"the certificate in {path} is not for code signing ({fault}): use a"
                      " certificate whose extended key usage includes code signing and whose"
                      " key usage, if it has one, includes digital signatures")


def trust_file(path, certificates):
    """A CAfile for osslsigncode: the given DER certificates and the system's roots."""
    roots = SYSTEM_ROOTS.read_bytes() if SYSTEM_ROOTS.is_file() else b""
    with in_temporary_folder():
        path.write_bytes(b"".join(pem.armor("CERTIFICATE", der) for der in certificates) + roots)
    return path


@contextlib.contextmanager
def in_temporary_folder():
    """An OSError within it is a Refusal that names the temporary folder, whose file system it
    is, rather than a file in it that is removed before the line is read."""
    try:
        yield
    except OSError as error:
        raise Refusal(f"cannot write in the temporary folder {tempfile.gettempdir()}:"
                      f" {error.strerror}") from None


@contextlib.contextmanager
def next_to(image):
    """An OSError within it is a Refusal that names the image next to which it was writing."""
    try:
        yield
    except OSError as error:
        raise Refusal(f"cannot write next to {image}: {error.strerror}") from None


def sign_copy(image, signed, arguments, key, description):
    """Signs `image` into `signed`, time-stamped by osslsigncode itself (RFC 3161) when asked."""
    url = arguments.timestamp_url
    timestamp = ["-ts", url] if url else []
    try:
        status, output = osslsigncode.run(
            "sign", *key.options, "-h", "sha256",
            "-n", description, *timestamp, "-in", image, "-out", signed, password=key.secret,
            timeout=arguments.timestamp_timeout if url else None)
    except subprocess.TimeoutExpired:
        raise Refusal(f"time-stamp server {url} did not answer within"
                      f" {arguments.timestamp_timeout:g} s") from None
    if status != 0 and url and TIMESTAMP_FAILED in output:
        raise Refusal(f"time-stamp server {url} failed: {osslsigncode.summary(output)}")
    refused = key.failure(output) if status != 0 else None
    if refused:
        raise refused
    if status != 0 or not signed.is_file():
        # osslsigncode does not say when it ran out of room; a copy's worth of room is the test.
        with next_to(image):
            room_for(signed.with_name("room"), image.stat().st_size + SIGNATURE_ROOM)
        # Its words may name the staged copy, which is gone by the time they are read.
        reason = osslsigncode.summary(output).replace(str(signed), "its signed copy")
        raise Refusal(f"osslsigncode could not sign {arguments.image}: {reason}")


def room_for(path, size):
    """Takes `size` bytes of room at `path`; an OSError when the file system has not got them."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
    try:
        os.posix_fallocate(descriptor, 0, size)
    finally:
        os.close(descriptor)
        os.unlink(path)


def check_signed_copy(signed, arguments, key, scratch):
    made = signature.read_signature(signed)
    if made.signer_certificate != key.signer:
        raise Refusal("the new signature was not made with the certificate in"
                      f" {key.certificate_file}")
    with parsing(f"the signed copy of {arguments.image}"), pefile.PE(str(signed)) as pe:
        if not pe.verify_checksum():
            raise Refusal(f"the signed copy of {arguments.image} has a wrong PE checksum")
    tsa_trust = None
    if arguments.timestamp_url:
        if made.timestamp_token is None:
            raise Refusal("the signed image carries no time-stamp")
        tsa_trust = trust_file(scratch / "tsa-trust.pem", made.timestamp_certificates())
    # Revocation is for whoever checks the image later; here it would only mean fetching CRLs.
    report = osslsigncode.verify(signed, trust_file(scratch / "trust.pem", key.certificates),
                                 tsa_trust, check_revocation=False)
    if report.digests is None:
        raise Refusal("osslsigncode cannot read the signature it made:"
                      f" {osslsigncode.summary(report.text)}")
    if not report.intact:
        raise Refusal(f"the new signature does not match the contents of {arguments.image}")
    if arguments.timestamp_url and not report.timestamp_verified:
        raise Refusal(f"the time-stamp from {arguments.timestamp_url} does not verify"
                      f" ({report.timestamp_fault or 'its signature is broken'})")
    if not report.chains:
        fault = report.signer_fault or osslsigncode.summary(report.text)
        raise Refusal(f"the certificate in {key.certificate_file} does not chain to a root in"
                      f" it or in {SYSTEM_ROOTS.parent} ({fault}): add its CA certificates to"
                      f" {key.certificate_file}")


def on_disk(staged, destination):
    """`staged` with the mode of `destination`, safely on disk."""
    if destination.exists():
        shutil.copymode(destination, staged)
    descriptor = os.open(staged, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def replace(staged, destination):
    try:
        os.replace(staged, destination)
    except OSError as error:
        raise Refusal(f"cannot replace {destination}: {error.strerror}") from None


def commit(signed, image, staged_sums, sums, staging):
    """Puts the signed image and its checksums in place, both or neither: when the checksums
    cannot replace theirs, the image as it was goes back. Called with interruptions held."""
    previous = staging / "previous"
    with next_to(image):
        on_disk(signed, image)
        on_disk(staged_sums, sums)
        shutil.copy2(image, previous)
    replace(signed, image)
    try:
        replace(staged_sums, sums)
    except Refusal as refusal:
        os.replace(previous, image)
        raise Refusal(f"{refusal}; {image} is left as it was") from None


def sign(arguments):
    image = arguments.image
    signing_folder.refuse_link(image, "image", "sign the file it leads to")
    sums = image.with_name(SUMS)
    signing_folder.refuse_link(sums, "checksum file",
                               "put the file itself beside the image, or remove the link")
    expected = brand.expected(arguments.brand)
    check_image(image, expected)
    key = token_key(arguments) if arguments.pkcs11_module else pkcs12_key(arguments)
    check_signer(key.certificate_file, key.signer)
    with signing_folder.locked(image.parent):
        signing_folder.remove_leftovers(image.parent)
        return sign_locked(arguments, image, sums, key, expected.display_name)


@contextlib.contextmanager
def work_folders(image):
    """A staging folder next to the image, so that the final renames stay within one file
    system, and a scratch folder in the temporary folder; both removed however the signing
    ends."""
    made = []
    try:
        with uninterrupted():
            with next_to(image):
                made.append(pathlib.Path(tempfile.mkdtemp(
                    prefix=signing_folder.staging_prefix(image), dir=image.parent)))
            with in_temporary_folder():
                made.append(pathlib.Path(tempfile.mkdtemp(prefix="kestrovan-sign-")))
        yield made
    finally:
        with uninterrupted():
            for folder in made:
                shutil.rmtree(folder, ignore_errors=True)


def sign_locked(arguments, image, sums, key, description):
    sums_before = read_sums(image)
    with work_folders(image) as (staging, scratch):
        signed = staging / image.name
        sign_copy(image, signed, arguments, key, description)
        check_signed_copy(signed, arguments, key, scratch)
        digest = hashlib.sha256(signed.read_bytes()).hexdigest()
        staged_sums = staging / SUMS
        with next_to(image):
            staged_sums.write_bytes(checksums.with_entry(sums_before, image.name, digest))
        with uninterrupted():
            commit(signed, image, staged_sums, sums, staging)
            # Signed: an interruption from now on (one held until now among them) is too late.
            interruptions.ignore()
    return digest, sums


def main():
    arguments = parse_arguments()

    def signed():
        interruptions.take_over()
        digest, sums = sign(arguments)
        done = f"signed {arguments.image} (sha256 {digest}, recorded in {sums})"
        try:
            write_out(done)
        except Unreported as failure:
            raise Unreported(f"{done}, but {failure}") from None
        return 0
    return run("sign", signed)

