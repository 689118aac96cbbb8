"""The one maker of sample installations, for the tests and for dev/demo:
python3 sample_installation.py ROOT LAUNCHER RUNTIME lays one out at ROOT."""
import pathlib
import shutil
import sys
import zipfile

from kestrovan_kit.installation import (ARCHIVE, DEFAULT_LAUNCHER, MANIFEST, RUNTIME,
                                        WORKING_DIRECTORY)

MANIFEST_TEXT = "Manifest-Version: 1.0\r\nMain-Class: com.example.Main\r\n\r\n"


def write_jar(path, manifest=MANIFEST_TEXT):
    """An application archive whose manifest is `manifest` (None: it has none)."""
    with zipfile.ZipFile(path, "w") as archive:
        if manifest is not None:
            archive.writestr(MANIFEST, manifest)
        archive.writestr("com/example/Main.class", b"\xca\xfe\xba\xbe")
    return path


def lay_out(root, launcher, runtime=None, working_directory=True, jar=write_jar):
    """An installation at `root`: `launcher` as kestrovan.exe, `runtime` (when given) as its
    javaw.exe, and (with `working_directory`) application/bin holding a launcher.jar made by
    `jar(path)`."""
    root.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(launcher, root / DEFAULT_LAUNCHER)
    if runtime is not None:
        (root / RUNTIME).parent.mkdir(parents=True)
        shutil.copyfile(runtime, root / RUNTIME)
    if working_directory:
        (root / WORKING_DIRECTORY).mkdir(parents=True)
        jar(root / ARCHIVE)
    return root


if __name__ == "__main__":
    root, launcher, runtime = map(pathlib.Path, sys.argv[1:])
    lay_out(root, launcher, runtime)
