"""Signing with a key kept in a PKCS#11 token or HSM: the key's URI, the certificate chain that
goes with it, what osslsigncode is told, and what its failures mean. osslsigncode reaches the
token through OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl), which it finds by name; the
PIN reaches it as a password does, through a pipe it inherits (-readpass), never in the URI."""
import argparse
import functools
import os
import re

from asn1crypto import pem
from cryptography import x509

from . import osslsigncode
from .command_line import Unusable, read_file
from .untrusted import Fault, parsing

PIN_VARIABLE = "KESTROVAN_SIGN_PIN"
# The attributes of a PKCS#11 URI (RFC 7512) that carry the PIN or say where it is.
PIN_ATTRIBUTES = {"pin-value", "pin-source"}
# Far more than a chain of a few certificates.
CHAIN_LIMIT = 1 << 20


def key_uri(text):
    """`text` as a PKCS#11 URI that holds no PIN. A refusal never quotes it: it may hold one."""
    if not text.startswith("pkcs11:"):
        raise argparse.ArgumentTypeError("is no PKCS#11 URI (pkcs11:token=...;object=...)")
    names = {attribute.split("=", 1)[0].lower()
             for attribute in re.split(r"[;?&]", text[len("pkcs11:"):])}
    if names & PIN_ATTRIBUTES:
        raise argparse.ArgumentTypeError(
            "holds a PIN (pin-value or pin-source), which would show in a process listing: take"
            f" it out, and give the PIN with --pin-file or ${PIN_VARIABLE}")
    return text


def load_chain(path):
    """The signer's certificate, the first in the PEM file at `path`, and every certificate in
    it, as DER."""
    data = read_file(path, "certificate chain", CHAIN_LIMIT)
    try:
        with parsing(f"certificate chain {path}"):
            chain = [der for kind, _, der in pem.unarmor(data, multiple=True)
                     if kind == "CERTIFICATE"] if pem.detect(data) else []
            for der in chain:
                x509.load_der_x509_certificate(der)
    except Fault as fault:
        raise Unusable(str(fault)) from None
    if not chain:
        raise Unusable(f"certificate chain {path} holds no PEM certificate")
    return chain[0], chain


@functools.cache
def signs_with_modules():
    return "-pkcs11module" in osslsigncode.run("sign", "--help")[1]


def options(module, uri, chain):
    """What tells osslsigncode to sign with the key at `uri` in `module`: the module by its
    absolute path (a bare name would be looked for on the library path, not here), the key, and
    the chain. Neither -login nor -pkcs11engine: Debian 12's osslsigncode 2.5 knows no -login,
    and fails to load an engine given by its path, while both releases log in with -readpass
    and find the engine by its name."""
    if not signs_with_modules():
        raise Unusable("this osslsigncode cannot sign with a PKCS#11 module (it knows no"
                       " -pkcs11module): install Debian's osslsigncode 2.5 or later")
    return ["-pkcs11module", os.path.abspath(module), "-key", uri, "-certs", chain]


# What osslsigncode, the engine and the module say of each failure, and the line for it;
# {module}, {uri}, {chain} and {reason} (osslsigncode's own words) are filled in. The first that
# matches is the one.
FAILURES = [
    (r"PIN incorrect|PIN_INCORRECT", "wrong PIN for the token of {uri}"),
    (r"PIN locked|PIN_LOCKED", "the token of {uri} is locked (its PIN is blocked): unblock it"
                               " with the token's own tools"),
    (r"Failed to (?:find and load|set) .*engine", "OpenSSL's PKCS#11 engine cannot be loaded"
                                                  " ({reason}): install libengine-pkcs11-openssl"),
    (r"Unable to load module", "cannot load PKCS#11 module {module} ({reason})"),
    (r"No matching initialized token", "{module} has no token that {uri} names"),
    (r"object not found|private key was not found", "{uri} names no private key in {module}"),
    (r"key values mismatch|consistency of a private key",
     "the first certificate in {chain} does not belong to the key {uri}"),
]


def failure(output, module, uri, chain):
    """The refusal for osslsigncode's `output` when it could not sign with the token, or None
    when it failed for some other reason."""
    for pattern, line in FAILURES:
        if re.search(pattern, output):
            return Unusable(line.format(module=module, uri=uri, chain=chain,
                                        reason=osslsigncode.summary(output)))
    return None
