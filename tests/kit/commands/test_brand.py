"""A branded image: what two independent readers find in it is the brand file's, the rest is the
default image's, and kit/sign signs it as the brand's; a bad brand file is one line."""
import shutil
import struct
import subprocess
import sys

import pefile
import pytest

import sample_installation
from checkout import KIT, REPOSITORY
from kit_commands import verify
from kestrovan_kit import icon_format, osslsigncode
from kestrovan_kit.brand import ICON_LIMIT, Launch, launch_options_header, quoted_argument

BRANDS = REPOSITORY / "tests" / "support" / "brands"
ACME = BRANDS / "acme.toml"
ACME_STRINGS = {
    "CompanyName": "Acme Corp.",
    "FileDescription": "Acme Viewer",
    "FileVersion": "3.1.4.1592",
    "LegalCopyright": "© 2026 Acme Corp.",
    "OriginalFilename": "Acme Viewer.exe",
    "ProductName": "Acme Viewer",
    "ProductVersion": "3.1.0.0",
}
ACME_FIXED_VERSIONS = ((3, 1, 4, 1592), (3, 1, 0, 0))
AS_INVOKER = b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
FIXED_INFO = struct.Struct("<IIIIII")  # signature, structure version, file and product versions


def split_version(high, low):
    return high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF


def icon_images(icon):
    """An icon file's images, each as its directory entry but the offset, and its bytes."""
    return [(image.entry[:7], image.data) for image in icon_format.icon_file_images(icon)]


def read_with_pefile(image):
    with pefile.PE(str(image)) as pe:
        [table] = pe.FileInfo[0][0].StringTable
        fixed = pe.VS_FIXEDFILEINFO[0]
        resources = {(kind.id, str(name.name) if name.name else name.id):
                     pe.get_data(name.directory.entries[0].data.struct.OffsetToData,
                                 name.directory.entries[0].data.struct.Size)
                     for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries
                     for name in kind.directory.entries}
    group = icon_format.group_entries(resources[14, "IDI_ICON1"])
    return {
        "strings": {key.decode(): value.decode() for key, value in table.entries.items()},
        "versions": (split_version(fixed.FileVersionMS, fixed.FileVersionLS),
                     split_version(fixed.ProductVersionMS, fixed.ProductVersionLS)),
        "icon": [(entry[:7], resources[3, entry[7]]) for entry in group],
        "manifest": resources[24, 1],
    }


def wrestool(image, *arguments):
    return subprocess.run(["wrestool", "-x", *arguments, str(image)], capture_output=True,
                          check=True).stdout


def version_string(block, key):
    """The value of `key` in a raw version block: after the key, aligned to 32 bits, up to a
    null character."""
    start = block.index(f"{key}\0".encode("utf-16-le")) + 2 * len(key) + 2
    start = end = start + -start % 4
    while block[end:end + 2] != b"\0\0":
        end += 2
    return block[start:end].decode("utf-16-le")


def read_with_wrestool(image):
    block = wrestool(image, "--raw", "--type=16")
    fixed = FIXED_INFO.unpack_from(block, block.index(struct.pack("<I", 0xFEEF04BD)))
    return {
        "strings": {key: version_string(block, key) for key in ACME_STRINGS},
        "versions": (split_version(*fixed[2:4]), split_version(*fixed[4:6])),
        # wrestool rebuilds an icon file from the group and its images.
        "icon": icon_images(wrestool(image, "--type=14", "--name=IDI_ICON1")),
        "manifest": wrestool(image, "--raw", "--type=24"),
    }


@pytest.mark.parametrize("read", [read_with_pefile, read_with_wrestool])
def test_two_readers_find_the_brand_in_the_branded_image(branded_image, read):
    if read is read_with_wrestool and not shutil.which("wrestool"):
        pytest.skip("wrestool is missing: dev/install-deps installs icoutils")
    found = read(branded_image)
    assert found["strings"] == ACME_STRINGS
    assert found["versions"] == ACME_FIXED_VERSIONS
    assert found["icon"] == icon_images((BRANDS / "acme.ico").read_bytes())
    assert [entry[:2] for entry, _ in found["icon"]] == [(16, 16), (32, 32), (48, 48), (0, 0)]
    assert found["icon"][-1][1].startswith(b"\x89PNG")
    assert AS_INVOKER in found["manifest"]


def test_every_section_but_the_resources_is_the_default_images(image, branded_image):
    with pefile.PE(str(image)) as default, pefile.PE(str(branded_image)) as branded:
        sections = [(section.Name.rstrip(b"\0").decode(), section.get_data())
                    for pe in (default, branded) for section in pe.sections]
    half = len(sections) // 2
    assert [name for name, _ in sections[:half]] == [name for name, _ in sections[half:]]
    differing = [name for (name, ours), (_, theirs) in zip(sections[:half], sections[half:])
                 if ours != theirs]
    assert differing == [".rsrc"]


# test_sign and test_verify sign and pass the default image.
def test_signs_the_image_as_its_product_and_verify_passes_it(branded_image, release, keys, sign):
    shutil.copyfile(branded_image, release)
    result = sign("--brand", ACME, "--pkcs12", keys.signer.pkcs12, "--password-file",
                  keys.password_file, release)
    assert result.returncode == 0, result.stderr
    _, signed = osslsigncode.run("verify", "-in", str(release),
                                 "-CAfile", str(keys.signer.certificate))
    assert "Text description: Acme Viewer\n" in signed
    status, report, _ = verify("--brand", ACME, release)
    assert status == 0, report


def test_the_installation_check_takes_the_brand(tmp_path, branded_image):
    root = sample_installation.lay_out(tmp_path / "acme", branded_image)
    status, report, _ = verify("--installation", root, "--brand", ACME)
    assert f"ok    launcher: {root / 'kestrovan.exe'} passes the image checks against {ACME}" \
        in report
    status, report, _ = verify("--installation", root)
    assert "FAIL  launcher:" in report


@pytest.mark.parametrize("name, passes", [("Acme Viewer-console.exe", True),
                                           ("ACME VIEWER-CONSOLE.EXE", True),
                                           ("Acme Viewer.exe", False)])
def test_the_console_twin_is_checked_as_one_by_its_name(tmp_path, console_twin_image, name,
                                                        passes):
    twin = tmp_path / name
    shutil.copyfile(console_twin_image, twin)
    status, report, _ = verify("--brand", BRANDS / "launch-console.toml", twin)
    assert (status, "FAIL  subsystem:" in report) == ((0, False) if passes else (1, True))


def test_without_launch_options_the_variant_header_is_the_committed_default(tmp_path):
    subprocess.run([sys.executable, "-m", "kestrovan_kit.brand", "variant", ACME, tmp_path],
                   check=True)
    assert (tmp_path / "launch_options.h").read_bytes() == \
        (REPOSITORY / "resources" / "launch_options.h").read_bytes()


def utf16_units(text):
    data = text.encode("utf-16-le")
    return struct.unpack(f"<{len(data) // 2}H", data)


def test_the_launch_options_header_holds_the_texts_unit_for_unit(tmp_path):
    """Compiled as the launcher's code is, with its warnings as errors: quotes, backslashes,
    trigraphs, non-ASCII and astral characters come out as the UTF-16 units of the text."""
    texts = {"app_id": "Acme.Viewer??=", "failure_message": 'Acme "Viewer" \\ ??/ © 日本 😀',
             "failure_caption": "Ünïcødé"}
    launch = Launch(forward_startup=True, app_id=texts["app_id"],
                          failure_message=texts["failure_message"], exit_with_child_code=True)
    (tmp_path / "launch_options.h").write_text(
        launch_options_header(launch, texts["failure_caption"]), encoding="ascii")
    asserts = [f"static_assert(options::{name}.size() == {len(utf16_units(text))});\n"
               + "".join(f"static_assert(options::{name}[{index}] == {unit});\n"
                         for index, unit in enumerate(utf16_units(text)))
               for name, text in texts.items()]
    (tmp_path / "check.cpp").write_text(
        '#include "launch_options.h"\nnamespace options = kestrovan::launch_options;\n'
        "static_assert(options::forward_startup && options::exit_with_child_code);\n"
        + "".join(asserts))
    compiled = subprocess.run(
        ["i686-w64-mingw32-g++-win32", "-std=c++17", "-fsyntax-only", "-Wall", "-Wextra",
         "-Wpedantic", "-Wconversion", "-Wshadow", "-Werror", "check.cpp"],
        cwd=tmp_path, capture_output=True, text=True)
    assert compiled.returncode == 0, compiled.stderr


# As the C runtime and CommandLineToArgvW read an argument back: blanks, tabs and quotes need
# quotes around it, a backslash is itself except before a quote, which it escapes.
@pytest.mark.parametrize("option, quoted", [
    ("-Xmx2g", "-Xmx2g"),
    ("-Dp=C:\\dir\\", "-Dp=C:\\dir\\"),
    ("-Dp=a b", '"-Dp=a b"'),
    ("-Dp=a\tb", '"-Dp=a\tb"'),
    ("-Dp=C:\\a b\\", '"-Dp=C:\\a b\\\\"'),
    ('-Dq="x"', '"-Dq=\\"x\\""'),
    ('-Dq=\\"x', '"-Dq=\\\\\\"x"'),
    ("-Dq=\\\\a b", '"-Dq=\\\\a b"'),
    ("-Dn=Ünïcødé 日本", '"-Dn=Ünïcødé 日本"'),
])
def test_a_java_option_is_quoted_as_the_runtime_reads_it_back(option, quoted):
    assert quoted_argument(option) == quoted


ACME_TEXT = ACME.read_text(encoding="utf-8")


def edited(old, new):
    return ACME_TEXT.replace(old, new, 1)


def named(name):
    return edited('file_name = "Acme Viewer.exe"', f'file_name = "{name}"')


def icon_saying_48_pixels_over_its_16_pixel_bitmap(icon):
    return icon[:6] + bytes([48, 48]) + icon[8:]


BAD_BRANDS = [
    pytest.param(edited('file_name = "Acme Viewer.exe"', ""), "file_name", id="missing-key"),
    pytest.param(edited("[version]", 'colour = "red"\n[version]'), "colour", id="unknown-key"),
    pytest.param(edited("[strings]", '[strings]\nComments = "x"'), "strings.Comments",
                 id="unknown-string"),
    pytest.param(ACME_TEXT + '[launch]\nicon = "x"\n', "launch.icon", id="unknown-launch-key"),
    pytest.param(edited('"acme.ico"', '"none.ico"'), "icon", id="icon-missing"),
    pytest.param(edited('"acme.ico"', '"acme.toml"'), "icon", id="icon-not-an-icon"),
    pytest.param(edited('"acme.ico"', '"cut.ico"'), "icon", id="icon-cut-short"),
    pytest.param(edited('"acme.ico"', '"lying.ico"'), "icon", id="icon-entry-not-its-bitmap"),
    pytest.param(edited('"acme.ico"', '"large.ico"'), "icon", id="icon-too-large"),
    pytest.param(ACME_TEXT + "#" * (256 << 10), "(file)", id="brand-file-too-large"),
    pytest.param(edited('"3.1"', f'"3.{"1" * 5000}"'), "version.product", id="5000-digits"),
    pytest.param(ACME_TEXT + f"[launch]\nforward_startup = {'1' * 5000}\n", "(file)",
                 id="toml-integer-of-5000-digits"),
    pytest.param(edited('"3.1.4.1592"', '"3.1.4.65536"'), "version.file", id="number-too-big"),
    pytest.param(edited('"3.1"', '"3.1.-1"'), "version.product", id="not-a-number"),
    pytest.param(edited('"3.1"', '"1.2.3.4.5"'), "version.product", id="five-numbers"),
    pytest.param(edited('"3.1"', "3"), "version.product", id="version-not-a-string"),
    pytest.param(edited('"Acme Corp."', r'"Acme\tCorp."'), "strings.CompanyName",
                 id="control-character"),
    pytest.param(edited('"Acme Viewer"', f'"{"x" * 8001}"'), "strings.FileDescription",
                 id="string-too-long"),
    *(pytest.param(named(name), "file_name", id=f"file-name-{name}") for name in (
        "Acme:Viewer.exe", "Acme?.exe", "CON.exe", "nul.txt.exe", "COM1.exe", "lpt1 .exe",
        "Acme.exe.", "Acme.exe ", "Acme Viewer.com", "x" * 244 + ".exe", "\u6771" * 90 + ".exe",
        "-x.exe", "Acme\u202egnp.exe", "Acme\u2066.exe", "Acme\u200b.exe")),
    pytest.param(ACME_TEXT + '[launch]\napp_id = "Acme Viewer"\n', "launch.app_id",
                 id="app-id-with-space"),
    pytest.param(ACME_TEXT + f'[launch]\napp_id = "{"a" * 129}"\n', "launch.app_id",
                 id="app-id-too-long"),
    pytest.param(ACME_TEXT + '[launch]\napp_id = "' + "\U0001F600" * 65 + '"\n', "launch.app_id",
                 id="app-id-of-130-utf-16-units"),
    pytest.param(ACME_TEXT + '[launch]\nexit_code = "zero"\n', "launch.exit_code",
                 id="exit-code"),
    pytest.param(ACME_TEXT + '[launch]\nforward_startup = "yes"\n', "launch.forward_startup",
                 id="flag-not-a-boolean"),
    pytest.param(ACME_TEXT + '[launch]\nfailure_message = ""\n', "launch.failure_message",
                 id="empty-failure-message"),
    pytest.param(ACME_TEXT + '[launch]\njava_options = "-Xmx1g"\n', "launch.java_options",
                 id="java-options-not-a-list"),
    *(pytest.param(ACME_TEXT + f'[launch]\njava_options = ["-Xmx1g", {option}]\n',
                   "launch.java_options[1]", id=f"java-option-{name}")
      for name, option in (("empty", '""'), ("main-class", '"com.acme.Main"'),
                           ("control-character", r'"-Da=\n"'), ("number", "1"))),
    pytest.param(ACME_TEXT + f'[launch]\njava_options = ["-D{"x" * 32709}"]\n',
                 "launch.java_options", id="java-options-too-long"),
    *(pytest.param(ACME_TEXT + f"[launch]\nforward_arguments = true\n[installer]\n{line}\n",
                   f"installer.{line.split()[0]}",
                   id=f"installer-{line.split()[0]}")
      for line in ('extensions = ["acme"]', 'prog_id = "1.Document"', 'upgrade_code = "x"')),
    pytest.param(ACME_TEXT + '[installer]\nextensions = [".acme"]\n', "installer.extensions",
                 id="association-without-forward-arguments"),
    pytest.param("file_name = \n", "(file)", id="not-toml"),
]


@pytest.mark.parametrize("text, key", BAD_BRANDS)
def test_a_bad_brand_file_is_one_line_naming_the_file_and_the_key(tmp_path, text, key):
    icon = (BRANDS / "acme.ico").read_bytes()
    shutil.copy(BRANDS / "acme.ico", tmp_path)
    (tmp_path / "cut.ico").write_bytes(icon[:1000])
    (tmp_path / "lying.ico").write_bytes(icon_saying_48_pixels_over_its_16_pixel_bitmap(icon))
    (tmp_path / "large.ico").write_bytes(icon + bytes(ICON_LIMIT))
    brand = tmp_path / "brand.toml"
    brand.write_text(text, encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "kestrovan_kit.brand", "variant", brand,
                             tmp_path / "variant"], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"brand: {brand}: {key}: ")
    assert result.stderr.count("\n") == 1, result.stderr
    assert not (tmp_path / "variant").exists()


@pytest.mark.parametrize("text, name", [
    *((named(name), name) for name in ["CONSOLE.exe", "COM10.exe", "Ünïcødé 日本.exe", "a.b.EXE",
                                       "x" * 243 + ".exe"]),
    pytest.param("\ufeff" + ACME_TEXT, "Acme Viewer.exe", id="byte-order-mark")])
def test_names_that_merely_look_like_devices_and_a_byte_order_mark_are_taken(tmp_path, text,
                                                                            name):
    shutil.copy(BRANDS / "acme.ico", tmp_path)
    brand = tmp_path / "brand.toml"
    brand.write_text(text, encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "kestrovan_kit.brand", "file-name", brand],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout, result.stderr) == (0, f"{name}\n", "")


@pytest.mark.parametrize("command", [["verify", "IMAGE"], ["size-report", "IMAGE"],
                                     ["sign", "--pkcs12", "IMAGE", "IMAGE"]])
def test_an_empty_brand_path_is_one_line(image, command):
    result = subprocess.run([KIT / command[0], "--brand", "", *(
        str(image) if word == "IMAGE" else word for word in command[1:])],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"{command[0]}: argument --brand: an empty path names no file\n"
