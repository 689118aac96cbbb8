"""kit/size-report: the image's size against its budget, and where the bytes go."""
import re
import subprocess

import pefile
import pytest

import bad_files
from checkout import REPOSITORY
from kestrovan_kit.size_report import BUDGET
from kit_commands import SIZE_REPORT

ROW = re.compile(r"  (\S.*?)\s+([\d,]+)\s+[\d.]+%")


def size_report(*arguments):
    return subprocess.run([SIZE_REPORT, *arguments], capture_output=True, text=True, timeout=60)


def cut_inside_the_headers(path, image):
    path.write_bytes(image.read_bytes()[:700])
    return path


def rows(report):
    return {match[1]: int(match[2].replace(",", ""))
            for match in map(ROW.match, report.splitlines()[2:]) if match}


def test_the_parts_add_up_to_the_file_and_name_every_section(image):
    report = size_report(image)
    assert report.returncode == 0, report.stderr
    parts = rows(report.stdout)
    assert sum(parts.values()) == image.stat().st_size
    with pefile.PE(str(image), fast_load=True) as pe:
        sections = {section.Name.rstrip(b"\0").decode() for section in pe.sections}
    assert set(parts) == sections | {"headers"}


@pytest.mark.parametrize("built, brand", [
    pytest.param("image", [], id="default"),
    pytest.param("branded_image", ["--brand", REPOSITORY / "tests/support/brands/acme.toml"],
                 id="branded"),
])
def test_states_the_budget_and_that_the_built_image_keeps_to_it_and_passes(request, built, brand):
    image = request.getfixturevalue(built)
    size = image.stat().st_size
    report = size_report(*brand, image)
    assert report.returncode == 0, report.stdout
    first_line, *_, last_line = report.stdout.splitlines()
    assert f"{size:,} bytes" in first_line
    assert f"budget {BUDGET:,} bytes: met, {BUDGET - size:,} bytes to spare" in first_line
    against = f" against {brand[1]}" if brand else ""
    assert last_line == f"image checks{against}: all hold"


def test_shows_an_image_that_outgrew_the_budget(image, tmp_path):
    grown = tmp_path / "grown.exe"
    grown.write_bytes(image.read_bytes() + bytes(BUDGET))
    report = size_report(grown)
    assert report.returncode == 1, report.stderr
    excess = grown.stat().st_size - BUDGET
    first_line, *_, last_line = report.stdout.splitlines()
    assert f"budget {BUDGET:,} bytes: EXCEEDED by {excess:,} bytes" in first_line
    assert rows(report.stdout)["(after the sections)"] == BUDGET
    assert last_line == \
        f"image checks: FAILED: file end: {BUDGET:,} bytes appended after its last section"


@pytest.mark.parametrize("make, status, fault", [
    pytest.param(bad_files.missing, 2, "cannot read image {path}: No such file or directory",
                 id="missing"),
    pytest.param(bad_files.directory, 2, "cannot read image {path}: Is a directory",
                 id="directory"),
    pytest.param(bad_files.fifo, 2, "cannot read image {path}: not a regular file", id="fifo"),
    pytest.param(bad_files.empty, 1, "{path}: not a PE image", id="empty"),
    pytest.param(bad_files.text, 1, "{path}: not a PE image", id="text"),
    pytest.param(cut_inside_the_headers, 1, "{path}: not a PE image", id="cut-inside-the-headers"),
    pytest.param(bad_files.truncated, 1, "{path}: truncated: ", id="cut-inside-a-section"),
])
def test_a_bad_input_gets_one_line_naming_it_and_the_fault(image, tmp_path, make, status, fault):
    path = make(tmp_path / "input.exe", image)
    report = size_report(path)
    assert (report.returncode, report.stdout) == (status, "")
    [line] = report.stderr.splitlines()
    assert line.startswith("size-report: " + fault.format(path=path)), line


def test_a_bad_option_gets_one_line(image):
    report = size_report("--bogus", image)
    assert (report.returncode, report.stdout) == (2, "")
    assert report.stderr == "size-report: unrecognized arguments: --bogus\n"
