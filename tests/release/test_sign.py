"""tools/sign: signs a copy of the built image in place, or leaves it alone and says why."""
import hashlib
import os
import random
import re
import shutil
import stat
import subprocess

import pytest


def osslsigncode(*arguments):
    """osslsigncode's exit status and everything it said."""
    result = subprocess.run(["osslsigncode", *map(str, arguments)], capture_output=True,
                            text=True, errors="replace")
    return result.returncode, result.stdout + result.stderr


def signers_in(report):
    # osslsigncode 2.5 lists the signer's certificate twice.
    return list(dict.fromkeys(re.findall(
        r"Signer #\d+:\s*\n\s*Subject: /CN=(.+)",
        report.split("Signer's certificate:")[1].split("Authenticated attributes:")[0])))


def assert_signed_by(path, signer):
    status, report = osslsigncode("verify", "-in", str(path), "-CAfile", str(signer.certificate))
    assert status == 0, report
    assert re.search(r"^Signature verification: ok$", report, re.MULTILINE), report
    assert "Number of verified signatures: 1\n" in report, report
    assert signers_in(report) == [signer.cn], report
    return report


def unsigned(path, tmp_path):
    out = tmp_path / "unsigned.exe"
    status, report = osslsigncode("remove-signature", "-in", str(path), "-out", str(out))
    assert status == 0, report
    return out.read_bytes()


PASSWORD_SOURCES = [
    pytest.param("file", "pkcs12", id="password-file"),
    pytest.param("environment", "pkcs12", id="password-in-environment"),
    pytest.param("file", "legacy_pkcs12", id="legacy-pkcs12"),
]


def password_arguments(keys, source):
    if source == "file":
        return ["--password-file", keys.password_file], None
    return [], keys.password


@pytest.mark.parametrize("source, pkcs12", PASSWORD_SOURCES)
def test_signs_the_image_in_place(image, release, keys, sign, tmp_path, source, pkcs12):
    release.chmod(0o751)
    arguments, environment_password = password_arguments(keys, source)

    result = sign("--pkcs12", getattr(keys.signer, pkcs12), *arguments, release,
                  environment_password=environment_password)

    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    digest = hashlib.sha256(release.read_bytes()).hexdigest()
    assert result.stdout == f"signed {release} (sha256 {digest})\n"
    assert keys.password not in result.stdout + result.stderr
    assert [path.name for path in release.parent.iterdir()] == [release.name]
    assert stat.S_IMODE(release.stat().st_mode) == 0o751
    report = assert_signed_by(release, keys.signer)
    assert "Message digest algorithm  : SHA256" in report
    assert "Text description: kestrovan" in report
    assert unsigned(release, tmp_path) == image.read_bytes()


def test_signing_again_replaces_the_signature(image, release, keys, sign, tmp_path):
    for signer in (keys.signer, keys.second_signer):
        result = sign("--pkcs12", signer.pkcs12, "--password-file", keys.password_file, release)
        assert result.returncode == 0, result.stderr

    report = assert_signed_by(release, keys.second_signer)
    assert keys.signer.cn not in report
    assert unsigned(release, tmp_path) == image.read_bytes()


def test_time_stamps_with_the_given_server(image, release, keys, sign, timestamp_server, tmp_path):
    result = sign("--pkcs12", keys.signer.pkcs12, "--password-file", keys.password_file,
                  "--timestamp-url", timestamp_server.url("/"), release)

    assert result.returncode == 0, result.stderr
    status, report = osslsigncode("verify", "-in", str(release),
                                  "-CAfile", str(keys.signer.certificate),
                                  "-TSA-CAfile", str(timestamp_server.certificate))
    assert status == 0, report
    assert re.search(r"^Timestamp Server Signature verification: ok$", report, re.MULTILINE), report
    assert "/CN=kestrovan test tsa" in report
    assert unsigned(release, tmp_path) == image.read_bytes()


# Stand-ins for openssl and osslsigncode that note their command line, and the mode of each
# file they are handed a password in, before running the real program.
RECORDING_SHIM = """\
#!/bin/sh
log={log}
printf 'run %s\\n' "$(basename "$0") $*" >> "$log"
previous=
for argument in "$@"; do
  case "$previous" in -readpass) stat -c 'password %a %n' "$argument" >> "$log";; esac
  case "$argument" in file:*) stat -c 'password %a %n' "${{argument#file:}}" >> "$log";; esac
  previous=$argument
done
exec /usr/bin/$(basename "$0") "$@"
"""


@pytest.mark.parametrize("source", ["file", "environment"])
def test_the_password_reaches_no_command_line(release, keys, sign, tmp_path, source):
    shims, log = tmp_path / "shims", tmp_path / "commands.log"
    shims.mkdir()
    for program in ("openssl", "osslsigncode"):
        (shims / program).write_text(RECORDING_SHIM.format(log=log))
        (shims / program).chmod(0o755)
    arguments, environment_password = password_arguments(keys, source)

    result = sign("--pkcs12", keys.signer.pkcs12, *arguments, release,
                  environment_password=environment_password, path=shims)

    assert result.returncode == 0, result.stderr
    lines = log.read_text().splitlines()
    assert any(line.startswith("run osslsigncode sign ") for line in lines), lines
    assert any(line.startswith("run openssl pkcs12 ") for line in lines), lines
    assert not any(keys.password in line for line in lines), lines
    assert not any(" -pass " in line or "pass:" in line or "env:" in line for line in lines), lines
    handed = [line.split(" ", 2)[1:] for line in lines if line.startswith("password ")]
    assert handed and all(mode == "600" for mode, _ in handed), lines
    assert not any(os.path.exists(path) for _, path in handed), lines


def random_bytes(path):
    # Opens like DER, so that it is OpenSSL that has to find out.
    path.write_bytes(b"\x30\x82\x01\xfc" + random.Random(1).randbytes(508))
    return path


def pem_file(path, keys):
    shutil.copyfile(keys.signer.certificate, path)
    return path


def wrong_password_file(path):
    path.write_text("not the password\n")
    return path


def text_file(release):
    target = release.with_name("README.txt")
    target.write_text("kestrovan launcher\n")
    release.unlink()
    return target


def signed_copy(release, keys, sign):
    result = sign("--pkcs12", keys.second_signer.pkcs12, "--password-file", keys.password_file,
                  release)
    assert result.returncode == 0, result.stderr
    return release


# Each case: (what it makes of the staged copy, the command line but for the image, the
# environment's password, and the words that must name the fault).
BAD_INPUTS = [
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", wrong_password_file(t / "pw")],
        None, "wrong password for ", id="wrong-password"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.legacy_pkcs12],
        "not the password", "wrong password for ", id="wrong-password-legacy-pkcs12"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", t / "missing.p12", "--password-file", k.password_file],
        None, "cannot read certificate {tmp}/missing.p12: No such file or directory",
        id="missing-certificate"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", pem_file(t / "signer.pem", k), "--password-file", k.password_file],
        None, "{tmp}/signer.pem is not a PKCS#12 file", id="pem-as-certificate"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", random_bytes(t / "random.p12"), "--password-file", k.password_file],
        None, "{tmp}/random.p12 is not a PKCS#12 file", id="random-bytes-as-certificate"),
    pytest.param(
        "text", lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", k.password_file],
        None, "{target} is not a PE image", id="text-file-as-image"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12],
        None, "no password: give --password-file or set KESTROVAN_SIGN_PASSWORD", id="no-password"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12],
        "", "no password: ", id="empty-password-in-environment"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", t / "missing"],
        None, "cannot read password file {tmp}/missing", id="missing-password-file"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", k.password_file,
                               "--timestamp-url", "http://127.0.0.1:9/"],
        None, "cannot reach time-stamp server http://127.0.0.1:9/", id="unreachable-time-stamp-server"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", k.password_file,
                               "--timestamp-url", s["server"].url("/error")],
        None, "answered HTTP 500", id="time-stamp-server-error"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", k.password_file,
                               "--timestamp-url", s["server"].url("/junk")],
        None, "sent no time-stamp reply", id="time-stamp-server-junk"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", k.password_file,
                               "--timestamp-url", s["server"].url("/other")],
        None, "/other is not for this signature", id="time-stamp-for-other-data"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", k.password_file,
                               "--timestamp-url", s["silent"], "--timestamp-timeout", "2"],
        None, "did not answer within 2 s", id="silent-time-stamp-server"),
    pytest.param(
        None, lambda k, t, s: ["--pkcs12", k.without_chain, "--password-file", k.password_file],
        None, "does not chain to a root", id="certificate-without-its-ca"),
    pytest.param(
        "signed", lambda k, t, s: ["--pkcs12", k.signer.pkcs12, "--password-file", wrong_password_file(t / "pw")],
        None, "wrong password for ", id="wrong-password-on-signed-image"),
]


@pytest.mark.parametrize("staging, command_line, environment_password, fault", BAD_INPUTS)
def test_bad_input_leaves_the_image_alone(release, keys, sign, tmp_path, timestamp_server,
                                          silent_server, staging, command_line,
                                          environment_password, fault):
    target = {None: lambda: release, "text": lambda: text_file(release),
              "signed": lambda: signed_copy(release, keys, sign)}[staging]()
    before = target.read_bytes()
    servers = {"server": timestamp_server, "silent": silent_server}

    result = sign(*command_line(keys, tmp_path, servers), target,
                  environment_password=environment_password)

    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith("sign: ") and result.stderr.count("\n") == 1, result.stderr
    assert fault.format(tmp=tmp_path, target=target) in result.stderr
    assert keys.password not in result.stderr and "not the password" not in result.stderr
    assert target.read_bytes() == before
    assert [path.name for path in target.parent.iterdir()] == [target.name]
