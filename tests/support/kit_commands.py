"""The packager's commands as the tests run them, and the one way the tests sign an image."""
import subprocess

from checkout import KIT

SIGN = KIT / "sign"
VERIFY = KIT / "verify"
SIZE_REPORT = KIT / "size-report"
BUILDINFO = KIT / "buildinfo"
RELEASE = KIT / "release"


def verify(*arguments, prefix=()):
    """kit/verify's exit status, standard output and standard error."""
    result = subprocess.run([*prefix, str(VERIFY), *map(str, arguments)], capture_output=True,
                            text=True, errors="replace")
    return result.returncode, result.stdout, result.stderr


def sign_image(image, keys):
    """Signs `image` in place with the test signer of `keys`, as a packager does."""
    result = subprocess.run([str(SIGN), "--pkcs12", str(keys.signer.pkcs12),
                             "--password-file", str(keys.password_file), str(image)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return image
