"""Check a launcher image, or a whole installation, before shipping it.

verify IMAGE prints one line per check of the image (and of the SHA256SUMS beside it, when
there is one, which must give the image's SHA-256): PE32 for i386, graphical subsystem, imports
of KERNEL32.dll and msvcrt.dll only, exactly the icon group and version block the launcher
carries, nothing after its sections but the signature, and, for a signed image, an intact
Authenticode signature with nothing beside it in its certificate table, and who made it, each
nested one, and each time-stamp (its server and time). With --trust CAFILE the image must be
signed, its signers and time-stamp servers must chain to a certificate in CAFILE, each signer's
certificate must allow code signing (extended key usage), digital signatures (key usage, where
it has one) and be valid when signing (at its time-stamp's time, or now), and where osslsigncode
fetches CRLs, the signer must not be revoked (a CRL that cannot be fetched: a warning); a chain
that fails says why. A signature made with SHA-1 is a warning.

verify --brand FILE IMAGE checks a branded image against its brand file instead: its icon
images byte for byte, version numbers and strings, and the manifest that asks to run as the
invoker, one finding per difference; an image named as the brand's console twin
(<name>-console.exe, in any letter case) is checked as that twin, for the console subsystem.

verify --installation DIR checks a folder laid out for shipping: the launcher (the one .exe file
at the top of DIR, or --launcher NAME) passes the same checks (with --brand FILE, the brand's)
and has no name that makes Windows ask for elevation; application/default-jre/bin/javaw.exe is
a Windows program for i386 or x86_64; application/bin/ is a folder and holds launcher.jar, a jar
whose manifest names a Main-Class; and it says how long the path of the Windows folder that the
installation goes into may be, and with --target FOLDER (such as 'C:\\Program Files\\Vendor\\App')
whether that folder's is short enough. Names are matched without regard to case, as Windows
does; a part that is a link leading out of DIR or nowhere, and a --launcher outside DIR, fail.

verify --installer FILE checks a vendor's MSI or NSIS installer (kit/installer): the launcher it
installs (with --brand FILE, the brand's file_name) passes the image checks and is the image
whose SHA-256 the release's checksum file lists (--sums FILE; default: the SHA256SUMS beside
the installer); each Start-menu shortcut starts that launcher with the brand's app_id as its
AppUserModelID; each association's open command quotes the launcher in the installation and
"%1", and each of the brand's extensions names such an association. An NSIS installer's
shortcuts and associations cannot be read here (a warning).

verify --unsigned-sums SHA256SUMS.unsigned IMAGE tells whether a signed image is the one we build:
it removes the signature (if any) from a copy and checks the rest against the checksum file's
entry for IMAGE's name (or its one entry), and says whether it matches.

Exit status: 0 every check holds (warnings aside), or the image without its signature matches;
1 a check failed, or it does not match; 2 the input or an option is
unusable (missing, a directory where a file belongs, unreadable, a trust file without
certificates, a bad option); 3 the report could not be written to standard output. An unusable
input gets one line on stderr, so does an image that is no whole PE image or larger than 16 MiB
(status 1).
"""
import argparse
import hashlib
import pathlib
import re
import sys
import tempfile

from asn1crypto import pem
from cryptography import x509

from kestrovan_kit import brand
from kestrovan_kit import checksums
from kestrovan_kit import image_checks
from kestrovan_kit import installation
from kestrovan_kit import installer_checks
from kestrovan_kit import osslsigncode
from kestrovan_kit import signature
from kestrovan_kit import signature_checks
from kestrovan_kit.command_line import (ArgumentParser, Unusable, file_argument, one_line,
                                       read_file, run, write_out)
from kestrovan_kit.findings import report
from kestrovan_kit.untrusted import Fault, parsing


def parse_arguments():
    parser = ArgumentParser(prog="verify", description=__doc__.split("\n\n")[0],
                            epilog="\n\n".join(__doc__.split("\n\n")[1:]),
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    subject = parser.add_mutually_exclusive_group()
    subject.add_argument("image", metavar="IMAGE", type=pathlib.Path, nargs="?",
                         help="a launcher image")
    subject.add_argument("--installation", metavar="DIR", type=pathlib.Path,
                         help="a folder laid out for shipping")
    subject.add_argument("--installer", metavar="FILE", type=pathlib.Path,
                         help="an MSI or NSIS installer")
    parser.add_argument("--sums", metavar="FILE", type=pathlib.Path,
                        help="with --installer: the release's SHA256SUMS (default: beside it)")
    parser.add_argument("--launcher", metavar="NAME",
                        help="the launcher's file name in DIR (default: its one .exe file)")
    parser.add_argument("--target", metavar="FOLDER", type=windows_folder,
                        help="the Windows folder that the installation goes into")
    parser.add_argument("--trust", metavar="CAFILE", type=pathlib.Path,
                        help="PEM certificates that the signer must chain to")
    parser.add_argument("--brand", metavar="FILE", type=file_argument,
                        help="the brand file the image was built from (kit/release --brand)")
    parser.add_argument("--unsigned-sums", metavar="SUMS", type=pathlib.Path,
                        help="the checksums of the image as built (SHA256SUMS.unsigned)")
    arguments = parser.parse_args()
    if not (arguments.image or arguments.installation or arguments.installer):
        parser.error("give an IMAGE, --installation DIR or --installer FILE")
    if arguments.sums and not arguments.installer:
        parser.error("--sums goes with --installer")
    if arguments.installer and arguments.trust:
        parser.error("--trust goes with an IMAGE or --installation")
    for option in ("launcher", "target"):
        if getattr(arguments, option) and not arguments.installation:
            parser.error(f"--{option} goes with --installation")
    if arguments.unsigned_sums and (arguments.installation or arguments.installer
                                    or arguments.trust or arguments.brand):
        parser.error("--unsigned-sums goes with an IMAGE alone")
    return arguments


# A drive letter and a colon, or two backslashes and a server and share, then the rest.
WINDOWS_FOLDER = re.compile(r'^(?:[A-Za-z]:|\\\\[^\\/]+\\[^\\/]+)(?:\\[^\\/:*?"<>|]+)*\\?$')


def windows_folder(text):
    if not WINDOWS_FOLDER.match(text):
        raise argparse.ArgumentTypeError(f"{text} is no absolute Windows folder path, such as"
                                         " C:\\Program Files\\Vendor\\App")
    return text


def check_trust_file(path):
    data = read_file(path, "trust file")
    try:
        with parsing("a certificate in it"):
            certificates = [der for kind, _, der in pem.unarmor(data, multiple=True)
                            if kind == "CERTIFICATE"] if pem.detect(data) else []
            for der in certificates:
                x509.load_der_x509_certificate(der)
    except Fault as fault:
        raise Unusable(f"trust file {path}: {fault}") from None
    if not certificates:
        raise Unusable(f"trust file {path} holds no PEM certificate")


def verify_image(image, trust, expected):
    read_file(image, "image", image_checks.IMAGE_LIMIT)
    findings = image_checks.inspect(image, expected)
    if findings[0].check == "PE image":
        print(f"verify: {image}: {findings[0].detail}", file=sys.stderr)
        return 1
    sums = checksums.beside(image)
    signed = signature_checks.inspect(image, trust)
    return report(image, findings + [signed] + ([sums] if sums else []))


def verify_installer(installer, brand, sums):
    try:
        findings = installer_checks.inspect(installer, brand, sums)
    except Fault as fault:
        print(f"verify: {installer}: {fault}", file=sys.stderr)
        return 1
    return report(installer, findings)


def verify_unsigned(image, sums_file):
    """Whether `image`, without its signature, is the image `sums_file` gives the SHA-256 of."""
    read_file(image, "image", image_checks.IMAGE_LIMIT)
    sums = read_file(sums_file, "checksum file", checksums.SUMS_LIMIT)
    listed = [name for _, (name, _), _, _ in checksums.entries(sums)]
    name = image.name if checksums.digest_of(sums, image.name) else None
    if name is None and len(listed) == 1:
        name = listed[0].decode(errors="replace")
    if name is None:
        raise Unusable(f"{sums_file} gives no SHA-256 of {image.name}, nor of one file alone")
    try:
        image_checks.open_image(image).close()
    except Fault as fault:
        raise Fault(f"{image}: {fault}") from None
    found = signature.read_signature(image)
    if found and found.hidden_bytes:
        write_out(f"{image}: FAILED: {found.hidden_bytes:,} bytes in its certificate table beyond"
                  " the signature and its padding, which removing the signature would hide")
        return 1
    with tempfile.TemporaryDirectory(prefix="kestrovan-verify-") as scratch:
        unsigned = osslsigncode.without_signature(image, pathlib.Path(scratch) / "unsigned.exe")
        digest = hashlib.sha256(unsigned).hexdigest()
    if digest == checksums.digest_of(sums, name):
        write_out(f"{image}: without its signature, it is the image {sums_file} names as"
                  f" {one_line(name)}")
        return 0
    write_out(f"{image}: FAILED: without its signature, it is NOT the image {sums_file} names as"
              f" {one_line(name)} (sha256 {digest}): it differs in more than its signature")
    return 1


def main():
    arguments = parse_arguments()

    def verified():
        if arguments.trust:
            check_trust_file(arguments.trust)
        expected = brand.expected(arguments.brand, arguments.image)
        if arguments.installation:
            return report(arguments.installation, installation.inspect(
                arguments.installation, arguments.launcher, arguments.trust, arguments.target,
                expected))
        if arguments.installer:
            return verify_installer(arguments.installer, expected, arguments.sums)
        if arguments.unsigned_sums:
            return verify_unsigned(arguments.image, arguments.unsigned_sums)
        return verify_image(arguments.image, arguments.trust, expected)
    return run("verify", verified)

