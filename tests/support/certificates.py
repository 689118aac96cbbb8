"""Self-signed signers whose certificates allow what a test needs, made with cryptography."""
import dataclasses
import datetime
import pathlib

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

CODE_SIGNING = ExtendedKeyUsageOID.CODE_SIGNING
SERVER_AUTH = ExtendedKeyUsageOID.SERVER_AUTH
KEY_USAGES = ("digital_signature", "content_commitment", "key_encipherment", "data_encipherment",
              "key_agreement", "key_cert_sign", "crl_sign", "encipher_only", "decipher_only")


@dataclasses.dataclass
class SelfSigned:
    cn: str
    certificate: pathlib.Path  # PEM
    pkcs12: pathlib.Path  # locked with the password it was made with


def self_signed(directory, password, starts_in_days=-0.5, usage=CODE_SIGNING, key_usage=None,
                cn="kestrovan odd signer"):
    """A certificate valid for a day from `starts_in_days`, for `usage`, with the key usages
    named in `key_usage` (none: no such extension), and its key, in `directory`."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
    start = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(starts_in_days)
    builder = (x509.CertificateBuilder().subject_name(name).issuer_name(name).serial_number(7)
               .public_key(key.public_key()).not_valid_before(start)
               .not_valid_after(start + datetime.timedelta(1))
               .add_extension(x509.ExtendedKeyUsage([usage]), critical=False))
    if key_usage is not None:
        builder = builder.add_extension(x509.KeyUsage(
            **{usage_name: usage_name in key_usage for usage_name in KEY_USAGES}), critical=True)
    built = builder.sign(key, hashes.SHA256())
    pem, pkcs12 = directory / "odd.pem", directory / "odd.p12"
    pem.write_bytes(built.public_bytes(serialization.Encoding.PEM))
    pkcs12.write_bytes(serialization.pkcs12.serialize_key_and_certificates(
        b"odd", key, built, None, serialization.BestAvailableEncryption(password.encode())))
    return SelfSigned(cn, pem, pkcs12)
