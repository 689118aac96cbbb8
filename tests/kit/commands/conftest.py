"""What the packager's tools need in a test: throwaway signing keys, a time-stamp server on
loopback, files that a tool cannot read, and `kit/sign` run the way a packager runs it. The
built images come from tests/support/built_images.py, the commands from
tests/support/kit_commands.py."""
import dataclasses
import datetime
import functools
import http.server
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import threading

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization

from kestrovan_kit.sign import PASSWORD_VARIABLE
from kit_commands import SIGN

# A space and a dollar sign, so that any trip through a shell or a command line would show.
PASSWORD = "correct horse $battery staple"
SIGNER_CN = "kestrovan test signer"
SECOND_SIGNER_CN = "kestrovan second signer"


def openssl(*arguments, cwd=None):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, capture_output=True)


# What lets root read any file whatever its mode.
FILE_ACCESS_CAPABILITIES = "-dac_override,-dac_read_search"


@dataclasses.dataclass
class Unprivileged:
    directory: pathlib.Path
    prefix: list  # runs a command so that a file of mode 000 is unreadable to it

    def readable(self, source, name=None):
        path = self.directory / (name or source.name)
        shutil.copyfile(source, path)
        return path


@pytest.fixture
def unprivileged():
    """Files a tool cannot read. Mode 000 keeps no one but root out, so when the tests run as
    root the tool runs as root without the capabilities that override file modes; it stays the
    owner of the checkout, which may sit in a folder that only root may enter (/root)."""
    prefix = []
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("running as root, who reads any file, and setpriv is missing")
        prefix = ["setpriv", f"--inh-caps={FILE_ACCESS_CAPABILITIES}",
                  f"--bounding-set={FILE_ACCESS_CAPABILITIES}"]
    directory = pathlib.Path(tempfile.mkdtemp(prefix="kestrovan-unreadable-"))
    yield Unprivileged(directory, prefix)
    shutil.rmtree(directory)


@dataclasses.dataclass
class Signer:
    cn: str
    certificate: pathlib.Path  # PEM, for checking what was signed
    pkcs12: pathlib.Path  # AES-encrypted, as OpenSSL 3 makes it
    legacy_pkcs12: pathlib.Path  # RC2/3DES-encrypted, as older tools and Windows export it


@dataclasses.dataclass
class Keys:
    password: str
    password_file: pathlib.Path
    signer: Signer
    second_signer: Signer
    # A certificate issued by a CA that the PKCS#12 file does not carry.
    without_chain: pathlib.Path


def make_signer(directory, name, cn, password_file, issuer=None, issued_extensions=(),
                with_chain=False, new_key=("rsa:2048",)):
    """A code-signing certificate for a new key (`new_key`: openssl req's -newkey and its
    options), self-signed or issued by `issuer` (its key and certificate, and then with
    `issued_extensions` too), in PKCS#12 files locked with the first line of `password_file`;
    `with_chain` puts the issuer's certificate in them."""
    key, certificate = directory / f"{name}.key", directory / f"{name}.pem"
    extensions = ["-addext", "extendedKeyUsage=codeSigning",
                  "-addext", "keyUsage=critical,digitalSignature"]
    if issuer is None:
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                certificate, "-days", "2", "-subj", f"/CN={cn}", *extensions)
    else:
        issuer_key, issuer_certificate = issuer
        request = directory / f"{name}.csr"
        openssl("req", "-new", "-newkey", *new_key, "-nodes", "-keyout", key, "-out", request,
                "-subj", f"/CN={cn}")
        extension_file = directory / f"{name}.ext"
        extension_file.write_text("".join(f"{line}\n" for line in (
            "extendedKeyUsage=codeSigning", "keyUsage=critical,digitalSignature", *issued_extensions)))
        openssl("x509", "-req", "-in", request, "-CA", issuer_certificate, "-CAkey", issuer_key,
                "-set_serial", "2", "-days", "2", "-extfile", extension_file, "-out", certificate)
    pkcs12, legacy = directory / f"{name}.p12", directory / f"{name}-legacy.p12"
    common = ["-inkey", key, "-in", certificate, "-name", cn,
              "-passout", f"file:{password_file}"]
    if with_chain:
        common += ["-certfile", issuer[1]]
    openssl("pkcs12", "-export", *common, "-out", pkcs12)
    openssl("pkcs12", "-export", "-legacy", *common, "-out", legacy)
    return Signer(cn, certificate, pkcs12, legacy)


def make_ca(directory, cn):
    """A self-signed CA's key and certificate, which may sign certificates and CRLs."""
    key, certificate = directory / "ca.key", directory / "ca.pem"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
            "-days", "2", "-subj", f"/CN={cn}", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, certificate


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    directory = tmp_path_factory.mktemp("keys")
    password_file = directory / "password"
    password_file.write_text(PASSWORD + "\n")
    ca_key, ca_certificate = make_ca(directory, "kestrovan test ca")
    return Keys(
        password=PASSWORD,
        password_file=password_file,
        signer=make_signer(directory, "signer", SIGNER_CN, password_file),
        second_signer=make_signer(directory, "second", SECOND_SIGNER_CN, password_file),
        without_chain=make_signer(directory, "issued", "kestrovan issued signer", password_file,
                                  issuer=(ca_key, ca_certificate)).pkcs12)


@dataclasses.dataclass
class RevocationCase:
    ca: pathlib.Path  # PEM, to trust
    signers: dict  # CRL state -> Signer whose certificate names a CRL in that state
    url: dict  # CRL state -> where the certificate says its CRL is


CRL_STATES = ("clean", "revoked", "missing")


def write_crl(path, ca_certificate, ca_key, revoked_serials):
    ca = x509.load_pem_x509_certificate(ca_certificate.read_bytes())
    key = serialization.load_pem_private_key(ca_key.read_bytes(), password=None)
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateRevocationListBuilder().issuer_name(ca.subject)
               .last_update(now - datetime.timedelta(hours=1))
               .next_update(now + datetime.timedelta(days=2)))
    for serial in revoked_serials:
        builder = builder.add_revoked_certificate(
            x509.RevokedCertificateBuilder().serial_number(serial)
            .revocation_date(now - datetime.timedelta(hours=1)).build())
    path.write_bytes(builder.sign(key, hashes.SHA256()).public_bytes(serialization.Encoding.DER))


@pytest.fixture(scope="session")
def revocation(tmp_path_factory, keys):
    """Signers issued by one CA, each naming a CRL on a loopback HTTP server: an empty one, one
    that revokes the signer, and one the server does not have (404)."""
    directory = tmp_path_factory.mktemp("revocation")
    served = directory / "served"
    served.mkdir()
    ca_key, ca_certificate = make_ca(directory, "kestrovan revocation ca")
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=served)
    handler.log_message = lambda *arguments: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = {state: f"http://127.0.0.1:{server.server_address[1]}/{state}.crl"
           for state in CRL_STATES}
    signers = {state: make_signer(directory, state, f"kestrovan {state} crl signer",
                                  keys.password_file,
                                  issuer=(ca_key, ca_certificate), with_chain=True,
                                  issued_extensions=[f"crlDistributionPoints=URI:{url[state]}"])
               for state in CRL_STATES}
    write_crl(served / "clean.crl", ca_certificate, ca_key, [])
    revoked = x509.load_pem_x509_certificate(signers["revoked"].certificate.read_bytes())
    write_crl(served / "revoked.crl", ca_certificate, ca_key, [revoked.serial_number])
    yield RevocationCase(ca_certificate, signers, url)
    server.shutdown()
    server.server_close()


TIMESTAMP_CONFIG = """\
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {directory}/serial
signer_cert = {directory}/tsa.pem
signer_key = {directory}/tsa.key
certs = {directory}/tsa.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


@dataclasses.dataclass
class TimestampServer:
    base: str
    certificate: pathlib.Path

    def url(self, path):
        return self.base + path


@pytest.fixture(scope="session")
def timestamp_server(tmp_path_factory):
    """An RFC 3161 time-stamp server on loopback, made of `openssl ts -reply`: POST / answers
    properly, /error with HTTP 500, /junk with bytes that are no time-stamp reply, and /other
    with a proper time-stamp of something else (which osslsigncode signs with regardless)."""
    directory = tmp_path_factory.mktemp("tsa")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", directory / "tsa.key",
            "-out", directory / "tsa.pem", "-days", "2", "-subj", "/CN=kestrovan test tsa",
            "-addext", "extendedKeyUsage=critical,timeStamping")
    (directory / "serial").write_text("01\n")
    config = directory / "tsa.cnf"
    config.write_text(TIMESTAMP_CONFIG.format(directory=directory))
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            if self.path == "/error":
                self.send_error(500)
                return
            if self.path == "/junk":
                reply = b"this is no time-stamp reply"
            elif self.path == "/other":
                with lock:
                    (directory / "other.tsq").write_bytes(subprocess.run(
                        ["openssl", "ts", "-query", "-data", config, "-sha256", "-cert"],
                        check=True, capture_output=True).stdout)
                    reply = subprocess.run(
                        ["openssl", "ts", "-reply", "-config", config,
                         "-queryfile", directory / "other.tsq"],
                        check=True, capture_output=True).stdout
            else:
                with lock:
                    (directory / "query.tsq").write_bytes(query)
                    reply = subprocess.run(
                        ["openssl", "ts", "-reply", "-config", config,
                         "-queryfile", directory / "query.tsq"],
                        check=True, capture_output=True).stdout
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *arguments):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield TimestampServer(f"http://127.0.0.1:{server.server_address[1]}", directory / "tsa.pem")
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="session")
def silent_server():
    """A loopback port that takes connections and never says a word."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    yield f"http://127.0.0.1:{listener.getsockname()[1]}/"
    listener.close()


@pytest.fixture
def release(tmp_path, image):
    """A directory holding nothing but a copy of the image, as a packager's staging area."""
    directory = tmp_path / "release"
    directory.mkdir()
    copy = directory / image.name
    shutil.copyfile(image, copy)
    return copy


@pytest.fixture
def sign(tmp_path):
    """Runs kit/sign with the password given by file, by environment, on standard input, or not
    at all, and a temporary directory of its own that must be empty again afterwards."""
    scratch = tmp_path / "tmp"
    scratch.mkdir()

    def run(*arguments, environment_password=None, path=None, prefix=(), input=None):
        environment = {name: value for name, value in os.environ.items()
                       if name != PASSWORD_VARIABLE}
        environment["TMPDIR"] = str(scratch)
        if environment_password is not None:
            environment[PASSWORD_VARIABLE] = environment_password
        if path is not None:
            environment["PATH"] = f"{path}{os.pathsep}{environment['PATH']}"
        result = subprocess.run([*prefix, str(SIGN), *map(str, arguments)], env=environment,
                                capture_output=True, text=True, errors="replace", input=input)
        assert list(scratch.iterdir()) == [], "kit/sign left files in its temporary directory"
        return result

    return run


SOFTHSM_MODULE = pathlib.Path("/usr/lib/softhsm/libsofthsm2.so")
TOKEN_PIN = "kestrovan $pin 1"
TOKEN_KEYS = {"rsa": ("rsa:2048",), "ec": ("ec", "-pkeyopt", "ec_paramgen_curve:P-256")}


@dataclasses.dataclass
class Token:
    ca: pathlib.Path  # PEM, what the signers chain to
    pin_file: pathlib.Path
    chains: dict  # key kind -> PEM file: its certificate, then the CA's
    module: pathlib.Path = SOFTHSM_MODULE

    def options(self, kind, module=None, uri=None, chain=None, pin_file=None):
        """kit/sign's options for the key of `kind`, with the changes given."""
        return ["--pkcs11-module", module or self.module,
                "--key", uri or f"pkcs11:token=kestrovan;object={kind}",
                "--certs", chain or self.chains[kind], "--pin-file", pin_file or self.pin_file]


@pytest.fixture(scope="session")
def token_keys(tmp_path_factory):
    """The keys that each token gets, with their certificates from a CA of their own: the
    directory holding `<kind>.key`, the CA's certificate, and each key's chain."""
    directory = tmp_path_factory.mktemp("token-keys")
    unused = directory / "unused"
    unused.write_text("unused\n")
    ca_key, ca_certificate = make_ca(directory, "kestrovan token ca")
    chains = {}
    for kind, new_key in TOKEN_KEYS.items():
        signer = make_signer(directory, kind, f"kestrovan token {kind} signer", unused,
                             issuer=(ca_key, ca_certificate), new_key=new_key)
        chains[kind] = directory / f"{kind}-chain.pem"
        chains[kind].write_bytes(signer.certificate.read_bytes() + ca_certificate.read_bytes())
    return directory, ca_certificate, chains


@pytest.fixture
def token(tmp_path, monkeypatch, token_keys):
    """A SoftHSM token of its own, labelled kestrovan, holding an RSA key and an ECDSA key
    (objects rsa and ec) that have certificates from the CA of `token_keys`."""
    if not SOFTHSM_MODULE.exists() or not shutil.which("softhsm2-util"):
        pytest.skip("softhsm2 is missing (dev/install-deps installs it)")
    keys, ca_certificate, chains = token_keys
    directory = tmp_path / "token"
    (directory / "objects").mkdir(parents=True)
    configuration = directory / "softhsm2.conf"
    configuration.write_text(f"directories.tokendir = {directory / 'objects'}\n"
                             "objectstore.backend = file\nlog.level = ERROR\n")
    monkeypatch.setenv("SOFTHSM2_CONF", str(configuration))
    softhsm = ["softhsm2-util", "--pin", TOKEN_PIN]
    subprocess.run([*softhsm, "--init-token", "--free", "--label", "kestrovan",
                    "--so-pin", "kestrovan so"], check=True, capture_output=True)
    for index, kind in enumerate(TOKEN_KEYS):
        subprocess.run([*softhsm, "--import", keys / f"{kind}.key", "--token", "kestrovan",
                        "--label", kind, "--id", f"{index + 1:02x}"], check=True,
                       capture_output=True)
    pin_file = directory / "pin"
    pin_file.write_text(TOKEN_PIN + "\n")
    return Token(ca_certificate, pin_file, chains)
