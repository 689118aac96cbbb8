"""What a careless or hostile packager tries on the kit: links, other spellings of the checksums,
two signers at once, bytes a reader would miss, inputs too large to read, and installations as
Windows sees them. Each case ends in its documented status and one true line."""
import fcntl
import hashlib
import os
import pathlib
import signal
import subprocess
import time
import zipfile

import pefile
import pytest
import sample_installation
from kestrovan_kit import osslsigncode, signature
from kit_commands import SIGN, SIZE_REPORT, verify

RUNTIME = sample_installation.RUNTIME


def signing(case, *options, image=None):
    return ["sign", "--pkcs12", case.keys.signer.pkcs12, "--password-file",
            case.keys.password_file, *options, image or case.release]


def signed(case, *options):
    result = case.sign(*signing(case, *options)[1:])
    assert result.returncode == 0, result.stderr
    return case.release


def linked(name, target):
    def make(case):
        (case.tmp_path / target).write_text("")
        case.release.with_name(name).symlink_to(case.tmp_path / target)
        return signing(case, image=case.release.with_name(name) if name.endswith(".exe") else None)
    return make


def folder_locked(case):
    case.held = os.open(case.release.parent, os.O_RDONLY)
    fcntl.flock(case.held, fcntl.LOCK_EX)
    return signing(case)


def sums_stale(case):
    case.release.with_name("SHA256SUMS").write_text(f"{'0' * 64}  kestrovan.exe\n")
    return ["verify", case.release]


def certificate_table_grown(*options):
    """The signature's WIN_CERTIFICATE and the security directory both grown over 1 KiB more."""
    def make(case):
        data = bytearray(signed(case).read_bytes() + bytes(range(256)) * 4)
        with pefile.PE(data=bytes(data), fast_load=True) as pe:
            table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[signature.SECURITY_DIRECTORY]
            fields = (table.VirtualAddress, table.get_field_absolute_offset("Size"))
        for at in fields:
            grown = int.from_bytes(data[at:at + 4], "little") + 1024
            data[at:at + 4] = grown.to_bytes(4, "little")
        case.release.write_bytes(data)
        sums = case.tmp_path / "SHA256SUMS.unsigned"
        sums.write_text(f"{hashlib.sha256(case.image.read_bytes()).hexdigest()}  kestrovan.exe\n")
        return ["verify", *[sums if option == "SUMS" else option for option in options],
                case.release]
    return make


def nested(case):
    nest = case.release.with_name("nested.exe")
    status, output = osslsigncode.run(
        "sign", "-nest", "-pkcs12", case.keys.second_signer.pkcs12, "-h", "sha1",
        "-in", signed(case), "-out", nest, password=case.keys.password.encode())
    assert status == 0, output
    return ["verify", nest]


def time_stamped(*options):
    def make(case):
        signed(case, "--timestamp-url", case.timestamp_server.url("/"))
        return ["verify", *[case.keys.signer.certificate if option == "CERTIFICATE" else option
                            for option in options], case.release]
    return make


def too_large(command):
    def make(case):
        os.truncate(case.release, 17 << 20)
        return [command, case.release]
    return make


def installation(change, *options):
    def make(case):
        root = sample_installation.lay_out(case.tmp_path / "app", case.image, runtime=case.image)
        change(case, root)
        return ["verify", "--installation", root, *options]
    return make


def renamed(case, root):
    (root / "application").rename(root / "Application")
    runtime = root / "Application/default-jre/bin/javaw.exe"
    runtime.rename(runtime.with_name("JAVAW.EXE"))


def runtime_linked(target, moved):
    def change(case, root):
        if moved:
            os.replace(root / RUNTIME, case.tmp_path / target)
        (root / RUNTIME).unlink(missing_ok=True)
        (root / RUNTIME).symlink_to(case.tmp_path / target)
    return change


def manifest_bomb(case, root):
    with zipfile.ZipFile(root / sample_installation.ARCHIVE, "w", zipfile.ZIP_DEFLATED) as jar:
        with jar.open(sample_installation.MANIFEST, "w", force_zip64=True) as manifest:
            for _ in range(9):
                manifest.write(bytes(1 << 20))


CASES = [
    pytest.param(linked("linked.exe", "kestrovan.exe"), 2, "image {folder}/linked.exe is a"
                 " symbolic link (to {tmp}/kestrovan.exe): kit/sign follows no link",
                 id="sign-image-a-link"),
    pytest.param(linked("SHA256SUMS", "elsewhere"), 2, "SHA256SUMS is a symbolic link",
                 id="sign-sums-a-link"),
    pytest.param(folder_locked, 1, "another kit/sign or kit/release is at work in",
                 id="sign-folder-locked"),
    pytest.param(sums_stale, 1, f"FAIL  checksums: {{folder}}/SHA256SUMS gives sha256 {'0' * 64}"
                 " for kestrovan.exe, but the file's is ", id="verify-stale-sums"),
    pytest.param(certificate_table_grown(), 1, "1,024 bytes in its certificate table beyond the"
                 " signature and its padding", id="verify-bytes-hidden-by-the-signature"),
    pytest.param(certificate_table_grown("--unsigned-sums", "SUMS"), 1, ": FAILED: 1,024 bytes"
                 " in its certificate table", id="unsigned-sums-bytes-hidden-by-the-signature"),
    pytest.param(nested, 0, "signed by CN=kestrovan test signer (SHA256); nested: CN=kestrovan"
                 " second signer (SHA1); chain not checked", id="verify-nested-signature"),
    pytest.param(time_stamped(), 0, "(SHA256), time-stamped by CN=kestrovan test tsa at ",
                 id="verify-time-stamp-reported"),
    pytest.param(time_stamped("--trust", "CERTIFICATE"), 1, "intact, but the time-stamp by"
                 " CN=kestrovan test tsa does not chain to", id="verify-time-stamp-untrusted"),
    pytest.param(too_large("verify"), 1, "is 17,825,792 bytes (17 MiB), more than the",
                 id="verify-image-too-large"),
    pytest.param(too_large("size-report"), 1, "is 17,825,792 bytes (17 MiB), more than the",
                 id="size-report-image-too-large"),
    pytest.param(installation(renamed), 0, "all checks hold", id="installation-in-other-case"),
    pytest.param(installation(runtime_linked("javaw.exe", True)), 1, "javaw.exe leads to"
                 " {tmp}/javaw.exe, outside the installation", id="installation-part-linked-out"),
    pytest.param(installation(runtime_linked("gone.exe", False)), 1, "javaw.exe is a symbolic"
                 " link to {tmp}/gone.exe, which does not exist", id="installation-link-dangling"),
    pytest.param(installation(lambda case, root: None, "--launcher", "../kestrovan.exe"), 1,
                 "outside the installation", id="installation-launcher-outside"),
    pytest.param(installation(manifest_bomb), 1, "its META-INF/MANIFEST.MF inflates to more than"
                 " 8,388,608 bytes (8 MiB)", id="installation-manifest-bomb"),
]


@pytest.mark.parametrize("make, status, words", CASES)
def test_each_case_gets_its_status_and_one_true_line(request, image, release, keys, sign,
                                                     timestamp_server, tmp_path, make, status,
                                                     words):
    case = request.node
    case.image, case.release, case.keys, case.sign = image, release, keys, sign
    case.timestamp_server, case.tmp_path = timestamp_server, tmp_path
    command, *arguments = make(case)
    if command == "verify":
        returncode, output, errors = verify(*arguments)
    else:
        result = sign(*arguments) if command == "sign" else subprocess.run(
            [SIZE_REPORT, *arguments], capture_output=True, text=True)
        returncode, output, errors = result.returncode, result.stdout, result.stderr
    assert returncode == status, output + errors
    assert errors.count("\n") <= 1, errors
    assert words.format(tmp=tmp_path, folder=release.parent) in output + errors, output + errors


@pytest.mark.parametrize("spelling", [
    pytest.param("{digest}  ./kestrovan.exe", id="dot-slash"),
    pytest.param("SHA256 (kestrovan.exe) = {digest}", id="tagged"),
])
def test_sign_replaces_the_entry_in_its_own_spelling_and_what_a_killed_one_left(
        release, keys, sign, spelling):
    sums = release.with_name("SHA256SUMS")
    sums.write_text(spelling.format(digest="0" * 64) + "\n")
    release.with_name(".kestrovan.exe.signing-killed").mkdir()

    result = sign("--pkcs12", keys.signer.pkcs12, "--password-file", keys.password_file, release)

    assert result.returncode == 0, result.stderr
    digest = hashlib.sha256(release.read_bytes()).hexdigest()
    assert sums.read_text() == spelling.format(digest=digest) + "\n"
    assert sorted(path.name for path in release.parent.iterdir()) == ["SHA256SUMS", release.name]


def test_sign_into_a_full_output_says_it_signed(release, keys):
    with open("/dev/full", "w") as full:
        result = subprocess.run([SIGN, "--pkcs12", keys.signer.pkcs12, "--password-file",
                                 keys.password_file, release], stdout=full, stderr=subprocess.PIPE,
                                text=True)
    assert result.returncode == 3, result.stderr
    assert result.stderr.startswith(f"sign: signed {release} (sha256 ")
    assert result.stderr.endswith(
        ", but cannot write to standard output: No space left on device\n")


def test_a_killed_sign_takes_osslsigncode_with_it(release, keys, silent_server):
    signing = subprocess.Popen([SIGN, "--pkcs12", keys.signer.pkcs12, "--password-file",
                                keys.password_file, "--timestamp-url", silent_server, release])
    children = pathlib.Path(f"/proc/{signing.pid}/task/{signing.pid}/children")
    while signing.poll() is None and not children.read_text().split():
        time.sleep(0.01)
    status = pathlib.Path(f"/proc/{children.read_text().split()[0]}/status")
    signing.send_signal(signal.SIGKILL)
    signing.wait()
    # Ended, or a zombie that its new parent has yet to reap; a bounded wait for either.
    for _ in range(500):
        try:
            if "State:\tZ" in status.read_text():
                return
        except (FileNotFoundError, ProcessLookupError):  # gone before or while it was read
            return
        time.sleep(0.01)
    pytest.fail("osslsigncode outlived kit/sign")
