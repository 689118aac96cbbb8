"""How dev/probe-i386 reads the outcome of its i386 program, where dev/where-wine32 has the
tests under 32-bit Wine run, how dev/guest tells a failed guest from a command that failed in it,
and when it emulates the CPU."""
import errno
import importlib.machinery
import importlib.util
import os
import shutil
import signal
import subprocess

import pytest

from checkout import DEV



def load(name):
    loader = importlib.machinery.SourceFileLoader(name.replace("-", "_"), str(DEV / name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


probe = load("probe-i386")
guest = load("guest")


def raises(number):
    def run():
        raise OSError(number, os.strerror(number), "/tmp/probe-i386-x/exit42")
    return run


@pytest.mark.parametrize("run, outcome, reason", [
    (lambda: 42, probe.EXECUTES, None),
    (raises(errno.ENOEXEC), probe.REFUSES, "the kernel refuses i386 programs (Exec format error)"),
    (lambda: -signal.SIGSEGV, probe.REFUSES, "the kernel killed an i386 program with SIGSEGV"),
    (raises(errno.EACCES), probe.UNKNOWN, "/tmp/probe-i386-x/exit42: Permission denied (a"
     " temporary folder mounted noexec?"),
    (lambda: 0, probe.UNKNOWN, "an i386 program that exits with 42 exited with 0"),
    (lambda: -signal.SIGKILL, probe.UNKNOWN, "an i386 program that exits with 42 was killed by"
     " SIGKILL"),
], ids=["executes", "refused", "killed-at-its-system-call", "noexec", "wrong-status",
        "killed-otherwise"])
def test_probe_tells_a_refusing_kernel_from_other_failures(run, outcome, reason):
    found, why = probe.verdict(run)
    assert found == outcome
    assert (why is None) if reason is None else why.startswith(reason), why


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"),
                    reason="mounting a noexec folder needs root and unshare")
def test_probe_in_a_noexec_folder_cannot_tell(tmp_path):
    probed = subprocess.run(
        ["unshare", "--mount", "--propagation", "unchanged", "/bin/sh", "-c",
         'mount --make-rprivate / 2>/dev/null;'
         ' mount -t tmpfs -o noexec tmpfs "$1" && TMPDIR="$1" exec "$2"', "probe", tmp_path,
         DEV / "probe-i386"], capture_output=True, text=True)
    assert probed.returncode == probe.UNKNOWN, probed.stdout + probed.stderr
    assert "Permission denied (a temporary folder mounted noexec?" in probed.stdout


FAILED = guest.INFRASTRUCTURE_FAILURE
OOPS = "[   41.2] BUG: unable to handle page fault for address: 00000000f7f5c000\n"
PANIC = "[    3.1] Kernel panic - not syncing: Attempted to kill init! exitcode=0x00000100\n"
MOUNT_FAILED = "mount: /kestrovan-run: unknown filesystem type '9p'.\n"


@pytest.mark.parametrize("console, status, qemu_status, timed_out, expected, why", [
    ("", "0\n", 0, False, 0, None),
    ("", "1\n", 0, False, 1, None),
    ("", "77\n", 0, False, 77, None),
    (OOPS, "0\n", 0, False, FAILED, "the guest's kernel failed: [   41.2] BUG: unable to handle"),
    (PANIC, None, 0, False, FAILED, "the guest's kernel failed: [    3.1] Kernel panic"),
    ("", None, 0, True, FAILED, "the guest did not boot within"),
    ("", None, 1, False, FAILED, "qemu-system-x86_64 failed with status 1"),
    (MOUNT_FAILED, None, 0, False, FAILED, "the guest ended without the command's status; its"
     " console last said: mount: /kestrovan-run: unknown filesystem type '9p'."),
], ids=["passed", "test-failed", "test-skipped", "oops-spoils-a-status", "panic", "boot-time-out",
        "qemu-failed", "init-failed"])
def test_guest_tells_its_own_failure_from_the_command(console, status, qemu_status, timed_out,
                                                      expected, why):
    found, reason = guest.verdict(console, status, qemu_status, timed_out)
    assert found == expected
    assert (reason is None) if why is None else reason.startswith(why), reason


def test_a_guest_is_named_by_its_release_and_its_making():
    keys = {guest.cache_key(release, script)
            for release in ("bookworm", "trixie") for script in (b"one", b"two")}
    assert len(keys) == 4


where = load("where-wine32")
LOADER_MISSING = "/usr/lib/wine/wine is missing (package wine32:i386)"
APT_SAID = "apt-get could not install wine32:i386: E: held packages"
REFUSED = "this host cannot execute i386 programs: IA32 emulation is off"
UNKNOWN = "cannot tell whether this host executes i386 programs: noexec"
GUEST_APT_SAID = "apt-get could not install qemu-system-x86: E: held packages"
QEMU_MISSING = "qemu-system-x86_64 is missing (package qemu-system-x86)"


@pytest.mark.parametrize("probe_status, probe_said, loader, wine32_record, qemu, guest_record,"
                         " expected, why", [
    (0, "", True, None, False, GUEST_APT_SAID, where.HERE, None),
    (0, "", False, APT_SAID + ".", True, None, where.GUEST, APT_SAID),
    (0, "", False, None, True, None, where.GUEST, LOADER_MISSING),
    (1, REFUSED, True, None, True, None, where.GUEST, REFUSED),
    (2, UNKNOWN, False, None, True, None, where.GUEST, UNKNOWN),
    (1, REFUSED, False, None, False, None, where.NOWHERE,
     f"{REFUSED}; nor can the emulated guest run them: {QEMU_MISSING}"),
    (0, "", False, APT_SAID, True, GUEST_APT_SAID, where.NOWHERE,
     f"{APT_SAID}; nor can the emulated guest run them: {GUEST_APT_SAID}"),
], ids=["here", "wine32-not-installable", "wine32-not-installed", "kernel-refuses",
        "probe-cannot-tell", "no-qemu-either", "guest-not-installable-either"])
def test_32_bit_wine_runs_here_else_in_the_guest_else_is_skipped_with_both_reasons(
        probe_status, probe_said, loader, wine32_record, qemu, guest_record, expected, why):
    assert where.where(probe_status, probe_said, loader, wine32_record, qemu,
                       guest_record) == (expected, why)


@pytest.mark.parametrize("accel, device, why", [
    ("tcg", "/dev/kvm", "tcg (KESTROVAN_GUEST_ACCEL=tcg)"),
    ("", "/nonexistent/kvm", "tcg (/nonexistent/kvm: No such file or directory)"),
])
def test_the_guest_falls_back_to_tcg_saying_why(monkeypatch, tmp_path, accel, device, why):
    monkeypatch.setenv("KESTROVAN_GUEST_ACCEL", accel)
    monkeypatch.setattr(guest, "KVM_DEVICE", device)
    assert guest.accelerator(tmp_path) == (guest.TCG, why)
