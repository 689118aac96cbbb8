"""Damaged copies of the built image and of a signed copy, through every command of the kit:
each run ends with a documented status, at most one line on stderr and no traceback, and a
truncated image never passes.

The mutants are drawn from fixed seeds, so that every run of a commit gives the same verdict.
dev/fuzz-kit draws new seeds for a while instead (KESTROVAN_FUZZ_SECONDS) and prints how to
replay each seed that finds a fault (KESTROVAN_FUZZ_SEED); such a seed joins SEEDS for good. The
commands' main() runs in this process, with its command line, streams and temporary folder as a
separate process would have them."""
import contextlib
import dataclasses
import io
import os
import random
import shutil
import signal
import sys
import tempfile
import time
import traceback
import unittest.mock

import pefile
import pytest

import sample_installation
from kestrovan_kit import sign, signature, size_report, verify
from kit_commands import sign_image

SEEDS = (
    1,
    # In Debian 13's image, its mutant 227 (8 bytes copied into a resource directory entry) made
    # kit/sign write its error over 2 lines.
    3894752348,
)
MUTANTS = 256
REPLAYED_SEED = os.environ.get("KESTROVAN_FUZZ_SEED")
RANDOM_SECONDS = float(os.environ.get("KESTROVAN_FUZZ_SECONDS") or 0)
INTERRUPTIONS = (signal.SIGINT, signal.SIGTERM)
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


@dataclasses.dataclass(frozen=True)
class Region:
    name: str
    start: int
    end: int


def resource_directory_ranges(pe):
    """The file ranges of the resource directory's tables and entries."""
    ranges = []

    def walk(directory):
        ranges.append(directory.struct)
        for entry in directory.entries:
            ranges.append(entry.struct)
            if hasattr(entry, "directory"):
                walk(entry.directory)
            elif hasattr(entry, "data"):
                ranges.append(entry.data.struct)
    walk(pe.DIRECTORY_ENTRY_RESOURCE)
    return [(s.get_file_offset(), s.get_file_offset() + s.sizeof()) for s in ranges]


def regions(path):
    """Where in the image at `path` its parts are: headers, resources, resource directory
    entries, and in a signed image the signature and the signer's certificate."""
    with pefile.PE(str(path)) as pe:
        found = [Region("headers", 0, pe.OPTIONAL_HEADER.SizeOfHeaders)]
        [rsrc] = [s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc"]
        found.append(Region("resources", rsrc.PointerToRawData,
                            rsrc.PointerToRawData + rsrc.SizeOfRawData))
        found += [Region("resource directory entry", start, end)
                  for start, end in resource_directory_ranges(pe)]
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
        data = pe.__data__[:]
    if table.Size:
        start, end = table.VirtualAddress, table.VirtualAddress + table.Size
        found.append(Region("signature", start, end))
        signer = signature.read_signature(path).signer_certificate
        offset = data.index(signer, start)
        found.append(Region("signer's certificate", offset, offset + len(signer)))
    return found


def flip_bits(data, region, chance):
    for _ in range(chance.choice((1, 1, 2, 3, 8))):
        offset = chance.randrange(region.start, region.end)
        data[offset] ^= 1 << chance.randrange(8)
    return f"bits flipped in {region.name}"


def extreme_value(data, region, chance):
    """A field set to a value that parsers trip on: zero, all ones, the sign bit."""
    width = chance.choice((1, 2, 4))
    offset = chance.randrange(region.start, max(region.start + 1, region.end - width))
    value = chance.choice((0, 0xFF, 0x80, 0x7F)).to_bytes(1, "little") * width
    data[offset:offset + width] = value
    return f"{width}-byte field set to {value.hex()} in {region.name}"


def shift(data, region, chance):
    """Bytes left out or put in: everything after them moves."""
    offset, count = chance.randrange(region.start, region.end), chance.randrange(1, 17)
    if chance.random() < 0.5:
        del data[offset:offset + count]
        return f"{count} bytes left out in {region.name}"
    data[offset:offset] = bytes(chance.randrange(256) for _ in range(count))
    return f"{count} bytes put in in {region.name}"


def splice(data, region, chance):
    """Bytes from elsewhere in the file over a part of the region: structures where others
    belong."""
    count = chance.randrange(1, min(64, region.end - region.start) + 1)
    offset, source = chance.randrange(region.start, region.end), chance.randrange(len(data))
    data[offset:offset + count] = data[source:source + count]
    return f"{count} bytes from byte {source} copied into {region.name}"


def truncations(table):
    """Lengths to cut an image to: random ones, and for a signed image exactly at, just inside
    and within its certificate table."""
    lengths = {"at random": None}
    if table:
        start, end = table
        lengths |= {"at the certificate table": start,
                    "inside the certificate table's header": start + 4,
                    "inside the certificate table": None,
                    "one byte short": end - 1}
    return lengths


@dataclasses.dataclass(frozen=True)
class Mutant:
    number: int
    source: str  # "built" or "signed"
    damage: str
    data: bytes
    truncated: bool


def mutants(images, count, seed):
    """`count` mutants of `images` (source name -> bytes), drawn from `seed`."""
    chance = random.Random(seed)
    layout = {name: regions(path) for name, path in images.items()}
    contents = {name: path.read_bytes() for name, path in images.items()}
    for number in range(count):
        source = chance.choice(sorted(images))
        data = bytearray(contents[source])
        if chance.random() < 0.2:
            table = next(((r.start, r.end) for r in layout[source] if r.name == "signature"), None)
            where, length = chance.choice(sorted(truncations(table).items()))
            if length is None:
                low = table[0] + 1 if where.startswith("inside") else 1
                high = table[1] - 1 if where.startswith("inside") else len(data) - 1
                length = chance.randrange(low, high)
            yield Mutant(number, source, f"cut to {length} bytes ({where})", bytes(data[:length]),
                         True)
            continue
        region = chance.choice(layout[source])
        mutate = chance.choice((flip_bits, flip_bits, flip_bits, extreme_value, shift, splice))
        damage = mutate(data, region, chance)
        yield Mutant(number, source, damage, bytes(data), False)


@dataclasses.dataclass
class Outcome:
    status: object
    stdout: str
    stderr: str


def run(module, arguments, scratch):
    """One run of a command's main() with `arguments`, as its command line would: its status
    (from main() or from an exit), what it printed, and a traceback for what escaped it."""
    saved = {number: signal.getsignal(number) for number in INTERRUPTIONS}
    stdout, stderr = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr), \
            unittest.mock.patch.object(sys, "argv", [module.__name__, *map(str, arguments)]), \
            unittest.mock.patch.object(tempfile, "tempdir", str(scratch)):
        try:
            status = module.main()
        except SystemExit as exit:
            status = exit.code
        except Exception:
            status = None
            stderr.write(traceback.format_exc())
    for number, handler in saved.items():
        signal.signal(number, handler)
    return Outcome(status, stdout.getvalue(), stderr.getvalue())


def damaged_jar(path, chance):
    """A jar with a bit or a few flipped."""
    data = bytearray(sample_installation.write_jar(path).read_bytes())
    for _ in range(chance.choice((1, 4))):
        data[chance.randrange(len(data))] ^= 1 << chance.randrange(8)
    path.write_bytes(data)


def installation(folder, image, chance):
    """An installation whose launcher and runtime are `image`, and whose jar may be damaged."""
    jar = (lambda path: damaged_jar(path, chance)) if chance.random() < 0.3 else \
        sample_installation.write_jar
    return sample_installation.lay_out(folder, image, runtime=image, jar=jar)


def commands(kit, mutant, folder, keys, seed):
    """(label, command, arguments) of the kit's commands on the mutant, written under `folder`:
    verify on every one, then the others in turn by its number."""
    image = folder / "kestrovan.exe"
    image.write_bytes(mutant.data)
    chance = random.Random(f"{seed}/{mutant.number}")
    others = [
        lambda: ("verify --installation", kit["verify"], [
            "--installation", installation(folder / "installation", image, chance),
            "--target", "C:\\Program Files\\Vendor\\App"]),
        lambda: ("size-report", kit["size-report"], [image]),
        lambda: ("sign", kit["sign"], ["--pkcs12", keys.signer.pkcs12,
                                       "--password-file", keys.password_file, image]),
    ]
    return [("verify", kit["verify"], [image]), others[mutant.number % len(others)]()]


def faults(mutant, label, outcome):
    """What is wrong with one run on the mutant; empty when the run kept every promise."""
    found = []
    lines = outcome.stderr.splitlines()
    if "Traceback" in outcome.stderr:
        found.append("a traceback")
    if len(lines) > 1:
        found.append(f"{len(lines)} lines on stderr")
    if outcome.status not in (0, 1):
        found.append(f"status {outcome.status}")
    if outcome.status == 1 and not (lines or "FAIL" in outcome.stdout):
        found.append("status 1 with no word of why")
    if mutant.truncated and label == "verify" and outcome.status != 1:
        found.append("a truncated image did not fail")
    return found


def check(kit, mutant, root, keys, seed):
    """What went wrong in the runs on `mutant`, one line each."""
    folder, scratch = root / f"mutant-{mutant.number}", root / f"scratch-{mutant.number}"
    folder.mkdir()
    scratch.mkdir()
    reports = []
    for label, command, arguments in commands(kit, mutant, folder, keys, seed):
        outcome = run(command, arguments, scratch)
        found = faults(mutant, label, outcome)
        left = [path.name for path in (*scratch.iterdir(), *folder.glob(".*"))]
        if left:
            found.append(f"left {', '.join(left)} behind")
        if found:
            last_line = (outcome.stderr.strip().splitlines() or [""])[-1]
            reports.append(f"mutant {mutant.number} of the {mutant.source} image"
                           f" ({mutant.damage}), {label}: {', '.join(found)}:"
                           f" status {outcome.status}, stderr ends {last_line!r}")
    shutil.rmtree(folder)
    shutil.rmtree(scratch)
    return reports


# The kit's commands as modules, so that their main() runs in this process: a few hundred runs
# then cost seconds, not minutes of interpreter start-up.
KIT = {"verify": verify, "size-report": size_report, "sign": sign}


@pytest.fixture(scope="module")
def signed_image(image, keys, tmp_path_factory):
    copy = tmp_path_factory.mktemp("signed") / "kestrovan.exe"
    return sign_image(shutil.copyfile(image, copy), keys)


def replay(seed):
    return f"dev/fuzz-kit --seed {seed}"


@pytest.mark.parametrize("seed", [int(REPLAYED_SEED)] if REPLAYED_SEED else SEEDS)
def test_no_damage_crashes_a_command_or_passes_a_truncated_image(image, signed_image, keys,
                                                                 tmp_path, seed):
    images = {"built": image, "signed": signed_image}
    reports = [report for mutant in mutants(images, MUTANTS, seed)
               for report in check(KIT, mutant, tmp_path, keys, seed)]
    assert not reports, f"seed {seed} ({replay(seed)} replays it):\n" + "\n".join(reports)


if RANDOM_SECONDS:
    def test_random_seeds(image, signed_image, keys, tmp_path):
        """New seeds until RANDOM_SECONDS have passed; each that finds a fault is printed as the
        command that replays it."""
        images = {"built": image, "signed": signed_image}
        deadline, failing = time.monotonic() + RANDOM_SECONDS, []
        while time.monotonic() < deadline:
            seed, ran = random.SystemRandom().randrange(1 << 32), 0
            for mutant in mutants(images, MUTANTS, seed):
                if time.monotonic() >= deadline:
                    break
                ran += 1
                if reports := check(KIT, mutant, tmp_path, keys, seed):
                    print(f"\n{replay(seed)}\n" + "\n".join(reports), flush=True)
                    failing.append(seed)
                    break
            print(f"\nseed {seed}: {ran} mutants ran", flush=True)
        assert not failing, "failing seeds: " + " ".join(map(str, failing))
