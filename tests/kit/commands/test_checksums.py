"""The checksums a release publishes stay true: kit/release writes them, kit/sign keeps them
true, kit/release keeps a signed image, and the packagers' guide's recipes work as written."""
import hashlib
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
    return copy


def test_release_writes_sums_of_the_image_as_built(tree):
    dist = tree / "dist"
    entry = f"{hashlib.sha256((dist / 'kestrovan.exe').read_bytes()).hexdigest()}  kestrovan.exe\n"
    assert (dist / "SHA256SUMS").read_text() == entry
    assert (dist / "SHA256SUMS.unsigned").read_text() == entry


def test_release_in_another_folder_builds_the_tested_image_and_says_what_made_it(tree, image):
    assert (tree / "dist" / "kestrovan.exe").read_bytes() == image.read_bytes()
    lines = (tree / "dist" / "BUILDINFO").read_text().splitlines()
    # The copy holds no .git; tests/reproducible checks the lines of a checkout.
    assert lines[:2] == ["commit=none (the sources are no git checkout)", "sources=unknown"]
    assert any(line.startswith("package.g++-mingw-w64-i686-win32=") for line in lines), lines


def test_the_guide_checks_dist_from_the_repository_root(tree):
    result = shell(guide_block(DIST_CHECK), cwd=tree)
    assert (result.returncode, result.stdout) == (0, "kestrovan.exe: OK\n"), result.stderr


def test_the_guide_check_of_dist_holds_after_signing(tree, keys, tmp_path):
    dist = tmp_path / "dist"
    shutil.copytree(tree / "dist", dist)
    unsigned_sums = (dist / "SHA256SUMS.unsigned").read_text()
    sign(dist / "kestrovan.exe", keys)

    result = shell(guide_block(DIST_CHECK), cwd=tmp_path)

    assert (result.returncode, result.stdout) == (0, "kestrovan.exe: OK\n"), result.stderr
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


def test_release_keeps_a_signed_image_unless_forced(tree, keys):
    image = sign(tree / "dist" / "kestrovan.exe", keys)
    signed = image.read_bytes()

    refused = release(tree)

    assert (refused.returncode, refused.stdout) == (1, ""), refused.stderr
    assert refused.stderr == ("release: dist/kestrovan.exe is not the image kit/release left"
                              " there (signed since?): move it away, or run kit/release --force"
                              " to replace it\n")
    assert image.read_bytes() == signed

    forced = release(tree, "--force")

    assert forced.returncode == 0, forced.stdout + forced.stderr
    assert forced.stdout.startswith("Replacing dist/kestrovan.exe, which had changed since"
                                    " kit/release wrote it (--force).\n")
    assert image.read_bytes() != signed
    assert shell(guide_block(DIST_CHECK), cwd=tree).returncode == 0


def test_release_replaces_an_image_from_before_the_unsigned_sums(tree):
    (tree / "dist" / "SHA256SUMS.unsigned").unlink()
    result = release(tree)
    assert result.returncode == 0, result.stdout + result.stderr
    assert not result.stdout.startswith("Replacing"), result.stdout
    assert (tree / "dist" / "SHA256SUMS.unsigned").exists()


def another_toolchain(buildinfo):
    return buildinfo.replace("package.cmake=", "package.cmake=99:")


@pytest.mark.parametrize("published_buildinfo, status", [
    pytest.param(lambda buildinfo: buildinfo, 0, id="same-toolchain"),
    pytest.param(another_toolchain, 1, id="another-toolchain"),
])
def test_the_guide_rebuild_checks_the_toolchain_and_the_published_sums(tree, tmp_path,
                                                                       published_buildinfo, status):
    published = tmp_path / "downloads"
    published.mkdir()
    shutil.copyfile(tree / "dist" / "SHA256SUMS.unsigned", published / "SHA256SUMS.unsigned")
    buildinfo = (tree / "dist" / "BUILDINFO").read_text()
    (published / "BUILDINFO").write_text(published_buildinfo(buildinfo))
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


def test_release_refuses_a_bad_brand_file_and_leaves_dist_alone(tree, tmp_path):
    brand = tmp_path / "brand.toml"
    brand.write_text('file_name = "Acme.exe"\nicon = "none.ico"\n[version]\nfile = "1"\n'
                     'product = "1"\n')
    before = {path.name: path.read_bytes() for path in (tree / "dist").iterdir()}
    result = release(tree, "--force", "--brand", brand)
    assert result.returncode == 2, result.stdout + result.stderr
    assert result.stderr.splitlines()[-1].startswith(f"brand: {brand}: icon: cannot read icon")
    assert {path.name: path.read_bytes() for path in (tree / "dist").iterdir()} == before


def test_release_names_an_unknown_argument(tree):
    result = release(tree, "--sign")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == ("release: unknown argument: --sign (the options are --force and"
                             " --brand FILE)\n")
