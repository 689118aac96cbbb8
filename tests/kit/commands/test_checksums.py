"""The checksums a release publishes stay true: kit/release writes them, kit/sign keeps them
true, kit/release replaces only its own files in dist/ (never a signed image unless forced) and
mends what a killed one left, and the packagers' guide's recipes work as written."""
import fcntl
import hashlib
import os
import re
import shutil
import subprocess

import pytest

from checkout import REPOSITORY
from kit_commands import RELEASE, sign_image as sign

RELEASE_TIMEOUT_SECONDS = 300
PACKAGERS_GUIDE = REPOSITORY / "docs" / "packagers.md"


def guide_block(containing):
    """The one shell block of docs/packagers.md that holds `containing`, verbatim."""
    blocks = re.findall(r"^ *```sh\n(.*?)^ *```$", PACKAGERS_GUIDE.read_text(),
                        re.MULTILINE | re.DOTALL)
    [block] = [block for block in blocks if containing in block]
    return block


DIST_CHECK = "sha256sum -c SHA256SUMS)"
DIST_CHECKED = "kestrovan.exe: OK\nSHA256SUMS.unsigned: OK\nBUILDINFO: OK\n"


def shell(script, cwd):
    return subprocess.run(["bash", "-e", "-c", script], cwd=cwd, capture_output=True, text=True)


def release(tree, *arguments):
    return subprocess.run([str(tree / RELEASE.relative_to(REPOSITORY)), *arguments], cwd=tree,
                          capture_output=True, text=True, timeout=RELEASE_TIMEOUT_SECONDS)


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """A copy of the repository in which kit/release has run."""
    copy = tmp_path_factory.mktemp("repository") / "kestrovan"
    shutil.copytree(REPOSITORY, copy, ignore=lambda directory, names: [
        name for name in names if name == "__pycache__"
        or (directory == str(REPOSITORY) and name in ("build", "dist", ".git"))])
    result = release(copy)
    assert result.returncode == 0, result.stdout + result.stderr
    shutil.copytree(copy / "dist", copy.parent / "released")
    return copy


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_release_writes_sums_of_the_image_as_built_and_of_what_made_it(tree):
    dist = tree / "dist"
    entry = f"{sha256(dist / 'kestrovan.exe')}  kestrovan.exe\n"
    assert (dist / "SHA256SUMS.unsigned").read_text() == entry
    assert (dist / "SHA256SUMS").read_text() == (
        f"{entry}{sha256(dist / 'SHA256SUMS.unsigned')}  SHA256SUMS.unsigned\n"
        f"{sha256(dist / 'BUILDINFO')}  BUILDINFO\n")


def test_release_in_another_folder_builds_the_tested_image_and_says_what_made_it(tree, image):
    assert (tree / "dist" / "kestrovan.exe").read_bytes() == image.read_bytes()
    lines = (tree / "dist" / "BUILDINFO").read_text().splitlines()
    # The copy holds no .git; tests/reproducible checks the lines of a checkout.
    assert lines[:3] == ["commit=none (the sources are no git checkout)", "sources=unknown",
                         "variant=default"]
    assert any(line.startswith("package.g++-mingw-w64-i686-win32=") for line in lines), lines


@pytest.mark.parametrize("signing", [False, True], ids=["as-released", "signed"])
def test_the_guide_check_of_dist_holds_as_released_and_after_signing(tree, keys, tmp_path,
                                                                      signing):
    dist = tmp_path / "dist"
    shutil.copytree(tree / "dist", dist)
    unsigned_sums = (dist / "SHA256SUMS.unsigned").read_text()
    if signing:
        sign(dist / "kestrovan.exe", keys)

    result = shell(guide_block(DIST_CHECK), cwd=tmp_path)

    assert (result.returncode, result.stdout) == (0, DIST_CHECKED), result.stderr
    assert (dist / "SHA256SUMS.unsigned").read_text() == unsigned_sums


@pytest.mark.parametrize("changed, status, verdict", [
    pytest.param(False, 0, " it is the image {sums} names as kestrovan.exe\n",
                 id="the-file-we-build"),
    pytest.param(True, 1, ": FAILED: without its signature, it is NOT the image {sums} names as"
                          " kestrovan.exe", id="a-byte-changed"),
])
def test_the_guide_tells_whether_a_signed_file_is_ours(tree, keys, tmp_path, changed, status,
                                                        verdict):
    shutil.copyfile(tree / "dist" / "SHA256SUMS.unsigned", tmp_path / "SHA256SUMS.unsigned")
    shutil.copyfile(tree / "dist" / "kestrovan.exe", tmp_path / "kestrovan.exe")
    signed = sign(tmp_path / "kestrovan.exe", keys)
    if changed:
        data = bytearray(signed.read_bytes())
        data[0x1000] ^= 0x01
        signed.write_bytes(data)

    result = shell(guide_block("--unsigned-sums").replace("<downloads>", str(tmp_path)), cwd=tree)

    assert (result.returncode, result.stderr) == (status, ""), result.stdout + result.stderr
    assert verdict.format(sums=tmp_path / "SHA256SUMS.unsigned") in result.stdout, result.stdout
    assert result.stdout.count("\n") == 1, result.stdout


ACME = REPOSITORY / "tests" / "support" / "brands" / "acme.toml"
WRITTEN = ("SHA256SUMS", "SHA256SUMS.unsigned", "BUILDINFO")


def brand_named(folder, file_name):
    """The acme brand file and its icon in `folder`, the image named `file_name`."""
    folder.mkdir()
    shutil.copyfile(ACME.with_name("acme.ico"), folder / "acme.ico")
    brand = folder / "acme.toml"
    brand.write_text(re.sub(r"(?m)^file_name = .*$", f'file_name = "{file_name}"',
                            ACME.read_text()))
    return brand


def vendor_files(case, dist):
    for name, data in (("RELEASE-NOTES.txt", b"ours\n"), ("kestrovan-1.0.zip", b"PK\5\6"),
                       ("Previous brand.exe", b"MZ")):
        (dist / name).write_bytes(data)
        with open(dist / "SHA256SUMS", "a") as sums:
            sums.write(f"{sha256(dist / name)}  {name}\n")
    return []


def signed(name, *arguments, unsigned_sums=True):
    """The image at `name` signed, as kit/sign leaves it (SHA256SUMS gives its SHA-256); a name
    other than the default's is a brand's."""
    def make(case, dist):
        brand = []
        if name != "kestrovan.exe":
            shutil.copyfile(dist / "kestrovan.exe", dist / name)
            brand = ["--brand", brand_named(case.tmp_path / "brand", name)]
        sign(dist / name, case.keys)
        if not unsigned_sums:
            (dist / "SHA256SUMS.unsigned").unlink()
        return [*arguments, *brand]
    return make


def unsigned_sums_missing(case, dist):
    (dist / "SHA256SUMS.unsigned").unlink()
    return []


def killed_after_the_image(case, dist):
    """What a release killed once it had put the image in place leaves: its record of what it
    was publishing, checksums of the image before, an empty BUILDINFO and its staging folder."""
    (dist / ".release-unfinished").write_text(f"{sha256(dist / 'kestrovan.exe')}  kestrovan.exe\n")
    for name in ("SHA256SUMS", "SHA256SUMS.unsigned"):
        (dist / name).write_text(f"{'0' * 64}  kestrovan.exe\n")
    (dist / "BUILDINFO").write_text("")
    (dist / ".kestrovan.exe.signing-killed").mkdir()
    return []


def locked_by_a_signer(case, dist):
    case.held = os.open(dist, os.O_RDONLY)
    fcntl.flock(case.held, fcntl.LOCK_EX)
    return []


def linked(case, dist):
    shutil.move(dist, case.tmp_path / "elsewhere")
    dist.symlink_to(case.tmp_path / "elsewhere")
    return []


def brand_without_its_icon(case, dist):
    brand = case.tmp_path / "brand.toml"
    brand.write_text('file_name = "Acme.exe"\nicon = "none.ico"\n[version]\nfile = "1"\n'
                     'product = "1"\n')
    return ["--force", "--brand", brand]


def contents(folder):
    return {path.name: path.read_bytes() if path.is_file() else None for path in folder.iterdir()}


@pytest.fixture
def dist(tree):
    """tree/dist as the first release left it, and again so afterwards."""
    dist = tree / "dist"

    def as_released():
        if dist.is_symlink():
            dist.unlink()
        shutil.rmtree(dist, ignore_errors=True)
        shutil.copytree(tree.parent / "released", dist)
    as_released()
    yield dist
    as_released()


@pytest.mark.parametrize("make, status, words", [
    pytest.param(vendor_files, 0, "Release image:", id="vendor-files-kept"),
    pytest.param(signed("kestrovan.exe"), 1, "release: dist/kestrovan.exe is not the image"
                 " kit/release left there (it is signed): move it away, or run kit/release"
                 " --force to replace it", id="signed"),
    pytest.param(signed("Acme.EXE", unsigned_sums=False), 1, "release: dist/Acme.EXE is not"
                 " the image kit/release left there (it is signed)",
                 id="signed-capitals-no-unsigned-sums"),
    pytest.param(signed("kestrovan.exe", "--force"), 0, "Replacing dist/kestrovan.exe (it is"
                 " signed), as --force says.", id="signed-forced"),
    pytest.param(unsigned_sums_missing, 0, "Release image:", id="unsigned-sums-gone"),
    pytest.param(killed_after_the_image, 0, "dist/.release-unfinished: a kit/release did not"
                 " finish here (killed, or it failed); this one mends dist", id="killed-mended"),
    pytest.param(locked_by_a_signer, 1, "release: another kit/sign or kit/release is at work in"
                 " dist: run this one again once it has ended", id="signer-at-work"),
    pytest.param(linked, 0, "Release image:", id="dist-a-link"),
    pytest.param(brand_without_its_icon, 2, "release: {tmp}/brand.toml: icon: cannot read icon",
                 id="bad-brand-file"),
    pytest.param(lambda case, dist: ["--sign"], 2, "release: unrecognized arguments: --sign\n",
                 id="unknown-argument"),
])
def test_release_replaces_only_its_own_files_in_dist(request, tree, dist, keys, tmp_path, make,
                                                     status, words):
    case = request.node
    case.keys, case.tmp_path, case.held = keys, tmp_path, None
    arguments = make(case, dist)
    before = contents(dist)

    result = release(tree, *arguments)

    if case.held is not None:
        os.close(case.held)
    assert result.returncode == status, result.stdout + result.stderr
    assert result.stderr.count("\n") <= 1, result.stderr
    after = contents(dist)
    if status != 0:
        assert (result.stdout, after) == ("", before)
        assert result.stderr.startswith(words.format(tmp=tmp_path)), result.stderr
        return
    assert words in result.stdout + result.stderr
    ours = WRITTEN + ("kestrovan.exe",)
    kept = {name: data for name, data in before.items() if name not in ours and name[0] != "."}
    assert {name: after.get(name) for name in kept} == kept
    assert not [name for name in after if name.startswith(".")]
    foreign_sums = [line for line in before["SHA256SUMS"].splitlines()
                    if line.split(b"  ", 1)[1].decode() not in ours]
    assert set(foreign_sums) <= set(after["SHA256SUMS"].splitlines())
    assert shell("sha256sum --quiet -c SHA256SUMS", cwd=dist).returncode == 0


def test_a_new_icon_alone_makes_a_new_image(tree, dist, tmp_path):
    brand = brand_named(tmp_path / "brand", "Acme.exe")
    first = release(tree, "--brand", brand)
    assert first.returncode == 0, first.stdout + first.stderr
    built = (dist / "Acme.exe").read_bytes()
    icon = bytearray(brand.with_name("acme.ico").read_bytes())
    icon[-100] ^= 0xFF
    brand.with_name("acme.ico").write_bytes(icon)

    second = release(tree, "--brand", brand)

    # A build that missed the icon fails the brand file's checks.
    assert second.returncode == 0, second.stdout + second.stderr
    assert (dist / "Acme.exe").read_bytes() != built


def another_toolchain(buildinfo):
    return buildinfo.replace("package.cmake=", "package.cmake=99:")


@pytest.mark.parametrize("published_buildinfo, status", [
    pytest.param(lambda buildinfo: buildinfo, 0, id="same-toolchain"),
    pytest.param(another_toolchain, 1, id="another-toolchain"),
])
def test_the_guide_rebuild_checks_the_toolchain_and_the_published_sums(
        tree, dist, tmp_path, published_buildinfo, status):
    published = tmp_path / "downloads"
    published.mkdir()
    shutil.copyfile(dist / "SHA256SUMS.unsigned", published / "SHA256SUMS.unsigned")
    (published / "BUILDINFO").write_text(published_buildinfo((dist / "BUILDINFO").read_text()))
    killed_after_the_image(None, dist)
    # The copy has no history to check a commit out of; the rest runs as written.
    recipe = guide_block("git checkout").replace(
        "git checkout <the commit in the published BUILDINFO>\n", "")
    assert "<" not in recipe.replace("<downloads>", "")

    result = shell(recipe.replace("<downloads>", str(published)), cwd=tree)

    assert result.returncode == status, result.stdout + result.stderr
    if status == 0:
        assert result.stdout.endswith("kestrovan.exe: OK\n")
    else:
        assert "< package.cmake=99:" in result.stdout and "OK" not in result.stdout


def test_a_console_brand_releases_its_twin_beside_the_image_with_its_sums(tree, dist):
    brand = tree / "tests" / "support" / "brands" / "launch-console.toml"
    result = release(tree, "--brand", brand)
    assert result.returncode == 0, result.stdout + result.stderr
    images = ("Acme Viewer.exe", "Acme Viewer-console.exe")
    assert (dist / "SHA256SUMS.unsigned").read_text() == "".join(
        f"{sha256(dist / name)}  {name}\n" for name in images)
    assert shell("sha256sum --quiet -c SHA256SUMS", cwd=dist).returncode == 0
