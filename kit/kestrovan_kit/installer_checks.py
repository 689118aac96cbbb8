"""Checks of a vendor's installer before it is published: the launcher it installs passes the
image checks (the brand's, given a brand file) and is the one whose SHA-256 the release's
SHA256SUMS lists, so that the signed image is the one shipped; each Start-menu shortcut starts
that launcher and carries the brand's app_id as its AppUserModelID; each association's open
command names the launcher in the installation and hands on the document's path as one quoted
argument, and each of the brand's extensions names such an association.

An MSI is read with msitools (msiinfo, msiextract); an NSIS installer with 7z, which extracts
its files but not its compiled script, so its shortcuts and associations are not read here."""
import dataclasses
import hashlib
import pathlib
import re
import shutil
import subprocess
import tempfile

from . import checksums, image_checks
from .command_line import Unusable, one_line, read_file, regular_file
from .findings import Finding, finding
from .image_checks import expect
from .untrusted import Fault, parsing

MSI_SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")
NSIS_SIGNATURE = b"\xef\xbe\xad\xdeNullsoftInst"
# An installer holds a Java runtime and an application: some hundreds of MiB. Past this, the
# file is no installer the kit reads.
INSTALLER_LIMIT = 2 << 30
PACKAGES = {"msiinfo": "msitools", "msiextract": "msitools", "7z": "p7zip-full"}
TOOL_TIMEOUT_SECONDS = 600
APP_ID_KEY = "{9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}, 5"
# An open command's key, and the default value that names the ProgID of an extension.
COMMAND_KEY = re.compile(r"^(?:Software\\Classes\\)?(?P<class>[^\\]+)\\shell\\[^\\]+\\command$",
                         re.IGNORECASE)
# msitools' messages start with the program, its process and the time.
GLIB_PREFIX = re.compile(r"^\*\* \(\S+\): \w+ \*\*: [0-9:.]+: ")
QUOTED_PROGRAM = re.compile(r'^"(?P<program>[^"]+)"(?P<rest>.*)$')


def run_tool(name, *arguments):
    """`name`'s standard output; a Fault with the last line it wrote when it fails."""
    if shutil.which(name) is None:
        raise Unusable(f"{name} is missing: kit/install-deps {PACKAGES[name]}")
    try:
        result = subprocess.run([name, *map(str, arguments)], capture_output=True,
                                timeout=TOOL_TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        raise Fault(f"{name} did not end within {TOOL_TIMEOUT_SECONDS} s") from None
    if result.returncode != 0:
        said = result.stderr.decode(errors="replace").strip().splitlines() or ["nothing"]
        raise Fault(f"{name} cannot read it ({one_line(GLIB_PREFIX.sub('', said[-1]))})")
    return result.stdout.decode("utf-8", errors="replace")


@dataclasses.dataclass
class Contents:
    """What an installer installs, as far as its kind can be read here: the launcher's file,
    extracted; the shortcuts (name, target names the launcher, AppUserModelID); the open
    commands (class, command) and the extensions' ProgIDs; None where it cannot be read."""
    launcher: pathlib.Path
    shortcuts: list = None
    commands: list = None
    extensions: dict = None
    launcher_references: tuple = ()


def msi_table(installer, tables, name):
    """The rows of table `name` as dicts; none when the installer has no such table."""
    if name not in tables:
        return []
    lines = run_tool("msiinfo", "export", installer, name).split("\r\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def long_name(default_dir):
    """The target's long name in a DefaultDir or FileName column: 'short|long:source'."""
    return default_dir.split(":")[0].split("|")[-1]


def directory_path(directories, key):
    """The folders from the root to `key`, as msiextract lays them out."""
    parts = []
    while key:
        row = directories[key]
        name = long_name(row["DefaultDir"])
        if name not in (".", "SourceDir") and row["Directory_Parent"]:
            parts.append(name)
        key = row["Directory_Parent"] if row["Directory_Parent"] != key else ""
    return "/".join(reversed(parts))


def msi_contents(installer, file_name, scratch):
    tables = set(run_tool("msiinfo", "tables", installer).split())
    files = [row for row in msi_table(installer, tables, "File")
             if long_name(row["FileName"]).casefold() == file_name.casefold()]
    if len(files) != 1:
        raise Fault(f"it installs {len(files)} files named {file_name}, not one")
    components = {row["Component"]: row for row in msi_table(installer, tables, "Component")}
    directories = {row["Directory"]: row for row in msi_table(installer, tables, "Directory")}
    folder = components[files[0]["Component_"]]["Directory_"]
    relative = f"{directory_path(directories, folder)}/{long_name(files[0]['FileName'])}"
    extracted = run_tool("msiextract", "-C", scratch, installer).splitlines()
    if relative.lstrip("/") not in extracted:
        raise Fault(f"msiextract did not extract {relative}")
    app_ids = {row["Shortcut_"]: row["PropVariantValue"]
               for row in msi_table(installer, tables, "MsiShortcutProperty")
               if row["PropertyKey"].upper().replace(" ", "") == APP_ID_KEY.replace(" ", "")}
    references = (f"[{folder}]{file_name}".casefold(), f"[#{files[0]['File']}]".casefold())
    shortcuts = [(long_name(row["Name"]), row["Target"].casefold() in references,
                  app_ids.get(row["Shortcut"], ""))
                 for row in msi_table(installer, tables, "Shortcut")]
    registry = msi_table(installer, tables, "Registry")
    commands = [(match["class"], row["Value"]) for row in registry
                if not row["Name"] and (match := COMMAND_KEY.match(row["Key"]))]
    extensions = {row["Key"].rsplit("\\", 1)[-1].casefold(): row["Value"] for row in registry
                  if not row["Name"] and re.fullmatch(r"(?:Software\\Classes\\)?\.[^\\]+",
                                                      row["Key"], re.IGNORECASE)}
    return Contents(scratch / relative, shortcuts, commands, extensions, references)


def nsis_contents(installer, file_name, scratch):
    run_tool("7z", "x", "-y", f"-o{scratch}", installer, file_name)
    launcher = scratch / file_name
    if not launcher.is_file():
        raise Fault(f"it installs no {file_name} in its installation folder")
    return Contents(launcher)


def kind_of(installer):
    with open(installer, "rb") as file:
        head = file.read(1 << 20)
    if head.startswith(MSI_SIGNATURE):
        return "MSI", msi_contents
    # NSIS puts its header right after its stub of some 100 KiB.
    if head.startswith(b"MZ") and NSIS_SIGNATURE in head:
        return "NSIS", nsis_contents
    raise Fault("neither an MSI nor an NSIS installer")


def check_sums(launcher, name, sums_path):
    """Whether the release's checksum file lists the launcher's SHA-256 under its name."""
    digest = hashlib.sha256(read_file(launcher, "launcher", image_checks.IMAGE_LIMIT)).hexdigest()
    sums = read_file(sums_path, "checksum file", checksums.SUMS_LIMIT)
    listed = checksums.digests_of(sums, name)
    if digest not in listed:
        raise Fault(f"{sums_path} gives {listed[0] if listed else 'no SHA-256'} for {name}, but"
                    f" the installer's {name} is {digest}: it ships another image than the"
                    " release's (signed since? build the installer from the signed dist/)")
    return f"{sums_path} gives its SHA-256, {digest}"


def check_shortcut(points_at_launcher, app_id, wanted):
    expect(points_at_launcher, "its target is not the launcher in the installation")
    expect(app_id == wanted, f"AppUserModelID {app_id or 'none'}, the launcher hands the"
                             f" application {wanted or 'none'}: the taskbar would show two"
                             " buttons")
    return f"starts the launcher, AppUserModelID {app_id or 'none'}"


def check_command(command, references):
    match = QUOTED_PROGRAM.match(command)
    expect(match and match["program"].casefold() in references,
           f"{command!r} does not start with the launcher in the installation, quoted"
           f" ({references[0]})")
    rest = match["rest"].replace('"%1"', "")
    expect('"%1"' in match["rest"] and "%1" not in rest,
           f"{command!r} does not hand on %1 quoted: a path with a blank arrives in pieces")
    return command


def check_extension(prog_id, commands):
    expect(prog_id is not None, "not associated")
    expect(prog_id.casefold() in commands, f"names {prog_id}, which has no open command")
    return prog_id


def association_findings(contents, expected):
    if contents.shortcuts is None:
        return [Finding("shortcuts and associations", True, warning=True,
                        detail="not read: an NSIS installer keeps them in its compiled script,"
                               " which no tool Debian ships reads; install it under Wine and"
                               " look (docs/installers.md)")]
    wanted = expected.launch.app_id
    findings = [finding(f"shortcut {name}", check_shortcut, target, app_id, wanted)
                for name, target, app_id in contents.shortcuts]
    findings += [finding(f"association {name}", check_command, command,
                         contents.launcher_references)
                 for name, command in contents.commands]
    classes = {name.casefold() for name, _ in contents.commands}
    findings += [finding(f"extension {extension}", check_extension,
                         contents.extensions.get(extension.casefold()), classes)
                 for extension in expected.installer.extensions]
    return findings


def inspect(installer, expected, sums_path):
    """Every finding for `installer` against the `expected` image (a brand.Brand); a Fault when
    it is no installer that can be read."""
    regular_file(installer, "installer", INSTALLER_LIMIT)
    file_name = expected.file_name
    sums_path = sums_path or installer.with_name(checksums.SUMS)
    with tempfile.TemporaryDirectory(prefix="kestrovan-verify-") as scratch:
        with parsing("the installer"):
            kind, contents_of = kind_of(installer)
            contents = contents_of(installer, file_name, pathlib.Path(scratch))
        launcher = contents.launcher
        images = image_checks.inspect(launcher, expected)
        findings = [Finding("installer", True, f"{kind}, installs {file_name}")]
        findings += [dataclasses.replace(image, check=f"launcher {image.check}")
                     for image in images]
        findings.append(finding("launcher in SHA256SUMS", check_sums, launcher, file_name,
                                sums_path))
        return findings + association_findings(contents, expected)
