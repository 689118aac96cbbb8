"""Builds the vendor's installer from a brand file, the release in dist/ and the application
folder, with the recipes in kit/installers/: an MSI (wixl, then msibuild for the shortcut's
AppUserModelID) or an NSIS installer (makensis).

    installer msi|nsis --brand FILE --application DIR [--dist DIR] --out FILE

Both install for the current user alone (no elevation) into
%LOCALAPPDATA%\\Programs\\<ProductName>: the launcher (dist/<file_name>, and its console twin when
the brand asks for one), the application folder DIR as application\\, a Start-menu shortcut with
the brand's app_id as its AppUserModelID, the association of the brand's [installer] extensions
with the command "<install folder>\\<file_name>" "%1", and an uninstaller that removes all of it.

Exit status: 0 built; 1 a tool failed (one line with what it said); 2 an input is unusable.
"""
import os
import pathlib
import shutil
import string
import subprocess
import sys
import tempfile

from . import image_checks
from .brand import RESERVED_CHARACTERS, read_brand
from .command_line import ArgumentParser, Refusal, Unusable, one_line, run
from .untrusted import parsing

RECIPES = pathlib.Path(__file__).resolve().parent.parent / "installers"
WIX_SOURCE = RECIPES / "product.wxs"
SHORTCUT_PROPERTY = RECIPES / "MsiShortcutProperty.idt"
NSIS_SCRIPT = RECIPES / "product.nsi"
PACKAGES = {"wixl": "wixl", "wixl-heat": "wixl", "msibuild": "msitools", "makensis": "nsis"}
NSIS_TARGETS = {0x014C: "x86-unicode", 0x8664: "amd64-unicode"}
# An MSI's ProductVersion: major and minor at most 255, build at most 65535.
MSI_VERSION_LIMITS = (255, 255, 65535)
TOOL_TIMEOUT_SECONDS = 600


def tool(name, *arguments, cwd=None, stdin=None):
    """Runs `name`; its standard output, or a Refusal with the last line it wrote."""
    if shutil.which(name) is None:
        raise Unusable(f"{name} is missing: kit/install-deps {PACKAGES[name]}")
    try:
        result = subprocess.run([name, *map(str, arguments)], cwd=cwd, input=stdin,
                                capture_output=True, text=True, errors="replace",
                                timeout=TOOL_TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        raise Refusal(f"{name} did not end within {TOOL_TIMEOUT_SECONDS} s") from None
    if result.returncode != 0:
        said = (result.stderr.strip() or result.stdout.strip() or "nothing").splitlines()[-1]
        raise Refusal(f"{name} failed (status {result.returncode}): {one_line(said)}")
    return result.stdout


def console_file_name(brand):
    """The console twin's file name when the brand asks for one, else None."""
    return brand.console_file_name if brand.launch.console else None


def launchers(brand, dist):
    """The launcher files the installer carries, by name; each must be in `dist`."""
    names = [name for name in (brand.file_name, console_file_name(brand)) if name]
    for name in names:
        if not (dist / name).is_file():
            raise Unusable(f"{dist / name} is missing: build it with kit/release --brand"
                           f" {brand.path}")
    return names


def application_folder(folder):
    if not (folder / "bin" / "launcher.jar").is_file():
        raise Unusable(f"application folder {folder}: no bin/launcher.jar in it (give the"
                       " folder that holds bin/ and default-jre/)")
    return folder.resolve()


def company(brand):
    """The publisher: the CompanyName, or else the product's name."""
    return dict(brand.version_strings)["CompanyName"] or brand.display_name


def product_folder(brand):
    """The product's name, which names the installation folder and the shortcut."""
    name = brand.display_name
    reserved = next((c for c in name if c in RESERVED_CHARACTERS), None)
    if reserved or name.endswith((".", " ")):
        raise Unusable(f"{brand.path}: strings.ProductName: {name!r} names the installation"
                       " folder and the shortcut, so it must be a file name that Windows"
                       " keeps as it is")
    return name


def msi_version(brand):
    major, minor, build = brand.product_version[:3]
    if any(number > limit for number, limit in zip((major, minor, build), MSI_VERSION_LIMITS)):
        raise Unusable(f"{brand.path}: version.product: an MSI's version is at most"
                       f" 255.255.65535, not {major}.{minor}.{build}")
    return f"{major}.{minor}.{build}"


def wix_includes(defines, extensions, folder):
    """brand.wxi, which defines each of `defines`, and extensions.wxi, one registry row per
    extension. wixl takes a define's value as it is written, but reads no other text than ASCII
    on its command line."""
    (folder / "brand.wxi").write_text(
        '<?xml version="1.0" encoding="utf-8"?>\n<Include>\n' + "".join(
            f'  <?define {name} = "{value}" ?>\n' for name, value in defines.items())
        + "</Include>\n", encoding="utf-8")
    rows = "".join(f'  <RegistryValue Root="HKCU" Key="Software\\Classes\\{extension}"'
                   f' Type="string" Value="$(var.ProgId)"/>\n' for extension in extensions)
    (folder / "extensions.wxi").write_text(
        '<?xml version="1.0" encoding="utf-8"?>\n'
        f'<Include xmlns="http://schemas.microsoft.com/wix/2006/wi">\n{rows}</Include>\n',
        encoding="utf-8")


# A define's value ends at "?>"; Windows Installer reads "[" and "]" in a registry key, a value
# and a shortcut's target as the brackets of a property.
MSI_UNSAFE = ("?>", "[", "]")


def msi_text(brand, key, value):
    unsafe = next((text for text in MSI_UNSAFE if text in value), None)
    if unsafe:
        raise Unusable(f"{brand.path}: {key}: {value!r} holds {unsafe!r}, which an MSI would"
                       " read as a part of its own syntax")
    return value


def application_fragment(application, folder):
    """The application folder's files as components, listed by wixl-heat in a stable order."""
    files = sorted(path.relative_to(application).as_posix() for path in application.rglob("*")
                   if path.is_file())
    fragment = tool("wixl-heat", "-p", "./", "--component-group", "Application",
                    "--var", "var.Application", "--directory-ref", "APPLICATIONFOLDER",
                    stdin="".join(f"./{name}\n" for name in files))
    wix = '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">'
    with parsing("wixl-heat's fragment"):
        start = fragment.index(wix) + len(wix)
    # The fragment's sources are $(var.Application)/..., which brand.wxi defines.
    fragment = fragment[:start] + "\n  <?include brand.wxi?>" + fragment[start:]
    (folder / "application.wxs").write_text(fragment, encoding="utf-8")
    return folder / "application.wxs"


def build_msi(brand, dist, application, out, scratch):
    installer = brand.installer
    given = {"ProductName": ("strings.ProductName", product_folder(brand)),
             "Manufacturer": ("strings.CompanyName",
                              company(brand)),
             "FileName": ("file_name", brand.file_name),
             "Document": ("installer.document", installer.document)}
    defines = {name: msi_text(brand, key, value) for name, (key, value) in given.items()}
    # wixl finds a file by its path relative to the source that names it, so the sources and
    # links to the two folders are side by side.
    (scratch / "dist").symlink_to(dist)
    (scratch / "application").symlink_to(application)
    shutil.copyfile(WIX_SOURCE, scratch / WIX_SOURCE.name)
    defines.update(Version=msi_version(brand), UpgradeCode=installer.upgrade_code,
                   Dist="dist", Application="application")
    if console_file_name(brand):
        defines["ConsoleFileName"] = console_file_name(brand)
    if installer.extensions:
        defines.update(Extensions="extensions.wxi", ProgId=installer.prog_id)
    wix_includes(defines, installer.extensions, scratch)
    built = scratch / "product.msi"
    tool("wixl", "-o", built, WIX_SOURCE.name, application_fragment(application, scratch).name,
         cwd=scratch)
    if brand.launch.app_id:
        idt = string.Template(SHORTCUT_PROPERTY.read_text(encoding="utf-8"))
        (scratch / SHORTCUT_PROPERTY.name).write_text(idt.substitute(app_id=brand.launch.app_id),
                                                      encoding="utf-8")
        tool("msibuild", built, "-i", SHORTCUT_PROPERTY.name, cwd=scratch)
    shutil.move(built, out)


def nsis_target(launcher):
    with parsing(f"launcher {launcher}"), image_checks.open_image(launcher) as pe:
        machine = pe.FILE_HEADER.Machine
    if machine not in NSIS_TARGETS:
        raise Unusable(f"launcher {launcher}: machine {machine:#06x} is neither i386 nor x86_64")
    return NSIS_TARGETS[machine]


def nsis_text(value):
    """`value` for a define of makensis: '$' would start a variable, '"' end the string."""
    return value.replace("$", "$$").replace('"', '$\\"')


def build_nsis(brand, dist, application, out, scratch):
    defines = {"PRODUCT_NAME": product_folder(brand),
               "PUBLISHER": company(brand),
               "VERSION": ".".join(map(str, brand.product_version)),
               "FILE_NAME": brand.file_name, "DIST": str(dist), "APPLICATION": str(application),
               "OUT_FILE": str(scratch / "setup.exe"),
               "TARGET": nsis_target(dist / brand.file_name)}
    if brand.launch.app_id:
        defines["APP_ID"] = brand.launch.app_id
    if console_file_name(brand):
        defines["CONSOLE_FILE_NAME"] = console_file_name(brand)
    if brand.installer.extensions:
        include = scratch / "extensions.nsh"
        include.write_text("!macro EachExtension MACRO\n" + "".join(
            f'  !insertmacro ${{MACRO}} "{extension}"\n'
            for extension in brand.installer.extensions) + "!macroend\n", encoding="utf-8")
        defines.update(EXTENSIONS=str(include), PROG_ID=brand.installer.prog_id,
                       DOCUMENT=brand.installer.document)
    tool("makensis", "-V2", "-INPUTCHARSET", "UTF8",
         *(f"-D{name}={nsis_text(value)}" for name, value in defines.items()), NSIS_SCRIPT)
    shutil.move(scratch / "setup.exe", out)


BUILDERS = {"msi": build_msi, "nsis": build_nsis}


def main():
    parser = ArgumentParser(prog="installer", description=__doc__.split("\n\n")[0])
    parser.add_argument("kind", choices=sorted(BUILDERS))
    parser.add_argument("--brand", metavar="FILE", type=pathlib.Path, required=True)
    parser.add_argument("--application", metavar="DIR", type=pathlib.Path, required=True,
                        help="the application folder: bin/launcher.jar and default-jre/")
    parser.add_argument("--dist", metavar="DIR", type=pathlib.Path, default=pathlib.Path("dist"),
                        help="where kit/release wrote the launcher (default: dist)")
    parser.add_argument("--out", metavar="FILE", type=pathlib.Path, required=True)
    arguments = parser.parse_args()

    def built():
        brand = read_brand(arguments.brand)
        dist = arguments.dist.resolve()
        launchers(brand, dist)
        application = application_folder(arguments.application)
        out = arguments.out.resolve()
        with tempfile.TemporaryDirectory(prefix="kestrovan-installer-") as scratch:
            BUILDERS[arguments.kind](brand, dist, application, out, pathlib.Path(scratch))
        print(f"{arguments.kind} installer: {out} ({os.stat(out).st_size:,} bytes)")
        return 0
    return run("installer", built)


if __name__ == "__main__":
    sys.exit(main())
