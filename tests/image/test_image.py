"""The shipped image, read with a real PE parser, field by field."""
import struct

import pefile
import pytest

import image_checks


@pytest.mark.parametrize("check", image_checks.CHECKS)
def test_built_image_passes(image, check):
    [finding] = [f for f in image_checks.inspect(image) if f.check == check]
    assert finding.ok, finding.detail


def patched(image, tmp_path, patch):
    data = bytearray(image.read_bytes())
    patch(data)
    target = tmp_path / "patched.exe"
    target.write_bytes(data)
    return target


def header_field(offset, fmt, value):
    """A patch of the field at `offset` from the PE signature."""
    def patch(data):
        struct.pack_into(fmt, data, struct.unpack_from("<I", data, 0x3C)[0] + offset, value)
    return patch


def replacing(old, new):
    def patch(data):
        assert data.count(old) == 1
        start = data.index(old)
        data[start:start + len(old)] = new
    return patch


def flip_icon_pixel(data):
    pe = pefile.PE(data=bytes(data))
    [icon] = [name for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == image_checks.RT_ICON
              for name in kind.directory.entries if name.id == 2]
    offset = pe.get_offset_from_rva(icon.directory.entries[0].data.struct.OffsetToData)
    data[offset + 40 + 4 * 300] ^= 0xFF


MACHINE = 4
SUBSYSTEM = 24 + 68
FIXED_VERSION_START = struct.pack("<IIII", 0xFEEF04BD, 0x10000, 0, 0)

TAMPERINGS = [
    pytest.param(header_field(MACHINE, "<H", 0x8664), "format", id="machine-x86_64"),
    pytest.param(header_field(SUBSYSTEM, "<H", 3), "subsystem", id="console-subsystem"),
    pytest.param(replacing("kestrovan.exe".encode("utf-16-le"), "kestrovan.com".encode("utf-16-le")),
                 "version strings", id="original-filename"),
    pytest.param(replacing(struct.pack("<HH", 0x0409, 0x04B0), struct.pack("<HH", 0x0407, 0x04B0)),
                 "translation", id="translation-language"),
    pytest.param(replacing(FIXED_VERSION_START, struct.pack("<IIII", 0xFEEF04BD, 0x10000, 0x10000, 0)),
                 "version fixed part", id="file-version-1.0"),
    pytest.param(flip_icon_pixel, "icon images", id="icon-pixel"),
]


@pytest.mark.parametrize("patch, failing_check", TAMPERINGS)
def test_a_changed_field_fails_its_check(image, tmp_path, patch, failing_check):
    findings = {f.check: f for f in image_checks.inspect(patched(image, tmp_path, patch))}
    assert not findings[failing_check].ok
    assert [name for name, f in findings.items() if not f.ok] == [failing_check]


@pytest.mark.parametrize("variant, failing_check, named", [
    ("extra resource", "resources", "RT_MANIFEST"),
    ("extra import", "imports", "USER32.dll"),
])
def test_an_added_resource_or_import_fails_its_check(tampered_images, variant, failing_check, named):
    findings = {f.check: f for f in image_checks.inspect(tampered_images[variant])}
    assert not findings[failing_check].ok
    assert named in findings[failing_check].detail


# Text that the C++ exception runtime brings along and nothing else in the image holds: the default
# terminate handler's message, the type name of std::exception, and the demangler that the
# handler uses to name the exception's type.
EXCEPTION_RUNTIME_MARKERS = [
    pytest.param(b"terminate called", id="terminate-handler"),
    pytest.param(b"St9exception", id="exception-type-info"),
    pytest.param(b"{default arg#", id="demangler"),
]


@pytest.mark.parametrize("marker", EXCEPTION_RUNTIME_MARKERS)
def test_the_image_carries_no_exception_runtime(image, marker):
    assert marker not in image.read_bytes()


def test_a_file_that_is_not_an_image_fails_as_a_whole(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("not an image")
    [finding] = image_checks.inspect(text)
    assert (finding.check, finding.ok) == ("PE image", False)


@pytest.mark.parametrize("count, listed", [
    (1, "RT_ICON 1 (0409)"),
    (6, ", ".join(f"RT_ICON {n} (0409)" for n in range(1, 7))),
    (350, ", ".join(f"RT_ICON {n} (0409)" for n in range(1, 7)) + " and 344 more"),
])
def test_a_long_list_of_faults_names_the_first_few_and_counts_the_rest(count, listed):
    assert image_checks.listing([f"RT_ICON {n} (0409)" for n in range(1, count + 1)]) == listed
