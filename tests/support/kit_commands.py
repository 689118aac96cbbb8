"""The packager's commands as the tests run them, and the one way the tests sign an image."""
import shutil
import subprocess

from checkout import KIT
from kestrovan_kit.brand import read_brand

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


INSTALLER = KIT / "installer"


def build_installer(kind, brand, launcher, application, folder):
    """The `kind` installer of `brand` that kit/installer builds in `folder` from a dist/ holding
    `launcher` with its SHA256SUMS, and the application folder `application`."""
    dist = folder / "dist"
    dist.mkdir(parents=True)
    shutil.copyfile(launcher, dist / read_brand(brand).file_name)
    subprocess.run(["sha256sum", read_brand(brand).file_name], cwd=dist, check=True,
                   stdout=(dist / "SHA256SUMS").open("wb"))
    out = dist / ("acme.msi" if kind == "msi" else "acme-setup.exe")
    result = subprocess.run([str(INSTALLER), kind, "--brand", str(brand), "--application",
                             str(application), "--dist", str(dist), "--out", str(out)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return out
