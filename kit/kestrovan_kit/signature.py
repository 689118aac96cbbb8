"""The Authenticode signature of a launcher image, read with asn1crypto: who signed it, with what
digest, who time-stamped it and when, and what a signer's certificate allows it to sign."""
import dataclasses
import datetime
import struct

import pefile
from asn1crypto import cms, tsp
from asn1crypto import x509 as asn1_x509
from asn1crypto import parser as asn1_parser
from cryptography import x509
from cryptography.hazmat.primitives.serialization import pkcs7

from .command_line import Refusal, one_line
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


# What a certificate's extended key usage must allow for it to sign code.
SIGNS_CODE = {"code_signing", "any_extended_key_usage"}


def unfit_to_sign(certificate, at):
    """Why the DER `certificate` may not sign code at the time `at`, by its extended key usage,
    its key usage (digitalSignature, where it has one) and its validity; None when nothing in it
    forbids it. Whether it chains is osslsigncode's to find out."""
    with parsing("its signer's certificate"):
        parsed = asn1_x509.Certificate.load(certificate)
        purposes = parsed.extended_key_usage_value
        usages = parsed.key_usage_value
        validity = parsed["tbs_certificate"]["validity"]
        start, end = validity["not_before"].native, validity["not_after"].native
    if purposes is not None and not SIGNS_CODE & set(purposes.native):
        return (f"its extended key usage ({', '.join(purposes.native)}) lacks code signing"
                " (purpose)")
    if usages is not None and "digital_signature" not in usages.native:
        return f"its key usage ({', '.join(sorted(usages.native))}) lacks digital_signature"
    if at < start:
        return f"not valid before {start:%Y-%m-%d %H:%M:%S %Z} (validity)"
    if at > end:
        return f"expired at {end:%Y-%m-%d %H:%M:%S %Z} (validity)"
    return None
