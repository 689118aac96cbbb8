"""The shipped image, read with a real PE parser, field by field."""
import struct

import pytest

import bad_files
from kestrovan_kit import image_checks
from kestrovan_kit.brand import default_brand


@pytest.mark.parametrize("check", [name for name, _, _ in image_checks.checks(default_brand())])
def test_built_image_passes(image, check):
    [finding] = [f for f in image_checks.inspect(image) if f.check == check]
    assert finding.ok, finding.detail


def icon_pixel(pe):
    """Where the 300th pixel of the 32x32 icon image is."""
    [icon] = [name for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries
              if kind.id == image_checks.RT_ICON
              for name in kind.directory.entries if name.id == 2]
    return pe.get_offset_from_rva(icon.directory.entries[0].data.struct.OffsetToData) + 40 + 4 * 300


FIXED_VERSION_START = struct.pack("<IIII", 0xFEEF04BD, 0x10000, 0, 0)
FLAGS_MASK = struct.pack("<IIIIIII", 0xFEEF04BD, 0x10000, 0, 0, 0, 0, 0x3F)

TAMPERINGS = [
    pytest.param(bad_files.patched(bad_files.MACHINE, 0x8664), "format", id="machine-x86_64"),
    pytest.param(bad_files.patched(bad_files.SUBSYSTEM, 3), "subsystem", id="console-subsystem"),
    pytest.param(bad_files.replaced("kestrovan.exe".encode("utf-16-le"),
                                    "kestrovan.com".encode("utf-16-le")),
                 "version string OriginalFilename", id="original-filename"),
    pytest.param(bad_files.replaced(struct.pack("<HH", 0x0409, 0x04B0),
                                    struct.pack("<HH", 0x0407, 0x04B0)),
                 "translation", id="translation-language"),
    pytest.param(bad_files.replaced(FIXED_VERSION_START,
                                    struct.pack("<IIII", 0xFEEF04BD, 0x10000, 0x10000, 0)),
                 "file version", id="file-version-1.0"),
    pytest.param(bad_files.replaced(FLAGS_MASK, FLAGS_MASK[:-4] + struct.pack("<I", 0x3E)),
                 "version fixed part", id="flags-mask"),
    pytest.param(bad_files.with_bytes_changed(icon_pixel), "icon image 2", id="icon-pixel"),
]


@pytest.mark.parametrize("make, failing_check", TAMPERINGS)
def test_a_changed_field_fails_its_check(image, tmp_path, make, failing_check):
    findings = {f.check: f for f in image_checks.inspect(make(tmp_path / "patched.exe", image))}
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
