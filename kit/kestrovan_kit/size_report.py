"""Report a launcher image's size and where its bytes go.

Prints the file's size against the launcher's size budget, then one row per part of the file in
file order: the headers, each section as stored in the file, and anything after the last section
(such as a signature). The rows add up to the file's size. A last line says whether the image
passes the launcher's image checks (those of kit/verify; with --brand FILE, those against the
brand file).

Exit status: 0 reported, and the image passes the image checks; 1 reported, but the image fails
them, or the file is no whole PE image, or larger than the 16 MiB the kit reads of an image; 2 the
input or an option is unusable (missing, a directory, unreadable, a bad brand file); 3 the report
could not be written to standard output. Each fault is one line on stderr naming the path.
"""
from kestrovan_kit import brand
from kestrovan_kit import image_checks
from kestrovan_kit.command_line import (ArgumentParser, Refusal, file_argument, read_file, run,
                                       write_out)
from kestrovan_kit.untrusted import parsing

BUDGET = 40_960  # 40 KiB

WHAT_SECTIONS_HOLD = {
    ".text": "code",
    ".data": "initialised data",
    ".rdata": "read-only data",
    ".eh_fram": "call-frame (unwind) tables of the code",
    ".bss": "zero-initialised data, not stored in the file",
    ".idata": "import tables",
    ".CRT": "runtime start-up tables",
    ".tls": "thread-local storage template",
    ".rsrc": "resources: icons and version block",
    ".reloc": "base relocations, for address space layout randomisation",
}


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def section_row(section, offset, size):
    name = section_name(section)
    return (name, offset, size, WHAT_SECTIONS_HOLD.get(name, ""))


def parts(pe, file_size):
    """(name, offset, size, what it holds) for every part of the file, in file order; sections
    that the file does not store come last, with no bytes."""
    stored = sorted((s for s in pe.sections if s.SizeOfRawData), key=lambda s: s.PointerToRawData)
    headers_end = stored[0].PointerToRawData if stored else file_size
    rows = [("headers", 0, headers_end, "PE headers and section table")]
    end = headers_end
    for section in stored:
        offset, size = section.PointerToRawData, section.SizeOfRawData
        if offset < end:
            raise Refusal(f"section {section_name(section)} at {offset:#x} overlaps the part before it")
        if offset > end:
            rows.append(("(gap)", end, offset - end, "unused file alignment"))
        rows.append(section_row(section, offset, size))
        end = offset + size
    rows += [section_row(s, end, 0) for s in pe.sections if not s.SizeOfRawData]
    if end < file_size:
        rows.append(("(after the sections)", end, file_size - end, "appended data, such as a signature"))
    return rows


def budget_line(size):
    if size <= BUDGET:
        return f"budget {BUDGET:,} bytes: met, {BUDGET - size:,} bytes to spare"
    return f"budget {BUDGET:,} bytes: EXCEEDED by {size - BUDGET:,} bytes"


def report(path):
    """The report's lines for the image at `path`; a Refusal naming it for an unusable input."""
    file_size = len(read_file(path, "image", image_checks.IMAGE_LIMIT))
    try:
        with image_checks.open_image(path) as pe, parsing("its section table"):
            rows = parts(pe, file_size)
    except Refusal as fault:
        raise Refusal(f"{path}: {fault}") from None
    lines = [f"{path}: {file_size:,} bytes; {budget_line(file_size)}",
             f"  {'part':<22}{'bytes':>9}{'share':>8}  holds"]
    lines += [f"  {name:<22}{size:>9,}{size / file_size:>8.1%}  {holds}".rstrip()
              for name, _, size, holds in rows]
    return lines


def checks_line(faults, expected):
    verdict = f"FAILED: {faults}" if faults else "all hold"
    return f"image checks{image_checks.against(expected)}: {verdict}"


def main():
    parser = ArgumentParser(prog="size-report", description=__doc__.splitlines()[0])
    parser.add_argument("image", metavar="IMAGE", type=file_argument)
    parser.add_argument("--brand", metavar="FILE", type=file_argument,
                        help="the brand file the image was built from (kit/release --brand)")
    arguments = parser.parse_args()

    def reported():
        expected = brand.expected(arguments.brand)
        lines = report(arguments.image)
        faults = image_checks.faults(arguments.image, expected)
        write_out("\n".join(lines + [checks_line(faults, expected)]))
        return 1 if faults else 0
    return run("size-report", reported)

