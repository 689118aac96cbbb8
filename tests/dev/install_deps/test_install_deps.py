"""dev/install-deps against an archive that fails: it tries apt once more, stops with one line
when a required package cannot be installed, and installs everything else when an optional part
cannot, keeping apt's words for the tests that need that part, and installs the emulated guest's
packages where 32-bit Wine cannot be installed. apt-get, dpkg and dpkg-query are
stand-ins that act on a list of installed packages; the kernel is said to execute i386 programs."""
import os
import shutil
import subprocess

import pytest

from checkout import REPOSITORY

WINE32 = "wine32:i386"
GUEST = ("qemu-system-x86", "debootstrap", "e2fsprogs")
REQUIRED = ("cmake", "ninja-build", "g++", "googletest", "g++-mingw-w64-i686-win32",
            "g++-mingw-w64-x86-64-win32", "wine64", "python3", "python3-pefile", "python3-pytest",
            "python3-cryptography", "python3-asn1crypto", "osslsigncode", "openssl", "icoutils",
            "xvfb", "xdotool", "x11-utils", "x11-apps", "netpbm", "libengine-pkcs11-openssl",
            "softhsm2", "wixl", "msitools", "nsis", "p7zip-full")
MIRROR_SYNC = ("E: Failed to fetch http://archive/binary-i386/Packages.xz  File has unexpected"
               " size (1 != 2). Mirror sync in progress?")
HELD = "E: Unable to correct problems, you have held broken packages."

# The stand-ins log each call to calls.txt. apt-get fails where $STATE/fail-update or
# $STATE/fail-install-PACKAGE holds a number of failures still to come (-1: always).
APT_GET = r"""#!/bin/sh
echo "apt-get $*" >>"$STATE/calls.txt"
fails() {
    [ -f "$STATE/$1" ] || return 1
    left=$(cat "$STATE/$1")
    [ "$left" -ne 0 ] || return 1
    [ "$left" -lt 0 ] || echo $((left - 1)) >"$STATE/$1"
}
for argument; do
    case $argument in
        update) fails fail-update && { echo "$MIRROR_SYNC"; exit 100; }; exit 0 ;;
        -*|install) ;;
        *) fails "fail-install-$argument" && { echo "$HELD"; exit 100; } ;;
    esac
done
for argument; do
    case $argument in -*|install) ;; *) echo "$argument" >>"$STATE/installed" ;; esac
done
"""
DPKG_QUERY = r"""#!/bin/sh
for package; do :; done
grep -qx "$package" "$STATE/installed" && echo "install ok installed"
"""
DPKG = r"""#!/bin/sh
echo "dpkg $*" >>"$STATE/calls.txt"
"""
STAND_INS = {"apt-get": APT_GET, "dpkg-query": DPKG_QUERY, "dpkg": DPKG,
             "sudo": '#!/bin/sh\nexec "$@"\n', "probe-i386": "#!/bin/sh\nexit 0\n"}


def executable(path, text):
    path.write_text(text)
    path.chmod(0o755)


@pytest.fixture
def host(tmp_path):
    """A checkout holding dev/install-deps and kit/install-deps, with stand-ins for apt and the
    i386 probe."""
    for folder in ("kit", "dev"):
        (tmp_path / folder).mkdir()
        shutil.copy(REPOSITORY / folder / "install-deps", tmp_path / folder)
    shutil.copy(REPOSITORY / "dev" / "where-wine32", tmp_path / "dev")
    executable(tmp_path / "dev" / "probe-i386", STAND_INS["probe-i386"])
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    for name in ("apt-get", "dpkg-query", "dpkg", "sudo"):
        executable(bin_folder / name, STAND_INS[name])
    (tmp_path / "installed").write_text("")
    return tmp_path


def install_deps(host, installed=(), failures=None):
    """Runs dev/install-deps with `installed` in place and apt failing as `failures` says."""
    (host / "installed").write_text("".join(f"{package}\n" for package in installed))
    for name, count in (failures or {}).items():
        (host / name).write_text(str(count))
    environment = dict(os.environ, STATE=str(host), MIRROR_SYNC=MIRROR_SYNC, HELD=HELD,
                       PATH=f"{host / 'bin'}:{os.environ['PATH']}")
    return subprocess.run([str(host / "dev" / "install-deps")], env=environment,
                          capture_output=True, text=True, timeout=60)


def calls(host, *words):
    """The calls of apt-get or dpkg that held all of `words`."""
    path = host / "calls.txt"
    return [line for line in (path.read_text() if path.exists() else "").splitlines()
            if set(words) <= set(line.split())]


def installed(host):
    return set((host / "installed").read_text().split())


def kept_reason(host, part=WINE32):
    path = host / "build" / "not-installed" / part
    return path.read_text() if path.exists() else None


def test_installs_nothing_when_everything_is_there(host):
    result = install_deps(host, installed=(*REQUIRED, WINE32))
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert calls(host) == []


@pytest.mark.parametrize("failures, attempts", [
    pytest.param({}, 1, id="first-try"),
    pytest.param({"fail-install-cmake": 1}, 2, id="install-fails-once"),
    pytest.param({"fail-update": 1}, 1, id="update-fails-once"),
])
def test_installs_what_is_missing_trying_apt_once_more(host, failures, attempts):
    result = install_deps(host, installed=REQUIRED[1:], failures=failures)
    assert (result.returncode, result.stderr) == (0, ""), result.stdout
    assert {"cmake", WINE32} <= installed(host)
    assert len(calls(host, "install")) == attempts + 1  # and once for 32-bit Wine
    assert kept_reason(host) is None


def test_a_mirror_mid_sync_leaves_out_32_bit_wine_alone_and_brings_the_guest(host):
    result = install_deps(host, installed=REQUIRED[2:],
                          failures={"fail-update": -1, f"fail-install-{WINE32}": -1})
    assert (result.returncode, result.stderr) == (0, "")
    assert {"cmake", "ninja-build", *GUEST} <= installed(host) and WINE32 not in installed(host)
    line = f"apt-get could not install {WINE32}: {MIRROR_SYNC} {HELD}\n"
    assert line in result.stdout
    assert result.stdout.count(WINE32) == 2  # "Installing: wine32:i386" and the line above
    assert kept_reason(host) == line
    assert len(calls(host, "install", WINE32)) == 2
    assert kept_reason(host, GUEST[0]) is None


def test_when_neither_32_bit_wine_nor_the_guest_installs_both_reasons_are_kept(host):
    result = install_deps(host, installed=REQUIRED, failures={
        f"fail-install-{WINE32}": -1, f"fail-install-{GUEST[0]}": -1})
    assert (result.returncode, result.stderr) == (0, "")
    assert kept_reason(host) == f"apt-get could not install {WINE32}: {HELD}\n"
    assert kept_reason(host, GUEST[0]) == f"apt-get could not install {GUEST[0]}: {HELD}\n"


def test_a_required_package_that_cannot_be_installed_stops_with_one_line(host):
    result = install_deps(host, installed=REQUIRED[1:], failures={"fail-install-cmake": -1})
    assert result.returncode == 1
    assert result.stderr == f"install-deps: apt-get could not install cmake: {HELD}\n"
    assert len(calls(host, "install")) == 2
    assert "cmake" not in installed(host) and WINE32 not in installed(host)


def test_a_later_run_that_installs_32_bit_wine_forgets_the_reason(host):
    install_deps(host, installed=REQUIRED, failures={f"fail-install-{WINE32}": 2})
    assert kept_reason(host) is not None
    result = install_deps(host, installed=REQUIRED)
    assert result.returncode == 0
    assert WINE32 in installed(host) and kept_reason(host) is None


def test_the_i686_tests_are_skipped_with_what_apt_said_of_both(tmp_path):
    if os.access("/usr/lib/wine/wine", os.X_OK):
        pytest.skip("32-bit Wine is installed here, so dev/wine runs it")
    (tmp_path / "dev").mkdir()
    for script in ("wine", "where-wine32"):
        shutil.copy(REPOSITORY / "dev" / script, tmp_path / "dev")
    executable(tmp_path / "dev" / "probe-i386", STAND_INS["probe-i386"])
    reasons = {WINE32: f"apt-get could not install {WINE32}: {HELD}",
               GUEST[0]: f"apt-get could not install {GUEST[0]}: {HELD}"}
    (tmp_path / "build" / "not-installed").mkdir(parents=True)
    for part, reason in reasons.items():
        (tmp_path / "build" / "not-installed" / part).write_text(reason + "\n")

    result = subprocess.run([str(tmp_path / "dev" / "wine"), "win32", "--check"],
                            capture_output=True, text=True, timeout=60)

    assert (result.returncode, result.stdout) == (
        77, f"SKIPPED: this host cannot run i386 programs in win32: {reasons[WINE32].rstrip('.')};"
        f" nor can the emulated guest run them: {reasons[GUEST[0]]}\n")
