"""kit/sign with the key in a PKCS#11 token: a SoftHSM token made fresh for each test."""
import pytest

from kit_commands import verify


@pytest.mark.parametrize("kind", ["rsa", "ec"])
def test_signs_with_the_key_in_the_token(release, token, sign, kind):
    result = sign(*token.options(kind), release)

    assert result.returncode == 0, result.stderr
    status, report, _ = verify(release, "--trust", token.ca)
    assert status == 0, report
    assert f"signed by CN=kestrovan token {kind} signer (SHA256); chains to {token.ca}" in report


RSA = "pkcs11:token=kestrovan;object=rsa"
# Each case: the options that differ from signing with the RSA key ({names} as the test fills
# them in), what the PIN file holds instead of the PIN, and the line that names the fault.
FAILURES = [
    pytest.param({}, "0000", f"wrong PIN for the token of {RSA}", id="wrong-pin"),
    pytest.param({}, "", "no PIN: the first line of PIN file {pin_file} is empty", id="empty-pin"),
    pytest.param({"uri": "pkcs11:token=kestrovan;object=gone"}, None,
                 "pkcs11:token=kestrovan;object=gone names no private key in {module}",
                 id="uri-naming-no-key"),
    pytest.param({"uri": "pkcs11:token=other"}, None,
                 "{module} has no token that pkcs11:token=other names", id="uri-naming-no-token"),
    pytest.param({"uri": RSA + ";pin-value=0000"}, None, "argument --key: holds a PIN",
                 id="pin-in-the-uri"),
    pytest.param({"module": "{pin_file}"}, None, "cannot load PKCS#11 module {pin_file} (",
                 id="module-not-a-library"),
    pytest.param({"module": "{tmp}/gone.so"}, None,
                 "cannot read PKCS#11 module {tmp}/gone.so: No such file", id="module-missing"),
    pytest.param({"chain": "{ec_chain}"}, None,
                 "the first certificate in {ec_chain} does not belong to the key " + RSA,
                 id="certificate-of-another-key"),
]


@pytest.mark.parametrize("changes, pin, fault", FAILURES)
def test_a_token_that_cannot_sign_leaves_the_image_alone(release, token, sign, tmp_path,
                                                         changes, pin, fault):
    names = {"tmp": tmp_path, "module": token.module, "pin_file": token.pin_file,
             "ec_chain": token.chains["ec"]}
    if pin is not None:
        token.pin_file.write_text(pin + "\n")
    before = release.read_bytes()

    result = sign(*token.options("rsa", **{option: value.format(**names)
                                           for option, value in changes.items()}), release)

    assert (result.returncode, result.stdout, result.stderr.count("\n")) == (2, "", 1), \
        result.stderr
    assert fault.format(**names) in result.stderr and "kestrovan $pin" not in result.stderr
    assert [path.name for path in release.parent.iterdir()] == [release.name]
    assert release.read_bytes() == before
