"""The built i686 launcher image (KESTROVAN_IMAGE) and the checks that a release must pass."""
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))


@pytest.fixture(scope="session")
def image():
    return pathlib.Path(os.environ["KESTROVAN_IMAGE"])
