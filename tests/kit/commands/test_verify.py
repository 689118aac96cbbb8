"""kit/verify: passes an image fit to ship, and names the fault in one that is not."""
import hashlib

import pefile
import pytest
from cryptography import x509

import bad_files
import certificates
from certificates import CODE_SIGNING, SERVER_AUTH
from checkout import REPOSITORY
from kestrovan_kit import osslsigncode, signature
from kit_commands import sign_image as signed, verify

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
ACME = REPOSITORY / "tests" / "support" / "brands" / "acme.toml"
STRINGS = ["CompanyName", "FileDescription", "FileVersion", "LegalCopyright", "OriginalFilename",
           "ProductName", "ProductVersion"]


def as_built(changed=lambda data: data):
    """The image, changed by `changed`, checked as the default image."""
    def make(tmp_path, built):
        image = tmp_path / built.name
        image.write_bytes(changed(built.read_bytes()))
        return image, []
    return make


def acme(old="", new="", icon=lambda data: data, changed=lambda data: data):
    """The image, changed by `changed`, checked against the acme brand file with `old` written
    as `new` and its icon changed by `icon`."""
    def make(tmp_path, built):
        (tmp_path / "acme.ico").write_bytes(icon(ACME.with_suffix(".ico").read_bytes()))
        brand = tmp_path / "acme.toml"
        brand.write_text(ACME.read_text(encoding="utf-8").replace(old, new), encoding="utf-8")
        return as_built(changed)(tmp_path, built)[0], ["--brand", brand]
    return make


def without_planes(icon):
    """The icon's directory with 0 planes in every entry, as Pillow writes it."""
    data = bytearray(icon)
    for entry in range(6, 6 + 16 * data[4], 16):
        data[entry + 4:entry + 6] = bytes(2)
    return bytes(data)


def utf16(text):
    return text.encode("utf-16-le")


@pytest.mark.parametrize("built, make", [
    pytest.param("image", as_built(), id="default"),
    pytest.param("branded_image", acme(), id="branded"),
    pytest.param("branded_image", acme(icon=without_planes), id="branded-icon-without-planes"),
    pytest.param("branded_image", acme("Corp.", "Cor\U0001F600", changed=lambda data: data.replace(
        utf16("Corp."), utf16("Cor\U0001F600"))), id="branded-string-beyond-the-bmp"),
])
def test_passes_the_unsigned_image_it_expects(request, tmp_path, built, make):
    image, brand = make(tmp_path, request.getfixturevalue(built))
    status, report, errors = verify(*brand, image)
    assert (status, errors) == (0, ""), report
    assert "ok    signature: not signed" in report
    assert report.splitlines()[-1] == f"{image}: all checks hold"


@pytest.mark.parametrize("built, make, failed", [
    pytest.param("image", as_built(lambda data: data + bytes(7000)), ["file end"],
                 id="default-bytes-appended"),
    pytest.param("branded_image", acme(changed=lambda data: data + bytes(7000)), ["file end"],
                 id="branded-bytes-appended"),
    pytest.param("branded_image", as_built(), [
        "resources", "icon group", *(f"icon image {n}" for n in range(1, 4)), "file version",
        "product version", *(f"version string {key}" for key in STRINGS)],
                 id="branded-as-default"),
    pytest.param("image", acme(), [
        "resources", "icon group", *(f"icon image {n}" for n in range(1, 5)), "file version",
        "product version", *(f"version string {key}" for key in STRINGS), "manifest"],
                 id="default-as-branded"),
])
def test_fails_an_image_it_does_not_expect_naming_each_difference(request, tmp_path, built, make,
                                                                  failed):
    image, brand = make(tmp_path, request.getfixturevalue(built))
    status, report, _ = verify(*brand, image)
    assert status == 1, report
    assert report.splitlines()[-1] == f"{image}: FAILED ({', '.join(failed)})"


@pytest.mark.parametrize("trusted, verdict", [
    pytest.param(False, "chain not checked (give --trust CAFILE)", id="without-trust"),
    pytest.param(True, "chains to {trust}", id="with-trust"),
])
def test_passes_a_signed_image_and_names_its_signer(release, keys, trusted, verdict):
    trust = ["--trust", keys.signer.certificate] if trusted else []
    status, report, _ = verify(signed(release, keys), *trust)
    assert status == 0, report
    assert ("ok    signature: intact, signed by CN=kestrovan test signer (SHA256); "
            + verdict.format(trust=keys.signer.certificate)) in report


def one_byte_changed(release, keys, tampered):
    path = signed(release, keys)
    data = bytearray(path.read_bytes())
    data[0x1000] ^= 0x01
    path.write_bytes(data)
    return path


def garbled_signature(release, keys, tampered):
    path = signed(release, keys)
    with pefile.PE(str(path), fast_load=True) as pe:
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY].VirtualAddress
    data = bytearray(path.read_bytes())
    data[table + 8:table + 40] = bytes(32)  # the start of the PKCS#7 signature
    path.write_bytes(data)
    return path


def signer_certificate_renumbered(release, keys, tampered):
    """The signer's certificate with another serial number: the signature names a signer that
    none of its certificates is."""
    path = signed(release, keys)
    certificate = signature.read_signature(path).signer_certificate
    serial = x509.load_der_x509_certificate(certificate).serial_number
    data = bytearray(path.read_bytes())
    at = data.index(certificate) + certificate.index(
        serial.to_bytes(serial.bit_length() // 8 + 1, "big"))
    data[at + 1] ^= 0x01
    path.write_bytes(data)
    return path


def icon_group_renamed_with_a_line_break(release, keys, tampered):
    return bad_files.replaced("IDI_ICON1".encode("utf-16-le"),
                              "IDI\nICON1".encode("utf-16-le"))(release, release)


def tampered_build(name):
    return lambda release, keys, tampered: tampered[name]


BAD_IMAGES = [
    pytest.param(one_byte_changed, False,
                 "signature: broken: the file changed after it was signed",
                 id="byte-changed-after-signing"),
    pytest.param(garbled_signature, False, "signature: the signature in {target} cannot be read (",
                 id="signature-garbled"),
    pytest.param(signer_certificate_renumbered, False,
                 "signature: the signature in {target} cannot be read (0 of its certificates"
                 " match its signer, not 1)", id="signer-certificate-renumbered"),
    pytest.param(lambda release, keys, tampered: cut_at_its_signature(signed(release, keys)),
                 False, "signature: the signature in {target} is cut short",
                 id="signature-cut-short"),
    pytest.param(lambda release, keys, tampered: signed(release, keys), True,
                 "signature: intact, but CN=kestrovan test signer does not chain to {trust}",
                 id="signer-not-trusted"),
    pytest.param(lambda release, keys, tampered: release, True,
                 "signature: not signed, but --trust asks for a signature that chains to {trust}",
                 id="unsigned-image-with-trust"),
    pytest.param(tampered_build("extra resource"), False,
                 "resources: unexpected RT_MANIFEST 1 (0409)", id="resource-added"),
    pytest.param(tampered_build("extra import"), False,
                 "imports: imports KERNEL32.dll, msvcrt.dll, USER32.dll", id="import-added"),
    pytest.param(icon_group_renamed_with_a_line_break, False,
                 r"resources: missing RT_GROUP_ICON IDI_ICON1 (0409);"
                 r" unexpected RT_GROUP_ICON IDI\nICON1 (0409)", id="resource-name-quoted-escaped"),
]


@pytest.mark.parametrize("make, with_trust, fault", BAD_IMAGES)
def test_fails_naming_the_fault(release, keys, tampered_images, make, with_trust, fault):
    target = make(release, keys, tampered_images)
    trust = keys.second_signer.certificate
    status, report, _ = verify(target, *(["--trust", trust] if with_trust else []))
    assert status == 1, report
    assert f"FAIL  {fault.format(trust=trust, target=target)}" in report
    assert report.splitlines()[-1].startswith(f"{target}: FAILED (")


def write(content):
    def make(path, image):
        path.write_bytes(content)
        return path
    return make


DAMAGED_PEM = b"-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n"

# Each case: what is made at the path, whether it is the image or the trust file, the exit status
# and the one line verify says ({path} is the path made).
ONE_LINE_FAULTS = [
    pytest.param(bad_files.missing, "image", 2,
                 "cannot read image {path}: No such file or directory",
                 id="image-missing"),
    pytest.param(bad_files.directory, "image", 2, "cannot read image {path}: Is a directory",
                 id="image-a-directory"),
    pytest.param(bad_files.fifo, "image", 2, "cannot read image {path}: not a regular file",
                 id="image-a-fifo"),
    pytest.param(bad_files.empty, "image", 1, "{path}: not a PE image (The file is empty)",
                 id="image-empty"),
    pytest.param(bad_files.truncated, "image", 1,
                 "{path}: truncated: 1500 bytes, but its sections end at byte {image_size}",
                 id="image-truncated"),
    pytest.param(bad_files.text, "image", 1,
                 "{path}: not a PE image (DOS Header magic not found.)", id="image-not-pe"),
    pytest.param(bad_files.missing, "trust", 2,
                 "cannot read trust file {path}: No such file or directory",
                 id="trust-file-missing"),
    pytest.param(bad_files.directory, "trust", 2, "cannot read trust file {path}: Is a directory",
                 id="trust-file-a-directory"),
    pytest.param(bad_files.empty, "trust", 2, "trust file {path} holds no PEM certificate",
                 id="trust-file-empty"),
    pytest.param(write(b"MZ\x90\x00"), "trust", 2, "trust file {path} holds no PEM certificate",
                 id="trust-file-not-pem"),
    pytest.param(write(DAMAGED_PEM), "trust", 2, "trust file {path}: a certificate in it cannot be read (",
                 id="trust-file-damaged"),
]


@pytest.mark.parametrize("make, role, status, line", ONE_LINE_FAULTS)
def test_a_bad_input_gets_one_line(image, tmp_path, make, role, status, line):
    path = make(tmp_path / "input", image)
    arguments = [path] if role == "image" else [image, "--trust", path]

    result, report, errors = verify(*arguments)

    assert (result, report) == (status, "")
    expected = line.format(path=path, image_size=image.stat().st_size)
    assert errors.startswith(f"verify: {expected}") and errors.count("\n") == 1, errors


@pytest.mark.parametrize("arguments, line", [
    pytest.param(["--bogus"], "unrecognized arguments: --bogus", id="unknown-option"),
    pytest.param([], "give an IMAGE, --installation DIR or --installer FILE",
                 id="nothing-to-check"),
    pytest.param(["{image}", "--sums", "SHA256SUMS"], "--sums goes with --installer",
                 id="sums-without-installer"),
    pytest.param(["{image}", "--installation", "{folder}"],
                 "argument --installation: not allowed with argument IMAGE", id="image-and-folder"),
    pytest.param(["{image}", "--launcher", "kestrovan.exe"],
                 "--launcher goes with --installation", id="launcher-without-installation"),
    pytest.param(["{image}", "--target", "C:\\App"],
                 "--target goes with --installation", id="target-without-installation"),
    pytest.param(["{image}", "--unsigned-sums", "{image}", "--trust", "{image}"],
                 "--unsigned-sums goes with an IMAGE alone", id="unsigned-sums-with-trust"),
])
def test_a_bad_option_gets_one_line(image, tmp_path, arguments, line):
    status, report, errors = verify(*(a.format(image=image, folder=tmp_path) for a in arguments))
    assert (status, report, errors) == (2, "", f"verify: {line}\n")


@pytest.mark.parametrize("role", ["image", "trust"])
def test_an_unreadable_file_gets_one_line(image, keys, unprivileged, role):
    files = {"image": unprivileged.readable(image),
             "trust": unprivileged.readable(keys.signer.certificate)}
    files[role].chmod(0)
    what = {"image": "image", "trust": "trust file"}[role]

    status, report, errors = verify(files["image"], "--trust", files["trust"],
                                    prefix=unprivileged.prefix)

    assert (status, report) == (2, "")
    assert errors == f"verify: cannot read {what} {files[role]}: Permission denied\n"


@pytest.mark.parametrize("state, status, mark, detail", [
    pytest.param("clean", 0, "ok", "intact, signed by {cn} (SHA256); chains to {ca}; not revoked,"
                 " by its CRL",
                 id="not-revoked"),
    pytest.param("revoked", 1, "FAIL", "intact, but {cn} fails its CRL check (certificate revoked)",
                 id="revoked"),
    pytest.param("missing", 0, "WARN", "intact, signed by {cn} (SHA256); chains to {ca}; revocation not"
                 " checked: cannot fetch its CRL from {url}", id="crl-unreachable"),
])
def test_with_trust_checks_revocation_where_osslsigncode_fetches_crls(
        release, keys, revocation, sign, state, status, mark, detail):
    if not osslsigncode.fetches_crls():
        pytest.skip("this osslsigncode (Debian 12 has 2.5) fetches no CRLs: verify checks the"
                    " chain alone")
    signer = revocation.signers[state]
    result = sign("--pkcs12", signer.pkcs12, "--password-file", keys.password_file, release)
    assert result.returncode == 0, result.stderr

    result, report, _ = verify(release, "--trust", revocation.ca)

    assert result == status, report
    expected = detail.format(cn=f"CN={signer.cn}", ca=revocation.ca, url=revocation.url[state])
    assert f"{mark:<4}  signature: {expected}\n" in report, report


def sums_of(path, name):
    sums = path.with_name(f"{name}.sums")
    sums.write_text(f"{hashlib.sha256(path.read_bytes()).hexdigest()}  {name}\n")
    return sums


def cut_at_its_signature(path):
    with pefile.PE(str(path), fast_load=True) as pe:
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY].VirtualAddress
    path.write_bytes(path.read_bytes()[:table])
    return path


@pytest.mark.parametrize("signing, named, status, words", [
    pytest.param(False, "kestrovan.exe", 0, "without its signature, it is the image",
                 id="unsigned"),
    pytest.param(True, "kestrovan.exe", 0, "without its signature, it is the image", id="signed"),
    pytest.param(True, "kestrovan-1.0.exe", 0, "names as kestrovan-1.0.exe",
                 id="signed-and-renamed"),
    pytest.param("changed", "kestrovan.exe", 1, ": FAILED: without its signature, it is NOT",
                 id="a-byte-changed"),
])
def test_unsigned_sums_tell_whether_an_image_is_ours(image, release, keys, signing, named,
                                                      status, words):
    sums = sums_of(image, named)
    if signing:
        signed(release, keys)
    if signing == "changed":
        data = bytearray(release.read_bytes())
        data[0x1000] ^= 0x01
        release.write_bytes(data)

    result, report, errors = verify("--unsigned-sums", sums, release)

    assert (result, errors) == (status, ""), report
    assert report.startswith(f"{release}: ") and words in report and report.count("\n") == 1


@pytest.mark.parametrize("make, status, line", [
    pytest.param(lambda path, sums: cut_at_its_signature(path), 1,
                 "the signature in {image} is cut short", id="signature-cut-short"),
    pytest.param(lambda path, sums: bad_files.text(path, None), 1,
                 "{image}: not a PE image", id="no-image"),
    pytest.param(lambda path, sums: sums.write_text(sums.read_text() + sums.read_text().replace(
        "kestrovan-1.0.exe", "notes.txt")), 2,
                 "{sums} gives no SHA-256 of kestrovan.exe, nor of one file alone",
                 id="sums-naming-other-files"),
])
def test_unsigned_sums_give_one_line_for_a_bad_input(image, release, keys, make, status,
                                                      line):
    sums = sums_of(image, "kestrovan-1.0.exe")
    make(signed(release, keys), sums)

    result, report, errors = verify("--unsigned-sums", sums, release)

    assert (result, report) == (status, "")
    assert errors.startswith("verify: " + line.format(image=release, sums=sums)), errors
    assert errors.count("\n") == 1, errors


@pytest.mark.parametrize("starts_in_days, usage, key_usage, digest, status, line", [
    pytest.param(-0.5, SERVER_AUTH, None, "sha256", 1, "FAIL  signature: intact, but {cn} does not"
                 " chain to {trust} (its extended key usage (server_auth) lacks code signing"
                 " (purpose))", id="for-servers-only"),
    pytest.param(-3, CODE_SIGNING, None, "sha256", 1, "FAIL  signature: intact, but {cn} does not"
                 " chain to {trust} (expired at ", id="expired"),
    pytest.param(-0.5, CODE_SIGNING, {"key_encipherment"}, "sha256", 1, "FAIL  signature: intact"
                 " and chains to {trust}, but {cn} may not sign code: its key usage"
                 " (key_encipherment) lacks digital_signature", id="key-usage-without-signatures"),
    pytest.param(-0.5, CODE_SIGNING, {"digital_signature"}, "sha1", 0, "WARN  signature: intact,"
                 " signed by {cn} (SHA1); chains to {trust}; a broken digest in the signature of"
                 " {cn} (SHA1)", id="sha1"),
])
def test_with_trust_says_why_a_signer_may_not_sign(release, keys, tmp_path, starts_in_days, usage,
                                                   key_usage, digest, status, line):
    odd = certificates.self_signed(tmp_path, keys.password, starts_in_days, usage, key_usage)
    signed_copy = release.with_name("signed.exe")
    result, output = osslsigncode.run("sign", "-pkcs12", odd.pkcs12, "-h", digest, "-in", release,
                                      "-out", signed_copy, password=keys.password.encode())
    assert result == 0, output

    result, report, _ = verify(signed_copy, "--trust", odd.certificate)

    assert result == status, report
    assert line.format(cn=f"CN={odd.cn}", trust=odd.certificate) in report, report
