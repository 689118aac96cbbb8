"""kit/sign: signs a copy of the built image in place, or leaves it alone and says why."""
import hashlib
import os
import pathlib
import random
import re
import shutil
import signal
import stat
import subprocess
import time

import pytest
from asn1crypto import cms

import bad_files
import certificates
from certificates import CODE_SIGNING, SERVER_AUTH
from kit_commands import SIGN
from kestrovan_kit import osslsigncode
from kestrovan_kit.signature import certificate_table


NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
TIMESTAMP_TOKEN = "1.3.6.1.4.1.311.3.3.1"


def signer_infos(path):
    """The signer infos of the image's PKCS#7 signature, read straight from its certificate
    table, each with the common name of its certificate and its unsigned attributes."""
    signed_data = cms.ContentInfo.load(certificate_table(path)[8:])["content"]
    certificates = {c.chosen.serial_number: c.chosen for c in signed_data["certificates"]}
    return [(certificates[info["sid"].chosen["serial_number"].native].subject.native["common_name"],
             {attribute["type"].dotted: attribute["values"]
              for attribute in info["unsigned_attrs"] or []})
            for info in signed_data["signer_infos"]]


def assert_signed_by(path, signer):
    status, report = osslsigncode.run("verify", "-in", str(path),
                                      "-CAfile", str(signer.certificate))
    assert status == 0, report
    assert re.search(r"^Signature verification: ok$", report, re.MULTILINE), report
    assert "Number of verified signatures: 1\n" in report, report
    [(common_name, unsigned_attributes)] = signer_infos(path)
    assert common_name == signer.cn
    assert NESTED_SIGNATURE not in unsigned_attributes
    return report


def unsigned(path, tmp_path):
    out = tmp_path / "unsigned.exe"
    status, report = osslsigncode.run("remove-signature", "-in", str(path), "-out", str(out))
    assert status == 0, report
    return out.read_bytes()


PASSWORD_SOURCES = [
    pytest.param("file", "pkcs12", id="password-file"),
    pytest.param("environment", "pkcs12", id="password-in-environment"),
    pytest.param("file", "legacy_pkcs12", id="legacy-pkcs12"),
    pytest.param("standard input", "pkcs12", id="password-on-standard-input"),
    pytest.param("process substitution", "pkcs12", id="password-from-a-process-substitution"),
]


def password_arguments(keys, source):
    """The options that give kit/sign the password from `source`, and how to run it."""
    return {
        "file": (["--password-file", keys.password_file], {}),
        "environment": ([], {"environment_password": keys.password}),
        "standard input": (["--password-file", "/dev/stdin"], {"input": keys.password + "\n"}),
        "process substitution": ([], {"prefix": [
            "bash", "-c", 'exec "${@:2}" --password-file <(cat "$1")', "bash",
            keys.password_file]}),
    }[source]


@pytest.mark.parametrize("source, pkcs12", PASSWORD_SOURCES)
def test_signs_the_image_in_place(image, release, keys, sign, tmp_path, source, pkcs12):
    release.chmod(0o751)
    arguments, how = password_arguments(keys, source)

    result = sign("--pkcs12", getattr(keys.signer, pkcs12), *arguments, release, **how)

    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    digest = hashlib.sha256(release.read_bytes()).hexdigest()
    sums = release.with_name("SHA256SUMS")
    assert result.stdout == f"signed {release} (sha256 {digest}, recorded in {sums})\n"
    assert keys.password not in result.stdout + result.stderr
    assert sorted(path.name for path in release.parent.iterdir()) == ["SHA256SUMS", release.name]
    assert sums.read_text() == f"{digest}  {release.name}\n"
    assert stat.S_IMODE(release.stat().st_mode) == 0o751
    report = assert_signed_by(release, keys.signer)
    assert "Message digest algorithm  : SHA256" in report
    assert "Text description: kestrovan\n" in report
    assert unsigned(release, tmp_path) == image.read_bytes()


def test_signing_again_replaces_the_signature(image, release, keys, sign, tmp_path):
    for signer in (keys.signer, keys.second_signer):
        result = sign("--pkcs12", signer.pkcs12, "--password-file", keys.password_file, release)
        assert result.returncode == 0, result.stderr

    assert_signed_by(release, keys.second_signer)
    assert unsigned(release, tmp_path) == image.read_bytes()


def test_time_stamps_with_the_given_server(image, release, keys, sign, timestamp_server, tmp_path):
    result = sign("--pkcs12", keys.signer.pkcs12, "--password-file", keys.password_file,
                  "--timestamp-url", timestamp_server.url("/"), release)

    assert result.returncode == 0, result.stderr
    status, report = osslsigncode.run("verify", "-in", str(release),
                                  "-CAfile", str(keys.signer.certificate),
                                  "-TSA-CAfile", str(timestamp_server.certificate))
    assert status == 0, report
    assert re.search(r"^Timestamp Server Signature verification: ok$", report, re.MULTILINE), report
    [(_, unsigned_attributes)] = signer_infos(release)
    [token] = unsigned_attributes[TIMESTAMP_TOKEN]
    assert {c.chosen.subject.native["common_name"] for c in token["content"]["certificates"]} \
        == {"kestrovan test tsa"}
    assert unsigned(release, tmp_path) == image.read_bytes()


# sha256sum marks the line of a name holding a backslash or a line break, and escapes the name.
@pytest.mark.parametrize("name", ["kestrovan.exe", "kestrovan\\beta.exe", "kestrovan\nbeta.exe",
                                  os.fsdecode(b"kestrovan-\xff.exe")],
                         ids=["plain-name", "name-with-backslash", "name-with-line-break",
                              "name-not-utf-8"])
def test_keeps_sha256sums_true_for_the_signed_image(release, keys, sign, name):
    image = release.rename(release.with_name(name))
    folder = image.parent
    (folder / "notes.txt").write_text("shipped beside the launcher\n")
    (folder / "SHA256SUMS").write_bytes(subprocess.run(
        ["sha256sum", "--", name, "notes.txt"], cwd=folder, capture_output=True, check=True).stdout)
    for signer in (keys.signer, keys.second_signer):
        result = sign("--pkcs12", signer.pkcs12, "--password-file", keys.password_file, image)
        assert result.returncode == 0, result.stderr

    check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder, capture_output=True)
    assert check.returncode == 0, check.stdout + check.stderr
    assert check.stdout.count(b": OK\n") == 2, check.stdout


# A stand-in for osslsigncode that notes its command line, and the kind of each file it is
# handed a password in, before running the real program.
RECORDING_SHIM = """\
#!/bin/sh
log={log}
printf 'run %s\\n' "$(basename "$0") $*" >> "$log"
previous=
for argument in "$@"; do
  case "$previous" in -readpass) stat -L -c 'password %F %n' "$argument" >> "$log";; esac
  previous=$argument
done
exec {real} "$@"
"""


@pytest.mark.parametrize("source", ["file", "environment", "standard input"])
def test_the_password_reaches_no_command_line_nor_the_trust_file_the_release(
        release, keys, sign, tmp_path, source):
    shims, log = tmp_path / "shims", tmp_path / "commands.log"
    shims.mkdir()
    shim = shims / "osslsigncode"
    shim.write_text(RECORDING_SHIM.format(log=log, real=shutil.which("osslsigncode")))
    shim.chmod(0o755)
    arguments, how = password_arguments(keys, source)

    result = sign("--pkcs12", keys.signer.pkcs12, *arguments, release, path=shims, **how)

    assert result.returncode == 0, result.stderr
    lines = log.read_text().splitlines()
    assert any(line.startswith("run osslsigncode sign ") for line in lines), lines
    assert not any(keys.password in line for line in lines), lines
    assert not any(" -pass " in line for line in lines), lines
    handed = [line.split(" ", 2)[1:] for line in lines if line.startswith("password ")]
    assert handed and all(kind == "fifo" for kind, _ in handed), lines
    trust_files = [word for line in lines for word in re.findall(r" -CAfile (\S+)", line)]
    assert trust_files and not any(name.startswith(str(release.parent)) for name in trust_files)


def contents(directory):
    return {path.name: path.read_bytes() if path.is_file() else path.stat().st_mode
            for path in directory.iterdir()}


def assert_refused(result, status, fault):
    """One line on stderr that names the fault, and the documented exit status."""
    assert (result.returncode, result.stdout) == (status, ""), result.stderr
    assert result.stderr.startswith("sign: ") and result.stderr.count("\n") == 1, result.stderr
    assert fault in result.stderr, result.stderr


def assert_refused_and_untouched(sign_it, folder, status, fault):
    before = contents(folder)
    result = sign_it()
    assert_refused(result, status, fault)
    assert contents(folder) == before
    return result


# Each case: what is made in place of the staged image, the exit status, and the words that must
# name the fault ({target} is the image's path).
BAD_IMAGES = [
    pytest.param(bad_files.missing, 2, "cannot read image {target}: No such file or directory",
                 id="missing"),
    pytest.param(bad_files.directory, 2, "cannot read image {target}: Is a directory",
                 id="directory"),
    pytest.param(bad_files.fifo, 2, "cannot read image {target}: not a regular file", id="fifo"),
    pytest.param(bad_files.empty, 1, "{target} fails the launcher's image checks: PE image:"
                 " not a PE image (The file is empty)", id="empty"),
    pytest.param(bad_files.truncated, 1,
                 "PE image: truncated: 1500 bytes, but its sections end at byte",
                 id="truncated-to-1500-bytes"),
    pytest.param(bad_files.text, 1, "PE image: not a PE image (DOS Header magic not found.)",
                 id="text-file"),
    pytest.param(bad_files.patched(bad_files.OPTIONAL_MAGIC, 0x20B), 1,
                 "format: optional header magic 0x20b, not PE32", id="not-pe32"),
    pytest.param(bad_files.patched(bad_files.SUBSYSTEM, 3), 1,
                 "subsystem: subsystem IMAGE_SUBSYSTEM_WINDOWS_CUI", id="console-subsystem"),
]


@pytest.mark.parametrize("make, status, fault", BAD_IMAGES)
def test_refuses_an_image_the_image_checks_reject(image, release, keys, sign, make, status,
                                                   fault):
    release.unlink()
    target = make(release, image)
    assert_refused_and_untouched(
        lambda: sign("--pkcs12", keys.signer.pkcs12, "--password-file", keys.password_file, target),
        release.parent, status, fault.format(target=target))


@pytest.mark.parametrize("build, fault", [
    pytest.param("extra import",
                 "imports: imports KERNEL32.dll, msvcrt.dll, USER32.dll", id="import-added"),
    pytest.param("extra resource", "resources: unexpected RT_MANIFEST 1 (0409)",
                 id="resource-added"),
])
def test_refuses_a_build_with_an_added_import_or_resource(release, keys, sign, tampered_images,
                                                          build, fault):
    shutil.copyfile(tampered_images[build], release)
    assert_refused_and_untouched(
        lambda: sign("--pkcs12", keys.signer.pkcs12, "--password-file", keys.password_file,
                     release),
        release.parent, 1, f"{release} fails the launcher's image checks: {fault}")


def random_bytes(path):
    # Opens like DER, so that it is the PKCS#12 parser that has to find out.
    path.write_bytes(b"\x30\x82\x01\xfc" + random.Random(1).randbytes(508))
    return path


def pem_file(path, keys):
    shutil.copyfile(keys.signer.certificate, path)
    return path


def wrong_password_file(path):
    path.write_text("not the password\n")
    return path


def keys_and(*options):
    """The signer's PKCS#12 file and password file, then `options` (a callable one is given the
    servers)."""
    return lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", k.password_file,
                            *[option(s) if callable(option) else option for option in options]]


def certificate(make):
    return lambda k, t, s: ["--pkcs12", make(t, k), "--password-file", k.password_file]


def self_signed(starts_in_days, usage, key_usage=None):
    """A certificate of certificates.self_signed, and the password file."""
    return certificate(lambda t, k: certificates.self_signed(t, k.password, starts_in_days, usage,
                                                             key_usage).pkcs12)


def password_file(make):
    return lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", make(t)]


# Each case: (what it makes of the staged copy, the command line but for the image, the
# environment's password, the exit status, and the words that must name the fault).
BAD_INPUTS = [
    pytest.param(None, password_file(lambda t: wrong_password_file(t / "pw")), None, 2,
                 "wrong password for ", id="wrong-password"),
    pytest.param(None, lambda k, t, s: ["--pkcs12", k.signer.legacy_pkcs12], "not the password",
                 2, "wrong password for ", id="wrong-password-legacy-pkcs12"),
    pytest.param(None, certificate(lambda t, k: t / "missing.p12"), None, 2,
                 "cannot read certificate {tmp}/missing.p12: No such file or directory",
                 id="missing-certificate"),
    pytest.param(None, certificate(lambda t, k: bad_files.directory(t / "keys.p12", None)), None,
                 2, "cannot read certificate {tmp}/keys.p12: Is a directory",
                 id="directory-as-certificate"),
    pytest.param(None, certificate(lambda t, k: bad_files.empty(t / "empty.p12", None)), None, 2,
                 "{tmp}/empty.p12 is not a PKCS#12 file", id="empty-certificate"),
    pytest.param(None, certificate(lambda t, k: pem_file(t / "signer.pem", k)), None, 2,
                 "{tmp}/signer.pem is not a PKCS#12 file", id="pem-as-certificate"),
    pytest.param(None, certificate(lambda t, k: random_bytes(t / "random.p12")), None, 2,
                 "{tmp}/random.p12 is not a PKCS#12 file", id="random-bytes-as-certificate"),
    pytest.param(None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12], None, 2,
                 "no password: give --password-file or set KESTROVAN_SIGN_PASSWORD",
                 id="no-password"),
    pytest.param(None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12], "", 2, "no password: ",
                 id="empty-password-in-environment"),
    pytest.param(None, password_file(lambda t: t / "missing"), None, 2,
                 "cannot read password file {tmp}/missing: No such file or directory",
                 id="missing-password-file"),
    pytest.param(None, password_file(lambda t: bad_files.directory(t / "pw", None)), None, 2,
                 "cannot read password file {tmp}/pw: Is a directory",
                 id="directory-as-password-file"),
    pytest.param(None, password_file(lambda t: bad_files.empty(t / "pw", None)),
                 None, 2, "no password: the first line of password file {tmp}/pw is empty",
                 id="empty-password"),
    pytest.param(None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password", k.password],
                 None, 2, "unrecognized arguments: --password\n", id="option-abbreviated"),
    pytest.param(None, keys_and("--pkcs12", lambda s: s["keys"].second_signer.pkcs12), None, 2,
                 "argument --pkcs12: given more than once", id="option-given-twice"),
    pytest.param("sums-directory", keys_and(), None, 2,
                 "cannot read checksum file {folder}/SHA256SUMS: Is a directory",
                 id="sha256sums-a-directory"),
    pytest.param(None, keys_and("--timestamp-url", "ftp://127.0.0.1/"), None, 2,
                 "argument --timestamp-url: ftp://127.0.0.1/ is not an http or https URL",
                 id="time-stamp-url-not-http"),
    pytest.param(None, keys_and("--timestamp-timeout", "0"), None, 2,
                 "argument --timestamp-timeout: 0 is not a number of seconds above 0",
                 id="time-stamp-timeout-zero"),
    pytest.param(None, keys_and("--nest"), None, 2, "unrecognized arguments: --nest",
                 id="unknown-option"),
    pytest.param(None, lambda k, t, s: ["--password-file", k.password_file], None, 2,
                 "one of the arguments --pkcs12 --pkcs11-module is required",
                 id="no-certificate-option"),
    pytest.param(None, keys_and("--timestamp-url", "http://127.0.0.1:9/"), None, 1,
                 "time-stamp server http://127.0.0.1:9/ failed: ",
                 id="unreachable-time-stamp-server"),
    pytest.param(None, keys_and("--timestamp-url", lambda s: s["server"].url("/error")), None, 1,
                 "/error failed: ", id="time-stamp-server-error"),
    pytest.param(None, keys_and("--timestamp-url", lambda s: s["server"].url("/junk")), None, 1,
                 "/junk failed: ", id="time-stamp-server-junk"),
    pytest.param(None, keys_and("--timestamp-url", lambda s: s["server"].url("/other")), None, 1,
                 "/other does not verify", id="time-stamp-for-other-data"),
    pytest.param(None, keys_and("--timestamp-url", lambda s: s["silent"],
                                "--timestamp-timeout", "2"), None, 1,
                 "did not answer within 2 s", id="silent-time-stamp-server"),
    pytest.param(None, lambda k, t, s: ["--pkcs12", k.without_chain, "--password-file",
                                        k.password_file], None, 1,
                 "does not chain to a root", id="certificate-without-its-ca"),
    pytest.param(None, self_signed(-3, CODE_SIGNING), None, 1, "cannot sign now (expired at ",
                 id="certificate-expired"),
    pytest.param(None, self_signed(-0.5, SERVER_AUTH), None, 1, "is not for code signing (its"
                 " extended key usage (server_auth) lacks code signing",
                 id="certificate-for-servers"),
    pytest.param(None, self_signed(-0.5, CODE_SIGNING, {"key_encipherment"}), None, 1, "is not"
                 " for code signing (its key usage (key_encipherment) lacks digital_signature",
                 id="key-usage-without-digital-signature"),
    pytest.param("signed", password_file(lambda t: wrong_password_file(t / "pw")), None, 2,
                 "wrong password for ", id="wrong-password-on-signed-image"),
]


@pytest.mark.parametrize("staging, command_line, environment_password, status, fault", BAD_INPUTS)
def test_bad_input_leaves_the_image_alone(release, keys, sign, tmp_path, timestamp_server,
                                          silent_server, staging, command_line,
                                          environment_password, status, fault):
    if staging == "signed":
        result = sign("--pkcs12", keys.second_signer.pkcs12, "--password-file",
                      keys.password_file, release)
        assert result.returncode == 0, result.stderr
    if staging == "sums-directory":
        release.with_name("SHA256SUMS").mkdir()
    arguments = command_line(keys, tmp_path, {"server": timestamp_server, "silent": silent_server,
                                              "keys": keys})

    result = assert_refused_and_untouched(
        lambda: sign(*arguments, release, environment_password=environment_password),
        release.parent, status, fault.format(tmp=tmp_path, folder=release.parent))
    assert keys.password not in result.stderr and "not the password" not in result.stderr


@pytest.mark.parametrize("unreadable, what", [
    pytest.param("image", "image", id="image"),
    pytest.param("pkcs12", "certificate", id="certificate"),
    pytest.param("password", "password file", id="password-file"),
    pytest.param("sums", "checksum file", id="sha256sums"),
])
def test_an_unreadable_file_is_named(image, keys, sign, unprivileged, unreadable, what):
    files = {"image": unprivileged.readable(image, "kestrovan.exe"),
             "pkcs12": unprivileged.readable(keys.signer.pkcs12),
             "password": unprivileged.readable(keys.password_file),
             "sums": unprivileged.readable(keys.password_file, "SHA256SUMS")}
    files[unreadable].chmod(0)

    result = sign("--pkcs12", files["pkcs12"], "--password-file", files["password"],
                  files["image"], prefix=unprivileged.prefix)

    assert_refused(result, 2, f"cannot read {what} {files[unreadable]}: Permission denied")


def catches(process, signal_number):
    """Whether `process` has a handler of its own for `signal_number` (false once it ended)."""
    try:
        status = pathlib.Path(f"/proc/{process.pid}/status").read_text()
    except OSError:
        return False
    caught = int(re.search(r"^SigCgt:\s*([0-9a-f]+)$", status, re.MULTILINE)[1], 16)
    return bool(caught >> (signal_number - 1) & 1)


# Every signal that ends a process by default, SIGTERM first, so that it is the one sent at once.
INTERRUPTIONS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE)


def test_an_interrupted_signing_leaves_the_image_and_its_sums_agreeing(image, keys, tmp_path):
    """Interrupted (by each of INTERRUPTIONS in turn) at once, and at points spread over twice a
    whole signing once kit/sign has taken the signals over, the image is the one built or the one
    signed, SHA256SUMS agrees with it, and nothing is left over."""
    def folder_with_image(name):
        folder = tmp_path / name
        (folder / "tmp").mkdir(parents=True)
        shutil.copyfile(image, folder / "kestrovan.exe")
        (folder / "SHA256SUMS").write_bytes(subprocess.run(
            ["sha256sum", "kestrovan.exe"], cwd=folder, capture_output=True, check=True).stdout)
        return folder

    def start(folder):
        signing = subprocess.Popen(
            [str(SIGN), "--pkcs12", str(keys.signer.pkcs12), "--password-file",
             str(keys.password_file), "kestrovan.exe"], cwd=folder,
            env=dict(os.environ, TMPDIR=str(folder / "tmp")), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)
        return signing, time.monotonic()

    def taken_over(signing):
        # Python itself catches SIGINT from its start; the others only kit/sign does.
        while signing.poll() is None and not all(catches(signing, number)
                                                 for number in INTERRUPTIONS):
            time.sleep(0.001)
        return time.monotonic()

    signing, _ = start(folder_with_image("whole"))
    took_over = taken_over(signing)
    signing.communicate()
    whole = time.monotonic() - took_over
    outcomes = set()
    for point in range(13):
        folder = folder_with_image(f"interrupted-{point}")
        signing, _ = start(folder)
        if point:
            time.sleep(max(0.0, taken_over(signing) + whole * (point - 1) / 6 - time.monotonic()))
        signing.send_signal(INTERRUPTIONS[point % len(INTERRUPTIONS)])
        _, errors = signing.communicate()

        check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder, capture_output=True)
        assert check.returncode == 0, (point, check.stdout, errors)
        signed = (folder / "kestrovan.exe").read_bytes() != image.read_bytes()
        assert sorted(path.name for path in folder.iterdir()) == [
            "SHA256SUMS", "kestrovan.exe", "tmp"], point
        assert list((folder / "tmp").iterdir()) == [], point
        assert "Traceback" not in errors, errors
        # Interrupted before it took the signals over, it ends as the signal says.
        assert signing.returncode in (0, 1, -signal.SIGTERM), (point, signing.returncode)
        assert signed == (signing.returncode == 0), (point, signing.returncode, errors)
        if signing.returncode == 1:
            assert errors == "sign: interrupted\n"
        outcomes.add(signing.returncode)
    assert {-signal.SIGTERM, 0, 1} <= outcomes, f"the interruptions fell only where {outcomes} come"
