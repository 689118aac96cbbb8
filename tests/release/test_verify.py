"""tools/verify: passes an image fit to ship, and names the fault in one that is not."""
import subprocess

import pytest

from conftest import REPOSITORY

VERIFY = REPOSITORY / "tools" / "verify"


def verify(*arguments):
    result = subprocess.run([str(VERIFY), *map(str, arguments)], capture_output=True, text=True)
    return result.returncode, result.stdout


def signed(release, keys, sign):
    result = sign("--pkcs12", keys.signer.pkcs12, "--password-file", keys.password_file, release)
    assert result.returncode == 0, result.stderr
    return release


def test_passes_the_unsigned_build(image):
    status, report = verify(image)
    assert status == 0, report
    assert "ok    signature: not signed" in report
    assert report.rstrip().endswith("all checks hold")


@pytest.mark.parametrize("trusted, verdict", [
    (False, "chain not checked"),
    (True, "chains to"),
])
def test_passes_a_signed_image_and_names_its_signer(release, keys, sign, trusted, verdict):
    trust = ["--trust", keys.signer.certificate] if trusted else []
    status, report = verify(signed(release, keys, sign), *trust)
    assert status == 0, report
    assert "ok    signature: intact, signed by /CN=kestrovan test signer" in report
    assert verdict in report


def one_byte_changed(path):
    data = bytearray(path.read_bytes())
    data[0x1000] ^= 0x01
    path.write_bytes(data)
    return path


BAD_IMAGES = [
    pytest.param(lambda tampered, release, keys, sign: one_byte_changed(signed(release, keys, sign)),
                 [], "signature: broken: the file changed after it was signed",
                 id="byte-changed-after-signing"),
    pytest.param(lambda tampered, release, keys, sign: signed(release, keys, sign),
                 ["--trust", "second"],
                 "signature: intact, but /CN=kestrovan test signer does not chain to", id="signer-not-trusted"),
    pytest.param(lambda tampered, release, keys, sign: tampered["extra resource"],
                 [], "resources: unexpected RT_MANIFEST 1 (0409)", id="resource-added"),
    pytest.param(lambda tampered, release, keys, sign: tampered["extra import"],
                 [], "imports: imports KERNEL32.dll, msvcrt.dll, USER32.dll", id="import-added"),
    pytest.param(lambda tampered, release, keys, sign: release.with_suffix(".txt"),
                 [], "PE image: ", id="not-a-pe-image"),
]


@pytest.mark.parametrize("make, options, fault", BAD_IMAGES)
def test_fails_naming_the_fault(tampered_images, release, keys, sign, make, options, fault):
    target = make(tampered_images, release, keys, sign)
    if not target.exists():
        target.write_text("kestrovan launcher\n")
    options = [keys.second_signer.certificate if option == "second" else option for option in options]
    status, report = verify(target, *options)
    assert status == 1, report
    assert f"FAIL  {fault}" in report
    assert "FAILED (" in report.splitlines()[-1]
